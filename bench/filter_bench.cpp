// Cursor filters over one table of 1,000,000 records: an equality and a range on an
// indexed column (served by index range scans into record bitmaps) against a condition
// on a column without an index (evaluated record by record through the table's cache).
// Each timed step is what a caller does to count a filtered view: add the filter
// (parse and bind its text), activate it (the view is built), GetRecordCount, drop it.
// Every case reports items/s as records of the table per second: table size divided by
// the time of one count. After the runs a summary line gives the ratio of each indexed
// filter's time to the non-indexed filter's time.
//
// The table is built once per process in a fresh temporary directory through a cursor
// opened Exclusive, record by record with AppendRecord (every index kept, unique keys
// checked): the engine's own append, without the locks and per-append writes of a shared
// table. While loading, the program counts the records each filter must deliver; before
// anything is timed each filter is counted once and checked against those numbers, and
// the program stops with a message when they differ.
//
// The counts run on one ordinary shared cursor that stays open for the whole run, so the
// table's caches stay warm (the session's buffer limits are raised to hold the table).
//
//   filter_bench [--records=N] [Google Benchmark flags]
// --records sets a smaller table (for profiling); the default is 1,000,000.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/filter.h"
#include "bench_support.h"
#include "testing/temp_dir.h"

namespace {

using namespace kura;

constexpr int32_t kDefaultRecordCount = 1000000;
constexpr const char* kTableName = "fbench";
constexpr uint64_t kSeed = 20240612;
constexpr int32_t kKeyValues = 10000;   // K is 0..9999
constexpr double kAmountMax = 1000.0;   // AMOUNT is uniform in [0, 1000)

// Field numbers.
constexpr int kFieldId = 1;
constexpr int kFieldK = 2;
constexpr int kFieldAmount = 3;
constexpr int kFieldNote = 4;

// The filters and the conditions the loader counts for them.
constexpr const char* kEqualityText = "K = 1234";
constexpr int32_t kEqualityValue = 1234;
constexpr const char* kRangeText = "K >= 1000 AND K < 1100";
constexpr const char* kBetweenText = "K BETWEEN 1000 AND 1099";
constexpr int32_t kRangeLow = 1000;
constexpr int32_t kRangeHigh = 1099;  // inclusive
constexpr const char* kAmountText = "AMOUNT < 5.0";
constexpr double kAmountLimit = 5.0;

// Session buffer limits: room for the whole table (about 60 bytes a record, three
// indexes of a million keys each) with a margin, so that no count reaches the disk.
constexpr int32_t kDataBufferBytes = 256 * 1024 * 1024;
constexpr int32_t kDataBufferRecords = 2000000;
constexpr int32_t kIndexBufferBytes = 256 * 1024 * 1024;
constexpr int32_t kBlobBufferBytes = 4 * 1024 * 1024;
constexpr int32_t kBlobBufferBlocks = 8192;

int32_t gRecordCount = kDefaultRecordCount;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("filter_bench: " + what); }

using bench_support::Field;

// ID Integer (primary index), K Integer (secondary index ByK, not unique), AMOUNT Float
// and NOTE String 24 (no index).
TTableDefinition BenchDefinition() {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("K", TFieldType::Integer), Field("AMOUNT", TFieldType::Float),
              Field("NOTE", TFieldType::String, 24)};
  TIndexDefinition primary;
  primary.Fields = {kFieldId};
  primary.Unique = true;
  t.PrimaryIndex = primary;
  TIndexDefinition byK;
  byK.Name = "ByK";
  byK.Fields = {kFieldK};
  t.SecondaryIndexes = {byK};
  return t;
}

// What each filter must deliver, counted while loading.
struct TExpectedCounts {
  int32_t Equality = 0;
  int32_t Range = 0;
  int32_t Amount = 0;
};

// The session, its directory in a fresh temporary folder, the loaded table and one shared
// cursor on it that stays open (the table and its warm caches live as long as it does).
struct TBenchFixture {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  std::unique_ptr<TDataCursor> Reader;
  TExpectedCounts Expected;
  double LoadSeconds = 0;
  int RecordSize = 0;

  TBenchFixture() {
    Session.SetMaxDataBufferSize(kDataBufferBytes);
    Session.SetMaxDataBufferCount(kDataBufferRecords);
    Session.SetMaxIndexBufferSize(kIndexBufferBytes);
    Session.SetMaxBlobBufferSize(kBlobBufferBytes);
    Session.SetMaxBlobBufferCount(kBlobBufferBlocks);
    Directory = Session.OpenDirectory("FBENCH", Temp.Path().string());
    if (Directory->CreateTableFiles(kTableName, false, BenchDefinition()) != 0) Fail("cannot create the table");

    const auto start = std::chrono::steady_clock::now();
    Load();
    LoadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (Directory->FindTable(kTableName, false) != nullptr) Fail("the table outlived its loading cursor");

    Reader = std::make_unique<TDataCursor>(*Directory);
    Reader->SetTableName(kTableName);
    Reader->OpenCursor();
    if (Reader->GetRecordCount() != gRecordCount) {
      Fail("the table holds " + std::to_string(Reader->GetRecordCount()) + " records, " +
           std::to_string(gRecordCount) + " were appended");
    }
  }

  ~TBenchFixture() {
    if (Reader) Reader->CloseCursor();
  }
  TBenchFixture(const TBenchFixture&) = delete;
  TBenchFixture& operator=(const TBenchFixture&) = delete;

  // Appends gRecordCount records, ids 1..N in order; K and AMOUNT come from a seeded
  // generator, so every run builds the same table.
  void Load() {
    TDataCursor loader(*Directory);
    loader.SetTableName(kTableName);
    loader.SetExclusive(true);
    loader.OpenCursor();
    RecordSize = loader.RecordSize();
    std::vector<uint8_t> record(static_cast<size_t>(RecordSize));
    std::mt19937_64 random(kSeed);
    uint8_t value[8];
    char note[32];
    for (int32_t i = 1; i <= gRecordCount; ++i) {
      const int32_t k = static_cast<int32_t>(random() % kKeyValues);
      // 53 random bits to a double in [0, 1), scaled.
      const double amount = static_cast<double>(random() >> 11) * 0x1.0p-53 * kAmountMax;
      if (k == kEqualityValue) ++Expected.Equality;
      if (k >= kRangeLow && k <= kRangeHigh) ++Expected.Range;
      if (amount < kAmountLimit) ++Expected.Amount;

      loader.InitRecord(record.data());
      WriteI32(value, i);
      loader.SetField(kFieldId, record.data(), value);
      WriteI32(value, k);
      loader.SetField(kFieldK, record.data(), value);
      WriteF64(value, amount);
      loader.SetField(kFieldAmount, record.data(), value);
      std::snprintf(note, sizeof note, "Note %07d", i);
      loader.SetField(kFieldNote, record.data(), reinterpret_cast<const uint8_t*>(note));
      loader.AppendRecord(record.data(), false);
    }
    loader.CloseCursor();
  }
};

TBenchFixture& Fixture() {
  static TBenchFixture fixture;
  return fixture;
}

// One count of a filtered view: add, activate, GetRecordCount, drop. The optimisation
// level is read while the filter exists, when asked for.
int32_t CountWithFilter(TDataCursor& cursor, const char* text, int* level = nullptr) {
  TFilter* filter = cursor.AddExprFilter(text);
  if (level) *level = cursor.GetFilterOptimizeLevel(filter);
  cursor.ActivateFilter(filter);
  const int32_t count = cursor.GetRecordCount();
  cursor.DropFilter(filter);
  return count;
}

struct TFilterCase {
  const char* Name;  // the benchmark's function name
  const char* Text;
  int32_t TExpectedCounts::*Expected;
  int ExpectedLevel;
  int Level = -1;  // as measured by the check
};

TFilterCase gCases[] = {
    {"BM_IndexedEquality", kEqualityText, &TExpectedCounts::Equality, kFilterFullyOptimized},
    {"BM_IndexedRange", kRangeText, &TExpectedCounts::Range, kFilterFullyOptimized},
    {"BM_IndexedBetween", kBetweenText, &TExpectedCounts::Range, kFilterFullyOptimized},
    {"BM_NotIndexed", kAmountText, &TExpectedCounts::Amount, kFilterNotOptimized},
};

// Counts every filter once (this also warms the caches) and stops the program when a
// count differs from what the loader counted. An optimisation level other than the
// expected one is reported but does not stop the run: the timings then show its cost.
void CheckFilters(TBenchFixture& fixture) {
  for (TFilterCase& c : gCases) {
    const int32_t expected = fixture.Expected.*c.Expected;
    int32_t count = 0;
    try {
      count = CountWithFilter(*fixture.Reader, c.Text, &c.Level);
    } catch (const EKuraEngineError& e) {
      Fail(std::string("the filter \"") + c.Text + "\" failed: " + e.what() +
           (e.ErrorExtraMessage.empty() ? "" : " (" + e.ErrorExtraMessage + ")"));
    }
    std::printf("filter %-26s level %d (expected %d)  count %d (generator %d)\n", (std::string("\"") + c.Text + "\"").c_str(),
                c.Level, c.ExpectedLevel, count, expected);
    if (count != expected) {
      Fail(std::string("the filter \"") + c.Text + "\" counts " + std::to_string(count) + " records, the generator made " +
           std::to_string(expected));
    }
    if (c.Level != c.ExpectedLevel) {
      std::printf("  note: \"%s\" is optimised at level %d, not %d\n", c.Text, c.Level, c.ExpectedLevel);
    }
  }
  std::fflush(stdout);
}

void RunCount(benchmark::State& state, const TFilterCase& c) {
  TBenchFixture& fixture = Fixture();
  TDataCursor& cursor = *fixture.Reader;
  const int32_t expected = fixture.Expected.*c.Expected;
  for (auto _ : state) {
    const int32_t count = CountWithFilter(cursor, c.Text);
    benchmark::DoNotOptimize(count);
    if (count != expected) {
      state.SkipWithError("the filter's count changed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * gRecordCount);
  state.counters["matches"] = static_cast<double>(expected);
  state.counters["opt_level"] = c.Level;
}

void BM_IndexedEquality(benchmark::State& state) { RunCount(state, gCases[0]); }
void BM_IndexedRange(benchmark::State& state) { RunCount(state, gCases[1]); }
void BM_IndexedBetween(benchmark::State& state) { RunCount(state, gCases[2]); }
void BM_NotIndexed(benchmark::State& state) { RunCount(state, gCases[3]); }

BENCHMARK(BM_IndexedEquality)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IndexedRange)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IndexedBetween)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NotIndexed)->Unit(benchmark::kMicrosecond);

// The console output as usual (coloured only on a terminal), and each benchmark's real
// time per iteration kept for the summary: the median when the runs are repeated, else
// the single run. All cases use one time unit, so the ratios need no conversion.
class TRecordingReporter : public benchmark::ConsoleReporter {
public:
  TRecordingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        Medians[name] = run.GetAdjustedRealTime();
      } else if (run.run_type == Run::RT_Iteration) {
        Singles[name] = run.GetAdjustedRealTime();
      }
    }
  }

  // 0 when the benchmark did not run.
  double Time(const std::string& name) const {
    if (const auto m = Medians.find(name); m != Medians.end()) return m->second;
    if (const auto s = Singles.find(name); s != Singles.end()) return s->second;
    return 0;
  }

private:
  std::map<std::string, double> Medians;
  std::map<std::string, double> Singles;
};

// "indexed/non-indexed" as a ratio with the speed-up it means, or n/a when either side
// did not run.
std::string Ratio(const TRecordingReporter& reporter, const char* indexed, const char* other) {
  const double a = reporter.Time(indexed);
  const double b = reporter.Time(other);
  if (a <= 0 || b <= 0) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.5f (%.0fx faster)", a / b, b / a);
  return text;
}

void ParseRecordCount(int& argc, char** argv) {
  gRecordCount = bench_support::TakeRecordCount(argc, argv, gRecordCount, 1, 100000000);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    ParseRecordCount(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    TBenchFixture& fixture = Fixture();
    const TDataSession& s = fixture.Session;
    char load[96];
    std::snprintf(load, sizeof load, "%.3f s (%.0f records/s, AppendRecord on an exclusive cursor)",
                  fixture.LoadSeconds, gRecordCount / fixture.LoadSeconds);
    const std::string buffers = "data " + std::to_string(s.MaxDataBufferSize()) + " bytes / " +
                                std::to_string(s.MaxDataBufferCount()) + " records, index " +
                                std::to_string(s.MaxIndexBufferSize()) + " bytes, blob " +
                                std::to_string(s.MaxBlobBufferSize()) + " bytes / " +
                                std::to_string(s.MaxBlobBufferCount()) + " blocks";
    std::printf("records: %d%s\nrecord size: %d bytes\nbuffers: %s\nload: %s\n", gRecordCount,
                gRecordCount == kDefaultRecordCount ? "" : " (reduced by --records)", fixture.RecordSize,
                buffers.c_str(), load);
    CheckFilters(fixture);
    benchmark::AddCustomContext("records", std::to_string(gRecordCount));
    benchmark::AddCustomContext("record_size", std::to_string(fixture.RecordSize) + " bytes");
    benchmark::AddCustomContext("buffers", buffers);
    benchmark::AddCustomContext("load", load);
    for (const TFilterCase& c : gCases) {
      benchmark::AddCustomContext(c.Name, std::string("\"") + c.Text + "\", level " + std::to_string(c.Level));
    }

    TRecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("summary (indexed time / non-indexed time, %d records): equality %s, range %s, between %s\n",
                gRecordCount, Ratio(reporter, "BM_IndexedEquality", "BM_NotIndexed").c_str(),
                Ratio(reporter, "BM_IndexedRange", "BM_NotIndexed").c_str(),
                Ratio(reporter, "BM_IndexedBetween", "BM_NotIndexed").c_str());
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  benchmark::Shutdown();
  return 0;
}
