// Canned SELECT results are temporary tables in the session's private directory, and
// sorting them may write run files there: after a few hundred queries, some of them
// failing in preparation or half-way through a run, neither a file nor an open file
// descriptor may be left behind.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

constexpr int kRows = 400;
constexpr int kRounds = 12;

std::set<std::string> Entries(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// The process's open file descriptors (the listing's own descriptor counts in both
// listings alike).
size_t OpenDescriptors() { return Entries("/proc/self/fd").size(); }

struct TLeakCase {
  const char* Sql;
  int Executions;
  int FailingRuns;        // runs that raise; -1: preparing raises
  bool AbortAtProgress;   // the progress receiver stops the run at its first report
  bool TextParameter;     // a text bound where the statement compares a number
};

// Every canned shape: sorted (run files, as the data buffer holds only 64 records),
// grouped with AVG, joined, DISTINCT, UNION, scripts whose first SELECT is discarded,
// sub-selects; and the failures.
const TLeakCase kCases[] = {
    {"select * from t order by b desc, a", 2, 0, false, false},
    {"select a, count(a), avg(b), sum(c) from t group by a having count(a) > 1 order by 3", 1, 0, false, false},
    {"select t.a, u.c from t join u on t.a = u.b left outer join t t2 on u.c = t2.b where t.c < 2 order by 1, 2", 1, 0,
     false, false},
    {"select distinct c from t where a > 3", 3, 0, false, false},
    {"select a from t union select b from u order by 1 top 5", 1, 0, false, false},
    {"select a, b from t where a in (select b from u where c < 10) order by b", 1, 0, false, false},
    {"select * from u where b = ?", 2, 0, false, false},
    {"select a from t order by a; select b, count(*) from u group by b", 1, 0, false, false},
    {"select count(*), max(b) from t where c > 0", 1, 0, false, false},
    // Failures while preparing: after the first source has opened, after the select
    // list is resolved (an aggregate beside a plain column needs GROUP BY), while
    // HAVING is tied to the select list (it names an aggregate the list lacks).
    {"select * from t, missing where t.a = missing.a", 1, -1, false, false},
    {"select * from t order by 9", 1, -1, false, false},
    {"select a, count(*) from t", 1, -1, false, false},
    {"select a, sum(b) from t group by a having sum(c) > 1", 1, -1, false, false},
    // Runs stopped half-way: the progress receiver stops the row loop (the rows made
    // so far are the result); a parameter of the wrong type fails the binding of the
    // prepared WHERE after the result table was made.
    {"select * from t order by c", 2, 0, true, false},
    {"select a, count(*) from t join u on t.a = u.b group by a", 1, 0, true, false},
    {"select * from t where a = ? order by b", 2, 2, false, true},
    // A script that fails in its second statement after the first SELECT has run.
    {"select * from t order by b; select * from missing", 1, 1, false, false},
};

// Prepares and runs the case; returns the number of runs that raised, -1 when
// preparing raised. `stopped` tells whether the progress receiver stopped a run.
int RunCase(TDataDirectory& directory, const TLeakCase& c, bool& stopped) {
  TQueryStatement statement(directory);
  stopped = false;
  if (c.AbortAtProgress) {
    statement.SetProgressCallback([&stopped](TQueryStatement&, int32_t percent, bool& abort) {
      if (percent < 100) abort = stopped = true;
    });
  }
  try {
    statement.Prepare(c.Sql);
  } catch (const EKuraEngineError&) {
    return -1;
  }
  int failures = 0;
  for (int run = 0; run < c.Executions; ++run) {
    TFieldDefinition parameter;
    parameter.FieldNo = 1;
    uint8_t values[16] = {1};
    if (c.TextParameter) {
      parameter.FieldType = TFieldType::String;
      parameter.DataSize = 4;
      values[1] = 'a';
      values[2] = 'b';
    } else {
      parameter.FieldType = TFieldType::Integer;
      parameter.DataSize = 4;
      WriteI32(values + 1, run + 2);
    }
    const bool parameters = statement.ParamCount() > 0;
    try {
      TDataCursor* result = nullptr;
      if (parameters) {
        statement.Execute({&parameter, 1}, values, result);
      } else {
        statement.Execute(result);
      }
      if (result != nullptr) {
        // Read the result to its end, as a caller would.
        std::vector<uint8_t> record(static_cast<size_t>(result->RecordSize()));
        result->SetToBegin();
        while (result->GetNextRecord(record.data()) == 0) {
        }
      }
    } catch (const EKuraEngineError&) {
      ++failures;
    }
  }
  return failures;
}

TEST(ResultLeakTest, QueriesLeaveNoFilesAndNoOpenDescriptors) {
  testing_support::TTempDir data;
  testing_support::TTempDir privateDir;
  TDataSession session;
  session.SetPrivateDir(privateDir.Path().string());
  // Results above 64 records are sorted through run files.
  session.SetMaxDataBufferCount(64);
  session.SetProgressSteps(100);
  TDataDirectory& directory = *session.OpenDirectory("Leak", data.Path().string());
  {
    TQueryStatement create(directory);
    create.Prepare("create table t (a integer, b integer, c integer); create table u (b integer, c integer)");
    TDataCursor* none = nullptr;
    create.Execute(none);
  }
  for (const char* table : {"t", "u"}) {
    TDataCursor cursor(directory);
    cursor.SetTableName(table);
    cursor.OpenCursor();
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    for (int i = 0; i < kRows; ++i) {
      cursor.InitRecord(record.data());
      for (int f = 1; f <= cursor.FieldCount(); ++f) {
        uint8_t value[4];
        WriteI32(value, (i * (f + 3) + f) % (20 + 7 * f));
        cursor.SetField(f, record.data(), value);
      }
      cursor.AppendRecord(record.data(), false);
    }
    cursor.CloseCursor();
  }

  const std::set<std::string> dataFiles = Entries(data.Path());
  const size_t descriptors = OpenDescriptors();
  ASSERT_TRUE(Entries(privateDir.Path()).empty());

  for (int round = 0; round < kRounds; ++round) {
    for (const TLeakCase& c : kCases) {
      SCOPED_TRACE(c.Sql);
      bool stopped = false;
      EXPECT_EQ(RunCase(directory, c, stopped), c.FailingRuns);
      EXPECT_EQ(stopped, c.AbortAtProgress);
    }
    // Nothing stays between statements either.
    if (round == 0) {
      EXPECT_EQ(Entries(privateDir.Path()), std::set<std::string>());
      EXPECT_EQ(OpenDescriptors(), descriptors);
    }
  }
  EXPECT_EQ(Entries(privateDir.Path()), std::set<std::string>());
  EXPECT_EQ(Entries(data.Path()), dataFiles);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace kura
