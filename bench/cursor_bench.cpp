// Cursor throughput over one table of 200,000 records of about 64 bytes: full scans in
// primary-index and natural order, random positioning by bookmark, and a scan that starts
// with the table's caches empty. Every case reports items/s, which is records per second.
//
// The table is built once per process in a fresh temporary directory. Records are
// appended straight through the table's files (every index maintained, as the editing
// layer will do it) by a cursor opened Exclusive: an exclusive table takes no locks and
// writes nothing per append; its caches write their dirty entries in runs when they fill
// up and the last close writes the rest. That is the fastest sound way to load, and it
// leaves exactly the files an ordinary load would leave.
//
// The benchmarks read through ordinary shared cursors, so every read pays the change
// check a shared table pays (no byte-range locks: strict change detection is off, the
// session's default).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kura/base/byte_order.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_file.h"
#include "kura/storage/index_key.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/key_encoding.h"
#include "bench_support.h"
#include "testing/temp_dir.h"

namespace {

using namespace kura;

constexpr int32_t kRecordCount = 200000;
constexpr const char* kTableName = "bench";
constexpr uint32_t kShuffleSeed = 20240611;

// Session buffer limits for the benchmark: large enough that the whole table (about
// 13 MB of records, a few hundred index pages) stays cached, as a desktop program with
// a table of this size would configure it.
constexpr int32_t kDataBufferBytes = 32 * 1024 * 1024;
constexpr int32_t kDataBufferRecords = 400000;
constexpr int32_t kIndexBufferBytes = 16 * 1024 * 1024;
constexpr int32_t kBlobBufferBytes = 4 * 1024 * 1024;
constexpr int32_t kBlobBufferBlocks = 8192;

using bench_support::Field;

// ID Integer (primary index), NAME String 24, GRP Integer, AMOUNT Float, CODE String 12.
TTableDefinition BenchDefinition() {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("NAME", TFieldType::String, 24),
              Field("GRP", TFieldType::Integer), Field("AMOUNT", TFieldType::Float),
              Field("CODE", TFieldType::String, 12)};
  TIndexDefinition primary;
  primary.Fields = {1};
  primary.Unique = true;
  t.PrimaryIndex = primary;
  return t;
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("cursor_bench: " + what); }

// Writes the text into a string field: null flag set, characters, the rest zero.
void PutText(uint8_t* record, const TFieldDefinition& field, const char* text, size_t length) {
  record[field.Offset] = 1;
  std::memset(record + field.Offset + 1, 0, field.DataSize);
  std::memcpy(record + field.Offset + 1, text, std::min<size_t>(length, field.DataSize - 1U));
}

// Appends `count` records with every index kept (the same steps as an ordinary post:
// slot, unique id, keys of every index, the internal record index, active count), on a
// table opened exclusively. Ids are 1..count in append order.
void Fill(TDataTable& table, int32_t count) {
  if (!table.Exclusive()) Fail("the bulk load expects an exclusive table");
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  if (data.Header().FirstFreeRecord != 0 || data.RecordCount() != 0) Fail("the table is not fresh");

  const TFieldDefinition& id = *data.FieldByPosition(1);
  const TFieldDefinition& name = *data.FieldByPosition(2);
  const TFieldDefinition& group = *data.FieldByPosition(3);
  const TFieldDefinition& amount = *data.FieldByPosition(4);
  const TFieldDefinition& code = *data.FieldByPosition(5);

  // Everything per index is made once: the loop allocates nothing per record.
  TLanguageKeyTextMapper mapper(data.LocaleId(), data.SortId());
  struct TIndexPart {
    int Number;
    std::unique_ptr<TIndexKeyBuilder> Builder;
    std::unique_ptr<TIndexTree> Tree;
  };
  std::vector<TIndexPart> parts;
  for (int i = 0; i <= kMaxSecondaryIndexes; ++i) {
    if (!index.IndexInUse(i) || index.Descriptor(i).IndexFieldCount == 0) continue;
    parts.push_back({i,
                     std::make_unique<TIndexKeyBuilder>(index.Descriptor(i), data.FieldDefinitions(),
                                                        data.LocaleId(), &mapper),
                     std::make_unique<TIndexTree>(index, i)});
  }
  TIndexTree sys(index, kSysDeletedIndex);
  std::vector<uint8_t> key(kMaxKeySize);
  char text[32];

  for (int32_t i = 1; i <= count; ++i) {
    TRecord* slot = data.AllocateRecord();
    const int32_t recNo = slot->RecNo;
    uint8_t* r = slot->Bytes();
    r[id.Offset] = 1;
    WriteI32(r + id.Offset + 1, i);
    const int nameLength = std::snprintf(text, sizeof text, "Customer %08d", (i * 7919) % 1000003);
    PutText(r, name, text, static_cast<size_t>(nameLength));
    r[group.Offset] = 1;
    WriteI32(r + group.Offset + 1, i % 97);
    r[amount.Offset] = 1;
    WriteF64(r + amount.Offset + 1, i * 1.25);
    const int codeLength = std::snprintf(text, sizeof text, "C%06d", i % 500);
    PutText(r, code, text, static_cast<size_t>(codeLength));
    const int32_t uniqueId = data.NextAutoIncValue();
    slot->SetUniqueId(uniqueId);
    for (TIndexPart& part : parts) {
      part.Builder->BuildKey(slot->Bytes(), key.data());
      if (!part.Tree->Insert(key.data(), recNo)) Fail("duplicate key at record " + std::to_string(i));
    }
    BuildSysDeletedKey(kRecordActive, uniqueId, key.data());
    if (!sys.Insert(key.data(), recNo)) Fail("duplicate record id " + std::to_string(uniqueId));
    index.IncActiveRecordCount();
    data.MarkRecordDirty(slot);
    data.ReleaseRecord(slot);
  }
  // Cursors of the table must see the new contents; the last close writes them.
  table.MarkChanged();
}

// With argument 1 a benchmark runs with the session's default buffer limits instead of
// the raised ones, to show what the defaults cost on a table of this size. The limits are
// read when the table is opened, so the guard must be made before the cursor is.
class TBufferLimitsGuard {
public:
  TBufferLimitsGuard(TDataSession& session, bool defaults) : FSession(session) {
    if (!defaults) return;
    const TDataSession fresh;
    Apply(fresh.MaxDataBufferSize(), fresh.MaxDataBufferCount(), fresh.MaxIndexBufferSize(),
          fresh.MaxBlobBufferSize(), fresh.MaxBlobBufferCount());
    FChanged = true;
  }
  ~TBufferLimitsGuard() {
    if (FChanged) Apply(kDataBufferBytes, kDataBufferRecords, kIndexBufferBytes, kBlobBufferBytes, kBlobBufferBlocks);
  }
  TBufferLimitsGuard(const TBufferLimitsGuard&) = delete;
  TBufferLimitsGuard& operator=(const TBufferLimitsGuard&) = delete;

  static void Apply(TDataSession& session, int32_t dataBytes, int32_t dataRecords, int32_t indexBytes,
                    int32_t blobBytes, int32_t blobBlocks) {
    session.SetMaxDataBufferSize(dataBytes);
    session.SetMaxDataBufferCount(dataRecords);
    session.SetMaxIndexBufferSize(indexBytes);
    session.SetMaxBlobBufferSize(blobBytes);
    session.SetMaxBlobBufferCount(blobBlocks);
  }

private:
  void Apply(int32_t dataBytes, int32_t dataRecords, int32_t indexBytes, int32_t blobBytes, int32_t blobBlocks) {
    Apply(FSession, dataBytes, dataRecords, indexBytes, blobBytes, blobBlocks);
  }
  TDataSession& FSession;
  bool FChanged = false;
};

// The session, its directory in a fresh temporary folder, and the loaded table.
struct TBenchFixture {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  double LoadSeconds = 0;
  int RecordSize = 0;

  TBenchFixture() {
    TBufferLimitsGuard::Apply(Session, kDataBufferBytes, kDataBufferRecords, kIndexBufferBytes, kBlobBufferBytes,
                              kBlobBufferBlocks);
    Directory = Session.OpenDirectory("BENCH", Temp.Path().string());
    if (Directory->CreateTableFiles(kTableName, false, BenchDefinition()) != 0) Fail("cannot create the table");

    const auto start = std::chrono::steady_clock::now();
    {
      TDataCursor loader(*Directory);
      loader.SetTableName(kTableName);
      loader.SetExclusive(true);
      loader.OpenCursor();
      RecordSize = loader.RecordSize();
      Fill(TCursorInternals::Table(loader), kRecordCount);
      loader.CloseCursor();
    }
    LoadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (Directory->FindTable(kTableName, false) != nullptr) Fail("the table outlived its last cursor");
  }

  std::unique_ptr<TDataCursor> Open(bool natural) {
    auto cursor = std::make_unique<TDataCursor>(*Directory);
    cursor->SetTableName(kTableName);
    cursor->SetNaturalOrder(natural);
    cursor->OpenCursor();
    return cursor;
  }
};

TBenchFixture& Fixture() {
  static TBenchFixture fixture;
  return fixture;
}


// One full forward walk; returns the number of records delivered. The ids are summed so
// that the reads cannot be optimised away and the walk is checked.
int64_t Scan(TDataCursor& cursor, std::vector<uint8_t>& buffer, int64_t& idSum) {
  const uint16_t idOffset = cursor.FieldDefinitions()[0].Offset;
  int64_t count = 0;
  int code;
  cursor.SetToBegin();
  while ((code = cursor.GetNextRecord(buffer.data())) == 0) {
    idSum += ReadI32(buffer.data() + idOffset + 1);
    ++count;
  }
  if (code != 8706) Fail("scan ended with code " + std::to_string(code));
  return count;
}

constexpr int64_t kExpectedIdSum = int64_t{kRecordCount} * (kRecordCount + 1) / 2;

void CheckScan(benchmark::State& state, int64_t count, int64_t idSum) {
  if (count != kRecordCount || idSum != kExpectedIdSum) {
    state.SkipWithError("the scan did not deliver every record once");
  }
}

void RunScan(benchmark::State& state, bool natural) {
  TBenchFixture& fixture = Fixture();
  const TBufferLimitsGuard limits(fixture.Session, state.range(0) != 0);
  auto cursor = fixture.Open(natural);
  std::vector<uint8_t> buffer(static_cast<size_t>(cursor->RecordSize()));
  int64_t warmSum = 0;
  const int64_t warmCount = Scan(*cursor, buffer, warmSum);  // fills the caches
  CheckScan(state, warmCount, warmSum);
  for (auto _ : state) {
    int64_t idSum = 0;
    const int64_t count = Scan(*cursor, buffer, idSum);
    benchmark::DoNotOptimize(idSum);
    CheckScan(state, count, idSum);
  }
  state.SetItemsProcessed(state.iterations() * kRecordCount);
  cursor->CloseCursor();
}

// 1. Primary-index order, caches warm.
void BM_ScanPrimaryIndex(benchmark::State& state) { RunScan(state, false); }

// 2. Natural (record-number) order, caches warm.
void BM_ScanNaturalOrder(benchmark::State& state) { RunScan(state, true); }

// 3. SetToBookmark + GetCurrentRecord over the primary index in a shuffled order of all
// bookmarks (collected once by a scan), caches warm.
void BM_RandomBookmark(benchmark::State& state) {
  TBenchFixture& fixture = Fixture();
  const TBufferLimitsGuard limits(fixture.Session, state.range(0) != 0);
  auto cursor = fixture.Open(false);
  const size_t bookmarkSize = static_cast<size_t>(cursor->BookmarkSize());
  std::vector<uint8_t> buffer(static_cast<size_t>(cursor->RecordSize()));
  std::vector<uint8_t> bookmarks(bookmarkSize * kRecordCount);
  size_t n = 0;
  cursor->SetToBegin();
  while (cursor->GetNextRecord(buffer.data()) == 0 && n < static_cast<size_t>(kRecordCount)) {
    cursor->GetBookmark(bookmarks.data() + n * bookmarkSize);
    ++n;
  }
  if (n != static_cast<size_t>(kRecordCount)) {
    state.SkipWithError("the bookmark scan did not deliver every record");
    return;
  }
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0U);
  std::shuffle(order.begin(), order.end(), std::mt19937(kShuffleSeed));
  const uint16_t idOffset = cursor->FieldDefinitions()[0].Offset;

  for (auto _ : state) {
    int64_t idSum = 0;
    for (const uint32_t i : order) {
      if (!cursor->SetToBookmark(bookmarks.data() + i * bookmarkSize, false) ||
          cursor->GetCurrentRecord(buffer.data()) != 0) {
        state.SkipWithError("a bookmark did not find its record");
        break;
      }
      idSum += ReadI32(buffer.data() + idOffset + 1);
    }
    benchmark::DoNotOptimize(idSum);
    if (idSum != kExpectedIdSum) state.SkipWithError("the bookmarks did not find every record once");
  }
  state.SetItemsProcessed(state.iterations() * kRecordCount);
  cursor->CloseCursor();
}

// 4. Like 1, but each walk starts on a freshly opened cursor after the table's last
// close dropped every cache of the table (the operating system's page cache stays warm:
// this measures the engine's cache misses, not the disk). Closing and opening are not
// timed.
void BM_ScanPrimaryIndexColdCache(benchmark::State& state) {
  TBenchFixture& fixture = Fixture();
  const TBufferLimitsGuard limits(fixture.Session, state.range(0) != 0);
  std::vector<uint8_t> buffer(static_cast<size_t>(fixture.RecordSize));
  int64_t reads = 0;
  int64_t pageReads = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (fixture.Directory->FindTable(kTableName, false) != nullptr) {
      state.SkipWithError("another cursor holds the table: its caches would stay warm");
      break;
    }
    auto cursor = fixture.Open(false);
    const int64_t readsBefore = TCursorInternals::Table(*cursor).DataFile().Statistics().Reads;
    const int64_t pageReadsBefore = TCursorInternals::Table(*cursor).IndexFile().Statistics().PageReads;
    state.ResumeTiming();
    int64_t idSum = 0;
    const int64_t count = Scan(*cursor, buffer, idSum);
    state.PauseTiming();
    reads += TCursorInternals::Table(*cursor).DataFile().Statistics().Reads - readsBefore;
    pageReads += TCursorInternals::Table(*cursor).IndexFile().Statistics().PageReads - pageReadsBefore;
    benchmark::DoNotOptimize(idSum);
    CheckScan(state, count, idSum);
    cursor->CloseCursor();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecordCount);
  state.counters["data_reads/scan"] =
      benchmark::Counter(static_cast<double>(reads), benchmark::Counter::kAvgIterations);
  state.counters["index_reads/scan"] =
      benchmark::Counter(static_cast<double>(pageReads), benchmark::Counter::kAvgIterations);
}

// Argument default_buffers: 0 the raised limits printed in the context, 1 the session's
// defaults.
BENCHMARK(BM_ScanPrimaryIndex)->ArgName("default_buffers")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNaturalOrder)->ArgName("default_buffers")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomBookmark)->ArgName("default_buffers")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanPrimaryIndexColdCache)->ArgName("default_buffers")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    TBenchFixture& fixture = Fixture();
    const TDataSession& s = fixture.Session;
    benchmark::AddCustomContext("records", std::to_string(kRecordCount));
    benchmark::AddCustomContext("record_size", std::to_string(fixture.RecordSize) + " bytes");
    benchmark::AddCustomContext(
        "buffers", "data " + std::to_string(s.MaxDataBufferSize()) + " bytes / " +
                       std::to_string(s.MaxDataBufferCount()) + " records, index " +
                       std::to_string(s.MaxIndexBufferSize()) + " bytes, blob " +
                       std::to_string(s.MaxBlobBufferSize()) + " bytes / " +
                       std::to_string(s.MaxBlobBufferCount()) + " blocks");
    char load[64];
    std::snprintf(load, sizeof load, "%.3f s (%.0f records/s, exclusive)", fixture.LoadSeconds,
                  kRecordCount / fixture.LoadSeconds);
    benchmark::AddCustomContext("load", load);
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  benchmark::Shutdown();
  return 0;
}
