#include "kura/sql/definition_parser.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/sql/data_query.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/shared_clauses.h"
#include "kura/sql/sql_reader.h"

namespace kura {

namespace {

// The words that may open a primary-key definition (after CONSTRAINT name, or alone).
const std::initializer_list<std::string_view> kPrimaryKeyStart = {
    "CONSTRAINT", "PRIMARY", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"};

// After a comma of CREATE TABLE's column list, these words end the list (a primary key
// or the table options follow).
const std::initializer_list<std::string_view> kColumnListEnd = {
    "CONSTRAINT", "PRIMARY", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE",
    "TEXT", "DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER"};

// After REDEFINE's column name these words start the column's options: no new name and
// type were written.
const std::initializer_list<std::string_view> kRedefineOptionStart = {
    "AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM", "CHARCASE"};

const std::initializer_list<std::string_view> kItemStart = {"ADD", "REDEFINE", "DROP"};

// [MEMORY] name [ \ name ]: the statement's target table, as the query's first source
// table. `message` is raised when a name is missing (also after MEMORY and "\").
void ReadTargetTable(TDataQuery& query, TSqlReader& r, std::string_view message) {
  TSourceTable& table = query.AddSourceTable();
  // The in-memory flag decides how SetSourceName places the table.
  table.InMemory = r.Accept("MEMORY");
  std::string name = r.ExpectName(message);
  if (r.AcceptSymbol('\\')) {
    name += "\\";
    name += r.ExpectName(message);
  }
  table.SetSourceName(name);
}

// [IF NOT EXISTS]
bool ReadIfNotExists(TSqlReader& r) {
  if (!r.Accept("IF")) return false;
  r.Expect("NOT", sqlmsg::kNotAfterIf);
  r.Expect("EXISTS", sqlmsg::kExistsAfterNot);
  return true;
}

// [IF EXISTS]
bool ReadIfExists(TSqlReader& r) {
  if (!r.Accept("IF")) return false;
  r.Expect("EXISTS", sqlmsg::kExistsAfterIf);
  return true;
}

// A name given as a single operand: a column reference gives its column name, a quoted
// string its text; anything else is taken as written (the table definition check then
// refuses it as a name). `correlation` receives the table correlation name written in
// front of a column ("" when none).
std::string ReadNameOperand(TSqlReader& r, std::string_view context, std::string_view emptyMessage,
                            std::string* correlation = nullptr) {
  std::string written;
  TExpTree tree = r.ParseOperand(0, context, emptyMessage, &written);
  if (correlation != nullptr) correlation->clear();
  if (tree->Kind == kNodeColumn) {
    if (correlation != nullptr) *correlation = tree->TableName;
    return tree->ColumnName;
  }
  if (tree->Kind == kNodeConstant && tree->DataType == TFieldType::String && tree->IsParameter == 0) {
    return tree->Text;
  }
  return written;
}

// An index column: a name without a table correlation name.
std::string ReadIndexColumn(TSqlReader& r) {
  std::string correlation;
  std::string name = ReadNameOperand(r, sqlmsg::kContextIndexColumn, sqlmsg::kEmptyIndexColumn, &correlation);
  if (!correlation.empty()) {
    RaiseSqlError(std::string(sqlmsg::kCorrelationInIndexPrefix) + correlation + "'" +
                  std::string(sqlmsg::kCorrelationInIndexSuffix));
  }
  return name;
}

// ( index-column { , index-column } )
void ReadIndexColumns(TSqlReader& r, TCreateIndex& index, std::string_view leftMessage,
                      std::string_view rightMessage) {
  r.ExpectSymbol('(', leftMessage);
  do {
    index.Columns.push_back(ReadIndexColumn(r));
  } while (r.AcceptSymbol(','));
  r.ExpectSymbol(')', rightMessage);
}

// [ASC | ASCENDING | DESC | DESCENDING]
bool ReadDescending(TSqlReader& r) {
  if (r.Accept("ASC") || r.Accept("ASCENDING")) return false;
  return r.Accept("DESC") || r.Accept("DESCENDING");
}

// [COMPRESS FULL | DUPBYTE | TRAILBYTE | NONE]
TIndexCompression ReadCompression(TSqlReader& r) {
  if (!r.Accept("COMPRESS")) return TIndexCompression::None;
  if (r.Accept("FULL")) return TIndexCompression::Full;
  if (r.Accept("DUPBYTE")) return TIndexCompression::DupByte;
  if (r.Accept("TRAILBYTE")) return TIndexCompression::TrailByte;
  if (r.Accept("NONE")) return TIndexCompression::None;
  r.RaiseExpected(sqlmsg::kCompressionExpected);
}

// [CONSTRAINT name] [UNIQUE] [ASC | DESC ...] [NOCASE] PRIMARY KEY ( columns ) [COMPRESS ...]
TCreateIndex ReadPrimaryKey(TSqlReader& r, TDefinitionAction action) {
  TCreateIndex index;
  index.Action = action;
  // The constraint's name is not kept: a primary index has no name.
  if (r.Accept("CONSTRAINT") && r.AtName()) r.Next();
  index.Unique = r.Accept("UNIQUE");
  index.Descending = ReadDescending(r);
  index.CaseInsensitive = r.Accept("NOCASE");
  r.Expect("PRIMARY", sqlmsg::kPrimaryExpected);
  r.Expect("KEY", sqlmsg::kKeyAfterPrimary);
  ReadIndexColumns(r, index, sqlmsg::kLeftParenExpected, sqlmsg::kRightParenExpected);
  index.Compression = ReadCompression(r);
  return index;
}

// The integer value of a data type's size argument (a primary); 0 when the argument is
// no integer constant or does not fit `limit` (a size of 0 is refused by the table
// definition check where a size matters).
uint32_t SizeArgument(const TExpToken& argument, uint32_t limit) {
  if (argument.Kind != kNodeConstant || argument.IsNull != 0 || argument.DataType != TFieldType::Integer) return 0;
  const int32_t value = ReadI32(argument.Data.data());
  return value < 0 || static_cast<uint32_t>(value) > limit ? 0 : static_cast<uint32_t>(value);
}

// The data type of a column definition (CHAR and BYTES need their length).
void ReadDataType(TSqlReader& r, TCreateField& field) {
  TExpTree node = NewExpToken();
  r.Parser().ParseDataType(node.get(), 0, false);
  field.TypeGiven = true;
  field.DataType = node->DataType;
  field.SubType = node->SubType;
  field.Size = 0;
  field.Scale = 0;
  if (!node->Arguments.empty()) {
    field.Size = static_cast<uint16_t>(SizeArgument(*node->Arguments[0], std::numeric_limits<uint16_t>::max()));
  }
  if (node->Arguments.size() > 1) {
    field.Scale = static_cast<uint8_t>(SizeArgument(*node->Arguments[1], std::numeric_limits<uint8_t>::max()));
  }
}

// True when the current token begins a data type. Looks ahead and goes back.
bool AtDataType(TSqlReader& r) {
  TExpressionParser& parser = r.Parser();
  const TExpressionParser::TPosition start = parser.SavePosition();
  TExpTree scratch = NewExpToken();
  bool isType = true;
  try {
    parser.ParseDataType(scratch.get(), 0, true);
  } catch (const EKuraEngineError&) {
    // A word that is no type is refused before it is read; a type whose arguments are
    // wrong has been read.
    isType = parser.TokenStart() != start.TokenStart;
  }
  parser.RestorePosition(start);
  return isType;
}

// The token after the current one begins a data type.
bool DataTypeFollows(TSqlReader& r) {
  TExpressionParser& parser = r.Parser();
  const TExpressionParser::TPosition start = parser.SavePosition();
  r.Next();
  const bool follows = AtDataType(r);
  parser.RestorePosition(start);
  return follows;
}

// A value of DEFAULT, MIN or MAX: [- | +] followed by CURRENT_DATE, CURRENT_TIME,
// CURRENT_TIMESTAMP, TRUE, FALSE, a single-quoted string or a number; its text with the
// sign and without quotes.
std::string ReadValue(TSqlReader& r, std::string_view message) {
  std::string text;
  if (r.AtSymbol('-') || r.AtSymbol('+')) {
    text = r.TokenText();
    r.Next();
  }
  const TExpressionParser& parser = r.Parser();
  const bool valueToken = r.AtAny({"CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "TRUE", "FALSE"}) ||
                          parser.IsTokenKind(kTokenSingleQuoted) || parser.IsTokenKind(kTokenInteger) ||
                          parser.IsTokenKind(kTokenNumber);
  if (!valueToken) r.RaiseExpected(message);
  text += r.TokenText();
  r.Next();
  return text;
}

// The options of a column: [DESCRIPTION name] [NOT NULL] [DEFAULT value] [MIN value]
// [MAX value] [CHARCASE UPPER | LOWER | NOCHANGE], in this order; none when a comma
// follows.
void ReadColumnOptions(TSqlReader& r, TCreateField& field) {
  if (r.AtSymbol(',')) return;
  if (r.Accept("DESCRIPTION")) {
    field.Description = std::string();
    if (r.AtName()) {
      field.Description = r.TokenText();
      r.Next();
    }
  }
  if (r.Accept("NOT")) {
    r.Expect("NULL", sqlmsg::kNullAfterNot);
    field.Required = true;
  }
  if (r.Accept("DEFAULT")) field.DefaultValue = ReadValue(r, sqlmsg::kDefaultExpected);
  if (r.Accept("MIN") || r.Accept("MINIMUM")) field.MinValue = ReadValue(r, sqlmsg::kMinimumExpected);
  if (r.Accept("MAX") || r.Accept("MAXIMUM")) field.MaxValue = ReadValue(r, sqlmsg::kMaximumExpected);
  if (r.Accept("CHARCASE")) {
    if (r.Accept("UPPER")) {
      field.CharCase = TCharCase::Upper;
    } else if (r.Accept("LOWER")) {
      field.CharCase = TCharCase::Lower;
    } else if (r.Accept("NOCHANGE")) {
      field.CharCase = TCharCase::Keep;
    } else {
      r.RaiseExpected(sqlmsg::kCharCaseExpected);
    }
  }
}

std::string ReadColumnName(TSqlReader& r) {
  return ReadNameOperand(r, sqlmsg::kContextTableColumn, sqlmsg::kEmptyTableColumn);
}

// [AT integer]
void ReadPosition(TSqlReader& r, TCreateField& field) {
  if (r.Accept("AT")) field.Position = r.ExpectInteger(sqlmsg::kIntegerAfterAt);
}

// column-def of CREATE TABLE, and of ALTER TABLE's ADD (`withPosition`: [AT n] between
// the type and the options).
TCreateField ReadColumnDefinition(TSqlReader& r, bool withPosition) {
  TCreateField field;
  field.Action = TDefinitionAction::Add;
  r.Parser().BeginSpan();
  field.Name = ReadColumnName(r);
  ReadDataType(r, field);
  if (withPosition) ReadPosition(r, field);
  ReadColumnOptions(r, field);
  field.ColumnText = r.Parser().SpanText().substr(0, 255);
  return field;
}

// REDEFINE [COLUMN] name [new-name] [data-type] [AT n] options. A new name is written
// only together with a type: the word after the name is the new name when a data type
// follows it, else it is the type.
TCreateField ReadRedefinition(TSqlReader& r) {
  TCreateField field;
  field.Action = TDefinitionAction::Redefine;
  r.Parser().BeginSpan();
  field.Name = ReadColumnName(r);
  if (!r.AtAny(kRedefineOptionStart) && !r.AtStatementEnd() && !r.AtSymbol(',')) {
    if (r.AtName() && (!AtDataType(r) || DataTypeFollows(r))) field.NewName = ReadColumnName(r);
    ReadDataType(r, field);
  }
  ReadPosition(r, field);
  ReadColumnOptions(r, field);
  field.ColumnText = r.Parser().SpanText().substr(0, 255);
  return field;
}

// The text of a constant string expression (STOP WORDS, SPACE CHARS, INCLUDE CHARS);
// anything that is no text counts as missing.
std::string ReadConstantText(TSqlReader& r, std::string_view context, std::string_view emptyMessage) {
  TExpTree tree = r.ParseClause(0, context, emptyMessage);
  // No column can be named here: every name is unknown to the binding.
  BindExpression(KURA_SQLPARSE, std::string(context), tree.get(), tree.get(), false, false,
                 [](void*, TExpToken&) { return false; }, nullptr);
  TExpTree value = EvaluateExpression(*tree, nullptr, TEvaluationContext{});
  if (value->DataType != TFieldType::String) RaiseSqlError(emptyMessage);
  if (value->IsNull != 0 || value->DataLength <= 1) return {};
  return std::string(reinterpret_cast<const char*>(value->Data.data()), static_cast<size_t>(value->DataLength - 1));
}

TCharSet ReadCharSet(TSqlReader& r) {
  TCharSet set{};
  for (char c : ReadConstantText(r, sqlmsg::kContextCharacterSet, sqlmsg::kEmptyCharacterSet)) {
    AddToCharSet(set, static_cast<uint8_t>(c));
  }
  return set;
}

// The words of STOP WORDS, split at blanks.
std::vector<std::string> ReadStopWords(TSqlReader& r) {
  const std::string text = ReadConstantText(r, sqlmsg::kContextStopWords, sqlmsg::kEmptyStopWords);
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (static_cast<uint8_t>(c) <= ' ') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// An integer of at most `limit` at the current token, or `message`.
int32_t ExpectIntegerUpTo(TSqlReader& r, int32_t limit, std::string_view message) {
  const TExpressionParser::TPosition start = r.Parser().SavePosition();
  const int32_t value = r.ExpectInteger(message);
  if (value > limit) {
    r.Parser().RestorePosition(start);
    r.RaiseExpected(message);
  }
  return value;
}

// LAST AUTOINC's value: an integer constant, optionally negated.
int32_t ReadLastAutoInc(TSqlReader& r) {
  std::string written;
  TExpTree tree = r.ParseOperand(0, sqlmsg::kContextNextAutoInc, sqlmsg::kEmptyNextAutoInc, &written);
  const TExpToken* constant = tree.get();
  const bool negated = constant->Kind == kNodeUnary && constant->OpCode == kOpUnaryMinus;
  if (negated) constant = constant->Operand;
  if (constant == nullptr || constant->Kind != kNodeConstant || constant->IsNull != 0 ||
      constant->DataType != TFieldType::Integer) {
    RaiseSqlError(std::string(sqlmsg::kIntegerConstantAfterAutoInc) + written + "'");
  }
  const int32_t value = ReadI32(constant->Data.data());
  return negated ? -value : value;
}

// A name that may be left out (then ""; nothing is read).
std::string OptionalName(TSqlReader& r) {
  if (!r.AtName()) return {};
  std::string name = r.TokenText();
  r.Next();
  return name;
}

// The table options of CREATE TABLE and ALTER TABLE (`alter`: NOBACKUP as well), each
// optional, in their fixed order.
void ReadTableOptions(TSqlReader& r, TTableOptions& options, bool alter) {
  if (r.Accept("TEXT")) {
    r.Expect("INDEX", sqlmsg::kIndexAfterText);
    TCreateIndex index;
    index.Name = kSysTextName;
    index.Compression = TIndexCompression::Full;
    ReadIndexColumns(r, index, sqlmsg::kLeftParenAfterTextIndex, sqlmsg::kRightParenAfterTextIndex);
    options.TextIndex = std::move(index);
    if (r.Accept("STOP")) {
      r.Expect("WORDS", sqlmsg::kWordsAfterStop);
      options.StopWords = ReadStopWords(r);
    }
    if (r.Accept("SPACE")) {
      r.Expect("CHARS", sqlmsg::kCharsAfterSpace);
      options.SpaceChars = ReadCharSet(r);
    }
    if (r.Accept("INCLUDE")) {
      r.Expect("CHARS", sqlmsg::kCharsAfterInclude);
      options.IncludeChars = ReadCharSet(r);
    }
  }
  if (r.Accept("DESCRIPTION")) options.Description = OptionalName(r);
  if (r.Accept("BLOB")) {
    r.Expect("BLOCK", sqlmsg::kBlockAfterBlob);
    r.Expect("SIZE", sqlmsg::kSizeAfterBlock);
    options.BlobBlockSize = r.ExpectInteger(sqlmsg::kIntegerAfterSize);
  }
  if (r.Accept("LANGUAGE")) ParseLanguageClause(r, options);
  if (r.Accept("ENCRYPTED")) ParseEncryptedClause(r, options);
  for (int versions = 0; versions < 2 && r.Accept("USER"); ++versions) {
    constexpr int32_t kMaxVersion = std::numeric_limits<uint16_t>::max();
    if (r.Accept("MAJOR")) {
      r.Expect("VERSION", sqlmsg::kVersionAfterMajor);
      options.UserMajorVersion = static_cast<uint16_t>(ExpectIntegerUpTo(r, kMaxVersion, sqlmsg::kIntegerAfterVersion));
    } else if (r.Accept("MINOR")) {
      r.Expect("VERSION", sqlmsg::kVersionAfterMinor);
      options.UserMinorVersion = static_cast<uint16_t>(ExpectIntegerUpTo(r, kMaxVersion, sqlmsg::kIntegerAfterVersion));
    } else {
      r.RaiseExpected(sqlmsg::kMajorOrMinorExpected);
    }
  }
  if (r.Accept("LAST")) {
    r.Expect("AUTOINC", sqlmsg::kAutoIncAfterLast);
    options.LastAutoInc = ReadLastAutoInc(r);
  }
  if (alter && r.Accept("NOBACKUP")) options.NoBackup = true;
}

void ParseCreateTable(TDataQuery& query, TSqlReader& r) {
  query.IfNotExists = ReadIfNotExists(r);
  ReadTargetTable(query, r, sqlmsg::kTableNameAfterCreateTable);
  r.ExpectSymbol('(', sqlmsg::kLeftParenBeforeColumns);
  query.CreateFields.push_back(ReadColumnDefinition(r, false));
  while (r.AcceptSymbol(',') && !r.AtAny(kColumnListEnd)) query.CreateFields.push_back(ReadColumnDefinition(r, false));
  if (r.AtAny(kPrimaryKeyStart)) {
    query.CreateIndexes.push_back(ReadPrimaryKey(r, TDefinitionAction::Add));
    // A comma may part the primary key from the table options.
    r.AcceptSymbol(',');
  }
  ReadTableOptions(r, query.Options, false);
  r.ExpectSymbol(')', sqlmsg::kRightParenAfterCreateTable);
}

void ParseCreateIndex(TDataQuery& query, TSqlReader& r) {
  TCreateIndex index;
  index.Unique = r.Accept("UNIQUE");
  index.Descending = ReadDescending(r);
  index.CaseInsensitive = r.Accept("NOCASE");
  r.Expect("INDEX", sqlmsg::kIndexExpected);
  query.IfNotExists = ReadIfNotExists(r);
  index.Name = r.ExpectName(sqlmsg::kIndexNameAfterIndex);
  r.Expect("ON", sqlmsg::kOnAfterIndexName);
  ReadTargetTable(query, r, sqlmsg::kTableNameAfterOn);
  ReadIndexColumns(r, index, sqlmsg::kLeftParenExpected, sqlmsg::kRightParenExpected);
  index.Compression = ReadCompression(r);
  query.CreateIndexes.push_back(std::move(index));
}

// One ADD, REDEFINE or DROP item of ALTER TABLE.
void ReadAlterItem(TDataQuery& query, TSqlReader& r) {
  if (r.Accept("DROP")) {
    if (r.AtAny({"CONSTRAINT", "PRIMARY"})) {
      if (r.Accept("CONSTRAINT") && r.AtName()) r.Next();
      r.Expect("PRIMARY", sqlmsg::kPrimaryExpected);
      r.Expect("KEY", sqlmsg::kKeyAfterPrimary);
      TCreateIndex index;
      index.Action = TDefinitionAction::Drop;
      query.CreateIndexes.push_back(std::move(index));
      return;
    }
    r.Accept("COLUMN");
    TCreateField field;
    field.Action = TDefinitionAction::Drop;
    r.Parser().BeginSpan();
    field.Name = ReadColumnName(r);
    field.ColumnText = r.Parser().SpanText().substr(0, 255);
    query.CreateFields.push_back(std::move(field));
    return;
  }
  const bool add = r.Accept("ADD");
  if (!add) r.Accept("REDEFINE");
  if (r.AtAny(kPrimaryKeyStart)) {
    query.CreateIndexes.push_back(ReadPrimaryKey(r, add ? TDefinitionAction::Add : TDefinitionAction::Redefine));
    return;
  }
  r.Accept("COLUMN");
  query.CreateFields.push_back(add ? ReadColumnDefinition(r, true) : ReadRedefinition(r));
}

// ALTER TABLE name item { , item } [table-options]: a comma not followed by ADD,
// REDEFINE or DROP ends the items.
void ParseAlterTable(TDataQuery& query, TSqlReader& r) {
  ReadTargetTable(query, r, sqlmsg::kTableNameAfterAlterTable);
  while (r.AtAny(kItemStart)) {
    ReadAlterItem(query, r);
    if (!r.AcceptSymbol(',')) break;
  }
  ReadTableOptions(r, query.Options, true);
}

void ParseDropTable(TDataQuery& query, TSqlReader& r) {
  query.IfExists = ReadIfExists(r);
  ReadTargetTable(query, r, sqlmsg::kTableNameAfterDropTable);
}

// DROP INDEX [IF EXISTS] [MEMORY] [database \ ] table . index: the table and index are
// one column reference.
void ParseDropIndex(TDataQuery& query, TSqlReader& r) {
  query.IfExists = ReadIfExists(r);
  TSourceTable& table = query.AddSourceTable();
  table.InMemory = r.Accept("MEMORY");
  auto readReference = [&](std::string& tableName) {
    if (!r.AtName()) r.RaiseExpected(sqlmsg::kTableNameAfterDropIndex);
    return ReadNameOperand(r, sqlmsg::kContextIndexName, sqlmsg::kEmptyIndexName, &tableName);
  };
  std::string tableName;
  std::string index = readReference(tableName);
  std::string database;
  if (tableName.empty() && r.AcceptSymbol('\\')) {
    database = std::move(index);
    index = readReference(tableName);
  }
  if (tableName.empty()) r.RaiseExpected(sqlmsg::kTableNameAfterDropIndex);
  table.SetSourceName(database.empty() ? tableName : database + "\\" + tableName);
  query.IndexName = std::move(index);
}

}  // namespace

void ParseDefinitionStatement(TDataQuery& query, TSqlReader& reader) {
  switch (query.StatementKind) {
    case TStatementKind::CreateTable:
      ParseCreateTable(query, reader);
      break;
    case TStatementKind::CreateIndex:
      ParseCreateIndex(query, reader);
      break;
    case TStatementKind::AlterTable:
      ParseAlterTable(query, reader);
      break;
    case TStatementKind::DropTable:
      ParseDropTable(query, reader);
      break;
    case TStatementKind::DropIndex:
      ParseDropIndex(query, reader);
      break;
    default:
      break;
  }
  reader.ExpectEndOfStatement(StatementKindName(query.StatementKind));
}

}  // namespace kura
