#include "kura/sql/definition_text.h"

#include <gtest/gtest.h>

#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "kura/storage/text_index_words.h"
#include "testing/definition_builders.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::Field;
using testing_support::Index;

TEST(DefinitionTextTest, QuotesNamesThatAreNoPlainIdentifiers) {
  const std::pair<std::string, std::string> cases[] = {
      {"Problems", "Problems"},
      {"_id2", "_id2"},
      {"a$b", "a$b"},
      {"Text", "\"Text\""},             // ends a column list
      {"primary", "\"primary\""},
      {"Date", "\"Date\""},             // a data type
      {"two words", "\"two words\""},
      {"2nd", "\"2nd\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"a]b", "\"a]b\""},
      {"\x95\x5C", "\"\x95\x5C\""},     // Shift-JIS with a backslash trail byte
      {"", "\"\""},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(SqlName(name), expected) << name;
}

TEST(DefinitionTextTest, WritesStringsWithDoubledQuotes) {
  EXPECT_EQ(SqlString("it's"), "'it''s'");
  EXPECT_EQ(SqlString(""), "''");
  EXPECT_EQ(SqlString("a\"b"), "'a\"b'");
}

// The column line CREATE TABLE writes for one field.
std::string ColumnLine(const TFieldDefinition& field) {
  TTableDefinition definition;
  definition.Fields = {field};
  const std::string text = CreateTableText("t", definition);
  const size_t start = text.find("\n  ") + 3;
  return text.substr(start, text.find(",\n", start) - start);
}

TEST(DefinitionTextTest, WritesEveryDataType) {
  auto bcd = Field("d", TFieldType::Bcd);
  bcd.Scale = 2;
  const std::pair<TFieldDefinition, std::string> cases[] = {
      {Field("s", TFieldType::String, 20), "s CHAR(20)"},
      {Field("n", TFieldType::Integer), "n INTEGER"},
      {Field("id", TFieldType::Integer, 0, TFieldSubType::AutoInc), "id AUTOINC"},
      {bcd, "d DECIMAL(32,2)"},
      {Field("f", TFieldType::Float), "f FLOAT"},
      {Field("m", TFieldType::Float, 0, TFieldSubType::Money), "m MONEY"},
      {Field("i", TFieldType::SmallInt), "i SMALLINT"},
      {Field("w", TFieldType::Word), "w WORD"},
      {Field("l", TFieldType::LargeInt), "l LARGEINT"},
      {Field("b", TFieldType::Boolean), "b BOOLEAN"},
      {Field("dt", TFieldType::Date), "dt DATE"},
      {Field("tm", TFieldType::Time), "tm TIME"},
      {Field("ts", TFieldType::Timestamp), "ts TIMESTAMP"},
      {Field("bt", TFieldType::Bytes, 16), "bt BYTES(16)"},
      {Field("by", TFieldType::Bytes, 16), "\"by\" BYTES(16)"},
      {Field("vb", TFieldType::VarBytes, 40), "vb VARBYTES(40)"},
      {Field("me", TFieldType::Blob, 0, TFieldSubType::Memo), "me MEMO"},
      {Field("bl", TFieldType::Blob, 0, TFieldSubType::Binary), "bl BLOB"},
      {Field("gr", TFieldType::Blob, 0, TFieldSubType::Graphic), "gr GRAPHIC"},
      {Field("bn", TFieldType::Blob), "bn BLOB /* subtype 0 */"},
      {Field("lw", TFieldType::LongWord), "lw LARGEINT /* LongWord */"},
      {Field("ex", TFieldType::Extended), "ex FLOAT /* Extended */"},
  };
  for (const auto& [field, expected] : cases) EXPECT_EQ(ColumnLine(field), expected);
}

TEST(DefinitionTextTest, WritesColumnOptionsInTheGrammarsOrder) {
  struct Case {
    TFieldType type;
    std::string description, defaultValue, minValue, maxValue;
    bool required;
    TCharCase charCase;
    std::string expected;
  };
  const Case cases[] = {
      {TFieldType::String, "Player's name", "", "", "", true, TCharCase::Upper,
       "c CHAR(10) DESCRIPTION 'Player''s name' NOT NULL CHARCASE UPPER"},
      {TFieldType::String, "", "123", "", "", false, TCharCase::Lower, "c CHAR(10) DEFAULT '123' CHARCASE LOWER"},
      {TFieldType::Integer, "", "5", "-10", "+10", false, TCharCase::Keep, "c INTEGER DEFAULT 5 MIN -10 MAX +10"},
      {TFieldType::Bcd, "", "1.50", "", "", false, TCharCase::Keep, "c DECIMAL(32,0) DEFAULT 1.50"},
      {TFieldType::Float, "", "1e5", "", "", false, TCharCase::Keep, "c FLOAT DEFAULT '1e5'"},
      {TFieldType::Boolean, "", "true", "", "", false, TCharCase::Keep, "c BOOLEAN DEFAULT true"},
      {TFieldType::Date, "", "CURRENT_DATE", "2000-01-01", "", false, TCharCase::Keep,
       "c DATE DEFAULT CURRENT_DATE MIN '2000-01-01'"},
      {TFieldType::String, "", "CURRENT_DATE", "", "", false, TCharCase::Keep, "c CHAR(10) DEFAULT 'CURRENT_DATE'"},
  };
  for (const Case& c : cases) {
    TFieldDefinition field = Field("c", c.type, c.type == TFieldType::String ? 10 : 0);
    field.Description = c.description;
    field.DefaultValue = c.defaultValue;
    field.MinValue = c.minValue;
    field.MaxValue = c.maxValue;
    field.Required = c.required;
    field.CharCase = c.charCase;
    EXPECT_EQ(ColumnLine(field), c.expected);
  }
}

TEST(DefinitionTextTest, WritesTheWholeTable) {
  TTableDefinition d;
  d.Fields = {Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc), Field("Name", TFieldType::String, 30),
              Field("Text", TFieldType::Blob, 0, TFieldSubType::Memo)};
  d.PrimaryIndex = Index("", {1}, true);
  d.PrimaryIndex->Compression = TIndexCompression::Full;
  d.SecondaryIndexes = {Index("ByName", {2, 1}, false, true)};
  d.SecondaryIndexes[0].CaseInsensitive = true;
  d.SecondaryIndexes[0].Compression = TIndexCompression::DupByte;
  d.TextIndexFields = {2, 3};
  d.Description = "Problems of the book";
  d.BlobBlockSize = 1024;
  d.LocaleId = 0x0419;
  d.UserMajorVersion = 3;
  d.UserMinorVersion = 2;
  d.LastAutoIncValue = 41;
  EXPECT_EQ(CreateTableText("Book Problems", d),
            "CREATE TABLE \"Book Problems\"\n"
            "(\n"
            "  ID AUTOINC,\n"
            "  Name CHAR(30),\n"
            "  \"Text\" MEMO,\n"
            "  UNIQUE PRIMARY KEY (ID) COMPRESS FULL\n"
            "  TEXT INDEX (Name, \"Text\")\n"
            "  DESCRIPTION 'Problems of the book'\n"
            "  BLOB BLOCK SIZE 1024\n"
            "  LANGUAGE 'Russian'\n"
            "  USER MAJOR VERSION 3 USER MINOR VERSION 2\n"
            "  LAST AUTOINC 41\n"
            ");\n");
  EXPECT_EQ(CreateIndexText("Book Problems", d, d.SecondaryIndexes[0]),
            "CREATE DESC NOCASE INDEX ByName ON \"Book Problems\" (Name, ID) COMPRESS DUPBYTE;\n");
}

TEST(DefinitionTextTest, LeavesOutWhatIsAsANewTableHasIt) {
  TTableDefinition d;
  d.Fields = {Field("a", TFieldType::Integer)};
  d.PrimaryIndex = TIndexDefinition{};  // the empty primary index of a table without a key
  d.BlobBlockSize = 512;
  d.UserMajorVersion = 1;
  EXPECT_EQ(CreateTableText("t", d), "CREATE TABLE t\n(\n  a INTEGER,\n  LANGUAGE 'ANSI Standard'\n);\n");
}

TEST(DefinitionTextTest, WritesTheSortOrderWhenNotTheDefault) {
  TTableDefinition d;
  d.Fields = {Field("a", TFieldType::Integer)};
  d.LocaleId = 0x0407;
  d.SortId = 1;
  const std::string text = CreateTableText("t", d);
  EXPECT_NE(text.find("  LANGUAGE 'German (Standard)' SORT 'German Phone Book Order'\n"), std::string::npos) << text;
}

TEST(DefinitionTextTest, WritesTextIndexRulesOnlyWhereTheyDifferFromTheDefaults) {
  struct Case {
    TTextIndexParameters params;
    std::string expected;
  };
  const TTextIndexParameters defaults = DefaultTextIndexParameters();
  TTextIndexParameters otherWords = defaults;
  otherWords.StopWords = {"GO", "STONE"};
  TTextIndexParameters otherSpaces = defaults;
  otherSpaces.SpaceChars = {};
  for (const uint8_t c : {uint8_t{9}, uint8_t{' '}, uint8_t{'\''}, uint8_t{','}, uint8_t{200}}) {
    AddToCharSet(otherSpaces.SpaceChars, c);
  }
  TTextIndexParameters noWords = defaults;
  noWords.StopWords.clear();
  const Case cases[] = {
      {TTextIndexParameters{}, "TEXT INDEX (a)\n"},
      {defaults, "TEXT INDEX (a)\n"},
      {otherWords, "TEXT INDEX (a)\n    STOP WORDS 'GO STONE'\n"},
      {otherSpaces, "TEXT INDEX (a)\n    SPACE CHARS #9 + #32 + ''',' + #200\n"},
      {noWords, "TEXT INDEX (a)\n    STOP WORDS ''\n    SPACE CHARS "},
  };
  for (const Case& c : cases) {
    TTableDefinition d;
    d.Fields = {Field("a", TFieldType::String, 20)};
    d.TextIndexFields = {1};
    d.TextIndexParams = c.params;
    const std::string text = CreateTableText("t", d);
    EXPECT_NE(text.find("  " + c.expected), std::string::npos) << text;
  }
}

TEST(DefinitionTextTest, NeverWritesThePassword) {
  TTableDefinition d;
  d.Fields = {Field("a", TFieldType::Integer)};
  d.Encrypted = true;
  d.Password = "s3cret";
  const std::string text = CreateTableText("t", d);
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
  EXPECT_NE(text.find("/* ENCRYPTED WITH: the table is encrypted; its password is not shown */"), std::string::npos);
}

TEST(DefinitionTextTest, WritesIndexFlags) {
  TTableDefinition d;
  d.Fields = {Field("a", TFieldType::Integer), Field("Key", TFieldType::String, 5)};
  TIndexDefinition unique = Index("u", {2}, true);
  unique.Compression = TIndexCompression::TrailByte;
  TIndexDefinition nocase = Index("Order", {2, 1});
  nocase.CaseInsensitive = true;
  const std::pair<TIndexDefinition, std::string> cases[] = {
      {Index("ByA", {1}), "CREATE INDEX ByA ON t (a);\n"},
      {unique, "CREATE UNIQUE INDEX u ON t (\"Key\") COMPRESS TRAILBYTE;\n"},
      {Index("d", {1}, false, true), "CREATE DESC INDEX d ON t (a);\n"},
      {nocase, "CREATE NOCASE INDEX \"Order\" ON t (\"Key\", a);\n"},
  };
  for (const auto& [index, expected] : cases) EXPECT_EQ(CreateIndexText("t", d, index), expected);
}

// ---- the texts read back by the grammar ----

void ExpectSameIndex(const TIndexDefinition& a, const TIndexDefinition& b) {
  EXPECT_EQ(a.Fields, b.Fields) << a.Name;
  EXPECT_EQ(a.Unique, b.Unique) << a.Name;
  EXPECT_EQ(a.Descending, b.Descending) << a.Name;
  EXPECT_EQ(a.CaseInsensitive, b.CaseInsensitive) << a.Name;
  EXPECT_EQ(a.Compression, b.Compression) << a.Name;
}

void ExpectSameDefinition(const TTableDefinition& a, const TTableDefinition& b) {
  ASSERT_EQ(a.Fields.size(), b.Fields.size());
  for (size_t i = 0; i < a.Fields.size(); ++i) {
    const TFieldDefinition& x = a.Fields[i];
    const TFieldDefinition& y = b.Fields[i];
    EXPECT_EQ(x.Name, y.Name);
    EXPECT_EQ(x.Description, y.Description) << x.Name;
    EXPECT_EQ(x.FieldType, y.FieldType) << x.Name;
    EXPECT_EQ(x.SubType, y.SubType) << x.Name;
    EXPECT_EQ(x.Size, y.Size) << x.Name;
    EXPECT_EQ(x.Scale, y.Scale) << x.Name;
    EXPECT_EQ(x.Required, y.Required) << x.Name;
    EXPECT_EQ(x.CharCase, y.CharCase) << x.Name;
    EXPECT_EQ(x.DefaultValue, y.DefaultValue) << x.Name;
    EXPECT_EQ(x.MinValue, y.MinValue) << x.Name;
    EXPECT_EQ(x.MaxValue, y.MaxValue) << x.Name;
  }
  ASSERT_EQ(a.PrimaryIndex.has_value(), b.PrimaryIndex.has_value());
  if (a.PrimaryIndex) ExpectSameIndex(*a.PrimaryIndex, *b.PrimaryIndex);
  ASSERT_EQ(a.SecondaryIndexes.size(), b.SecondaryIndexes.size());
  for (size_t i = 0; i < a.SecondaryIndexes.size(); ++i) {
    EXPECT_EQ(a.SecondaryIndexes[i].Name, b.SecondaryIndexes[i].Name);
    ExpectSameIndex(a.SecondaryIndexes[i], b.SecondaryIndexes[i]);
  }
  EXPECT_EQ(a.TextIndexFields, b.TextIndexFields);
  const TTextIndexParameters x = EffectiveTextIndexParameters(a.TextIndexParams);
  const TTextIndexParameters y = EffectiveTextIndexParameters(b.TextIndexParams);
  EXPECT_EQ(x.StopWords, y.StopWords);
  EXPECT_EQ(x.SpaceChars, y.SpaceChars);
  EXPECT_EQ(x.IncludeChars, y.IncludeChars);
  EXPECT_EQ(a.LocaleId, b.LocaleId);
  EXPECT_EQ(a.SortId, b.SortId);
  EXPECT_EQ(a.Description, b.Description);
  EXPECT_EQ(a.BlobBlockSize, b.BlobBlockSize);
  EXPECT_EQ(a.UserMajorVersion, b.UserMajorVersion);
  EXPECT_EQ(a.UserMinorVersion, b.UserMinorVersion);
  EXPECT_EQ(a.LastAutoIncValue, b.LastAutoIncValue);
}

// Tables made through the engine, each written as text, the text run on an empty
// directory, and the new table's definition compared with the first one's.
TEST(DefinitionTextTest, TheTextRecreatesTheTable) {
  auto withText = [](TTableDefinition d, auto change) {
    change(d);
    return d;
  };
  TTableDefinition base;
  auto bcd = Field("Price", TFieldType::Bcd);
  bcd.Scale = 2;
  bcd.MinValue = "0";
  bcd.MaxValue = "1000.50";
  auto name = Field("Name", TFieldType::String, 30);
  name.Description = "Player's name";
  name.Required = true;
  name.DefaultValue = "\x96\xB3\x96\xBC";  // 無名 in code page 932
  name.CharCase = TCharCase::Upper;
  auto flag = Field("Flag", TFieldType::Boolean);
  flag.DefaultValue = "TRUE";
  auto day = Field("Day", TFieldType::Date);
  day.DefaultValue = "CURRENT_DATE";
  base.Fields = {Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc), name, bcd,
                 Field("Text", TFieldType::Blob, 0, TFieldSubType::Memo),
                 Field("Pic", TFieldType::Blob, 0, TFieldSubType::Graphic),
                 Field("Raw", TFieldType::Blob, 0, TFieldSubType::Binary), Field("Key", TFieldType::Bytes, 8),
                 Field("F", TFieldType::Float), Field("M", TFieldType::Float, 0, TFieldSubType::Money),
                 Field("S", TFieldType::SmallInt), Field("W", TFieldType::Word), Field("L", TFieldType::LargeInt),
                 flag, day, Field("T", TFieldType::Time), Field("TS", TFieldType::Timestamp)};
  base.PrimaryIndex = Index("", {1}, true);
  const std::vector<TTableDefinition> cases = {
      base,
      withText(base,
               [](TTableDefinition& d) {
                 d.PrimaryIndex = TIndexDefinition{};
                 d.Description = "Problems of the book";
                 d.UserMajorVersion = 3;
                 d.UserMinorVersion = 2;
                 d.LastAutoIncValue = 40;
               }),
      withText(base,
               [](TTableDefinition& d) {
                 d.PrimaryIndex = Index("", {2, 1}, true, true);
                 d.PrimaryIndex->CaseInsensitive = true;
                 d.PrimaryIndex->Compression = TIndexCompression::Full;
                 TIndexDefinition byPrice = Index("ByPrice", {3}, false, true);
                 byPrice.Compression = TIndexCompression::TrailByte;
                 TIndexDefinition order = Index("Order", {2, 7}, true);
                 order.CaseInsensitive = true;
                 d.SecondaryIndexes = {byPrice, order};
                 d.BlobBlockSize = 1024;
               }),
      withText(base,
               [](TTableDefinition& d) {
                 d.TextIndexFields = {2, 4};
                 d.TextIndexParams = DefaultTextIndexParameters();
                 d.TextIndexParams.StopWords = {"GO", "STONE"};
                 d.TextIndexParams.SpaceChars = {};
                 for (const uint8_t c : {uint8_t{9}, uint8_t{' '}, uint8_t{'\''}, uint8_t{','}}) {
                   AddToCharSet(d.TextIndexParams.SpaceChars, c);
                 }
                 d.LocaleId = 0x0407;
                 d.SortId = 1;
               }),
      withText(base,
               [](TTableDefinition& d) {
                 d.TextIndexFields = {2};
                 d.TextIndexParams = DefaultTextIndexParameters();
                 d.TextIndexParams.StopWords.clear();
                 d.TextIndexParams.IncludeChars = {};
                 AddToCharSet(d.TextIndexParams.IncludeChars, 'x');
               }),
  };
  const std::string tableNames[] = {"Problems", "\x96\xE2\x91\xE8", "Text", "two words", "say \"hi\""};
  for (size_t i = 0; i < cases.size(); ++i) {
    testing_support::TTempDir first;
    testing_support::TTempDir second;
    const std::string& tableName = tableNames[i % std::size(tableNames)];
    TDataSession session;
    TTableDefinition made;
    {
      TDataCursor cursor(*session.OpenDirectory("", first.Path().string()));
      cursor.SetTableName(tableName);
      cursor.SetExclusive(true);
      cursor.CreateTable(cases[i], false);
      cursor.OpenCursor();
      made = cursor.TableDefinition();
    }
    std::string text = CreateTableText(tableName, made);
    for (const TIndexDefinition& index : made.SecondaryIndexes) text += CreateIndexText(tableName, made, index);
    SCOPED_TRACE(text);
    TDataDirectory& directory = *session.OpenDirectory("", second.Path().string());
    TQueryStatement statement(directory);
    TDataCursor* result = nullptr;
    ASSERT_NO_THROW({
      statement.Prepare(text);
      statement.Execute(result);
    });
    TDataCursor cursor(directory);
    cursor.SetTableName(tableName);
    cursor.OpenCursor();
    ExpectSameDefinition(made, cursor.TableDefinition());
  }
}

}  // namespace
}  // namespace kura
