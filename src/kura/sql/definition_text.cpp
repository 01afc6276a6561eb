#include "kura/sql/definition_text.h"

#include <algorithm>
#include <iterator>
#include <cctype>

#include "kura/base/language_driver.h"
#include "kura/base/names_paths.h"
#include "kura/engine/data_directory.h"
#include "kura/expr/expression_type_rules.h"
#include "kura/storage/text_index_words.h"

namespace kura {

namespace {

// Words the statement grammars look at where a name may stand (clause words, options,
// data types, value keywords). A name equal to one of them is quoted, so that it can
// never end a list or start a clause when the text is read back.
constexpr std::string_view kGrammarWords[] = {
    "ADD", "ALL", "ALTER", "AND", "AS", "ASC", "ASCENDING", "AT", "AUTOINC", "BETWEEN", "BINARY", "BIT", "BLOB",
    "BLOCK", "BOOL", "BOOLEAN", "BY", "BYTES", "CHAR", "CHARACTER", "CHARCASE", "CHARS", "COLUMN", "COMMIT",
    "COMPRESS", "CONSTRAINT", "CREATE", "CROSS", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "DATE",
    "DECIMAL", "DEFAULT", "DELETE", "DESC", "DESCENDING", "DESCRIPTION", "DISTINCT", "DROP", "DUPBYTE", "ELSE",
    "ENCRYPTED", "EXCEPT", "EXISTS", "FALSE", "FLOAT", "FLUSH", "FROM", "FULL", "GRAPHIC", "GROUP", "HAVING", "IF",
    "IN", "INCLUDE", "INDEX", "INNER", "INSERT", "INT", "INTEGER", "INTERVAL", "INTO", "IS", "JOIN", "KEY",
    "LANGUAGE", "LARGEINT", "LAST", "LEFT", "LIKE", "LONGVARBINARY", "LONGVARCHAR", "LOWER", "MAJOR", "MAX",
    "MAXIMUM", "MEMO", "MEMORY", "MIN", "MINIMUM", "MINOR", "MONEY", "NOBACKUP", "NOCASE", "NOCHANGE", "NONE",
    "NOT", "NULL", "NUMERIC", "ON", "OR", "ORDER", "OUTER", "PRIMARY", "REDEFINE", "RIGHT", "ROLLBACK", "SELECT",
    "SET", "SIZE", "SMALLINT", "SORT", "SPACE", "START", "STOP", "TABLE", "TEXT", "TIME", "TIMESTAMP", "TOP",
    "TRAILBYTE", "TRUE", "UNION", "UNIQUE", "UPDATE", "UPPER", "USER", "VALUES", "VARBINARY", "VARBYTES",
    "VARCHAR", "VERSION", "WHERE", "WITH", "WORD", "WORDS"};

bool IsGrammarWord(std::string_view name) {
  auto same = [&](std::string_view word) { return SameText(word, name); };
  return std::any_of(std::begin(kGrammarWords), std::end(kGrammarWords), same);
}

bool IsPlainIdentifier(std::string_view name) {
  if (name.empty()) return false;
  const auto first = static_cast<uint8_t>(name[0]);
  if (first >= 128 || !IsNameStartChar(first)) return false;
  return std::all_of(name.begin() + 1, name.end(), [](char c) {
    const auto byte = static_cast<uint8_t>(c);
    return byte < 128 && (IsNameChar(byte) || IsNameExtraChar(byte));
  });
}

std::string Quoted(std::string_view text, char quote) {
  std::string out(1, quote);
  for (const char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  out += quote;
  return out;
}

bool IsNumberText(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  const size_t digitsStart = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digitsStart) return false;
  if (i < text.size() && text[i] == '.') {
    const size_t fractionStart = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == fractionStart) return false;
  }
  return i == text.size();
}

bool IsDateTimeType(TFieldType type) {
  return type == TFieldType::Date || type == TFieldType::Time || type == TFieldType::Timestamp;
}

// A DEFAULT, MIN or MAX value. The grammar stores a quoted string's text without its
// quotes and a number's or keyword's text as written, so the quoted form always gives
// the same text back; numbers of numeric fields and the keywords of their types are
// written bare only for the reader's sake.
std::string ValueText(const TFieldDefinition& field, const std::string& text) {
  if (IsNumericType(field.FieldType) && IsNumberText(text)) return text;
  if (field.FieldType == TFieldType::Boolean && (SameText(text, "TRUE") || SameText(text, "FALSE"))) return text;
  if (IsDateTimeType(field.FieldType) &&
      (SameText(text, "CURRENT_DATE") || SameText(text, "CURRENT_TIME") || SameText(text, "CURRENT_TIMESTAMP"))) {
    return text;
  }
  return SqlString(text);
}

std::string DataTypeText(const TFieldDefinition& field) {
  const std::string size = "(" + std::to_string(field.Size) + ")";
  switch (field.FieldType) {
    case TFieldType::String: return "CHAR" + size;
    case TFieldType::Date: return "DATE";
    case TFieldType::Time: return "TIME";
    case TFieldType::Timestamp: return "TIMESTAMP";
    case TFieldType::Boolean: return "BOOLEAN";
    case TFieldType::SmallInt: return "SMALLINT";
    case TFieldType::Word: return "WORD";
    case TFieldType::Integer: return field.SubType == TFieldSubType::AutoInc ? "AUTOINC" : "INTEGER";
    case TFieldType::LargeInt: return "LARGEINT";
    case TFieldType::Float: return field.SubType == TFieldSubType::Money ? "MONEY" : "FLOAT";
    // Values hold 32 digits whatever precision a definition was written with; only the
    // scale is stored.
    case TFieldType::Bcd: return "DECIMAL(32," + std::to_string(field.Scale) + ")";
    case TFieldType::Bytes: return "BYTES" + size;
    case TFieldType::VarBytes: return "VARBYTES" + size;
    case TFieldType::Blob:
      switch (field.SubType) {
        case TFieldSubType::Memo: return "MEMO";
        case TFieldSubType::Graphic: return "GRAPHIC";
        case TFieldSubType::Binary: return "BLOB";
        default: return "BLOB /* subtype " + std::to_string(static_cast<int>(field.SubType)) + " */";
      }
    case TFieldType::LongWord: return "LARGEINT /* LongWord */";
    case TFieldType::Extended: return "FLOAT /* Extended */";
    case TFieldType::Unknown: break;
  }
  return "/* type " + std::to_string(static_cast<int>(field.FieldType)) + " */";
}

std::string ColumnText(const TFieldDefinition& field) {
  std::string text = SqlName(field.Name) + " " + DataTypeText(field);
  if (!field.Description.empty()) text += " DESCRIPTION " + SqlString(field.Description);
  if (field.Required) text += " NOT NULL";
  if (!field.DefaultValue.empty()) text += " DEFAULT " + ValueText(field, field.DefaultValue);
  if (!field.MinValue.empty()) text += " MIN " + ValueText(field, field.MinValue);
  if (!field.MaxValue.empty()) text += " MAX " + ValueText(field, field.MaxValue);
  if (field.CharCase == TCharCase::Upper) text += " CHARCASE UPPER";
  if (field.CharCase == TCharCase::Lower) text += " CHARCASE LOWER";
  return text;
}

std::string FieldListText(const TTableDefinition& definition, const std::vector<uint16_t>& fields) {
  std::string text = "(";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) text += ", ";
    const uint16_t fieldNo = fields[i];
    text += fieldNo >= 1 && fieldNo <= definition.Fields.size() ? SqlName(definition.Fields[fieldNo - 1U].Name)
                                                                 : "/* field " + std::to_string(fieldNo) + " */";
  }
  return text + ")";
}

// The words before INDEX or PRIMARY KEY.
std::string IndexFlagsText(const TIndexDefinition& index) {
  std::string text;
  if (index.Unique) text += "UNIQUE ";
  if (index.Descending) text += "DESC ";
  if (index.CaseInsensitive) text += "NOCASE ";
  return text;
}

std::string CompressionText(TIndexCompression compression) {
  switch (compression) {
    case TIndexCompression::None: return "";
    case TIndexCompression::DupByte: return " COMPRESS DUPBYTE";
    case TIndexCompression::TrailByte: return " COMPRESS TRAILBYTE";
    case TIndexCompression::Full: return " COMPRESS FULL";
  }
  return "";
}

// A character set as a constant string expression: printable characters in quoted runs,
// every other byte as a #n character code, joined with "+".
std::string CharSetText(const TCharSet& set) {
  std::vector<std::string> parts;
  std::string run;
  for (int c = 1; c < 256; ++c) {
    if (!InCharSet(set, static_cast<uint8_t>(c))) continue;
    if (c > 32 && c < 127) {
      run += static_cast<char>(c);
      continue;
    }
    if (!run.empty()) parts.push_back(SqlString(run));
    run.clear();
    parts.push_back("#" + std::to_string(c));
  }
  if (!run.empty()) parts.push_back(SqlString(run));
  if (parts.empty()) return "''";
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : " + ") + part;
  return text;
}

std::string StopWordsText(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return SqlString(text);
}

// The table options, one per line, in the grammar's order.
std::vector<std::string> TableOptionLines(const TTableDefinition& definition) {
  std::vector<std::string> lines;
  if (!definition.TextIndexFields.empty()) {
    std::string line = "TEXT INDEX " + FieldListText(definition, definition.TextIndexFields);
    const TTextIndexParameters given = EffectiveTextIndexParameters(definition.TextIndexParams);
    const TTextIndexParameters defaults = DefaultTextIndexParameters();
    const bool stopWords = given.StopWords != defaults.StopWords;
    // Parameters given as wholly empty stand for the defaults, so an empty list of stop
    // words goes with the character sets written out.
    const bool allSets = stopWords && given.StopWords.empty();
    if (stopWords) line += "\n    STOP WORDS " + StopWordsText(given.StopWords);
    if (allSets || given.SpaceChars != defaults.SpaceChars) line += "\n    SPACE CHARS " + CharSetText(given.SpaceChars);
    if (allSets || given.IncludeChars != defaults.IncludeChars) {
      line += "\n    INCLUDE CHARS " + CharSetText(given.IncludeChars);
    }
    lines.push_back(line);
  }
  if (!definition.Description.empty()) lines.push_back("DESCRIPTION " + SqlString(definition.Description));
  if (definition.BlobBlockSize != 0 && definition.BlobBlockSize != 512) {
    lines.push_back("BLOB BLOCK SIZE " + std::to_string(definition.BlobBlockSize));
  }
  std::string language = "LANGUAGE ";
  const TLanguageInfo* info = FindLanguage(definition.LocaleId);
  language += info != nullptr ? SqlString(info->Name) : "/* locale " + std::to_string(definition.LocaleId) + " */";
  if (definition.SortId != 0) {
    const auto sorts = SortOrderNames(definition.LocaleId);
    language += " SORT " + (definition.SortId < sorts.size() ? SqlString(sorts[definition.SortId])
                                                             : "/* sort " + std::to_string(definition.SortId) + " */");
  }
  lines.push_back(language);
  if (definition.Encrypted) lines.push_back("/* ENCRYPTED WITH: the table is encrypted; its password is not shown */");
  if (definition.UserMajorVersion != 1 || definition.UserMinorVersion != 0) {
    lines.push_back("USER MAJOR VERSION " + std::to_string(definition.UserMajorVersion) + " USER MINOR VERSION " +
                    std::to_string(definition.UserMinorVersion));
  }
  if (definition.LastAutoIncValue != 0) lines.push_back("LAST AUTOINC " + std::to_string(definition.LastAutoIncValue));
  return lines;
}

}  // namespace

std::string SqlName(std::string_view name) {
  if (IsPlainIdentifier(name) && !IsGrammarWord(name)) return std::string(name);
  return Quoted(name, '"');
}

std::string SqlString(std::string_view text) { return Quoted(text, '\''); }

std::string CreateTableText(const std::string& tableName, const TTableDefinition& definition) {
  // The columns are separated by commas, and a comma follows the last one too: the words
  // that begin the primary key and the table options end the column list after a comma
  // (without it DESCRIPTION would describe the last column). LANGUAGE is always written,
  // so something always follows the columns.
  std::string text = "CREATE TABLE " + SqlName(tableName) + "\n(\n";
  for (const TFieldDefinition& field : definition.Fields) text += "  " + ColumnText(field) + ",\n";
  if (definition.PrimaryIndex && !definition.PrimaryIndex->Fields.empty()) {
    const TIndexDefinition& primary = *definition.PrimaryIndex;
    text += "  " + IndexFlagsText(primary) + "PRIMARY KEY " + FieldListText(definition, primary.Fields) +
            CompressionText(primary.Compression) + "\n";
  }
  for (const std::string& line : TableOptionLines(definition)) text += "  " + line + "\n";
  return text + ");\n";
}

std::string CreateIndexText(const std::string& tableName, const TTableDefinition& definition,
                            const TIndexDefinition& index) {
  return "CREATE " + IndexFlagsText(index) + "INDEX " + SqlName(index.Name) + " ON " + SqlName(tableName) + " " +
         FieldListText(definition, index.Fields) + CompressionText(index.Compression) + ";\n";
}

}  // namespace kura
