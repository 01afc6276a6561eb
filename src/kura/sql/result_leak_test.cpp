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
  bool PrepareFails;      // a missing table, or a statement that preparation refuses
  bool AbortAtProgress;   // the progress receiver stops the run at its first report
  bool TextParameter;     // a text bound where the statement compares a number
};

// Every canned shape: sorted (run files, as the data buffer holds only 64 records),
// grouped with AVG, joined, DISTINCT, UNION, scripts whose first SELECT is discarded,
// sub-selects; and the failures.
const TLeakCase kCases[] = {
    {"select * from t order by b desc, a", 2, false, false, false},
    {"select a, count(a), avg(b), sum(c) from t group by a having count(a) > 1 order by 3", 1, false, false, false},
    {"select t.a, u.c from t join u on t.a = u.b left outer join t t2 on u.c = t2.b where t.a < 5 order by 1, 2", 1,
     false, false,
     false},
    {"select distinct c from t where a > 3", 3, false, false, false},
    {"select a from t union select b from u order by 1 top 5", 1, false, false, false},
    {"select a, b from t where a in (select b from u where c < 10) order by b", 1, false, false, false},
    {"select * from u where b = ?", 2, false, false, false},
    {"select a from t order by a; select b, count(*) from u group by b", 1, false, false, false},
    {"select count(*), max(b) from t where c > 0", 1, false, false, false},
    // Failures while preparing: after the first source has opened, after the select
    // list is resolved (an aggregate beside a plain column needs GROUP BY).
    {"select * from t, missing where t.a = missing.a", 1, true, false, false},
    {"select * from t order by 9", 1, true, false, false},
    {"select a, count(*) from t", 1, true, false, false},
    // Failures half-way through a run: the progress receiver stops it with rows in the
    // result; a parameter of the wrong type fails the binding of the prepared WHERE.
    {"select * from t order by c", 2, false, true, false},
    {"select a, count(*) from t join u on t.a = u.b group by a", 1, false, true, false},
    {"select * from t where a = ? order by b", 2, false, false, true},
    // A script that fails in its second statement after the first SELECT has run.
    {"select * from t order by b; select * from missing", 1, false, false, false},
};

// Prepares and runs the case; returns the number of runs that raised.
int RunCase(TDataDirectory& directory, const TLeakCase& c) {
  TQueryStatement statement(directory);
  if (c.AbortAtProgress) {
    statement.SetProgressCallback([](TQueryStatement&, int32_t, bool& abort) { abort = true; });
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
      const int failures = RunCase(directory, c);
      EXPECT_EQ(failures == -1, c.PrepareFails);
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
