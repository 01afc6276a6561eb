// SELECT run end to end through TQueryStatement over a small problem store (temazu,
// tejun) and three tables for joins with NULLs and duplicates: live and canned results,
// the trainer's own query texts, editing through a live result, joins of every kind,
// aggregates, DISTINCT, ORDER BY, TOP, UNION, INTO, sub-selects, row limits and
// stopping a query from its progress callback.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/code_page_text.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/select_execute.h"
#include "testing/sql_tables.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::ResultColumns;
using testing_support::ResultRows;
using Rows = std::vector<std::string>;

std::string EngineText(const std::string& utf8) { return *Utf8ToCodePage(GetEngineAnsiCodePage(), utf8); }

// The problem store and the join tables, each a few rows with NULLs and duplicates.
struct TStore {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("", Temp.Path().string());

  TStore() {
    Session.SetPrivateDir((Temp.Path() / "private").string());
    std::filesystem::create_directory(Temp.Path() / "private");
    Run("create table temazu (MNB integer, CMT char(60), EXP memo, primary key (MNB)); "
        "create table tejun (TNB integer, MNB integer, TES integer, COL integer, PST integer, BFR integer, "
        "BTO integer, CMT char(40)); "
        "create table a (x integer, z integer, n char(10)); "
        "create table b (x integer, y integer); "
        "create table c (y integer, w char(10))");
    testing_support::AppendRows(*Directory, "temazu",
                                {{"1000", "■基本死活", "目次の説明"},
                                 {"1100", "■隅の死活", std::nullopt},
                                 {"1101", "隅の曲がり四目", "白先黒死"},
                                 {"1102", "ハネ殺し", std::nullopt},
                                 {"1205", "\xEE\x80\x80私製の見出し", std::nullopt},
                                 {"0", "見出しなし", std::nullopt},
                                 {"-3", "負の番号", std::nullopt}});
    testing_support::AppendRows(*Directory, "tejun",
                                {{"1", "1101", "0", "1", "40", "0", "9999", std::nullopt},
                                 {"2", "1101", "0", "2", "41", "1", "0", std::nullopt},
                                 {"1", "1102", "0", "1", "60", "1", "9999", "置石"},
                                 {"3", "1101", "1", "1", "42", "2", "1", "正解"},
                                 {"4", "1101", "1", "-2", "43", "3", "1", "失敗"}});
    testing_support::AppendRows(*Directory, "a",
                                {{"1", "10", "one"}, {"2", "20", "two"}, {"2", "21", "two"}, {"3", std::nullopt, "three"},
                                 {std::nullopt, "40", std::nullopt}});
    testing_support::AppendRows(*Directory, "b", {{"1", "100"}, {"2", "200"}, {"2", "201"}, {"5", "500"}});
    testing_support::AppendRows(*Directory, "c", {{"100", "c100"}, {"201", "c201"}, {"999", "c999"}});
  }

  void Run(const std::string& sql) {
    TQueryStatement statement(*Directory);
    statement.Prepare(EngineText(sql));
    TDataCursor* result = nullptr;
    statement.Execute(result);
  }

  // The rows of `sql` ("" parameters: none; else each an integer value).
  Rows Select(const std::string& sql, bool live = false, std::vector<int32_t> params = {}) {
    TQueryStatement statement(*Directory);
    statement.RequestLive = live;
    return SelectWith(statement, sql, params);
  }

  Rows SelectWith(TQueryStatement& statement, const std::string& sql, const std::vector<int32_t>& params = {}) {
    statement.Prepare(EngineText(sql));
    TDataCursor* result = Execute(statement, params);
    EXPECT_NE(result, nullptr);
    return result == nullptr ? Rows{} : ResultRows(*result);
  }

  static TDataCursor* Execute(TQueryStatement& statement, const std::vector<int32_t>& params) {
    std::vector<TFieldDefinition> definitions;
    std::vector<uint8_t> values(params.size() * 5);
    for (size_t i = 0; i < params.size(); ++i) {
      TFieldDefinition definition;
      definition.FieldType = TFieldType::Integer;
      definition.DataSize = 4;
      definition.Offset = static_cast<uint16_t>(i * 5);
      definitions.push_back(definition);
      values[i * 5] = 1;
      WriteI32(values.data() + i * 5 + 1, params[i]);
    }
    TDataCursor* result = nullptr;
    statement.Execute(definitions, values.data(), result);
    return result;
  }

  // The message of the KURA_SQLPARSE error that preparing or running `sql` raises.
  std::string Failure(const std::string& sql) {
    try {
      Select(sql);
    } catch (const EKuraEngineError& error) {
      return error.ErrorCode == KURA_SQLPARSE ? error.ErrorExtraMessage : "engine error " + std::to_string(error.ErrorCode);
    }
    return {};
  }
};

class SelectTest : public ::testing::Test {
protected:
  TStore Store;
};

// ---- live or canned, and what the rows are ----

struct TLiveCase {
  const char* Sql;
  bool Live;
  std::vector<int32_t> Params;
  Rows Expected;
};

TEST_F(SelectTest, TheTrainersQueriesAreLiveAndReturnTheirRows) {
  const TLiveCase cases[] = {
      // The table of contents: headings marked by ■ or by the user-defined character.
      {"select * from temazu Where CMT like \"■%\" or CMT like \"\xEE\x80\x80%\" order by MNB",
       true,
       {},
       {"1000|■基本死活|目次の説明", "1100|■隅の死活|NULL", "1205|\xEE\x80\x80私製の見出し|NULL"}},
      {"select * from temazu Where MNB > ? and MNB < ? + 100 order by MNB",
       true,
       {1100, 1100},
       {"1101|隅の曲がり四目|白先黒死", "1102|ハネ殺し|NULL"}},
      {"select * from temazu Where MNB > 0 order by MNB",
       true,
       {},
       {"1000|■基本死活|目次の説明", "1100|■隅の死活|NULL", "1101|隅の曲がり四目|白先黒死", "1102|ハネ殺し|NULL",
        "1205|\xEE\x80\x80私製の見出し|NULL"}},
      // The sequence rows come in the table's natural order.
      {"Select * From tejun Where MNB = ?",
       true,
       {1101},
       {"1|1101|0|1|40|0|9999|NULL", "2|1101|0|2|41|1|0|NULL", "3|1101|1|1|42|2|1|正解", "4|1101|1|-2|43|3|1|失敗"}},
      {"Select * From tejun Where (MNB = ?) and (BFR > 0) order by BFR", false, {1101},
       {"2|1101|0|2|41|1|0|NULL", "3|1101|1|1|42|2|1|正解", "4|1101|1|-2|43|3|1|失敗"}},
      {"Select MNB,count(*) From tejun Where MNB = ? and TES = 0 and BTO = 9999 Group By MNB", false, {1101},
       {"1101|1"}},
      {"Select MNB,count(*) From tejun Where MNB = ? and TES = 0 and BTO = 9999 Group By MNB", false, {7}, {}},
      {"select * from temazu", true, {},
       {"1000|■基本死活|目次の説明", "1100|■隅の死活|NULL", "1101|隅の曲がり四目|白先黒死", "1102|ハネ殺し|NULL",
        "1205|\xEE\x80\x80私製の見出し|NULL", "0|見出しなし|NULL", "-3|負の番号|NULL"}},
      {"select MNB, MNB * 2 as twice from temazu where MNB between 1100 and 1101", true, {},
       {"1100|2200", "1101|2202"}},
      {"select * from temazu where not (MNB > 0 or MNB < -1)", true, {}, {"0|見出しなし|NULL"}},
      {"select * from temazu where not (MNB > 0 or MNB < -1) top 5", false, {}, {"0|見出しなし|NULL"}},
  };
  for (const TLiveCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TQueryStatement statement(*Store.Directory);
    statement.RequestLive = true;
    EXPECT_EQ(Store.SelectWith(statement, c.Sql, c.Params), c.Expected);
    EXPECT_EQ(statement.LiveResult(), c.Live);
    EXPECT_EQ(statement.RowsAffected(), static_cast<int32_t>(c.Expected.size()));
  }
}

TEST_F(SelectTest, OrderByWithoutAServingIndexIsCannedAndSorted) {
  TQueryStatement statement(*Store.Directory);
  statement.RequestLive = true;
  EXPECT_EQ(Store.SelectWith(statement, "select TNB, CMT from tejun where MNB = 1101 order by CMT desc, TNB"),
            (Rows{"3|正解", "4|失敗", "1|NULL", "2|NULL"}));
  EXPECT_FALSE(statement.LiveResult());
}

TEST_F(SelectTest, EditsThroughALiveResultReachTheTableAndHonourTheWhere) {
  TQueryStatement statement(*Store.Directory);
  statement.RequestLive = true;
  statement.Prepare("Select * From tejun Where MNB = ?");
  TDataCursor* result = TStore::Execute(statement, {1102});
  ASSERT_TRUE(statement.LiveResult());
  ASSERT_NE(result, nullptr);
  const auto& fields = result->FieldDefinitions();
  std::vector<uint8_t> record(static_cast<size_t>(result->RecordSize()));
  // Append a row of 1102 and one of another diagram: the second is in the table but
  // not in the result.
  for (const int32_t mnb : {1102, 1500}) {
    result->InitRecord(record.data());
    uint8_t value[4];
    WriteI32(value, 2);
    result->SetField(fields[0].FieldNo, record.data(), value);
    WriteI32(value, mnb);
    result->SetField(fields[1].FieldNo, record.data(), value);
    result->AppendRecord(record.data(), true);
  }
  EXPECT_EQ(ResultRows(*result), (Rows{"1|1102|0|1|60|1|9999|置石", "2|1102|NULL|NULL|NULL|NULL|NULL|NULL"}));
  EXPECT_EQ(Store.Select("select count(*) from tejun where MNB = 1500"), Rows{"1"});
  // Change the first row through the result.
  result->SetToBegin();
  ASSERT_EQ(result->GetNextRecord(record.data()), 0);
  ASSERT_EQ(result->GetCurrentRecord(record.data(), true), 0);
  uint8_t value[4];
  WriteI32(value, 77);
  result->SetField(fields[4].FieldNo, record.data(), value);
  result->ModifyRecord(record.data(), true, true);
  EXPECT_EQ(Store.Select("select PST from tejun where MNB = 1102 and TNB = 1"), Rows{"77"});

  // The same query canned: edits stay in the result table.
  TQueryStatement canned(*Store.Directory);
  canned.Prepare("Select * From tejun Where MNB = 1102");
  TDataCursor* copy = TStore::Execute(canned, {});
  ASSERT_FALSE(canned.LiveResult());
  copy->SetToBegin();
  ASSERT_EQ(copy->GetNextRecord(record.data()), 0);
  ASSERT_EQ(copy->GetCurrentRecord(record.data(), true), 0);
  WriteI32(value, 88);
  copy->SetField(5, record.data(), value);
  copy->ModifyRecord(record.data(), true, true);
  EXPECT_EQ(Store.Select("select PST from tejun where MNB = 1102 and TNB = 1"), Rows{"77"});
}

TEST_F(SelectTest, ALiveResultShowsItsColumnsThroughTheFieldMap) {
  TQueryStatement statement(*Store.Directory);
  statement.RequestLive = true;
  statement.Prepare("select CMT as title, MNB + 1 as next, MNB from temazu where MNB = 1101");
  TDataCursor* result = TStore::Execute(statement, {});
  ASSERT_TRUE(statement.LiveResult());
  EXPECT_EQ(ResultColumns(*result), "title|next|MNB");
  EXPECT_EQ(ResultRows(*result), Rows{"隅の曲がり四目|1102|1101"});
}

// ---- joins ----

TEST_F(SelectTest, JoinsOfEveryKindWithTheirNullRows) {
  const std::pair<const char*, Rows> cases[] = {
      {"select a.x, z, y from a, b where a.x = b.x order by 1, 2, 3",
       {"1|10|100", "2|20|200", "2|20|201", "2|21|200", "2|21|201"}},
      {"select a.x, z, y from a inner join b on a.x = b.x order by 1, 2, 3",
       {"1|10|100", "2|20|200", "2|20|201", "2|21|200", "2|21|201"}},
      {"select a.x, z, y from a left outer join b on a.x = b.x order by 2",
       {"3|NULL|NULL", "1|10|100", "2|20|200", "2|20|201", "2|21|200", "2|21|201", "NULL|40|NULL"}},
      {"select b.x, y, z from a right outer join b on a.x = b.x order by 1, 2, 3",
       {"1|100|10", "2|200|20", "2|200|21", "2|201|20", "2|201|21", "5|500|NULL"}},
      {"select a.x, b.y, w from a, b, c where a.x = b.x and b.y = c.y order by 1, 2, 3",
       {"1|100|c100", "2|201|c201", "2|201|c201"}},
      {"select a.x, b.y, w from a join b on a.x = b.x left join c on b.y = c.y where a.z = 20 order by 2",
       {"2|200|NULL", "2|201|c201"}},
      {"select a.x, b.x from a, b where a.x = b.x or a.z = 40 order by 1, 2",
       {"NULL|1", "NULL|2", "NULL|2", "NULL|5", "1|1", "2|2", "2|2", "2|2", "2|2"}},
      {"select a.x, b.x from a, b where a.x + b.x = 7 order by 1, 2", {"2|5", "2|5"}},
      {"select a.x, b.x from a, b where a.x < b.x and b.x < 3 order by 1, 2", {"1|2", "1|2"}},
      {"select count(*) from a, b", {"20"}},
      {"select count(*) from a ta, b tb where tb.x = ta.x and 2 <= tb.x", {"4"}},
      {"select a.z, c.w from a, b, c where a.x <= c.y and b.y = c.y and b.x = a.x order by 1", {"10|c100", "20|c201", "21|c201"}},
      {"select count(*) from b where x in (select x from a where z between 38 and -36.75)", {"0"}},
      // Texts are joined through a filter per driving row, integers through a hash.
      {"select a1.n, a2.z from a a1, a a2 where a1.n = a2.n and a1.z < a2.z order by 1, 2", {"two|21"}},
      {"select a.x, c.w from a left join c on a.n = c.w order by 1", {"NULL|NULL", "1|NULL", "2|NULL", "2|NULL", "3|NULL"}},
      // c drives and a is positioned through a filter per row of c: the sub-select's
      // condition on a holds for every row of c, not only the first.
      {"select a.z, c.y from a, c where a.x in (select x from b where y > 150) and a.z <= c.y order by 1, 2",
       {"20|100", "20|201", "20|999", "21|100", "21|201", "21|999"}},
      {"select a.z, c.y from a, c where a.x not in (select x from b where y > 150) and a.z <= c.y order by 1, 2",
       {"10|100", "10|201", "10|999", "40|100", "40|201", "40|999"}},
      // Re-rooted to a LEFT JOIN (b JOIN c): the rows of a whose rows of b all lack a row
      // of c come once with b and c NULL, as those without a row of b do.
      {"select a.x, a.z, b.y, c.w from c join b on c.y = b.y and c.w = 'c100' right outer join a on b.x = a.x "
       "order by 2",
       {"3|NULL|NULL|NULL", "1|10|100|c100", "2|20|NULL|NULL", "2|21|NULL|NULL", "NULL|40|NULL|NULL"}},
      // WHERE over two tables below the outer link is tested on the rows the join gives,
      // the NULL rows included (NULL <> NULL is false): it is no part of the join.
      {"select a.x, a.z, b.y, c.w from c join b on c.y = b.y right outer join a on b.x = a.x where b.x <> c.y "
       "order by 2",
       {"1|10|100|c100", "2|20|201|c201", "2|21|201|c201"}},
      // An inner join onto the target of a left join joins inside it: a LEFT JOIN (b JOIN c).
      {"select a.x, a.z, b.y, c.w from a left join b on a.x = b.x join c on b.y = c.y and c.w = 'c100' order by 2",
       {"3|NULL|NULL|NULL", "1|10|100|c100", "2|20|NULL|NULL", "2|21|NULL|NULL", "NULL|40|NULL|NULL"}},
  };
  for (const auto& [sql, expected] : cases) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Store.Select(sql), expected);
  }
}

TEST_F(SelectTest, JoinConditionsThatCannotBeRunAreRefused) {
  EXPECT_EQ(Store.Failure("select * from a, b, c where a.x = b.y + c.y"),
            "The join condition cannot contain multiple table correlation names in either the left or right operand "
            "in WHERE or JOIN clause");
  EXPECT_EQ(Store.Failure("select * from a where x + 1"), "WHERE or JOIN clause must be a boolean expression");
}

// ---- aggregates, grouping, DISTINCT, ORDER BY, TOP ----

TEST_F(SelectTest, AggregatesGroupsAndEmptyInput) {
  const std::pair<const char*, Rows> cases[] = {
      {"select count(*) from tejun where MNB = 1101", {"4"}},
      {"select count(*) from tejun where MNB = 7", {"0"}},
      {"select count(MNB) from tejun where 1 = 0", {"NULL"}},
      {"select avg(x) from b", {"2.5"}},
      {"select avg(x) from b where x > 100", {"NULL"}},
      {"select avg(x) from b where x < 3", {"1.6666666666666667"}},
      {"select count(z), count(*), sum(z), min(z), max(z) from a", {"4|5|91|10|40"}},
      {"select x, count(*), sum(z) from a group by x", {"NULL|1|40", "1|1|10", "2|2|41", "3|1|NULL"}},
      {"select x, count(x) from a group by x having count(x) > 1", {"2|2"}},
      {"select MNB, count(*) as moves from tejun group by MNB order by moves desc", {"1101|4", "1102|1"}},
      {"select distinct n from a order by n", {"NULL", "one", "three", "two"}},
      {"select distinct n from a order by n desc", {"two", "three", "one", "NULL"}},
      {"select x from b order by x desc top 2", {"5", "2"}},
      {"select x, y from b top 3", {"1|100", "2|200", "2|201"}},
      {"select distinct x from b top 2", {"1", "2"}},
  };
  for (const auto& [sql, expected] : cases) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Store.Select(sql), expected);
  }
}

TEST_F(SelectTest, UnionIntoAndSubSelects) {
  EXPECT_EQ(Store.Select("select x from a union select x from b"), (Rows{"NULL", "1", "2", "3", "5"}));
  EXPECT_EQ(Store.Select("select x from b union all select x from b where x = 5"),
            (Rows{"1", "2", "2", "5", "5"}));
  EXPECT_EQ(Store.Select("select x, y from b where x in (select x from a where z > 15) order by y"),
            (Rows{"2|200", "2|201"}));
  EXPECT_EQ(Store.Select("select x from b where x not in (select x from a where x is not null)"), Rows{"5"});
  EXPECT_EQ(Store.Select("select x from a where 2 >= x", true), (Rows{"1", "2", "2"}));
  EXPECT_EQ(Store.Select("select x from a where 2 >= x", false), (Rows{"1", "2", "2"}));
  EXPECT_EQ(Store.Select("select count(*) from b where x in (select x from a where 2 >= x)"), Rows{"3"});
  EXPECT_EQ(Store.Select("select count(*) from b where y > 150 and x in (select x from a where 2 >= x)"), Rows{"2"});
  EXPECT_EQ(Store.Select("select x from b where x in (select z from a) union all select x from b where x in (select x from a where z = 10)"), Rows{"1"});
  Store.Run("select x, z into kept from a where x = 2");
  EXPECT_EQ(Store.Select("select * from kept"), (Rows{"2|20", "2|21"}));
  EXPECT_TRUE(std::filesystem::exists(Store.Temp.Path() / "kept.DAT"));
}

TEST_F(SelectTest, MaxRowCountLimitsTheRowsBeforeGrouping) {
  TQueryStatement statement(*Store.Directory);
  statement.SetMaxRowCount(3);
  EXPECT_EQ(Store.SelectWith(statement, "select x, count(*) from a group by x"), (Rows{"1|1", "2|2"}));
  statement.SetMaxRowCount(0);
  EXPECT_EQ(Store.SelectWith(statement, "select * from a"), Rows{});
  statement.SetMaxRowCount(-1);
  EXPECT_EQ(Store.SelectWith(statement, "select * from a").size(), 5u);
}

TEST_F(SelectTest, AProgressCallbackStopsTheRunAndKeepsTheRowsSoFar) {
  TQueryStatement statement(*Store.Directory);
  Store.Session.SetProgressSteps(100);
  std::vector<int32_t> reports;
  statement.SetProgressCallback([&](TQueryStatement&, int32_t percent, bool& abort) {
    reports.push_back(percent);
    abort = percent >= 40;
  });
  // Five driving rows: the report after the second says 40 and stops the loop.
  EXPECT_EQ(Store.SelectWith(statement, "select x, z from a order by z desc"), (Rows{"2|20", "1|10"}));
  EXPECT_EQ(reports, (std::vector<int32_t>{20, 40, 100}));
}

// A one-table WHERE part that a key range serves (an integer equality on a unique
// index's only field, or any indexed integer comparison when only the count is read)
// must select exactly what the filter would: bounds that do not fit the field, NULL and
// reversed bounds fall back to the filter; other parts still filter; parameters change
// the range from run to run.
TEST_F(SelectTest, KeyRangesSelectWhatTheirConditionsDo) {
  Store.Run("create table r (id integer, k smallint, s integer, primary key (id)); create index ByK on r (k)");
  testing_support::AppendRows(*Store.Directory, "r",
                              {{"1", "5", "0"}, {"2", "7", "1"}, {"3", "5", "1"}, {"4", std::nullopt, "0"},
                               {"5", "-2", "1"}, {"6", "7", "0"}});
  struct TCase {
    const char* Sql;
    bool Live;
    std::vector<std::vector<int32_t>> Runs;  // parameters of each run of one statement
    std::vector<Rows> Expected;
    bool Range;  // explain names a key range
  } const cases[] = {
      {"select * from r where id = ?", false, {{3}, {9}, {6}}, {{"3|5|1"}, {}, {"6|7|0"}}, true},
      {"select * from r where id = ?", true, {{2}, {0}}, {{"2|7|1"}, {}}, true},
      {"select * from r where ? = id and s = 1", false, {{3}, {6}}, {{"3|5|1"}, {}}, true},
      {"select count(*) from r where k between ? and ?", false, {{-40000, 40000}, {7, 5}, {-5, 0}, {5, 7}},
       {{"5"}, {"0"}, {"1"}, {"4"}}, true},
      {"select count(*) from r where k = ?", false, {{70000}, {5}}, {{"0"}, {"2"}}, true},
      {"select count(*) from r where k = 7 and s = 0", false, {{}}, {{"1"}}, true},
      // Not single rows: the order of the rows would change, so filters serve them.
      {"select id from r where k = 5", false, {{}}, {{"1", "3"}}, false},
      {"select id from r where k between 5 and 7", true, {{}}, {{"1", "2", "3", "6"}}, false},
      // A live result ordered by the index keeps its order with the range.
      {"select id, k from r where k between ? and ? order by k", true, {{-2, 5}}, {{"5|-2", "1|5", "3|5"}}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TQueryStatement statement(*Store.Directory);
    statement.RequestLive = c.Live;
    statement.Prepare(c.Sql);
    for (size_t run = 0; run < c.Runs.size(); ++run) {
      SCOPED_TRACE("run " + std::to_string(run + 1));
      TDataCursor* result = TStore::Execute(statement, c.Runs[run]);
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(statement.LiveResult(), c.Live);
      EXPECT_EQ(ResultRows(*result), c.Expected[run]);
    }
    // What the last run did.
    const std::string explained = ExplainSelect(statement.MasterQuery());
    EXPECT_EQ(explained.find("key range on index") != std::string::npos, c.Range) << explained;
  }
  // NULL as the bound: the filter answers (NULL = NULL holds in this language), not a
  // range of non-NULL keys.
  TQueryStatement nulls(*Store.Directory);
  nulls.Prepare("select count(*) from r where k = ?");
  std::vector<TFieldDefinition> definitions(1);
  definitions[0].FieldType = TFieldType::Integer;
  definitions[0].DataSize = 4;
  uint8_t nullValue[5] = {0, 0, 0, 0, 0};
  TDataCursor* result = nullptr;
  nulls.Execute(definitions, nullValue, result);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(ResultRows(*result), Rows{"1"});
  EXPECT_EQ(ExplainSelect(nulls.MasterQuery()).find("key range"), std::string::npos);
}

TEST_F(SelectTest, ExplainNamesTheLiveIndexAndTheJoin) {
  TQueryStatement statement(*Store.Directory);
  statement.RequestLive = true;
  Store.SelectWith(statement, "select * from temazu where MNB > 0 order by MNB");
  const std::string live = ExplainSelect(statement.MasterQuery());
  EXPECT_NE(live.find("live result"), std::string::npos) << live;
  EXPECT_NE(live.find("index"), std::string::npos) << live;

  TQueryStatement join(*Store.Directory);
  Store.SelectWith(join, "select * from a, b where a.x = b.x and b.y > 150");
  const std::string canned = ExplainSelect(join.MasterQuery());
  EXPECT_NE(canned.find("canned result"), std::string::npos) << canned;
  EXPECT_NE(canned.find("inner: "), std::string::npos) << canned;
  EXPECT_NE(canned.find("(hash on "), std::string::npos) << canned;
}

}  // namespace
}  // namespace kura
