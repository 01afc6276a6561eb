// Definition statements run end to end: SQL text through TQueryStatement onto tables in
// a fresh folder, checked through the definitions the tables then have.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

class DefinitionStatementsTest : public ::testing::Test {
protected:
  DefinitionStatementsTest() { Directory = Session.OpenDirectory("", Temp.Path().string()); }
  ~DefinitionStatementsTest() override { Session.CloseDirectory(Directory); }

  // Prepares and runs `sql`; returns the rows it reports.
  int32_t Run(const std::string& sql) {
    TQueryStatement statement(*Directory);
    statement.Prepare(sql);
    TDataCursor* result = nullptr;
    statement.Execute(result);
    EXPECT_EQ(result, nullptr);
    return statement.RowsAffected();
  }

  std::unique_ptr<TDataCursor> Open(const std::string& table) {
    auto cursor = std::make_unique<TDataCursor>(*Directory);
    cursor->SetTableName(table);
    cursor->OpenCursor();
    return cursor;
  }

  TTableDefinition Definition(const std::string& table) { return Open(table)->TableDefinition(); }

  // Fields, primary key and secondary indexes of a table in one line, "-" when it
  // does not exist: "a b c | primary(1) | ib(2)".
  std::string Shape(const std::string& table) {
    if (!Directory->TableExists(table, false)) return "-";
    const TTableDefinition definition = Definition(table);
    std::ostringstream out;
    for (size_t i = 0; i < definition.Fields.size(); ++i) out << (i == 0 ? "" : " ") << definition.Fields[i].Name;
    auto fields = [&](const TIndexDefinition& index) {
      std::string text;
      for (uint16_t field : index.Fields) text += (text.empty() ? "" : ",") + std::to_string(field);
      return text;
    };
    out << " |";
    if (definition.PrimaryIndex && !definition.PrimaryIndex->Fields.empty()) {
      out << " primary(" << fields(*definition.PrimaryIndex) << ")";
    }
    out << " |";
    for (const TIndexDefinition& index : definition.SecondaryIndexes) out << " " << index.Name << "(" << fields(index) << ")";
    return out.str();
  }

  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
};

TEST_F(DefinitionStatementsTest, CreateTableGivesTheDefinitionAsWritten) {
  EXPECT_EQ(Run("create table games (id autoinc, title varchar(40) description 'Title of the problem' not null "
                "default 'untitled' charcase upper, level smallint default 3 min -2 max +9, "
                "price decimal(10,2), played date default current_date, notes memo, "
                "constraint pk unique desc nocase primary key (LEVEL, Title) compress full, "
                "text index (notes, title) stop words 'the a' space chars ' .' include chars 'abc' "
                "description 'Tsumego' blob block size 1024 language 'English (USA)' "
                "user major version 3 user minor version 7 last autoinc 41)"),
            0);
  const TTableDefinition d = Definition("games");
  ASSERT_EQ(d.Fields.size(), 6u);
  struct TExpectedField {
    const char* Name;
    TFieldType Type;
    TFieldSubType SubType;
    uint8_t Size;
    uint8_t Scale;
    const char* Description;
    bool Required;
    TCharCase CharCase;
    const char* Default;
    const char* Min;
    const char* Max;
  };
  const TExpectedField expected[] = {
      {"id", TFieldType::Integer, TFieldSubType::AutoInc, 0, 0, "", false, TCharCase::Keep, "", "", ""},
      {"title", TFieldType::String, TFieldSubType::None, 40, 0, "Title of the problem", true, TCharCase::Upper,
       "untitled", "", ""},
      {"level", TFieldType::SmallInt, TFieldSubType::None, 0, 0, "", false, TCharCase::Keep, "3", "-2", "+9"},
      {"price", TFieldType::Bcd, TFieldSubType::None, 0, 2, "", false, TCharCase::Keep, "", "", ""},
      {"played", TFieldType::Date, TFieldSubType::None, 0, 0, "", false, TCharCase::Keep, "current_date", "", ""},
      {"notes", TFieldType::Blob, TFieldSubType::Memo, 0, 0, "", false, TCharCase::Keep, "", "", ""},
  };
  for (size_t i = 0; i < d.Fields.size(); ++i) {
    const TFieldDefinition& f = d.Fields[i];
    const TExpectedField& e = expected[i];
    SCOPED_TRACE(e.Name);
    EXPECT_EQ(f.FieldNo, i + 1);
    EXPECT_EQ(f.Name, e.Name);
    EXPECT_EQ(f.FieldType, e.Type);
    EXPECT_EQ(f.SubType, e.SubType);
    EXPECT_EQ(f.Size, e.Size);
    EXPECT_EQ(f.Scale, e.Scale);
    EXPECT_EQ(f.Description, e.Description);
    EXPECT_EQ(f.Required, e.Required);
    EXPECT_EQ(f.CharCase, e.CharCase);
    EXPECT_EQ(f.DefaultValue, e.Default);
    EXPECT_EQ(f.MinValue, e.Min);
    EXPECT_EQ(f.MaxValue, e.Max);
  }
  ASSERT_TRUE(d.PrimaryIndex.has_value());
  EXPECT_EQ(d.PrimaryIndex->Fields, (std::vector<uint16_t>{3, 2}));
  EXPECT_TRUE(d.PrimaryIndex->Descending);
  EXPECT_TRUE(d.PrimaryIndex->CaseInsensitive);
  EXPECT_EQ(d.PrimaryIndex->Compression, TIndexCompression::Full);
  EXPECT_TRUE(d.SecondaryIndexes.empty());
  EXPECT_EQ(d.TextIndexFields, (std::vector<uint16_t>{6, 2}));
  EXPECT_EQ(d.TextIndexParams.StopWords, (std::vector<std::string>{"a", "the"}));
  TCharSet space{};
  AddToCharSet(space, ' ');
  AddToCharSet(space, '.');
  EXPECT_EQ(d.TextIndexParams.SpaceChars, space);
  EXPECT_EQ(d.Description, "Tsumego");
  EXPECT_EQ(d.BlobBlockSize, 1024);
  EXPECT_EQ(d.LocaleId, 0x0409);
  EXPECT_EQ(d.UserMajorVersion, 3);
  EXPECT_EQ(d.UserMinorVersion, 7);
  EXPECT_EQ(d.LastAutoIncValue, 41);
  EXPECT_FALSE(d.Encrypted);
}

TEST_F(DefinitionStatementsTest, CreateTableDefaultsAndEncryption) {
  Run("create table plain (a integer)");
  const TTableDefinition plain = Definition("plain");
  EXPECT_FALSE(plain.PrimaryIndex && !plain.PrimaryIndex->Fields.empty());
  EXPECT_TRUE(plain.TextIndexFields.empty());
  EXPECT_EQ(plain.BlobBlockSize, 512);
  EXPECT_EQ(plain.UserMajorVersion, 1);
  EXPECT_EQ(plain.UserMinorVersion, 0);
  EXPECT_EQ(plain.LocaleId, 0);

  Run("create table secret (a integer, encrypted with Hidden)");
  // The creating session knows the password: the table opens without asking.
  const TTableDefinition secret = Definition("secret");
  EXPECT_TRUE(secret.Encrypted);
  EXPECT_EQ(secret.Password, "Hidden");
  // ALTER TABLE keeps what it does not change, the password among it.
  Run("alter table secret add b char(3), description 'kept'");
  const TTableDefinition altered = Definition("secret");
  EXPECT_TRUE(altered.Encrypted);
  EXPECT_EQ(altered.Password, "Hidden");
  EXPECT_EQ(altered.Description, "kept");
  EXPECT_EQ(altered.Fields.size(), 2u);
}

// Each step runs on the tables left by the steps before it; afterwards table t has the
// shape given ("-": no table t).
TEST_F(DefinitionStatementsTest, StepsChangeTablesOrFailWithTheirError) {
  struct TStep {
    const char* Sql;
    TErrorCode Code;      // KURA_NONE: succeeds
    const char* Message;  // the extra message of a KURA_SQLPARSE failure
    const char* Shape;
  };
  const TStep steps[] = {
      {"create table t (a integer, b char(5))", KURA_NONE, "", "a b | |"},
      {"create table t (z integer)", KURA_TABLEEXISTS, "", "a b | |"},
      {"create table if not exists t (z integer)", KURA_NONE, "", "a b | |"},
      {"create table u (a integer, primary key (b))", KURA_SQLPARSE, "Invalid field name 'b' specified for index ''",
       "a b | |"},
      {"create table u (a integer, text index (c))", KURA_SQLPARSE, "Invalid field name 'c' specified for text index",
       "a b | |"},
      {"alter table t redefine x integer", KURA_SQLPARSE, "Column x not found", "a b | |"},
      {"alter table t add y integer, drop x", KURA_SQLPARSE, "Column x not found", "a b | |"},
      {"alter table t add primary key (a)", KURA_NONE, "", "a b | primary(1) |"},
      {"alter table t add primary key (b)", KURA_SQLPARSE, "Cannot REDEFINE the primary key using the ADD keyword",
       "a b | primary(1) |"},
      {"alter table t drop primary key, add primary key (B)", KURA_NONE, "", "a b | primary(2) |"},
      {"alter table t redefine primary key (a, b)", KURA_NONE, "", "a b | primary(1,2) |"},
      {"create index ib on t (b)", KURA_NONE, "", "a b | primary(1,2) | ib(2)"},
      {"create index IB on t (a)", KURA_INDEXEXISTS, "", "a b | primary(1,2) | ib(2)"},
      {"create index if not exists IB on t (a)", KURA_NONE, "", "a b | primary(1,2) | ib(2)"},
      {"create index ix on t (nosuch)", KURA_SQLPARSE, "Invalid field name 'nosuch' specified for index 'ix'",
       "a b | primary(1,2) | ib(2)"},
      {"alter table t add c integer at 1", KURA_NONE, "", "c a b | primary(2,3) | ib(3)"},
      {"alter table t redefine b bb char(8) at 1", KURA_NONE, "", "bb c a | primary(3,1) | ib(1)"},
      {"drop index if exists t.nosuch", KURA_NONE, "", "bb c a | primary(3,1) | ib(1)"},
      {"drop index t.nosuch", KURA_INVALIDINDEXNAME, "", "bb c a | primary(3,1) | ib(1)"},
      {"drop index t.IB", KURA_NONE, "", "bb c a | primary(3,1) |"},
      {"drop index t.PRIMARY", KURA_NONE, "", "bb c a | |"},
      {"drop index if exists t.primary", KURA_NONE, "", "bb c a | |"},
      {"create index ic on t (c)", KURA_NONE, "", "bb c a | | ic(2)"},
      // An index over a dropped column goes with the column.
      {"alter table t drop c", KURA_NONE, "", "bb a | |"},
      {"drop table t", KURA_NONE, "", "-"},
      {"drop table t", KURA_OSENOENT, "", "-"},
      {"drop table if exists t", KURA_NONE, "", "-"},
      {"drop index t.ib", KURA_OSENOENT, "", "-"},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Sql);
    const std::optional<EKuraEngineError> error = testing_support::EngineErrorOf([&] { Run(step.Sql); });
    if (step.Code == KURA_NONE) {
      EXPECT_FALSE(error.has_value()) << error->what();
    } else {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->ErrorCode, step.Code) << error->what();
      if (step.Code == KURA_SQLPARSE) {
        EXPECT_EQ(error->ErrorExtraMessage, step.Message);
      }
    }
    EXPECT_EQ(Shape("t"), step.Shape);
  }
  EXPECT_EQ(Shape("u"), "-");
}

struct TRow {
  int32_t Id;
  std::string Name;
  int32_t Value;
};

TEST_F(DefinitionStatementsTest, AlterTableKeepsTheRecords) {
  Run("create table r (id integer, name char(10), val integer, primary key (id))");
  const TRow rows[] = {{1, "one", 10}, {2, "two", 20}, {3, "three", 30}};
  {
    auto cursor = Open("r");
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    for (const TRow& row : rows) {
      cursor->InitRecord(record.data());
      uint8_t value[4];
      WriteI32(value, row.Id);
      cursor->SetField(1, record.data(), value);
      cursor->SetField(2, record.data(), reinterpret_cast<const uint8_t*>(row.Name.c_str()));
      WriteI32(value, row.Value);
      cursor->SetField(3, record.data(), value);
      cursor->AppendRecord(record.data(), false);
    }
  }
  Run("alter table r add extra char(4) at 2 default 'x', redefine val amount largeint, drop name, "
      "drop primary key, add primary key (amount)");
  auto cursor = Open("r");
  const TTableDefinition d = cursor->TableDefinition();
  ASSERT_EQ(d.Fields.size(), 3u);
  EXPECT_EQ(d.Fields[0].Name, "id");
  EXPECT_EQ(d.Fields[1].Name, "extra");
  EXPECT_EQ(d.Fields[2].Name, "amount");
  EXPECT_EQ(d.Fields[2].FieldType, TFieldType::LargeInt);
  ASSERT_TRUE(d.PrimaryIndex.has_value());
  EXPECT_EQ(d.PrimaryIndex->Fields, (std::vector<uint16_t>{3}));
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->SetToBegin();
  size_t seen = 0;
  while (cursor->GetNextRecord(record.data()) == KURA_NONE) {
    ASSERT_LT(seen, std::size(rows));
    bool isNull = true;
    uint8_t value[16] = {};
    cursor->GetField(1, record.data(), isNull, value);
    EXPECT_FALSE(isNull);
    EXPECT_EQ(ReadI32(value), rows[seen].Id);
    // The new column takes its default in the records carried over.
    cursor->GetField(2, record.data(), isNull, value);
    EXPECT_FALSE(isNull);
    EXPECT_STREQ(reinterpret_cast<const char*>(value), "x");
    cursor->GetField(3, record.data(), isNull, value);
    EXPECT_FALSE(isNull);
    EXPECT_EQ(ReadI64(value), rows[seen].Value);
    ++seen;
  }
  EXPECT_EQ(seen, std::size(rows));
}

TEST_F(DefinitionStatementsTest, TablesArePlacedInMemoryInAPathOrInTheStatementsFolder) {
  const std::filesystem::path other = Temp / "other";
  std::filesystem::create_directory(other);
  EXPECT_EQ(Run("create table memory m (a integer)"), 0);
  EXPECT_EQ(Run("create table \"" + (other / "p").string() + "\" (a integer)"), 0);
  EXPECT_EQ(Run("create table here (a integer)"), 0);
  TDataDirectory* memory = Session.OpenDirectory("Memory", "");
  EXPECT_TRUE(memory->TableExists("m", true));
  EXPECT_FALSE(Directory->TableExists("m", false));
  EXPECT_TRUE(std::filesystem::exists(other / "p.dat") || std::filesystem::exists(other / "p.DAT"));
  EXPECT_FALSE(Directory->TableExists("p", false));
  EXPECT_TRUE(Directory->TableExists("here", false));
  Run("create index im on memory m (a)");
  Run("drop index memory m.im");
  Run("drop table memory m");
  EXPECT_FALSE(memory->TableExists("m", true));
  Session.CloseDirectory(memory);
  // The directories opened for the statements are closed again.
  EXPECT_EQ(Session.Directories().size(), 1u);
}

TEST_F(DefinitionStatementsTest, JapaneseNamesAndDefaultsInTheCodePage) {
  // Shift-JIS (code page 932): table "tsumego", columns "name" and "record", default
  // "black to play, white dies".
  const std::string table = "\x8B\x6C\x8C\xE9";
  const std::string name = "\x96\xBC\x91\x4F";
  const std::string record = "\x8A\xFB\x95\x88";
  const std::string text = "\x8D\x95\x90\xE6\x94\x92\x8E\x80";
  Run("create table " + table + " (\"" + name + "\" char(20) default '" + text + "', " + record +
      " memo, text index (" + record + "))");
  const TTableDefinition d = Definition(table);
  ASSERT_EQ(d.Fields.size(), 2u);
  EXPECT_EQ(d.Fields[0].Name, name);
  EXPECT_EQ(d.Fields[0].DefaultValue, text);
  EXPECT_EQ(d.Fields[1].Name, record);
  EXPECT_EQ(d.TextIndexFields, (std::vector<uint16_t>{2}));
  Run("alter table " + table + " redefine \"" + name + "\" description '" + text + "'");
  EXPECT_EQ(Definition(table).Fields[0].Description, text);
  Run("drop table " + table);
  EXPECT_FALSE(Directory->TableExists(table, false));
}

}  // namespace
}  // namespace kura
