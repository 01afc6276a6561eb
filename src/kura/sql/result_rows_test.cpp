// The rows of canned SELECTs: filling result rows from the sources' current rows,
// aggregates with their NULL rules, GROUP BY with HAVING, DISTINCT, ORDER BY, TOP,
// MaxRowCount and the UNION merge. The row loop is driven here the way the execution
// driver drives it: every record of the single source (or chosen combinations of two),
// handed to TResultRows until Add refuses.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kura/base/code_page_text.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/result_rows.h"
#include "kura/sql/result_table.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorOf;

using TRow = std::vector<std::string>;
using TRows = std::vector<TRow>;
using TValues = std::vector<std::optional<std::string>>;

constexpr char kNull[] = "NULL";

std::string ShiftJis(const std::string& utf8) {
  const std::optional<std::string> text = Utf8ToCodePage(932, utf8);
  EXPECT_TRUE(text.has_value()) << utf8;
  return text.value_or(std::string());
}

// "Black to play, white dies" and "the bent four in the corner", as the tables hold them.
const std::string kJapaneseName = ShiftJis("黒先白死");
const std::string kJapaneseNote = ShiftJis("隅の曲がり四目");

// What one run of a query produced.
struct TRun {
  TRows Rows;
  int64_t Added = 0;  // rows Add accepted
  bool Refused = false;  // Add returned false before the source ended
  int Sorts = 0;
  int LiveMembers = 0;  // UNION members whose result is their source's cursor
};

class ResultRowsTest : public ::testing::Test {
protected:
  ResultRowsTest() {
    Session.SetPrivateDir(Temp.Path().string());
    Execute("create table games (id autoinc, mnb integer, tes smallint, name char(20), price decimal(10,2), "
            "note memo)");
    Insert("games", {{}, "10", "1", "Black", "1.5", "first"});
    Insert("games", {{}, "10", "2", "white", "2.25", {}});
    Insert("games", {{}, "20", "1", "black", {}, "third"});
    Insert("games", {{}, "20", {}, kJapaneseName, "4", kJapaneseNote});
    Insert("games", {{}, {}, "3", {}, "0.5", {}});
    Insert("games", {{}, "30", "5", "White", "3", "sixth"});
    Insert("games", {{}, "10", "6", "white", "2.25", "dup"});
    Insert("games", {{}, "40", {}, "ko", {}, {}});
    Execute("create table others (mnb integer, name char(10))");
    Insert("others", {"10", "white"});
    Insert("others", {"50", "new"});
    Insert("others", {"50", "new"});
    Execute("create table ints (i integer)");
    Insert("ints", {"1"});
    Insert("ints", {"2"});
    Execute("create table empty (i integer)");
  }

  void Execute(const std::string& sql) {
    TQueryStatement statement(*Directory);
    statement.Prepare(sql);
    TDataCursor* result = nullptr;
    statement.Execute(result);
  }

  // Appends a record; values are texts converted to the field types, a memo's text its
  // content; an empty value is NULL (an auto-increment field numbers itself).
  void Insert(const std::string& table, const TValues& values) {
    TDataCursor cursor(*Directory);
    cursor.SetTableName(table);
    cursor.OpenCursor();
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    cursor.InitRecord(record.data());
    const auto& fields = cursor.FieldDefinitions();
    for (size_t i = 0; i < values.size() && i < fields.size(); ++i) {
      const TFieldDefinition& field = fields[i];
      if (!values[i] || field.IsAutoInc()) continue;
      const std::string& text = *values[i];
      if (field.FieldType == TFieldType::Blob) {
        int32_t size = 0;
        ASSERT_EQ(cursor.OpenBlob(field.FieldNo, record.data(), TBlobOpenMode::ReadWrite, size), 0);
        ASSERT_EQ(cursor.PutBlob(field.FieldNo, record.data(), 0, static_cast<int32_t>(text.size()),
                                 reinterpret_cast<const uint8_t*>(text.data())),
                  0);
        continue;
      }
      uint8_t value[kValueBufferSize] = {};
      std::memcpy(value, text.data(), std::min<size_t>(text.size(), kValueBufferSize - 1));
      ASSERT_TRUE(ConvertValue(TFieldType::String, static_cast<int>(text.size() + 1), 0, value, field.DataScale,
                               field.DataSize, field.FieldType))
          << text;
      cursor.SetField(field.FieldNo, record.data(), value);
    }
    cursor.AppendRecord(record.data(), false);
  }

  // The visible fields of every record of a result, as texts ("NULL" for NULL).
  static TRows ReadRows(TDataCursor& cursor) {
    TRows rows;
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record.data()) == 0) {
      TRow row;
      for (const TFieldDefinition& field : cursor.FieldDefinitions()) {
        if (field.Name.rfind("Sys__Avg__Count", 0) == 0) continue;
        row.push_back(FieldText(cursor, record, field));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  static std::string FieldText(TDataCursor& cursor, std::vector<uint8_t>& record, const TFieldDefinition& field) {
    bool isNull = true;
    uint8_t value[kValueBufferSize] = {};
    cursor.GetField(field.FieldNo, record.data(), isNull, value);
    if (isNull) return kNull;
    if (field.FieldType == TFieldType::Blob) {
      int32_t size = 0;
      EXPECT_EQ(cursor.OpenBlob(field.FieldNo, record.data(), TBlobOpenMode::Read, size), 0);
      std::string text(static_cast<size_t>(size), '\0');
      int32_t count = 0;
      EXPECT_EQ(cursor.GetBlob(field.FieldNo, record.data(), 0, size, reinterpret_cast<uint8_t*>(text.data()), count),
                0);
      EXPECT_EQ(cursor.FreeBlob(field.FieldNo, record.data()), 0);
      return text;
    }
    EXPECT_TRUE(ConvertValue(field.FieldType, field.DataSize, field.DataScale, value, 0, kValueBufferSize,
                             TFieldType::String));
    return std::string(reinterpret_cast<const char*>(value));
  }

  // One run of a prepared canned query over its single source: every record, in record
  // number order, until Add refuses.
  static TRun Drive(TDataQuery& query) {
    TRun run;
    TResultRows rows(query);
    TSourceTable& source = *query.SourceTables.front();
    source.AtEnd = false;
    source.Cursor->SetToBegin();
    while (source.Cursor->GetNextRecord(source.RecordBuffer.data()) == 0) {
      if (!rows.Add()) {
        run.Refused = true;
        break;
      }
    }
    rows.Finish();
    run.Added = rows.RowCount();
    run.Sorts = rows.SortCount();
    return run;
  }

  // Prepares and runs a statement the way its run does: every canned query from the
  // last made to the first, then the UNION merge; the rows are the master's.
  TRun Run(const std::string& sql, int32_t maxRowCount = -1) {
    TQueryStatement statement(*Directory);
    statement.SetMaxRowCount(maxRowCount);
    statement.Prepare(sql);
    TRun masterRun;
    int liveMembers = 0;
    const auto& queries = statement.Queries();
    for (size_t i = queries.size(); i-- > 0;) {
      TDataQuery& query = *queries[i];
      if (query.LiveResult) {
        ++liveMembers;
        continue;
      }
      TRun run = Drive(query);
      if (i == 0) masterRun = run;
    }
    MergeUnion(statement.MasterQuery());
    masterRun.Rows = ReadRows(*statement.MasterQuery().CannedResult->Cursor);
    masterRun.LiveMembers = liveMembers;
    return masterRun;
  }

  // A statement's rows, and what the case also names of its run (-1: not checked).
  struct TCase {
    const char* Sql;
    TRows Expected;
    int32_t MaxRowCount = -1;
    int64_t Added = -1;
    int Refused = -1;  // 1 when Add refused a row
    int Sorts = -1;
    int LiveMembers = -1;
  };

  void ExpectCases(const std::vector<TCase>& cases) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.Sql);
      const TRun run = Run(c.Sql, c.MaxRowCount);
      EXPECT_EQ(run.Rows, c.Expected);
      if (c.Added >= 0) {
        EXPECT_EQ(run.Added, c.Added);
      }
      if (c.Refused >= 0) {
        EXPECT_EQ(run.Refused, c.Refused == 1);
      }
      if (c.Sorts >= 0) {
        EXPECT_EQ(run.Sorts, c.Sorts);
      }
      if (c.LiveMembers >= 0) {
        EXPECT_EQ(run.LiveMembers, c.LiveMembers);
      }
    }
  }

  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("", Temp.Path().string());
};

TEST_F(ResultRowsTest, PlainColumnsAreCopiedWithTheirNullsTextsAndMemos) {
  const TRows rows = Run("select id, mnb, name, price, note from games").Rows;
  const TRows expected = {
      {"1", "10", "Black", "1.5", "first"},
      {"2", "10", "white", "2.25", kNull},
      {"3", "20", "black", kNull, "third"},
      {"4", "20", kJapaneseName, "4", kJapaneseNote},
      {"5", kNull, kNull, "0.5", kNull},
      {"6", "30", "White", "3", "sixth"},
      {"7", "10", "white", "2.25", "dup"},
      {"8", "40", "ko", kNull, kNull},
  };
  EXPECT_EQ(rows, expected);
}

TEST_F(ResultRowsTest, ExpressionColumnsAreEvaluatedOnEachRow) {
  const std::vector<TCase> cases = {
      {"select id * 10, upper(name) from games top 3", {{"10", "BLACK"}, {"20", "WHITE"}, {"30", "BLACK"}}},
      {"select name || '!' as shout, tes + 1 from games top 2", {{"Black!", "2"}, {"white!", "3"}}},
      {"select mnb, sum(tes * 2), count(tes + 1) from games group by mnb",
       {{kNull, "6", "1"}, {"10", "18", "3"}, {"20", "2", "1"}, {"30", "10", "1"}, {"40", kNull, "0"}}},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, AggregatesSkipNullsAndStartGroupsWithTheirFirstValue) {
  const std::vector<TCase> cases = {
      // Groups in MNB order, the NULL group first; a group of NULL values has NULL
      // aggregates and a COUNT of 0.
      {"select mnb, count(*), count(tes), sum(tes), min(tes), max(tes), avg(tes) from games group by mnb",
       {{kNull, "1", "1", "3", "3", "3", "3"},
        {"10", "3", "3", "9", "1", "6", "3"},
        {"20", "2", "1", "1", "1", "1", "1"},
        {"30", "1", "1", "5", "5", "5", "5"},
        {"40", "1", "0", kNull, kNull, kNull, kNull}}},
      // BCD sums, averages rounded at the column's scale, minimums and maximums.
      {"select mnb, sum(price), avg(price), min(price), max(price) from games group by mnb",
       {{kNull, "0.5", "0.5", "0.5", "0.5"},
        {"10", "6", "2", "1.5", "2.25"},
        {"20", "4", "4", "4", "4"},
        {"30", "3", "3", "3", "3"},
        {"40", kNull, kNull, kNull, kNull}}},
      // Without GROUP BY: one row from every row.
      {"select count(*), count(tes), sum(tes), min(tes), max(tes), avg(tes) from games",
       {{"8", "6", "18", "1", "6", "3"}}},
      {"select avg(i), sum(i), count(i) from ints", {{"1.5", "3", "2"}}},
      // One row also from no row: NULL but COUNT(*).
      {"select count(*), count(i), sum(i), avg(i), min(i) from empty", {{"0", kNull, kNull, kNull, kNull}}},
      {"select count(i) from empty", {{kNull}}},
      {"select avg(i) from empty", {{kNull}}},
      {"select count(*) from empty", {{"0"}}},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, RunningSumsCarryOnAcrossGroups) {
  const std::vector<TCase> cases = {
      {"select mnb, runsum(tes), sum(tes) from games group by mnb",
       {{kNull, "3", "3"}, {"10", "12", "9"}, {"20", "13", "1"}, {"30", "18", "5"}, {"40", "18", kNull}}},
      // Groups HAVING drops still add to the running sum.
      {"select mnb, runsum(tes) from games group by mnb having mnb >= 20",
       {{"20", "13"}, {"30", "18"}, {"40", "18"}}},
      {"select runsum(tes) from games", {{"18"}}},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, HavingTestsFinishedGroupsThroughTheirColumns) {
  const std::vector<TCase> cases = {
      {"select mnb, count(mnb) from games group by mnb having count(mnb) > 1", {{"10", "3"}, {"20", "2"}}},
      {"select mnb, sum(tes) as total from games group by mnb having sum(tes) >= 5 and mnb < 40",
       {{"10", "9"}, {"30", "5"}}},
      {"select mnb, sum(tes) as total from games group by mnb having total >= 5", {{"10", "9"}, {"30", "5"}}},
      {"select mnb, avg(tes) from games group by mnb having avg(tes) = 3", {{kNull, "3"}, {"10", "3"}}},
      {"select mnb, sum(tes + 1) from games group by mnb having sum(tes + 1) > 5", {{"10", "12"}, {"30", "6"}}},
      {"select games.mnb, max(games.tes) from games group by mnb having max(tes) > 4", {{"10", "6"}, {"30", "5"}}},
      {"select mnb, count(mnb) from games group by mnb having count(mnb) > 1 top 1", {{"10", "3"}}},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, HavingMustRepeatAnAggregateColumnAndBeACondition) {
  struct TFailure {
    const char* Sql;
    const char* Message;
  };
  const TFailure failures[] = {
      {"select mnb, count(mnb) from games group by mnb having max(tes) > 1",
       "Expression in HAVING clause not found in source columns"},
      {"select mnb, sum(tes + 1) from games group by mnb having sum(tes) > 1",
       "Expression in HAVING clause not found in source columns"},
      {"select mnb, count(tes) from games group by mnb having count(mnb) > 1",
       "Expression in HAVING clause not found in source columns"},
      {"select mnb, count(mnb) from games group by mnb having count(mnb)",
       "HAVING clause must be a boolean expression"},
      {"select mnb, count(mnb) from games group by mnb having mnb + 1", "HAVING clause must be a boolean expression"},
  };
  for (const TFailure& f : failures) {
    SCOPED_TRACE(f.Sql);
    TQueryStatement statement(*Directory);
    const auto error = EngineErrorOf([&] { statement.Prepare(f.Sql); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
    EXPECT_EQ(error->ErrorExtraMessage, f.Message);
  }
}

TEST_F(ResultRowsTest, DistinctAndOrderBySortTheResult) {
  const std::vector<TCase> cases = {
      {"select distinct mnb, name from games",
       {{kNull, kNull},
        {"10", "Black"},
        {"10", "white"},
        {"20", "black"},
        {"20", kJapaneseName},
        {"30", "White"},
        {"40", "ko"}}},
      // Descending, NULL last; equal keys keep the order they were added in.
      {"select id, name from games order by name desc",
       {{"4", kJapaneseName},
        {"2", "white"},
        {"7", "white"},
        {"8", "ko"},
        {"3", "black"},
        {"6", "White"},
        {"1", "Black"},
        {"5", kNull}}},
      {"select id, name from games order by name nocase",
       {{"5", kNull},
        {"1", "Black"},
        {"3", "black"},
        {"8", "ko"},
        {"2", "white"},
        {"6", "White"},
        {"7", "white"},
        {"4", kJapaneseName}}},
      {"select mnb, tes from games order by mnb desc, 2",
       {{"40", kNull}, {"30", "5"}, {"20", kNull}, {"20", "1"}, {"10", "1"}, {"10", "2"}, {"10", "6"}, {kNull, "3"}}},
      {"select mnb, count(*) from games group by mnb order by 2 desc, mnb",
       {{"10", "3"}, {"20", "2"}, {kNull, "1"}, {"30", "1"}, {"40", "1"}}},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, TopLimitsTheLoopOrTheSortThatGivesTheFinalOrder) {
  const std::vector<TCase> cases = {
      // Nothing to sort: the loop stops after the third row.
      {.Sql = "select id from games top 3", .Expected = {{"1"}, {"2"}, {"3"}}, .Added = 3, .Refused = 1},
      {.Sql = "select id from games top 0", .Expected = {}, .Added = 0, .Refused = 1},
      // Sorted: every row is added, the sort keeps the first ones.
      {.Sql = "select id, tes from games order by tes desc top 2",
       .Expected = {{"7", "6"}, {"6", "5"}},
       .Added = 8,
       .Refused = 0},
      {.Sql = "select distinct mnb from games top 3", .Expected = {{kNull}, {"10"}, {"20"}}, .Added = 8, .Refused = 0},
      {.Sql = "select distinct mnb from games order by mnb desc top 2",
       .Expected = {{"40"}, {"30"}},
       .Added = 8,
       .Refused = 0},
      {.Sql = "select mnb, count(*) from games group by mnb top 2",
       .Expected = {{kNull, "1"}, {"10", "3"}},
       .Added = 8,
       .Refused = 0},
      {.Sql = "select mnb, count(*) from games group by mnb order by 2 desc top 2",
       .Expected = {{"10", "3"}, {"20", "2"}},
       .Added = 8,
       .Refused = 0},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, AnOrderTheGroupingOrDistinctSortGivesNeedsNoSecondSort) {
  const std::vector<TCase> cases = {
      {.Sql = "select distinct mnb from games order by mnb",
       .Expected = {{kNull}, {"10"}, {"20"}, {"30"}, {"40"}},
       .Sorts = 1},
      {.Sql = "select distinct mnb from games order by mnb desc",
       .Expected = {{"40"}, {"30"}, {"20"}, {"10"}, {kNull}},
       .Sorts = 2},
      {.Sql = "select distinct mnb, tes from games order by mnb top 2",
       .Expected = {{kNull, "3"}, {"10", "1"}},
       .Sorts = 1},
      {.Sql = "select mnb, count(*) from games group by mnb order by mnb",
       .Expected = {{kNull, "1"}, {"10", "3"}, {"20", "2"}, {"30", "1"}, {"40", "1"}},
       .Sorts = 1},
      {.Sql = "select mnb, count(*) from games group by mnb order by mnb nocase",
       .Expected = {{kNull, "1"}, {"10", "3"}, {"20", "2"}, {"30", "1"}, {"40", "1"}},
       .Sorts = 2},
      {.Sql = "select id from games", .Expected = {{"1"}, {"2"}, {"3"}, {"4"}, {"5"}, {"6"}, {"7"}, {"8"}}, .Sorts = 0},
      {.Sql = "select count(*) from games order by 1", .Expected = {{"8"}}, .Sorts = 1},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, MaxRowCountLimitsTheRowsBeforeTheyAreGrouped) {
  const std::vector<TCase> cases = {
      {.Sql = "select mnb, count(*), sum(tes) from games group by mnb",
       .Expected = {{"10", "2", "3"}, {"20", "1", "1"}},
       .MaxRowCount = 3,
       .Added = 3,
       .Refused = 1},
      {.Sql = "select count(*), max(tes) from games",
       .Expected = {{"5", "3"}},
       .MaxRowCount = 5,
       .Added = 5,
       .Refused = 1},
      {.Sql = "select id from games", .Expected = {}, .MaxRowCount = 0, .Added = 0, .Refused = 1},
      {.Sql = "select id from games order by id desc",
       .Expected = {{"2"}, {"1"}},
       .MaxRowCount = 2,
       .Added = 2,
       .Refused = 1},
      {.Sql = "select id from games top 4", .Expected = {{"1"}, {"2"}}, .MaxRowCount = 2, .Added = 2, .Refused = 1},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, UnionMergesTheMembersRowsDroppingDuplicatesUnlessAll) {
  const std::vector<TCase> cases = {
      {.Sql = "select mnb, name from games union select mnb, name from others",
       .Expected = {{kNull, kNull},
                    {"10", "Black"},
                    {"10", "white"},
                    {"20", "black"},
                    {"20", kJapaneseName},
                    {"30", "White"},
                    {"40", "ko"},
                    {"50", "new"}},
       .LiveMembers = 1},
      {"select mnb, name from games union all select mnb, name from others",
       {{"10", "Black"},
        {"10", "white"},
        {"20", "black"},
        {"20", kJapaneseName},
        {kNull, kNull},
        {"30", "White"},
        {"10", "white"},
        {"40", "ko"},
        {"10", "white"},
        {"50", "new"},
        {"50", "new"}}},
      // The head's ORDER BY and TOP follow the last member and order the merged rows.
      {"select mnb, name from games union all select mnb, name from others order by 1 desc top 4",
       {{"50", "new"}, {"50", "new"}, {"40", "ko"}, {"30", "White"}}},
      // A member in the middle is canned: it takes the rows after it first.
      {.Sql = "select mnb from others union select i from ints union select mnb from games",
       .Expected = {{kNull}, {"1"}, {"2"}, {"10"}, {"20"}, {"30"}, {"40"}, {"50"}},
       .LiveMembers = 1},
      // Grouped members; memos copied from a canned and from a live member.
      {.Sql = "select mnb, count(*) from others group by mnb "
              "union all select mnb, count(*) from games group by mnb",
       .Expected = {{"10", "1"}, {"50", "2"}, {kNull, "1"}, {"10", "3"}, {"20", "2"}, {"30", "1"}, {"40", "1"}},
       .LiveMembers = 0},
      {.Sql = "select id, note from games top 1 union all select id, note from games top 2",
       .Expected = {{"1", "first"}, {"1", "first"}, {"2", kNull}},
       .LiveMembers = 0},
      {.Sql = "select mnb, note from games top 1 union all select mnb, note from games",
       .Expected = {{"10", "first"},
                    {"10", "first"},
                    {"10", kNull},
                    {"20", "third"},
                    {"20", kJapaneseNote},
                    {kNull, kNull},
                    {"30", "sixth"},
                    {"10", "dup"},
                    {"40", kNull}},
       .LiveMembers = 1},
  };
  ExpectCases(cases);
}

TEST_F(ResultRowsTest, TheNullRowOfAnOuterJoinGivesNullColumnsAutoIncrementToo) {
  TQueryStatement statement(*Directory);
  statement.Prepare("select g.id, g.name, o.mnb, o.name from games g, others o");
  TDataQuery& query = statement.MasterQuery();
  ASSERT_FALSE(query.LiveResult);
  TSourceTable& games = *query.SourceTables[0];
  TSourceTable& others = *query.SourceTables[1];
  {
    TResultRows rows(query);
    games.Cursor->SetToBegin();
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(games.Cursor->GetNextRecord(games.RecordBuffer.data()), 0);
      // Each games row with every others row, then with the NULL row of others.
      others.Cursor->SetToBegin();
      while (others.Cursor->GetNextRecord(others.RecordBuffer.data()) == 0) ASSERT_TRUE(rows.Add());
      others.AtEnd = true;
      ASSERT_TRUE(rows.Add());
      others.AtEnd = false;
    }
    // A combination with games at its end: its auto-increment column is NULL as well.
    others.Cursor->SetToBegin();
    ASSERT_EQ(others.Cursor->GetNextRecord(others.RecordBuffer.data()), 0);
    games.AtEnd = true;
    ASSERT_TRUE(rows.Add());
    games.AtEnd = false;
    rows.Finish();
    EXPECT_EQ(rows.RowCount(), 9);
  }
  const TRows expected = {
      {"1", "Black", "10", "white"}, {"1", "Black", "50", "new"},   {"1", "Black", "50", "new"},
      {"1", "Black", kNull, kNull},  {"2", "white", "10", "white"}, {"2", "white", "50", "new"},
      {"2", "white", "50", "new"},   {"2", "white", kNull, kNull},  {kNull, kNull, "10", "white"},
  };
  EXPECT_EQ(ReadRows(*query.CannedResult->Cursor), expected);
}

TEST_F(ResultRowsTest, ASingleCountIsOneRowWithTheCount) {
  TQueryStatement statement(*Directory);
  statement.Prepare("select count(*) as n from games");
  TDataQuery& query = statement.MasterQuery();
  ASSERT_TRUE(query.SingleCount);
  TResultRows rows(query);
  rows.FinishSingleCount(8);
  EXPECT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(ReadRows(*query.CannedResult->Cursor), (TRows{{"8"}}));
}

TEST_F(ResultRowsTest, ARunStartsFromAnEmptiedResultAgain) {
  TQueryStatement statement(*Directory);
  statement.Prepare("select mnb, runsum(tes), avg(tes), count(mnb) from games group by mnb having count(mnb) > 1");
  TDataQuery& query = statement.MasterQuery();
  // ResolveHaving is harmless when repeated.
  ResolveHaving(query);
  ResolveHaving(query);
  const TRows expected = {{"10", "12", "3", "3"}, {"20", "13", "1", "2"}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    query.CannedResult->Cursor->EmptyTable();
    Drive(query);
    EXPECT_EQ(ReadRows(*query.CannedResult->Cursor), expected);
  }
}

TEST_F(ResultRowsTest, MergeUnionLeavesAQueryWithoutUnionAlone) {
  const TRun run = Run("select id from games top 2");
  EXPECT_EQ(run.Rows, (TRows{{"1"}, {"2"}}));
}

}  // namespace
}  // namespace kura
