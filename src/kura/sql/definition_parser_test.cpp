// The grammar of the definition statements: each text either gives the statement model
// described by a compact line, or raises KURA_SQLPARSE with exactly its message.

#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

std::string ActionName(TDefinitionAction action) {
  switch (action) {
    case TDefinitionAction::Add: return "add";
    case TDefinitionAction::Redefine: return "redefine";
    case TDefinitionAction::Drop: return "drop";
  }
  return "?";
}

void DescribeIndex(std::ostringstream& out, const TCreateIndex& index) {
  out << " index(" << ActionName(index.Action) << " '" << index.Name << "'";
  if (index.Unique) out << " unique";
  if (index.Descending) out << " desc";
  if (index.CaseInsensitive) out << " nocase";
  if (index.Compression != TIndexCompression::None) out << " compress=" << static_cast<int>(index.Compression);
  out << ":";
  for (const std::string& column : index.Columns) out << " " << column;
  out << ")";
}

std::string CharSetText(const TCharSet& set) {
  std::string text;
  for (int c = 0; c < 256; ++c) {
    if (InCharSet(set, static_cast<uint8_t>(c))) text += static_cast<char>(c);
  }
  return text;
}

// One line telling everything the definition grammar fills in. The target's directory
// shows as "." when it is the statement's own.
std::string Describe(const TDataQuery& query) {
  std::ostringstream out;
  out << StatementKindName(query.StatementKind);
  if (query.IfNotExists) out << " if-not-exists";
  if (query.IfExists) out << " if-exists";
  for (const auto& table : query.SourceTables) {
    out << " table(" << (table->InMemory ? "memory " : "")
        << (table->Directory == query.Directory().Path() ? std::string(".") : table->Directory) << " "
        << table->TableName << ")";
  }
  for (const TCreateField& field : query.CreateFields) {
    out << " field(" << ActionName(field.Action) << " " << field.Name;
    if (!field.NewName.empty()) out << "->" << field.NewName;
    if (field.TypeGiven) {
      out << " " << static_cast<int>(field.DataType) << "/" << static_cast<int>(field.SubType);
      if (field.Size != 0 || field.Scale != 0) out << "(" << field.Size << "," << static_cast<int>(field.Scale) << ")";
    }
    if (field.Position != 0) out << " at=" << field.Position;
    if (field.Description) out << " desc='" << *field.Description << "'";
    if (field.Required) out << " required=" << *field.Required;
    if (field.CharCase) out << " case=" << static_cast<int>(*field.CharCase);
    if (field.DefaultValue) out << " default='" << *field.DefaultValue << "'";
    if (field.MinValue) out << " min='" << *field.MinValue << "'";
    if (field.MaxValue) out << " max='" << *field.MaxValue << "'";
    out << ")";
  }
  for (const TCreateIndex& index : query.CreateIndexes) DescribeIndex(out, index);
  if (!query.IndexName.empty()) out << " index-name=" << query.IndexName;
  const TTableOptions& o = query.Options;
  if (o.TextIndex) {
    out << " text";
    DescribeIndex(out, *o.TextIndex);
  }
  if (o.StopWords) {
    out << " stop=[";
    for (const std::string& word : *o.StopWords) out << word << ";";
    out << "]";
  }
  if (o.SpaceChars) out << " space='" << CharSetText(*o.SpaceChars) << "'";
  if (o.IncludeChars) out << " include='" << CharSetText(*o.IncludeChars) << "'";
  if (o.Description) out << " description='" << *o.Description << "'";
  if (o.BlobBlockSize) out << " blob=" << *o.BlobBlockSize;
  if (o.LocaleId) out << " locale=" << *o.LocaleId;
  if (o.SortId) out << " sort=" << *o.SortId;
  if (o.Password) out << " password='" << *o.Password << "'";
  if (o.UserMajorVersion) out << " major=" << *o.UserMajorVersion;
  if (o.UserMinorVersion) out << " minor=" << *o.UserMinorVersion;
  if (o.LastAutoInc) out << " lastautoinc=" << *o.LastAutoInc;
  if (o.NoBackup) out << " nobackup";
  return out.str();
}

struct TCase {
  const char* Sql;
  // The model's line, or (when Message is set) nullptr.
  const char* Shape;
  const char* Message;
};

TEST(DefinitionParserTest, TextsGiveTheirModelOrTheirMessage) {
  const TCase cases[] = {
      // ---- CREATE TABLE ----
      {"create table t (a integer)", "CREATE TABLE table(. t) field(add a 6/0)", nullptr},
      {"CREATE TABLE IF NOT EXISTS MEMORY db\\Tab (\"Long Name\" char(20), b decimal(10,2), c blob(5,2), "
       "d money, e autoinc, f bytes(4), g memo, h timestamp);",
       "CREATE TABLE if-not-exists table(memory Memory Tab) field(add Long Name 1/0(20,0)) field(add b 8/0(10,2)) "
       "field(add c 3/0(5,2)) field(add d 7/21) field(add e 6/29) field(add f 9/0(4,0)) field(add g 3/22) "
       "field(add h 11/0)",
       nullptr},
      {"create table \"/data/games/t.dat\" (a int)", "CREATE TABLE table(/data/games t) field(add a 6/0)", nullptr},
      {"create table t (a varchar(10) description 'The name' not null default 'x' min 'a' max 'z' "
       "charcase upper, b integer default -5 minimum +1 maximum 10, c float default 1.5, "
       "d date default current_date, e boolean default TRUE charcase nochange, f char(3) charcase lower)",
       "CREATE TABLE table(. t) field(add a 1/0(10,0) desc='The name' required=1 case=2 default='x' min='a' "
       "max='z') field(add b 6/0 default='-5' min='+1' max='10') field(add c 7/0 default='1.5') "
       "field(add d 2/0 default='current_date') field(add e 4/0 case=0 default='TRUE') field(add f 1/0(3,0) case=1)",
       nullptr},
      {"create table t (a integer, b char(5), constraint pk unique desc nocase primary key (a, \"b\") compress full)",
       "CREATE TABLE table(. t) field(add a 6/0) field(add b 1/0(5,0)) index(add '' unique desc nocase "
       "compress=3: a b)",
       nullptr},
      {"create table t (a integer primary key (a) compress trailbyte)",
       "CREATE TABLE table(. t) field(add a 6/0) index(add '' compress=2: a)", nullptr},
      {"create table t (a integer, b memo, primary key (a), text index (b, a) stop words 'the  a' + ' of' "
       "space chars ' ,' include chars 'ab' description 'Games' blob block size 1024 "
       "language 'ANSI Standard' encrypted with secret user minor version 3 user major version 2 "
       "last autoinc -7)",
       "CREATE TABLE table(. t) field(add a 6/0) field(add b 3/22) index(add '': a) text index(add 'Sys Text' "
       "compress=3: b a) stop=[the;a;of;] space=' ,' include='ab' description='Games' blob=1024 locale=0 "
       "password='secret' major=2 minor=3 lastautoinc=-7",
       nullptr},
      {"create table t (a integer, text index (a))",
       "CREATE TABLE table(. t) field(add a 6/0) text index(add 'Sys Text' compress=3: a)", nullptr},
      {"create table t (a integer, language 'English (USA)' sort 'Binary Order')", nullptr,
       "Invalid sort constant 'Binary Order' specified after SORT keyword"},
      {"create table t (a integer, language klingon)", nullptr,
       "Invalid language constant 'klingon' specified after LANGUAGE keyword"},
      {"create table if t (a integer)", nullptr, "NOT keyword expected after IF keyword, instead found 't'"},
      {"create table if not t (a integer)", nullptr, "EXISTS keyword expected after NOT keyword, instead found 't'"},
      {"create table (a integer)", nullptr, "Table name expected after CREATE TABLE keywords, instead found '('"},
      {"create table memory \\ t (a integer)", nullptr,
       "Table name expected after CREATE TABLE keywords, instead found '\\'"},
      {"create table t a integer", nullptr, "Left parentheses expected before list of table columns, instead found 'a'"},
      {"create table t (a integer", nullptr, "Right parentheses expected after CREATE TABLE statement, instead found ''"},
      {"create table t (a integer) x", nullptr, "End of CREATE TABLE statement expected, instead found 'x'"},
      {"create table t ()", nullptr, "Table column name is empty"},
      {"create table t (a integer not b)", nullptr, "NULL keyword expected after NOT keyword, instead found 'b'"},
      {"create table t (a char(2) charcase title)", nullptr,
       "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'title'"},
      {"create table t (a integer default b)", nullptr,
       "Default expression expected after DEFAULT keyword, instead found 'b'"},
      {"create table t (a integer min - x)", nullptr,
       "Minimum expression expected after MIN or MINIMUM keyword, instead found 'x'"},
      {"create table t (a integer maximum ())", nullptr,
       "Maximum expression expected after MAX or MAXIMUM keyword, instead found '('"},
      {"create table t (a integer, constraint c unique key (a))", nullptr,
       "PRIMARY keyword expected, instead found 'key'"},
      {"create table t (a integer, primary (a))", nullptr,
       "KEY keyword expected after PRIMARY keyword, instead found '('"},
      {"create table t (a integer, primary key a)", nullptr, "Left parentheses expected, instead found 'a'"},
      {"create table t (a integer, primary key (a b))", nullptr, "Right parentheses expected, instead found 'b'"},
      {"create table t (a integer, primary key (a) compress all)", nullptr,
       "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'all'"},
      {"create table t (a integer, primary key ())", nullptr, "Index column name is empty"},
      {"create table t (a integer, primary key (t.a))", nullptr,
       "Invalid use of table correlation name 't' specified in indexed columns"},
      {"create table t (a integer, text (a))", nullptr, "INDEX keyword expected after TEXT keyword, instead found '('"},
      {"create table t (a integer, text index a)", nullptr,
       "Left parentheses expected after TEXTINDEX keyword, instead found 'a'"},
      {"create table t (a integer, text index (a b))", nullptr,
       "Right parentheses expected after TEXT INDEX clause, instead found 'b'"},
      {"create table t (a integer, text index (a) stop 'x')", nullptr,
       "WORDS keyword expected after STOP keyword, instead found 'x'"},
      {"create table t (a integer, text index (a) space 'x')", nullptr,
       "CHARS keyword expected after SPACE keyword, instead found 'x'"},
      {"create table t (a integer, text index (a) include 'x')", nullptr,
       "CHARS keyword expected after INCLUDE keyword, instead found 'x'"},
      {"create table t (a integer, text index (a) stop words)", nullptr, "Stop words are empty"},
      {"create table t (a integer, text index (a) space chars)", nullptr, "Character set is empty"},
      {"create table t (a integer, blob size 5)", nullptr, "BLOCK keyword expected after BLOB keyword, instead found 'size'"},
      {"create table t (a integer, blob block 5)", nullptr, "SIZE keyword expected after BLOCK keyword, instead found '5'"},
      {"create table t (a integer, blob block size x)", nullptr,
       "Integer value expected after SIZE keyword, instead found 'x'"},
      {"create table t (a integer, user version 1)", nullptr,
       "MAJOR or MINOR keyword expected after USER keyword, instead found 'version'"},
      {"create table t (a integer, user major 1)", nullptr,
       "VERSION keyword expected after MAJOR keyword, instead found '1'"},
      {"create table t (a integer, user minor 1)", nullptr,
       "VERSION keyword expected after MINOR keyword, instead found '1'"},
      {"create table t (a integer, user major version 70000)", nullptr,
       "Integer value expected after VERSION keyword, instead found '70000'"},
      {"create table t (a integer, encrypted secret)", nullptr,
       "WITH keyword expected after ENCRYPTED keyword, instead found 'secret'"},
      {"create table t (a integer, user major version 1 user minor version 2 user major version 3)", nullptr,
       "Right parentheses expected after CREATE TABLE statement, instead found 'user'"},
      {"create table t (a integer, language [English (USA)] sort \"Default Order\")",
       "CREATE TABLE table(. t) field(add a 6/0) locale=1033 sort=0", nullptr},
      // ---- CREATE INDEX ----
      {"create unique descending nocase index if not exists ByName on memory t (a, b) compress dupbyte",
       "CREATE INDEX if-not-exists table(memory Memory t) index(add 'ByName' unique desc nocase compress=1: a b)",
       nullptr},
      {"create index ix on db\\t (a)", "CREATE INDEX table(db t) index(add 'ix': a)", nullptr},
      {"create unique table t", nullptr, "INDEX keyword expected, instead found 'table'"},
      {"create index on t (a)", nullptr, "ON keyword expected after index name, instead found 't'"},
      {"create index (a)", nullptr, "Index name expected after INDEX keyword, instead found '('"},
      {"create index ix at t (a)", nullptr, "ON keyword expected after index name, instead found 'at'"},
      {"create index ix on (a)", nullptr, "Table name expected after ON keyword, instead found '('"},
      {"create index ix on t (a) x", nullptr, "End of CREATE INDEX statement expected, instead found 'x'"},
      // ---- ALTER TABLE ----
      {"alter table t add column x char(4) at 2 description d not null, add y integer, "
       "redefine a b smallint at 1 default 0, redefine c integer, redefine d charcase upper, redefine e char char(2), "
       "drop column f, drop g, drop constraint k primary key, add primary key (x), redefine desc primary key (y), "
       "text index (x) nobackup",
       "ALTER TABLE table(. t) field(add x 1/0(4,0) at=2 desc='d' required=1) field(add y 6/0) "
       "field(redefine a->b 5/0 at=1 default='0') field(redefine c 6/0) field(redefine d case=2) "
       "field(redefine e->char 1/0(2,0)) field(drop f) field(drop g) index(drop '':) index(add '': x) "
       "index(redefine '' desc: y) text index(add 'Sys Text' compress=3: x) nobackup",
       nullptr},
      {"alter table t description 'only options', last autoinc 5", nullptr,
       "End of ALTER TABLE statement expected, instead found ','"},
      {"alter table t redefine a, description 'x' user major version 4",
       "ALTER TABLE table(. t) field(redefine a) description='x' major=4", nullptr},
      {"alter table t add x integer at y", nullptr, "Integer value expected after AT keyword, instead found 'y'"},
      {"alter table (a)", nullptr, "Table name expected after ALTER TABLE keywords, instead found '('"},
      {"alter table t add x integer nobackup x", nullptr, "End of ALTER TABLE statement expected, instead found 'x'"},
      {"alter table t last autoinc 1.5", nullptr, "Integer constant expected after AUTOINC keyword, instead found '1.5'"},
      {"alter table t last autoinc -(2)", "ALTER TABLE table(. t) lastautoinc=-2", nullptr},
      {"alter table t last autoinc", nullptr, "Next auto-increment number is empty"},
      {"alter table t last 5", nullptr, "AUTOINC keyword expected after LAST keyword, instead found '5'"},
      {"create table t (a integer, c integer) nobackup", nullptr,
       "End of CREATE TABLE statement expected, instead found 'nobackup'"},
      // ---- DROP TABLE and DROP INDEX ----
      {"drop table if exists memory t", "DROP TABLE if-exists table(memory Memory t)", nullptr},
      {"drop table if t", nullptr, "EXISTS keyword expected after IF keyword, instead found 't'"},
      {"drop table ;", nullptr, "Table name expected after DROP TABLE keywords, instead found ';'"},
      {"drop index if exists db\\t.Primary", "DROP INDEX if-exists table(db t) index-name=Primary", nullptr},
      {"drop index \"My Table\".\"By Name\"", "DROP INDEX table(. My Table) index-name=By Name", nullptr},
      {"drop index ix", nullptr, "Table name expected after DROP INDEX keywords, instead found ''"},
      {"drop index 5", nullptr, "Table name expected after DROP INDEX keywords, instead found '5'"},
      {"drop index t.ix x", nullptr, "End of DROP INDEX statement expected, instead found 'x'"},
  };
  testing_support::TTempDir temp;
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("", temp.Path().string());
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TQueryStatement statement(*directory);
    const std::optional<EKuraEngineError> error = testing_support::EngineErrorOf([&] { statement.Prepare(c.Sql); });
    if (c.Message != nullptr) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
      EXPECT_EQ(error->ErrorExtraMessage, c.Message);
      continue;
    }
    ASSERT_FALSE(error.has_value()) << error->what();
    EXPECT_EQ(Describe(statement.MasterQuery()), c.Shape);
  }
  session.CloseDirectory(directory);
}

}  // namespace
}  // namespace kura
