// The commits of a long UPDATE as another process sees them: whole intervals, never a
// part of one, and nothing of a statement inside a transaction until its COMMIT.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "testing/child_process.h"
#include "testing/pipe.h"
#include "testing/sql_tables.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::SpawnChild;
using testing_support::TPipe;
using testing_support::WaitChild;

constexpr int kRows = 1000;
constexpr uint8_t kCount = 1;  // parent to child: count the changed rows
constexpr uint8_t kEnd = 2;    // parent to child: finish
constexpr uint8_t kPartial = 255;  // child to parent: a count that is no whole interval

int32_t RunSql(TDataDirectory& directory, const std::string& sql) {
  TQueryStatement statement(directory);
  statement.Prepare(sql);
  TDataCursor* result = nullptr;
  statement.Execute(result);
  return statement.RowsAffected();
}

int32_t CountChanged(TDataDirectory& directory) {
  TQueryStatement statement(directory);
  statement.Prepare("select count(*) from t where x = 1");
  TDataCursor* result = nullptr;
  statement.Execute(result);
  const std::vector<std::string> rows = testing_support::ResultRows(*result);
  return rows.size() == 1 ? std::stoi(rows.front()) : -1;
}

// The child counts the rows with x = 1 whenever asked and answers count / unit, or
// kPartial when the count is not a multiple of unit.
pid_t StartCounter(const std::filesystem::path& path, const TPipe& toChild, const TPipe& toParent,
                   int32_t unit = 100) {
  return SpawnChild([&] {
    TDataSession session;
    std::filesystem::create_directory(path / "child");
    session.SetPrivateDir((path / "child").string());
    TDataDirectory& directory = *session.OpenDirectory("", path.string());
    while (toChild.Receive() == kCount) {
      const int32_t count = CountChanged(directory);
      toParent.Send(count % unit == 0 ? static_cast<uint8_t>(count / unit) : kPartial);
    }
    return 0;
  });
}

struct TSharedTable {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("", Temp.Path().string());

  // `wide`: a text column makes the records about 230 bytes.
  explicit TSharedTable(bool wide = false) {
    Session.SetPrivateDir(Temp.Path().string());
    RunSql(*Directory, std::string("create table t (id integer, x integer") + (wide ? ", pad char(220)" : "") +
                           ", primary key (id))");
    std::vector<testing_support::TTextRow> rows;
    for (int i = 1; i <= kRows; ++i) {
      rows.push_back({std::to_string(i), "0"});
      if (wide) rows.back().push_back("pad");
    }
    testing_support::AppendRows(*Directory, "t", rows);
  }
};

// The shared table with the counting process beside it.
class TWatchedTable : public TSharedTable {
public:
  explicit TWatchedTable(bool wide = false, int32_t unit = 100) : TSharedTable(wide) {
    Child = StartCounter(Temp.Path(), ToChild, ToParent, unit);
  }
  ~TWatchedTable() {
    if (Child >= 0) Finish();
  }
  bool Started() const { return ToChild.Ok && ToParent.Ok && Child >= 0; }
  // What the other process counts now.
  int Count() {
    ToChild.Send(kCount);
    return ToParent.Receive();
  }
  // Runs `sql` with the other process counting at every 1% of its progress; the counts.
  std::vector<int> RunCounted(const std::string& sql, int32_t& rows) {
    Session.SetProgressSteps(100);
    TQueryStatement statement(*Directory);
    std::vector<int> seen;
    statement.SetProgressCallback([&](TQueryStatement&, int32_t, bool&) { seen.push_back(Count()); });
    statement.Prepare(sql);
    TDataCursor* result = nullptr;
    statement.Execute(result);
    rows = statement.RowsAffected();
    return seen;
  }
  // Ends the other process; its exit status.
  int Finish() {
    ToChild.Send(kEnd);
    const int status = WaitChild(Child);
    Child = -1;
    return status;
  }

private:
  TPipe ToChild;
  TPipe ToParent;
  pid_t Child = -1;
};

TEST(DataStatementProcessTest, AnotherProcessSeesEachCommittedIntervalWhole) {
  TWatchedTable table;
  ASSERT_TRUE(table.Started());
  int32_t rows = 0;
  const std::vector<int> seen = table.RunCounted("update t set x = 1 commit interval 100", rows);
  EXPECT_EQ(rows, kRows);
  EXPECT_EQ(table.Count(), kRows / 100);
  EXPECT_EQ(table.Finish(), 0);
  std::set<int> distinct;
  for (size_t i = 0; i < seen.size(); ++i) {
    ASSERT_NE(seen[i], kPartial) << "report " << i;
    ASSERT_LE(seen[i], kRows / 100);
    if (i > 0) {
      EXPECT_GE(seen[i], seen[i - 1]) << "report " << i;
    }
    distinct.insert(seen[i]);
  }
  // The reports came while the update ran, interval after interval.
  EXPECT_GE(distinct.size(), 8u);
}

// Without COMMIT INTERVAL the statement's own transaction commits every
// 2 * MaxDataBufferSize div record size rows.
TEST(DataStatementProcessTest, TheComputedIntervalFollowsTheRecordSize) {
  int32_t interval = 0;
  {
    TSharedTable probe(true);
    TDataCursor cursor(*probe.Directory);
    cursor.SetTableName("t");
    cursor.OpenCursor();
    interval = 2 * probe.Session.MaxDataBufferSize() / cursor.RecordSize();
  }
  ASSERT_GT(interval, 50);
  ASSERT_LT(interval, kRows / 4);
  TWatchedTable table(true, interval);
  ASSERT_TRUE(table.Started());
  int32_t rows = 0;
  const std::vector<int> reports = table.RunCounted("update t set x = 1", rows);
  EXPECT_EQ(table.Finish(), 0);
  const std::set<int> seen(reports.begin(), reports.end());
  EXPECT_EQ(seen.count(kPartial), 0u);
  EXPECT_EQ(*seen.rbegin(), kRows / interval);
  EXPECT_GE(seen.size(), static_cast<size_t>(kRows / interval));
}

TEST(DataStatementProcessTest, AnUpdateInsideATransactionIsSeenOnlyAfterTheCommit) {
  TWatchedTable table;
  ASSERT_TRUE(table.Started());
  RunSql(*table.Directory, "start transaction");
  EXPECT_EQ(RunSql(*table.Directory, "update t set x = 1 where id <= 500"), 500);
  EXPECT_EQ(table.Count(), 0);
  // An interval written inside the transaction commits its rows keeping it open.
  EXPECT_EQ(RunSql(*table.Directory, "update t set x = 1 where id > 500 commit interval 300"), 500);
  EXPECT_TRUE(table.Directory->InTransaction());
  EXPECT_EQ(table.Count(), 8);  // the first 500 and one interval of 300
  RunSql(*table.Directory, "commit");
  EXPECT_EQ(table.Count(), 10);
  EXPECT_EQ(table.Finish(), 0);
}

}  // namespace
}  // namespace kura
