// The join tree of a query: links from FROM, JOIN and WHERE, what goes to the residual
// condition, the split of link conditions, the choice of the driving table and the
// messages, on tables a, b, c, d (columns x, y, z) of 5, 2, 3 and 2 records.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/data_query.h"
#include "kura/sql/join_links.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/sql_messages.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorOf;

struct TJoinDatabase {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("", Temp.Path().string());

  TJoinDatabase() {
    Session.SetPrivateDir(Temp.Path().string());
    TQueryStatement create(*Directory);
    create.Prepare(
        "create table a (x integer, y integer, z integer);"
        "create table b (x integer, y integer, z integer);"
        "create table c (x integer, y integer, z integer);"
        "create table d (x integer, y integer, z integer)");
    TDataCursor* none = nullptr;
    create.Execute(none);
    // Empty records: only the counts matter here.
    TQueryStatement fill(*Directory);
    fill.Parse("select * from a, b, c, d");
    const int counts[] = {5, 2, 3, 2};
    for (size_t i = 0; i < 4; ++i) {
      TSourceTable& table = *fill.MasterQuery().SourceTables[i];
      table.OpenSource(true);
      std::vector<uint8_t> record(table.RecordBuffer.size());
      for (int n = 0; n < counts[i]; ++n) {
        table.Cursor->InitRecord(record.data());
        table.Cursor->AppendRecord(record.data(), false);
      }
    }
  }
};

// One statement made ready for the join functions: parsed, sources open, WHERE bound.
struct TJoinQuery {
  explicit TJoinQuery(TJoinDatabase& database, const std::string& sql) : Statement(*database.Directory) {
    Statement.Parse(sql);
    for (const auto& source : Query().SourceTables) source->OpenSource(false);
    if (Query().WhereCondition) BindQueryCondition(Query(), Query().WhereCondition.get(), sqlmsg::kContextWhere);
  }
  TDataQuery& Query() { return Statement.MasterQuery(); }

  TQueryStatement Statement;
};

// The message of the SQL error `action` raises, "" when it raises none.
std::string MessageOf(const std::function<void()>& action) {
  const std::optional<EKuraEngineError> error = EngineErrorOf(action);
  if (!error) return "";
  EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE) << error->what();
  return error->ErrorExtraMessage;
}

// Checks the shape every join function leaves: JoinOrder holds every source once with
// its position; one tree rooted at the first table, every other table with one incoming
// link whose driver comes first; a table's links in the order of their targets.
void ExpectTreeShape(const TDataQuery& query) {
  ASSERT_EQ(query.JoinOrder.size(), query.SourceTables.size());
  for (size_t i = 0; i < query.JoinOrder.size(); ++i) {
    EXPECT_EQ(query.JoinOrder[i]->JoinPosition, static_cast<int16_t>(i + 1));
  }
  for (const auto& source : query.SourceTables) {
    int incoming = 0;
    for (const auto& other : query.SourceTables) {
      for (const auto& link : other->JoinLinks) {
        EXPECT_EQ(link->Driver, other.get());
        if (link->Target != source.get()) continue;
        ++incoming;
        EXPECT_LT(link->Driver->JoinPosition, source->JoinPosition) << source->CorrelationName;
        EXPECT_EQ(link->Kind == TLinkKind::Plain, link->Condition == nullptr) << source->CorrelationName;
        EXPECT_NE(link->Kind, TLinkKind::RightOuter);
      }
    }
    EXPECT_EQ(incoming, source.get() == query.JoinOrder.front() ? 0 : 1) << source->CorrelationName;
    for (size_t i = 1; i < source->JoinLinks.size(); ++i) {
      EXPECT_LT(source->JoinLinks[i - 1]->Target->JoinPosition, source->JoinLinks[i]->Target->JoinPosition);
    }
  }
}

// How far a join case goes: the links of a canned query built and WHERE taken apart (a
// live query: its one source as the tree, and WHERE taken apart); then the link
// conditions split (twice: the second must change nothing); then the join order chosen.
enum class TSteps { Extract, LiveExtract, Split, Order };
struct TJoinCase {
  const char* Sql;
  const char* Links;  // DescribeJoinLinks, or the message when Message is set
  const char* Residual = "";
  const char* Where = "";
  TSteps Steps = TSteps::Extract;
  bool Message = false;
};

// A failing case names its statement.
void PrintTo(const TJoinCase& c, std::ostream* out) { *out << c.Sql; }

class JoinCaseTest : public ::testing::TestWithParam<TJoinCase> {};

void RunCase(const TJoinCase& c) {
  SCOPED_TRACE(c.Sql);
  TJoinDatabase database;
  TJoinQuery prepared(database, c.Sql);
  TDataQuery& query = prepared.Query();
  const std::string message = MessageOf([&] {
    if (c.Steps == TSteps::LiveExtract) {
      SingleSourceJoinOrder(query);
    } else {
      BuildJoinLinks(query);
    }
    ExtractJoinConditions(query);
    if (c.Steps == TSteps::Split || c.Steps == TSteps::Order) {
      SplitLinkConditions(query);
      const std::string once = DescribeJoinLinks(query);
      const std::string whereOnce = ConditionText(query, query.WhereCondition.get());
      SplitLinkConditions(query);
      EXPECT_EQ(DescribeJoinLinks(query), once);
      EXPECT_EQ(ConditionText(query, query.WhereCondition.get()), whereOnce);
    }
    if (c.Steps == TSteps::Order) ChooseJoinOrder(query);
  });
  if (c.Message) {
    EXPECT_EQ(message, c.Links);
    return;
  }
  ASSERT_EQ(message, "");
  ExpectTreeShape(query);
  EXPECT_EQ(DescribeJoinLinks(query), c.Links);
  EXPECT_EQ(ConditionText(query, query.ResidualCondition.get()), c.Residual);
  EXPECT_EQ(ConditionText(query, query.WhereCondition.get()), c.Where);
  EXPECT_EQ(query.HasWhere, query.WhereCondition != nullptr);
  for (const auto& join : query.JoinExpressions) EXPECT_FALSE(join->Condition) << "ON condition left behind";
}

TEST_P(JoinCaseTest, BuildsTheTree) { RunCase(GetParam()); }

std::string Quoted(std::string_view prefix, const std::string& name, std::string_view suffix) {
  return std::string(prefix) + name + std::string(suffix);
}

const std::string kTwoTargets =
    Quoted(sqlmsg::kJoinCorrelationPrefix, "c", sqlmsg::kJoinMultipleTargetSuffix);
const std::string kClauseInvalidB = Quoted(sqlmsg::kJoinClauseInvalidPrefix, "b", sqlmsg::kJoinClauseInvalidSuffix);
const std::string kDriverInvalidC = Quoted(sqlmsg::kJoinCorrelationPrefix, "c", sqlmsg::kJoinDriverInvalidSuffix);
const std::string kRightOuterA = Quoted(sqlmsg::kJoinCorrelationPrefix, "a", sqlmsg::kJoinRightOuterTargetSuffix);
const std::string kMultipleNames(sqlmsg::kJoinMultipleCorrelations);

const TJoinCase kLinkCases[] = {
    // One inner link carries the comparison; the operands are turned so that the table
    // before comes first.
    {"select * from a, b where a.x = b.y", "join order: a, b\na -> b inner: a.x = b.y\n"},
    {"select * from a, b where b.y >= a.x and a.z > 2", "join order: a, b\na -> b inner: a.x <= b.y\n", "", "a.z > 2"},
    {"select * from a, b where a.x = b.x and b.y < a.y",
     "join order: a, b\na -> b inner: a.x = b.x AND a.y > b.y\n"},
    // A value compared with a column: the column comes first; it stays in WHERE.
    {"select * from a, b where 3 < a.x and 2 = b.y", "join order: a, b\na -> b plain\n", "", "a.x > 3 AND b.y = 2"},
    {"select * from a, b where a.x = a.y", "join order: a, b\na -> b plain\n", "", "a.x = a.y"},
    // What cannot link goes to the residual condition.
    {"select * from a, b where a.x = b.y or a.z = 1", "join order: a, b\na -> b plain\n", "a.x = b.y OR a.z = 1"},
    {"select * from a, b where a.x + b.y = 1", "join order: a, b\na -> b plain\n", "a.x + b.y = 1"},
    {"select * from a, b where 1 = a.x + b.y and b.z = 4", "join order: a, b\na -> b plain\n", "a.x + b.y = 1",
     "b.z = 4"},
    {"select * from a, b where abs(a.x - b.y) < 2 and a.x between b.x and 5", "join order: a, b\na -> b plain\n",
     "ABS(a.x - b.y) < 2 AND a.x BETWEEN b.x AND 5"},
    {"select * from a, b, c where a.x = b.y + c.z", kMultipleNames.c_str(), "", "", TSteps::Extract, true},
    {"select * from a, b where a.x + b.x = b.y", kMultipleNames.c_str(), "", "", TSteps::Extract, true},
    // NOT: over a comparison of two tables it goes with it into the link; over an AND of
    // two tables, and over an OR with no NOT above, whole to the residual condition.
    {"select * from a, b where not a.x = b.y and a.z = 1", "join order: a, b\na -> b inner: NOT a.x = b.y\n", "",
     "a.z = 1"},
    {"select * from a, b where not (a.x = b.y and a.z = 1)", "join order: a, b\na -> b plain\n",
     "NOT (a.x = b.y AND a.z = 1)"},
    {"select * from a, b where not (a.x = 1 or a.y = 2) and b.x = 1", "join order: a, b\na -> b plain\n",
     "NOT (a.x = 1 OR a.y = 2)", "b.x = 1"},
    {"select * from a where not (a.x = 1 and not (a.y = 2 or a.z = 3))", "join order: a\n", "",
     "NOT (a.x = 1 AND NOT (a.y = 2 OR a.z = 3))"},
    // A live query: its one table, its comparisons turned; a NOT over an OR goes to the
    // residual condition, which the live result installs as a filter with the rest.
    {"select * from a where 1 < a.x and not (a.y = 1 or a.z = 2) and a.x + a.y = 3", "join order: a\n",
     "NOT (a.y = 1 OR a.z = 2)", "a.x > 1 AND a.x + a.y = 3", TSteps::LiveExtract},
    {"select * from a where not (a.x = 1 or a.y = 2)", "join order: a\n", "NOT (a.x = 1 OR a.y = 2)", "",
     TSteps::LiveExtract},
    // A NOT over an OR inside a one-table OR takes that OR along: nothing leaves one side
    // of an OR alone.
    {"select * from a where a.x = 1 or not (a.y = 2 or a.z = 3)", "join order: a\n",
     "a.x = 1 OR NOT (a.y = 2 OR a.z = 3)"},
    // Three tables in a chain; a comparison with a table the target is reached from
    // joins the link into the target.
    {"select * from a, b, c where a.x = b.x and b.y = c.y",
     "join order: a, b, c\na -> b inner: a.x = b.x\nb -> c inner: b.y = c.y\n"},
    {"select * from a, b, c where a.x = b.x and b.y = c.y and c.z = a.z",
     "join order: a, b, c\na -> b inner: a.x = b.x\nb -> c inner: b.y = c.y AND a.z = c.z\n"},
    {"select * from a, b, c where a.x = c.x",
     "join order: a, b, c\na -> b plain\na -> c inner: a.x = c.x\n"},
    // The target already joined from a third table the other side cannot reach: the
    // other side's part moves after the target, which drives it.
    {"select * from a, b, c where b.x = c.x and a.y = c.y",
     "join order: b, c, a\nb -> c inner: b.x = c.x\nc -> a inner: c.y = a.y\n"},
    {"select * from a, b, c, d where a.x = b.x and c.y = d.y and a.z = d.z",
     "join order: c, d, a, b\nc -> d inner: c.y = d.y\nd -> a inner: d.z = a.z\na -> b inner: a.x = b.x\n"},
    // ... for UPDATE the updated table stays the root: the target's part is turned to
    // hang from it.
    {"update a set x = 1 from a, b, c where b.x = c.x and a.y = c.y",
     "join order: a, c, b\na -> c inner: a.y = c.y\nc -> b inner: b.x = c.x\n"},
    // ... but a side that has an incoming link of its own cannot move.
    {"select * from a, b, c, d where a.x = b.x and c.x = d.x and b.y = d.y",
     "join order: a, b, c, d\na -> b inner: a.x = b.x\nb -> c plain\nc -> d inner: c.x = d.x\n", "b.y = d.y"},
    // JOIN clauses.
    {"select * from a join b on a.x = b.x", "join order: a, b\na -> b inner: a.x = b.x\n"},
    {"select * from a inner join b on b.x = a.x join c on c.y = b.y",
     "join order: a, b, c\na -> b inner: b.x = a.x\nb -> c inner: c.y = b.y\n"},
    {"select * from a, b join c on a.x = c.x", "join order: a, b, c\na -> b plain\na -> c inner: a.x = c.x\n"},
    {"select * from a, b join c on a.x = c.x and (b.y = c.y or b.z = c.z)",
     "join order: a, b, c\na -> b plain\nb -> c inner: a.x = c.x AND (b.y = c.y OR b.z = c.z)\n"},
    {"select * from a left join b on a.x = b.x", "join order: a, b\na -> b left outer: a.x = b.x\n"},
    {"select * from a left join b on a.x = b.x left outer join c on a.y = c.y",
     "join order: a, b, c\na -> b left outer: a.x = b.x\na -> c left outer: a.y = c.y\n"},
    {"select * from a left join b on a.x = b.x where a.y = b.y and b.z = 1",
     "join order: a, b\na -> b left outer: a.x = b.x\n", "a.y = b.y", "b.z = 1"},
    {"select * from a left join b on a.x = b.x left join c on a.y = c.y where b.z = c.z",
     "join order: a, b, c\na -> b left outer: a.x = b.x\na -> c left outer: a.y = c.y\n", "b.z = c.z"},
    // Below a left outer link WHERE links nothing: as part of a link it would decide
    // whether the outer join finds a row.
    {"select * from a left join b on a.x = b.x, c where b.y = c.y",
     "join order: a, b, c\na -> b left outer: a.x = b.x\nb -> c plain\n", "b.y = c.y"},
    {"select * from a join b on a.x = b.x right join c on b.y = c.y where a.z = b.z",
     "join order: c, b, a\nc -> b left outer: b.y = c.y\nb -> a inner: a.x = b.x\n", "b.z = a.z"},
    // RIGHT OUTER: the joined table drives, the link turns into a left outer one.
    {"select * from a right join b on a.x = b.x", "join order: b, a\nb -> a left outer: a.x = b.x\n"},
    {"select * from a, b right outer join c on b.x = c.x",
     "join order: c, b, a\nc -> b left outer: b.x = c.x\nb -> a plain\n"},
    {"select * from a right join b on a.x = b.x right join c on b.y = c.y",
     "join order: c, b, a\nc -> b left outer: b.y = c.y\nb -> a left outer: a.x = b.x\n"},
    {"update a set x = 1 from a right join b on a.x = b.x", kRightOuterA.c_str(), "", "", TSteps::Extract, true},
    // JOIN clauses whose driving table cannot be found or comes after the joined one.
    {"select * from a join b on a.x = 1", kClauseInvalidB.c_str(), "", "", TSteps::Extract, true},
    {"select * from a join b on a.x = c.x, c", kClauseInvalidB.c_str(), "", "", TSteps::Extract, true},
    {"select * from a join b on a.x = b.x and b.y = c.y, c", kDriverInvalidC.c_str(), "", "", TSteps::Extract, true},
    // Splitting: target-only parts go to the target, parts on no table of an inner link
    // go to WHERE, the driver's parts stay.
    {"select * from a join b on a.x = b.x and b.z > 3",
     "join order: a, b\na -> b inner: a.x = b.x\nb local: b.z > 3\n", "", "", TSteps::Split},
    {"select * from a, b join c on b.x = c.x and a.y = 1 and 2 > c.z",
     "join order: a, b, c\na -> b plain\nb -> c inner: b.x = c.x\nc local: 2 > c.z\n", "", "a.y = 1", TSteps::Split},
    {"select * from a, b left join c on c.x = b.x and a.y = 1 and b.z = 2 and c.y = 3 and 1 = 1",
     "join order: a, b, c\na -> b plain\nb -> c left outer: c.x = b.x AND a.y = 1 AND b.z = 2\n"
     "c local: c.y = 3 AND 1 = 1\n",
     "", "", TSteps::Split},
    // The join order: the smallest inner-joined table drives.
    {"select * from a, b where a.x = b.x", "join order: b, a\nb -> a inner: a.x = b.x\n", "", "", TSteps::Order},
    {"select * from a, b where a.x = b.x nojoinoptimize", "join order: a, b\na -> b inner: a.x = b.x\n", "", "",
     TSteps::Order},
    {"select * from b, a where a.x = b.x", "join order: b, a\nb -> a inner: b.x = a.x\n", "", "", TSteps::Order},
    {"select * from a, b", "join order: a, b\na -> b plain\n", "", "", TSteps::Order},
    {"select * from a, c, b where a.x = c.x and c.y = b.y",
     "join order: b, c, a\nb -> c inner: c.y = b.y\nc -> a inner: a.x = c.x\n", "", "", TSteps::Order},
    {"select * from a, b, d where a.x = b.x and a.y = d.y",
     "join order: b, a, d\nb -> a inner: a.x = b.x\na -> d inner: a.y = d.y\n", "", "", TSteps::Order},
    {"select * from a, c, b where c.x = b.x",
     "join order: b, c, a\nb -> c inner: c.x = b.x\nc -> a plain\n", "", "", TSteps::Order},
    {"select * from a join b on a.x = b.x and b.z > 3",
     "join order: b, a\nb local: b.z > 3\nb -> a inner: a.x = b.x\n", "", "", TSteps::Order},
    // ... not through the target of a left outer link, nor (UPDATE) away from the
    // updated table.
    {"select * from a left join c on a.x = c.x join b on c.y = b.y",
     "join order: a, c, b\na -> c left outer: a.x = c.x\nc -> b inner: c.y = b.y\n", "", "", TSteps::Order},
    {"update a set x = 1 from a, b where a.x = b.x", "join order: a, b\na -> b inner: a.x = b.x\n", "", "",
     TSteps::Order},
};

INSTANTIATE_TEST_SUITE_P(Cases, JoinCaseTest, ::testing::ValuesIn(kLinkCases));

TEST(JoinLinksTest, MovedPartsKeepTheirParentsRight) {
  TJoinDatabase database;
  TJoinQuery prepared(database, "select * from a, b where a.z = 1 and (a.x = b.x and b.z = 2) and b.y = a.y");
  TDataQuery& query = prepared.Query();
  BuildJoinLinks(query);
  ExtractJoinConditions(query);
  const auto parentsHold = [](const TExpToken* root) {
    EXPECT_EQ(root->Parent, nullptr);
    EXPECT_FALSE(AnyNode(root, [](const TExpToken& node) {
      for (const TExpToken* child : {node.Operand, node.RightOperand}) {
        if (child != nullptr && child->Parent != &node) return true;
      }
      return false;
    }));
  };
  ASSERT_TRUE(query.WhereCondition);
  parentsHold(query.WhereCondition.get());
  const TJoin& link = *query.SourceTables[0]->JoinLinks.front();
  ASSERT_TRUE(link.Condition);
  parentsHold(link.Condition.get());
  EXPECT_EQ(link.Condition->Text, "AND");
  EXPECT_EQ(link.Condition->DataType, TFieldType::Boolean);
  // The conditions bind again where they are now (as every run does).
  BindQueryCondition(query, query.WhereCondition.get(), sqlmsg::kContextWhere);
  BindQueryCondition(query, link.Condition.get(), sqlmsg::kContextJoin);
  EXPECT_EQ(ConditionText(query, link.Condition.get()), "a.x = b.x AND a.y = b.y");
  EXPECT_EQ(ConditionText(query, query.WhereCondition.get()), "a.z = 1 AND b.z = 2");
}

TEST(JoinLinksTest, OneTableKeepsOneIncomingLink) {
  TJoinDatabase database;
  TJoinQuery prepared(database, "select * from a, b, c");
  TDataQuery& query = prepared.Query();
  SingleSourceJoinOrder(query);
  TSourceTable& a = *query.SourceTables[0];
  TSourceTable& b = *query.SourceTables[1];
  TSourceTable& c = *query.SourceTables[2];
  const auto link = [](TSourceTable& driver, TSourceTable& target, TLinkKind kind) {
    auto made = std::make_unique<TJoin>();
    made->Driver = &driver;
    made->Target = &target;
    made->Kind = kind;
    driver.JoinLinks.push_back(std::move(made));
  };
  // Plain links give way: into the first table, and to a link with a kind.
  link(c, a, TLinkKind::Plain);
  link(a, c, TLinkKind::Inner);
  RemoveSurplusLinks(query);
  ASSERT_EQ(a.JoinLinks.size(), 2u);
  EXPECT_EQ(a.JoinLinks[1]->Target, &c);
  EXPECT_TRUE(b.JoinLinks.empty());
  EXPECT_TRUE(c.JoinLinks.empty());
  // Two links with a kind into one table.
  link(b, c, TLinkKind::LeftOuter);
  EXPECT_EQ(MessageOf([&] { RemoveSurplusLinks(query); }), kTwoTargets);
}

TEST(JoinLinksTest, AColumnOfNoSourceOfTheQueryIsAnInternalError) {
  TJoinDatabase database;
  TJoinQuery prepared(database, "select * from a, b where a.x = b.x");
  TDataQuery& query = prepared.Query();
  BuildJoinLinks(query);
  TSourceTable stranger(query);
  query.WhereCondition->RightOperand->SourceTable = &stranger;
  EXPECT_EQ(MessageOf([&] { ExtractJoinConditions(query); }), sqlmsg::kJoinValidateError);
}

TEST(JoinLinksTest, ALinkConditionMustBeBoolean) {
  TJoinDatabase database;
  TJoinQuery prepared(database, "select * from a join b on a.x = b.x");
  TDataQuery& query = prepared.Query();
  BuildJoinLinks(query);
  TJoin& link = *query.SourceTables[0]->JoinLinks.front();
  link.Condition->DataType = TFieldType::Integer;
  EXPECT_EQ(MessageOf([&] { SplitLinkConditions(query); }), sqlmsg::kWhereNotBoolean);
}

TEST(JoinLinksTest, ABadOnConditionFailsWhileItIsBound) {
  TJoinDatabase database;
  TJoinQuery prepared(database, "select * from a join b on a.x = b.nosuch");
  const std::optional<EKuraEngineError> error = EngineErrorOf([&] { BuildJoinLinks(prepared.Query()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
  EXPECT_NE(error->ErrorExtraMessage.find("JOIN clause"), std::string::npos) << error->ErrorExtraMessage;
}

}  // namespace
}  // namespace kura
