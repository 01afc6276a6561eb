// Kura against SQLite: the same table, the same work and the same cache budget on both
// engines in one process run, case by case, with the ratio Kura time / SQLite time.
//
// The table `orders` (1,000,000 records by default) comes from one seeded generator and is
// kept in memory as well, so that every answer of both engines is checked against the
// generator's own: a case whose answers differ is reported as an error, its time does not
// count (the summary shows "-") and the program exits with 1. Each case runs once (Google Benchmark with one iteration and the time measured
// by the program itself, so that untimed preparation can be left out); its repetitions
// (lookups, ranges, scans, ...) are part of the case.
//
//   1 bulk insert        all records in one transaction (both engines build their index on k
//                        while inserting); line 1j repeats it for SQLite with a rollback
//                        journal on disk (journal_mode=DELETE, synchronous=OFF), the peer of
//                        Kura's own journal
//   2 autocommit insert  20,000 records one by one into a fresh shared table, each written
//                        through; line 2j repeats it for SQLite with the rollback journal on
//                        disk, and a reference line 2b with its default journal and
//                        synchronous settings (capped at about 10 s)
//   3 point lookup       100,000 random Find on k (SQLite: WHERE k = ? LIMIT 1)
//   4 range count        1,000 random ranges of 1% of the k values, counted
//   5 full scan          20 counts of amount in a range and note containing two letters
//   6 sort               3 times every record in note order, read to the end
//   7 cold open          20 times: files dropped from the page cache, open, read id N/2
//
// Cases 8 to 13 go through both engines' SQL interfaces (Kura: TQueryStatement, a canned
// result unless the line says live; SQLite: sqlite3_prepare_v2), statements prepared once
// unless the case measures preparing:
//   8 SQL point query    SELECT * FROM orders WHERE id = ?, 100,000 random ids, each row
//                        read; line 8l with a live result (RequestLive)
//   9 SQL range count    SELECT COUNT(*) FROM orders WHERE k BETWEEN ? AND ?, the ranges of 4
//  10 SQL group          SELECT cust, COUNT(*), SUM(amount) FROM orders WHERE amount < 100
//                        GROUP BY cust, 3 times
//  11 SQL join           orders joined to a 10,000-row customers table (id primary index,
//                        region text) on orders.cust = customers.id, grouped by region with
//                        COUNT and SUM, 3 times
//  12 SQL sort           SELECT * FROM orders ORDER BY note read to the end; line 12t the
//                        same with TOP 100 (SQLite: LIMIT 100), 5 times
//  13 SQL prepare        prepare, execute, read and close SELECT * FROM orders WHERE id = 5,
//                        10,000 times; line 13l with a live result
//
// Cases 14 to 17 change tables through SQL (a table's count and the sum of its records'
// hashes afterwards checked against the generator's on both engines):
//  14 SQL bulk load      every record by one prepared INSERT INTO ... VALUES (?, ?, ?, ?, ?)
//                        into an empty table of the orders layout, between START
//                        TRANSACTION and COMMIT (SQLite: BEGIN ... COMMIT, case 1's settings)
//  15 SQL insert select  INSERT INTO orders2 SELECT * FROM orders into an empty table of the
//                        same layout and indexes; also the growth of the process's peak
//                        resident memory over the run
//  16 SQL update range   UPDATE ... SET amount = amount + 1 WHERE k BETWEEN ? AND ? over a
//                        tenth of the k values, once
//  17 SQL delete         DELETE ... WHERE cust = ? for 100 customers, one prepared statement
// Cases 16 and 17 change a copy of the orders files made before the clock starts (each
// engine's caches warmed on it by the untimed reading of its sum), so that the other
// cases keep the generator's table.
// Each has a goal for Kura time / SQLite time (printed in the summary). A Kura SQL run that
// passes 300 s is stopped through the progress callback and shown as timed out.
//
// Cases 3 to 5 and 8 to 11 run their workload once untimed first (it checks the answers and
// warms the caches of both engines), then timed. Cases 1 and 2 are checked after the timed run.
//
//   kura_vs_sqlite [--records=N] [Google Benchmark flags, e.g. --benchmark_filter=3_]
// --records sets a smaller table (for profiling). Cases that need the loaded table load it
// untimed when case 1 was filtered out.

#include <fcntl.h>
#include <malloc.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_file.h"
#include "kura/storage/index_tree.h"
#include "bench_support.h"
#include "testing/query_parameters.h"
#include "testing/temp_dir.h"

namespace {

using namespace kura;
using TClock = std::chrono::steady_clock;

// ---- Sizes and workloads --------------------------------------------------------------

constexpr int32_t kDefaultRecords = 1000000;
constexpr uint64_t kDataSeed = 20240701;
constexpr uint64_t kWorkSeed = 20240702;
constexpr int32_t kKeyValues = 100000;  // k is 0..99999, about 10 records each
constexpr int32_t kRangeWidth = kKeyValues / 100;
constexpr int32_t kCustomers = 50000;
constexpr int kNoteLength = 24;
constexpr int32_t kAutocommitRecords = 20000;
constexpr int kLookups = 100000;
constexpr int kRanges = 1000;
constexpr int kScans = 20;
constexpr int kSorts = 3;
constexpr int kColdOpens = 20;
constexpr double kReferenceCapSeconds = 10.0;

// The SQL cases.
constexpr uint64_t kSqlSeed = 20240703;
constexpr int kSqlPoints = 100000;
constexpr int32_t kCustomerRows = 10000;  // customer ids 0..9999: a fifth of the orders join
constexpr int kRegions = 8;
constexpr const char* kRegionNames[kRegions] = {"north", "south", "east", "west", "centre", "coast", "hills", "isles"};
constexpr double kGroupAmountBelow = 100.0;
constexpr int kGroupRuns = 3;
constexpr int kJoinRuns = 3;
constexpr int kTopRuns = 5;
constexpr int kTopRows = 100;
constexpr int kPrepares = 10000;
constexpr int32_t kPreparedId = 5;
constexpr double kSqlCapSeconds = 300.0;

// The data statements.
constexpr uint64_t kChangeSeed = 20240704;
constexpr int32_t kUpdateWidth = kKeyValues / 10;  // a tenth of the k values: about 10% of the rows
constexpr size_t kDeleteCustomers = 100;

// The cache budget of both engines. Kura: the data buffer and the index buffer share it
// (the table has no BLOB fields, so the BLOB buffer is never used); SQLite: cache_size.
constexpr int32_t kDataBufferBytes = 128 * 1024 * 1024;
constexpr int32_t kIndexBufferBytes = 128 * 1024 * 1024;
constexpr int32_t kDataBufferRecords = 4000000;  // above any record count: the bytes decide
constexpr int64_t kCacheBudgetBytes = int64_t{kDataBufferBytes} + kIndexBufferBytes;

constexpr const char* kTable = "orders";
constexpr const char* kAutocommitTable = "autoc";
constexpr const char* kSortCopy = "sortcopy";
constexpr const char* kCustomerTable = "customers";
constexpr const char* kLoadTable = "sqlload";
constexpr const char* kCopyTable = "orders2";
constexpr const char* kUpdateTable = "orders_u";
constexpr const char* kDeleteTable = "orders_d";

// Kura field numbers.
constexpr int kFieldId = 1;
constexpr int kFieldCust = 2;
constexpr int kFieldK = 3;
constexpr int kFieldAmount = 4;
constexpr int kFieldNote = 5;

int32_t gRecords = kDefaultRecords;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("kura_vs_sqlite: " + what); }

double Seconds(TClock::time_point since) { return std::chrono::duration<double>(TClock::now() - since).count(); }

// Folds a value into an order-sensitive checksum.
inline uint64_t Mix(uint64_t hash, uint64_t value) { return (hash ^ value) * 0x100000001B3ULL + 0x9E3779B97F4A7C15ULL; }

struct TOrder {
  int32_t Id;
  int32_t Cust;
  int32_t K;
  double Amount;  // whole cents, so that both engines compare the same doubles
  char Note[kNoteLength + 1];
};

struct TScan {
  double Low, High;  // Low <= amount < High
  char Pair[3];
};

// The rows of a grouped SQL answer (key, COUNT(*), SUM(amount)), sorted by key.
struct TGroup {
  std::string Key;
  int64_t Count = 0;
  double Sum = 0;
};
using TGroups = std::vector<TGroup>;

void SortGroups(TGroups& groups) {
  std::sort(groups.begin(), groups.end(), [](const TGroup& a, const TGroup& b) { return a.Key < b.Key; });
}

// Counts exactly; sums within a relative 1e-9 (the engines add in different orders).
bool SameGroups(const TGroups& a, const TGroups& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].Key != b[i].Key || a[i].Count != b[i].Count) return false;
    if (std::fabs(a[i].Sum - b[i].Sum) > 1e-9 * std::max(1.0, std::fabs(b[i].Sum))) return false;
  }
  return true;
}

// The table, the workloads and the answers the generator expects.
struct TData {
  std::vector<TOrder> Orders;
  std::vector<int32_t> LookupKeys;
  std::vector<int32_t> RangeStarts;
  std::vector<TScan> Scans;
  int32_t ColdId = 0;

  uint64_t LookupSum = 0;
  uint64_t RangeSum = 0;
  std::vector<int64_t> ScanCounts;
  uint64_t SortHash = 0;
  uint64_t ColdHash = 0;

  // The SQL cases.
  std::vector<int32_t> PointIds;
  std::vector<int32_t> CustomerRegion;  // by customer id
  uint64_t PointHash = 0;
  TGroups GroupAnswer;  // by cust
  TGroups JoinAnswer;   // by region
  uint64_t TopHash = 0;
  uint64_t PreparedHash = 0;

  // The data statements: sums of the records' hashes (in no order) of the whole table,
  // of the table after the update of the k range [UpdateLow, UpdateHigh] and after the
  // deletion of the customers' rows.
  uint64_t TableSum = 0;
  int32_t UpdateLow = 0;
  int32_t UpdateHigh = 0;
  int64_t UpdateRows = 0;
  uint64_t UpdateSum = 0;
  std::vector<int32_t> DeleteCustomers;
  int64_t DeleteRows = 0;
  uint64_t DeleteSum = 0;
};

uint64_t RecordHash(int32_t id, int32_t cust, int32_t k, double amount, const char* note) {
  uint64_t h = Mix(0, static_cast<uint64_t>(id));
  h = Mix(h, static_cast<uint64_t>(cust));
  h = Mix(h, static_cast<uint64_t>(k));
  h = Mix(h, static_cast<uint64_t>(std::llround(amount * 100)));
  for (const char* c = note; *c; ++c) h = Mix(h, static_cast<uint8_t>(*c));
  return h;
}

TData MakeData() {
  TData d;
  std::mt19937_64 random(kDataSeed);
  d.Orders.resize(static_cast<size_t>(gRecords));
  for (int32_t i = 0; i < gRecords; ++i) {
    TOrder& o = d.Orders[static_cast<size_t>(i)];
    o.Id = i + 1;
    o.Cust = static_cast<int32_t>(random() % kCustomers);
    o.K = static_cast<int32_t>(random() % kKeyValues);
    o.Amount = static_cast<double>(random() % 100000) / 100.0;
    for (int c = 0; c < kNoteLength; ++c) o.Note[c] = static_cast<char>('a' + random() % 26);
    o.Note[kNoteLength] = 0;
  }

  std::mt19937_64 work(kWorkSeed);
  for (int i = 0; i < kLookups; ++i) d.LookupKeys.push_back(static_cast<int32_t>(work() % kKeyValues));
  for (int i = 0; i < kRanges; ++i) d.RangeStarts.push_back(static_cast<int32_t>(work() % (kKeyValues - kRangeWidth + 1)));
  for (int i = 0; i < kScans; ++i) {
    TScan s{};
    s.Low = 25.0 * i;
    s.High = s.Low + 500.0;
    s.Pair[0] = static_cast<char>('a' + work() % 26);
    s.Pair[1] = static_cast<char>('a' + work() % 26);
    d.Scans.push_back(s);
  }
  d.ColdId = std::max(1, gRecords / 2);

  // Expected answers. Point lookups land on the first record of the key, which is the
  // smallest id in both engines (Kura's non-unique keys end with the record id, which is
  // the append order; SQLite's index entries end with the rowid, which is id).
  std::vector<int32_t> firstId(kKeyValues, 0);
  std::vector<int64_t> perKey(kKeyValues + 1, 0);
  for (const TOrder& o : d.Orders) {
    if (firstId[static_cast<size_t>(o.K)] == 0) firstId[static_cast<size_t>(o.K)] = o.Id;
    ++perKey[static_cast<size_t>(o.K) + 1];
  }
  std::partial_sum(perKey.begin(), perKey.end(), perKey.begin());
  for (const int32_t k : d.LookupKeys) d.LookupSum = Mix(d.LookupSum, static_cast<uint64_t>(firstId[static_cast<size_t>(k)]));
  for (const int32_t low : d.RangeStarts) {
    d.RangeSum = Mix(d.RangeSum, static_cast<uint64_t>(perKey[static_cast<size_t>(low + kRangeWidth)] - perKey[static_cast<size_t>(low)]));
  }
  for (const TScan& s : d.Scans) {
    int64_t n = 0;
    for (const TOrder& o : d.Orders) {
      if (o.Amount >= s.Low && o.Amount < s.High && std::strstr(o.Note, s.Pair) != nullptr) ++n;
    }
    d.ScanCounts.push_back(n);
  }
  std::vector<int32_t> order(d.Orders.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return std::strcmp(d.Orders[static_cast<size_t>(a)].Note, d.Orders[static_cast<size_t>(b)].Note) < 0;
  });
  for (const int32_t i : order) d.SortHash = Mix(d.SortHash, static_cast<uint64_t>(d.Orders[static_cast<size_t>(i)].Id));
  for (size_t i = 0; i < order.size() && i < static_cast<size_t>(kTopRows); ++i) {
    d.TopHash = Mix(d.TopHash, static_cast<uint64_t>(d.Orders[static_cast<size_t>(order[i])].Id));
  }
  const TOrder& cold = d.Orders[static_cast<size_t>(d.ColdId - 1)];
  const uint64_t one = RecordHash(cold.Id, cold.Cust, cold.K, cold.Amount, cold.Note);
  for (int i = 0; i < kColdOpens; ++i) d.ColdHash = Mix(d.ColdHash, one);

  // The SQL cases, from a generator of their own (the workloads above stay as they were).
  std::mt19937_64 sql(kSqlSeed);
  auto hashOf = [&](int32_t id) {
    const TOrder& o = d.Orders[static_cast<size_t>(id - 1)];
    return RecordHash(o.Id, o.Cust, o.K, o.Amount, o.Note);
  };
  for (int i = 0; i < kSqlPoints; ++i) {
    d.PointIds.push_back(1 + static_cast<int32_t>(sql() % static_cast<uint64_t>(gRecords)));
    d.PointHash = Mix(d.PointHash, hashOf(d.PointIds.back()));
  }
  for (int32_t c = 0; c < kCustomerRows; ++c) d.CustomerRegion.push_back(static_cast<int32_t>(sql() % kRegions));
  std::map<std::string, TGroup> byCust;
  std::map<std::string, TGroup> byRegion;
  for (const TOrder& o : d.Orders) {
    if (o.Amount < kGroupAmountBelow) {
      TGroup& g = byCust[std::to_string(o.Cust)];
      ++g.Count;
      g.Sum += o.Amount;
    }
    if (o.Cust < kCustomerRows) {
      TGroup& g = byRegion[kRegionNames[d.CustomerRegion[static_cast<size_t>(o.Cust)]]];
      ++g.Count;
      g.Sum += o.Amount;
    }
  }
  for (auto& [key, g] : byCust) d.GroupAnswer.push_back({key, g.Count, g.Sum});
  for (auto& [key, g] : byRegion) d.JoinAnswer.push_back({key, g.Count, g.Sum});
  SortGroups(d.GroupAnswer);
  SortGroups(d.JoinAnswer);
  if (gRecords >= kPreparedId) {
    for (int i = 0; i < kPrepares; ++i) d.PreparedHash = Mix(d.PreparedHash, hashOf(kPreparedId));
  }

  // The data statements, from a generator of their own.
  std::mt19937_64 change(kChangeSeed);
  d.UpdateLow = static_cast<int32_t>(change() % (kKeyValues - kUpdateWidth + 1));
  d.UpdateHigh = d.UpdateLow + kUpdateWidth - 1;
  std::vector<bool> deleted(kCustomers, false);
  while (d.DeleteCustomers.size() < kDeleteCustomers) {
    const auto cust = static_cast<int32_t>(change() % kCustomers);
    if (deleted[static_cast<size_t>(cust)]) continue;
    deleted[static_cast<size_t>(cust)] = true;
    d.DeleteCustomers.push_back(cust);
  }
  for (const TOrder& o : d.Orders) {
    const uint64_t h = RecordHash(o.Id, o.Cust, o.K, o.Amount, o.Note);
    d.TableSum += h;
    if (o.K >= d.UpdateLow && o.K <= d.UpdateHigh) {
      ++d.UpdateRows;
      d.UpdateSum += RecordHash(o.Id, o.Cust, o.K, o.Amount + 1, o.Note);
    } else {
      d.UpdateSum += h;
    }
    if (deleted[static_cast<size_t>(o.Cust)]) {
      ++d.DeleteRows;
    } else {
      d.DeleteSum += h;
    }
  }
  return d;
}

// Writes dirty pages of the file and drops its pages from the operating system's cache.
void DropFromPageCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;  // a table without that file
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// The growth of the process's peak resident memory over a span: the kernel's peak mark
// (VmHWM) is reset when the span starts, after the heap has given its free memory back
// to the system (so that memory freed by earlier cases cannot hide what the span takes).
class TPeakMemory {
public:
  TPeakMemory() {
    ::malloc_trim(0);
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5" << std::flush;
    FReset = reset.good();
    FBaseKb = StatusKb("VmRSS:");
  }
  // Bytes above the resident memory at the start; -1 when the mark could not be reset.
  int64_t GrowthBytes() const {
    if (!FReset || FBaseKb < 0) return -1;
    return std::max<int64_t>(0, StatusKb("VmHWM:") - FBaseKb) * 1024;
  }

private:
  static int64_t StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(key, 0) == 0) return std::strtoll(line.c_str() + std::strlen(key), nullptr, 10);
    }
    return -1;
  }
  bool FReset = false;
  int64_t FBaseKb = -1;
};

// ---- Results ------------------------------------------------------------------------------

struct TCase {
  std::string Name;
  std::string Unit;   // what the rate counts
  double Operations;  // per timed run
  double KuraSeconds = 0;
  double SqliteSeconds = 0;
  double SqliteOperations = 0;  // when SQLite did a different amount of work (the capped reference)
  double Goal = 0;              // the Kura time / SQLite time aimed at (0: none)
  bool KuraTimedOut = false;    // stopped after kSqlCapSeconds: KuraSeconds is a lower bound
  // The growth of the peak resident memory over the timed run (0: not measured, -1:
  // could not be measured).
  int64_t KuraPeakBytes = 0;
  int64_t SqlitePeakBytes = 0;
};

std::vector<TCase> gCases;
// The sizes of the Kura table's data and index files after case 1 (0 before it ran).
std::pair<uintmax_t, uintmax_t> gBulkFileBytes;
// The pages of each index of that table (name, pages), from a walk of its tree.
std::vector<std::pair<std::string, int64_t>> gBulkIndexPages;
bool gFailed = false;  // some answer differed or a case raised

TCase& Case(const std::string& name) {
  for (TCase& c : gCases) {
    if (c.Name == name) return c;
  }
  Fail("no case " + name);
}

// ---- Kura -------------------------------------------------------------------------------

using bench_support::Field;

// id Integer (primary), cust Integer, k Integer (secondary index ByK, not unique),
// amount Float, note String of 24 characters (the size counts the terminating zero).
TTableDefinition OrdersDefinition() {
  TTableDefinition t;
  t.Fields = {Field("id", TFieldType::Integer), Field("cust", TFieldType::Integer), Field("k", TFieldType::Integer),
              Field("amount", TFieldType::Float), Field("note", TFieldType::String, kNoteLength + 1)};
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

// The owner of the sort copy's data file: the session's data buffer limit and the
// temporary directory for the sort runs.
class TSortCopyOwner : public TDataFileOwner {
public:
  explicit TSortCopyOwner(std::string dir) : FDir(std::move(dir)) {}
  int32_t MaxDataBufferSize() const override { return kDataBufferBytes; }
  int32_t MaxDataBufferCount() const override { return kDataBufferRecords; }
  std::string PrivateDir() const override { return FDir; }

private:
  std::string FDir;
};

struct TKura {
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  std::string Dir;
  bool Loaded = false;
  // Holds the table open (and its caches warm) through cases 3 to 6.
  std::unique_ptr<TDataCursor> Keeper;

  explicit TKura(const std::string& dir) : Dir(dir) {
    Session.SetMaxDataBufferSize(kDataBufferBytes);
    Session.SetMaxDataBufferCount(kDataBufferRecords);
    Session.SetMaxIndexBufferSize(kIndexBufferBytes);
    Session.SetPrivateDir(dir);
    Directory = Session.OpenDirectory("VS", dir);
  }

  std::string File(const char* table, const char* extension) const { return Dir + "/" + table + extension; }

  void Create(const char* table) {
    if (Directory->TableExists(table, false) && Directory->DeleteTableFiles(table, false) != 0) {
      Fail(std::string("cannot delete the Kura table ") + table);
    }
    if (Directory->CreateTableFiles(table, false, OrdersDefinition()) != 0) Fail(std::string("cannot create ") + table);
  }

  std::unique_ptr<TDataCursor> Open(const char* table, bool exclusive = false) {
    auto cursor = std::make_unique<TDataCursor>(*Directory);
    cursor->SetTableName(table);
    cursor->SetExclusive(exclusive);
    cursor->OpenCursor();
    return cursor;
  }

  static void Fill(TDataCursor& cursor, uint8_t* record, const TOrder& o) {
    uint8_t value[8];
    cursor.InitRecord(record);
    WriteI32(value, o.Id);
    cursor.SetField(kFieldId, record, value);
    WriteI32(value, o.Cust);
    cursor.SetField(kFieldCust, record, value);
    WriteI32(value, o.K);
    cursor.SetField(kFieldK, record, value);
    WriteF64(value, o.Amount);
    cursor.SetField(kFieldAmount, record, value);
    cursor.SetField(kFieldNote, record, reinterpret_cast<const uint8_t*>(o.Note));
  }

  // Case 1: every record appended inside one transaction, on a cursor opened Exclusive
  // (a bulk load has the table to itself; SQLite holds its one write lock for the whole
  // transaction as well). A shared table would lock each new record until the commit.
  double BulkInsert(const TData& data) {
    Keeper.reset();
    Create(kTable);
    const auto start = TClock::now();
    auto cursor = Open(kTable, true);
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    Directory->StartTransaction();
    for (const TOrder& o : data.Orders) {
      Fill(*cursor, record.data(), o);
      cursor->AppendRecord(record.data(), false);
    }
    Directory->Commit(true, false);
    cursor->CloseCursor();
    const double seconds = Seconds(start);
    auto check = Open(kTable);
    if (check->GetRecordCount() != gRecords) {
      Fail("Kura holds " + std::to_string(check->GetRecordCount()) + " records after the bulk insert");
    }
    check->CloseCursor();
    Loaded = true;
    gBulkFileBytes = {std::filesystem::file_size(File(kTable, ".DAT")),
                      std::filesystem::file_size(File(kTable, ".IDX"))};
    gBulkIndexPages = IndexPages(kTable);
    return seconds;
  }

  // The pages of every index in use of a closed table (its index file read on its own):
  // the tree pages each index's check walks, free pages not counted.
  std::vector<std::pair<std::string, int64_t>> IndexPages(const char* table) const {
    TDataFile data(File(table, ".DAT"));
    data.OpenDataFile();
    TIndexFile index(File(table, ".IDX"));
    index.SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), data.Encrypted());
    index.OpenIndexFile();
    std::vector<std::pair<std::string, int64_t>> pages;
    for (int i = 0; i < kIndexCount; ++i) {
      if (!index.IndexInUse(i)) continue;
      const TIndexCheckResult check = CheckIndexTree(index, i);
      if (!check.Ok) Fail("the index " + std::to_string(i) + " of " + table + " is damaged: " + check.Problem);
      if (check.TreePages == 0) continue;  // the text index of a table without one
      pages.emplace_back(i == kPrimaryIndex ? std::string("primary") : index.Descriptor(i).Name, check.TreePages);
    }
    index.CloseIndexFile();
    data.CloseDataFile();
    return pages;
  }

  void EnsureLoaded(const TData& data) {
    if (!Loaded) BulkInsert(data);
  }

  // Case 2: appends on a shared cursor without a transaction: each is written through.
  double AutocommitInsert(const TData& data) {
    Create(kAutocommitTable);
    const auto start = TClock::now();
    auto cursor = Open(kAutocommitTable);
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    for (int32_t i = 0; i < kAutocommitRecords && i < gRecords; ++i) {
      Fill(*cursor, record.data(), data.Orders[static_cast<size_t>(i)]);
      cursor->AppendRecord(record.data(), false);
    }
    cursor->CloseCursor();
    const double seconds = Seconds(start);
    auto check = Open(kAutocommitTable);
    const int32_t count = check->GetRecordCount();
    check->CloseCursor();
    if (count != std::min(kAutocommitRecords, gRecords)) Fail("Kura holds " + std::to_string(count) + " autocommitted records");
    return seconds;
  }

  TDataCursor& Reader(const TData& data) {
    EnsureLoaded(data);
    if (!Keeper) Keeper = Open(kTable);
    return *Keeper;
  }

  void CloseKeeper() {
    if (Keeper) Keeper->CloseCursor();
    Keeper.reset();
  }

  static int32_t IdOf(TDataCursor& cursor, const uint8_t* record) {
    bool isNull = false;
    uint8_t value[8];
    cursor.GetField(kFieldId, record, isNull, value);
    return ReadI32(value);
  }

  // Case 3.
  uint64_t Lookups(const TData& data) {
    auto cursor = Open(kTable);
    cursor->SetIndexName("ByK");
    std::vector<uint8_t> key(static_cast<size_t>(cursor->RecordSize()));
    std::vector<uint8_t> found(static_cast<size_t>(cursor->RecordSize()));
    cursor->InitRecord(key.data());
    uint8_t value[4];
    uint64_t sum = 0;
    for (const int32_t k : data.LookupKeys) {
      WriteI32(value, k);
      cursor->SetField(kFieldK, key.data(), value);
      const bool hit = cursor->Find(key.data(), false, 1, -1, false, found.data());
      sum = Mix(sum, hit ? static_cast<uint64_t>(IdOf(*cursor, found.data())) : 0);
    }
    cursor->CloseCursor();
    return sum;
  }

  // Case 4.
  uint64_t Ranges(const TData& data) {
    auto cursor = Open(kTable);
    cursor->SetIndexName("ByK");
    std::vector<uint8_t> low(static_cast<size_t>(cursor->RecordSize()));
    std::vector<uint8_t> high(static_cast<size_t>(cursor->RecordSize()));
    cursor->InitRecord(low.data());
    cursor->InitRecord(high.data());
    uint8_t value[4];
    uint64_t sum = 0;
    for (const int32_t start : data.RangeStarts) {
      WriteI32(value, start);
      cursor->SetField(kFieldK, low.data(), value);
      WriteI32(value, start + kRangeWidth - 1);
      cursor->SetField(kFieldK, high.data(), value);
      cursor->SetRange(low.data(), 1, high.data(), 1);
      sum = Mix(sum, static_cast<uint64_t>(cursor->GetRecordCount()));
    }
    cursor->CloseCursor();
    return sum;
  }

  // Case 5: one scan of the list (`first` to `last`), each a filter counted.
  std::vector<int64_t> Scan(const TData& data, int first, int last) {
    auto cursor = Open(kTable);
    std::vector<int64_t> counts;
    char text[160];
    for (int i = first; i < last; ++i) {
      const TScan& s = data.Scans[static_cast<size_t>(i)];
      std::snprintf(text, sizeof text, "amount >= %.2f AND amount < %.2f AND note LIKE '%%%s%%'", s.Low, s.High, s.Pair);
      TFilter* filter = cursor->AddExprFilter(text);
      cursor->ActivateFilter(filter);
      counts.push_back(cursor->GetRecordCount());
      cursor->DropFilter(filter);
    }
    cursor->CloseCursor();
    return counts;
  }

  // Case 6: sorts a copy of the data file by note and reads every slot. The copy is made
  // before the clock starts.
  double Sort(uint64_t& hash) {
    const std::string source = File(kTable, ".DAT");
    const std::string copy = File(kSortCopy, ".DAT");
    std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
    TSortCopyOwner owner(Dir);
    const auto start = TClock::now();
    {
      TDataFile file(copy, false, &owner);
      file.OpenDataFile();
      TSortRequest request;
      request.Fields = {{file.FieldByPosition(kFieldNote)->FieldNo, false}};
      file.SortRecords(request);
      const int32_t count = file.RecordCount();
      const uint16_t idOffset = file.FieldByPosition(kFieldId)->Offset;
      hash = 0;
      for (int32_t recNo = 1; recNo <= count; ++recNo) {
        TReadAhead ahead;
        ahead.Enabled = true;
        ahead.RunLength = count - recNo + 1;
        TRecord* record = file.GetRecord(recNo, ahead);
        hash = Mix(hash, static_cast<uint64_t>(ReadI32(record->Bytes() + idOffset + 1)));
        file.ReleaseRecord(record);
      }
      file.CloseDataFile();
    }
    const double seconds = Seconds(start);
    std::filesystem::remove(copy);
    return seconds;
  }

  // Case 7: one cold open and read of the record with `id`.
  uint64_t ColdOpen(int32_t id, double& seconds) {
    if (Directory->FindTable(kTable, false) != nullptr) Fail("the Kura table is still open: its caches would stay warm");
    DropFromPageCache(File(kTable, ".DAT"));
    DropFromPageCache(File(kTable, ".IDX"));
    const auto start = TClock::now();
    auto cursor = Open(kTable);
    std::vector<uint8_t> key(static_cast<size_t>(cursor->RecordSize()));
    std::vector<uint8_t> found(static_cast<size_t>(cursor->RecordSize()));
    cursor->InitRecord(key.data());
    uint8_t value[8];
    WriteI32(value, id);
    cursor->SetField(kFieldId, key.data(), value);
    if (!cursor->Find(key.data(), false, 0, -1, false, found.data())) Fail("Kura did not find id " + std::to_string(id));
    bool isNull = false;
    int32_t fields[3];
    for (int f = 0; f < 3; ++f) {
      cursor->GetField(kFieldId + f, found.data(), isNull, value);
      fields[f] = ReadI32(value);
    }
    cursor->GetField(kFieldAmount, found.data(), isNull, value);
    const double amount = ReadF64(value);
    char note[kNoteLength + 2] = {};
    cursor->GetField(kFieldNote, found.data(), isNull, reinterpret_cast<uint8_t*>(note));
    cursor->CloseCursor();
    seconds += Seconds(start);
    return RecordHash(fields[0], fields[1], fields[2], amount, note);
  }

  // ---- SQL (cases 8 to 13) ----

  // The customers table (untimed): id Integer (primary index), region String.
  bool CustomersLoaded = false;
  void EnsureCustomers(const TData& data) {
    if (CustomersLoaded) return;
    TTableDefinition t;
    t.Fields = {Field("id", TFieldType::Integer), Field("region", TFieldType::String, 8)};
    TIndexDefinition primary;
    primary.Fields = {1};
    primary.Unique = true;
    t.PrimaryIndex = primary;
    if (Directory->TableExists(kCustomerTable, false)) Directory->DeleteTableFiles(kCustomerTable, false);
    if (Directory->CreateTableFiles(kCustomerTable, false, t) != 0) Fail("cannot create the Kura customers table");
    auto cursor = Open(kCustomerTable, true);
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    Directory->StartTransaction();
    for (int32_t id = 0; id < kCustomerRows; ++id) {
      uint8_t value[4];
      cursor->InitRecord(record.data());
      WriteI32(value, id);
      cursor->SetField(1, record.data(), value);
      cursor->SetField(2, record.data(),
                       reinterpret_cast<const uint8_t*>(kRegionNames[data.CustomerRegion[static_cast<size_t>(id)]]));
      cursor->AppendRecord(record.data(), false);
    }
    Directory->Commit(true, false);
    cursor->CloseCursor();
    CustomersLoaded = true;
  }

  using TParams = testing_support::TQueryParameters;
  // Int32 parameter values.
  struct TIntParams : TParams {
    explicit TIntParams(int count) {
      for (int i = 0; i < count; ++i) Integer(0);
    }
    void Set(size_t i, int32_t value) { WriteI32(Value(i), value); }
  };
  // The five values of an orders record, in field order.
  struct TOrderParams : TParams {
    TOrderParams() { Integer(0).Integer(0).Integer(0).Float(0).Text("", kNoteLength + 1); }
    void Set(const TOrder& o) {
      WriteI32(Value(0), o.Id);
      WriteI32(Value(1), o.Cust);
      WriteI32(Value(2), o.K);
      WriteF64(Value(3), o.Amount);
      std::memcpy(Value(4), o.Note, kNoteLength + 1);
    }
  };

  // Set when a run passed kSqlCapSeconds and was stopped.
  bool TimedOut = false;

  // A statement prepared on the directory; `capped`: stopped through the progress
  // callback once it has run for kSqlCapSeconds.
  std::unique_ptr<TQueryStatement> Prepared(const std::string& sql, bool live = false, bool capped = false) {
    auto statement = std::make_unique<TQueryStatement>(*Directory);
    statement->RequestLive = live;
    if (capped) {
      const auto start = TClock::now();
      statement->SetProgressCallback([this, start](TQueryStatement&, int32_t, bool& abort) {
        if (Seconds(start) > kSqlCapSeconds) abort = TimedOut = true;
      });
    }
    statement->Prepare(sql);
    return statement;
  }

  static TDataCursor& Run(TQueryStatement& statement, const TParams* params = nullptr) {
    TDataCursor* result = nullptr;
    if (params) {
      statement.Execute(params->Definitions(), params->Values(), result);
    } else {
      statement.Execute(result);
    }
    if (result == nullptr) Fail("a SELECT gave no result cursor");
    return *result;
  }

  // The hash of an orders row of a SELECT * result (fields id, cust, k, amount, note).
  static uint64_t OrderHash(TDataCursor& cursor, const uint8_t* record) {
    bool isNull = false;
    uint8_t value[8];
    int32_t fields[3];
    for (int f = 0; f < 3; ++f) {
      cursor.GetField(kFieldId + f, record, isNull, value);
      fields[f] = ReadI32(value);
    }
    cursor.GetField(kFieldAmount, record, isNull, value);
    const double amount = ReadF64(value);
    char note[kNoteLength + 2] = {};
    cursor.GetField(kFieldNote, record, isNull, reinterpret_cast<uint8_t*>(note));
    return RecordHash(fields[0], fields[1], fields[2], amount, note);
  }

  // Case 8: one prepared statement, every id's row read.
  uint64_t SqlPoints(const TData& data, bool live) {
    auto statement = Prepared("SELECT * FROM orders WHERE id = ?", live);
    TIntParams params(1);
    std::vector<uint8_t> record;
    uint64_t hash = 0;
    for (const int32_t id : data.PointIds) {
      params.Set(0, id);
      TDataCursor& result = Run(*statement, &params);
      record.resize(static_cast<size_t>(result.RecordSize()));
      result.SetToBegin();
      int rows = 0;
      while (result.GetNextRecord(record.data()) == 0) {
        hash = Mix(hash, OrderHash(result, record.data()));
        ++rows;
      }
      if (rows != 1) Fail("Kura found " + std::to_string(rows) + " rows for id " + std::to_string(id));
    }
    return hash;
  }

  // Case 9.
  uint64_t SqlRanges(const TData& data) {
    auto statement = Prepared("SELECT COUNT(*) FROM orders WHERE k BETWEEN ? AND ?");
    TIntParams params(2);
    std::vector<uint8_t> record;
    uint64_t sum = 0;
    for (const int32_t start : data.RangeStarts) {
      params.Set(0, start);
      params.Set(1, start + kRangeWidth - 1);
      TDataCursor& result = Run(*statement, &params);
      record.resize(static_cast<size_t>(result.RecordSize()));
      result.SetToBegin();
      if (result.GetNextRecord(record.data()) != 0) Fail("Kura's COUNT(*) gave no row");
      bool isNull = false;
      uint8_t value[8];
      result.GetField(1, record.data(), isNull, value);
      sum = Mix(sum, static_cast<uint64_t>(ReadI32(value)));
    }
    return sum;
  }

  // The rows (key, count, sum) of a grouped result, sorted by key.
  static TGroups ReadGroups(TDataCursor& result) {
    std::vector<uint8_t> record(static_cast<size_t>(result.RecordSize()));
    const bool textKey = result.FieldDefinitions().at(0).FieldType == TFieldType::String;
    TGroups groups;
    result.SetToBegin();
    while (result.GetNextRecord(record.data()) == 0) {
      bool isNull = false;
      uint8_t value[kMaxDataSize + 1] = {};
      TGroup g;
      result.GetField(1, record.data(), isNull, value);
      g.Key = textKey ? std::string(reinterpret_cast<const char*>(value)) : std::to_string(ReadI32(value));
      result.GetField(2, record.data(), isNull, value);
      g.Count = ReadI32(value);
      result.GetField(3, record.data(), isNull, value);
      g.Sum = ReadF64(value);
      groups.push_back(std::move(g));
    }
    SortGroups(groups);
    return groups;
  }

  // Cases 10 and 11: one run of a grouping statement.
  TGroups SqlGroups(const char* sql) {
    auto statement = Prepared(sql, false, true);
    return ReadGroups(Run(*statement));
  }

  // Case 12: the ids in note order, every row read.
  uint64_t SqlSort(bool top) {
    auto statement =
        Prepared(top ? "SELECT * FROM orders ORDER BY note TOP " + std::to_string(kTopRows) : "SELECT * FROM orders ORDER BY note",
                 false, true);
    TDataCursor& result = Run(*statement);
    std::vector<uint8_t> record(static_cast<size_t>(result.RecordSize()));
    uint64_t hash = 0;
    result.SetToBegin();
    while (result.GetNextRecord(record.data()) == 0) hash = Mix(hash, static_cast<uint64_t>(IdOf(result, record.data())));
    return hash;
  }

  // A statement that gives no result (a data or transaction statement); returns its rows.
  static int32_t RunChange(TQueryStatement& statement, const TParams* params = nullptr) {
    TDataCursor* result = nullptr;
    if (params) {
      statement.Execute(params->Definitions(), params->Values(), result);
    } else {
      statement.Execute(result);
    }
    return statement.RowsAffected();
  }

  // ---- Data statements (cases 14 to 17) ----

  // The record count and the sum of the records' hashes of a table (SELECT * layout).
  std::pair<int64_t, uint64_t> TableSum(const char* table) {
    auto cursor = Open(table);
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    std::pair<int64_t, uint64_t> sum{0, 0};
    cursor->SetToBegin();
    while (cursor->GetNextRecord(record.data()) == 0) {
      ++sum.first;
      sum.second += OrderHash(*cursor, record.data());
    }
    cursor->CloseCursor();
    return sum;
  }

  void CheckSum(const char* table, int64_t count, uint64_t expected, const char* what) {
    const auto [n, sum] = TableSum(table);
    if (n != count || sum != expected) {
      Fail(std::string("Kura's table after the ") + what + " holds " + std::to_string(n) + " records (expected " +
           std::to_string(count) + ")" + (sum != expected ? " with other values" : ""));
    }
  }

  void Drop(const char* table) {
    if (Directory->TableExists(table, false) && Directory->DeleteTableFiles(table, false) != 0) {
      Fail(std::string("cannot delete the Kura table ") + table);
    }
  }

  // Case 14: every record through a prepared INSERT, in one transaction of the script's.
  double SqlLoad(const TData& data) {
    Create(kLoadTable);
    TOrderParams params;
    const auto start = TClock::now();
    {
      auto insert = Prepared(std::string("INSERT INTO ") + kLoadTable + " VALUES (?, ?, ?, ?, ?)");
      RunChange(*Prepared("START TRANSACTION"));
      for (const TOrder& o : data.Orders) {
        params.Set(o);
        if (RunChange(*insert, &params) != 1) Fail("a Kura INSERT did not append its row");
      }
      RunChange(*Prepared("COMMIT"));
    }
    const double seconds = Seconds(start);
    CheckSum(kLoadTable, gRecords, data.TableSum, "SQL bulk load");
    Drop(kLoadTable);
    return seconds;
  }

  // Case 15: the orders table copied by INSERT ... SELECT into an empty table; `peak`
  // receives the growth of the peak resident memory over the run. The orders table is
  // read once before (untimed; it stays open through the keeper): its records are in the
  // cache before the run, as SQLite's pages are in its own.
  double SqlInsertSelect(const TData& data, int64_t& peak) {
    Reader(data);
    CheckSum(kTable, gRecords, data.TableSum, "earlier cases");
    Create(kCopyTable);
    int32_t rows = 0;
    const TPeakMemory memory;
    const auto start = TClock::now();
    {
      auto statement = Prepared(std::string("INSERT INTO ") + kCopyTable + " SELECT * FROM " + kTable);
      rows = RunChange(*statement);
    }
    const double seconds = Seconds(start);
    peak = memory.GrowthBytes();
    if (rows != gRecords) Fail("Kura's INSERT ... SELECT counted " + std::to_string(rows) + " rows");
    CheckSum(kCopyTable, gRecords, data.TableSum, "INSERT ... SELECT");
    Drop(kCopyTable);
    return seconds;
  }

  // A copy of the orders files under another table name, opened by the returned cursor
  // (which keeps the table's caches) and read once (untimed: it warms them).
  std::unique_ptr<TDataCursor> CopyOrders(const TData& data, const char* table) {
    Reader(data);  // the table's files are complete
    Drop(table);
    for (const char* extension : {".DAT", ".IDX"}) {
      std::filesystem::copy_file(File(kTable, extension), File(table, extension),
                                 std::filesystem::copy_options::overwrite_existing);
    }
    auto holder = Open(table);
    CheckSum(table, gRecords, data.TableSum, "copy");
    return holder;
  }

  // Case 16.
  double SqlUpdate(const TData& data) {
    auto holder = CopyOrders(data, kUpdateTable);
    TIntParams params(2);
    params.Set(0, data.UpdateLow);
    params.Set(1, data.UpdateHigh);
    int32_t rows = 0;
    const auto start = TClock::now();
    {
      auto statement =
          Prepared(std::string("UPDATE ") + kUpdateTable + " SET amount = amount + 1 WHERE k BETWEEN ? AND ?");
      rows = RunChange(*statement, &params);
    }
    const double seconds = Seconds(start);
    if (rows != data.UpdateRows) Fail("Kura's UPDATE counted " + std::to_string(rows) + " rows");
    CheckSum(kUpdateTable, gRecords, data.UpdateSum, "UPDATE");
    holder->CloseCursor();
    Drop(kUpdateTable);
    return seconds;
  }

  // Case 17.
  double SqlDelete(const TData& data) {
    auto holder = CopyOrders(data, kDeleteTable);
    TIntParams params(1);
    int64_t rows = 0;
    const auto start = TClock::now();
    {
      auto statement = Prepared(std::string("DELETE FROM ") + kDeleteTable + " WHERE cust = ?");
      for (const int32_t cust : data.DeleteCustomers) {
        params.Set(0, cust);
        rows += RunChange(*statement, &params);
      }
    }
    const double seconds = Seconds(start);
    if (rows != data.DeleteRows) Fail("Kura's DELETE counted " + std::to_string(rows) + " rows");
    CheckSum(kDeleteTable, gRecords - data.DeleteRows, data.DeleteSum, "DELETE");
    holder->CloseCursor();
    Drop(kDeleteTable);
    return seconds;
  }

  // Case 13: a statement made, prepared, executed, read and freed each time.
  uint64_t SqlPrepares(bool live) {
    uint64_t hash = 0;
    std::vector<uint8_t> record;
    for (int i = 0; i < kPrepares; ++i) {
      auto statement = Prepared("SELECT * FROM orders WHERE id = " + std::to_string(kPreparedId), live);
      TDataCursor& result = Run(*statement);
      record.resize(static_cast<size_t>(result.RecordSize()));
      result.SetToBegin();
      while (result.GetNextRecord(record.data()) == 0) hash = Mix(hash, OrderHash(result, record.data()));
    }
    return hash;
  }
};

// ---- SQLite -----------------------------------------------------------------------------

struct TStatement {
  sqlite3_stmt* S = nullptr;
  TStatement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &S, nullptr) != SQLITE_OK) Fail(std::string("SQLite: ") + sqlite3_errmsg(db));
  }
  ~TStatement() { sqlite3_finalize(S); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  operator sqlite3_stmt*() const { return S; }
};

void Exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "?";
    sqlite3_free(message);
    Fail("SQLite: " + text + " in " + sql);
  }
}

void Step(sqlite3* db, sqlite3_stmt* s, int expected) {
  const int rc = sqlite3_step(s);
  if (rc != expected) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
}

const char* kFairPragmas =
    "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF; PRAGMA locking_mode=NORMAL; PRAGMA mmap_size=0;";
// The same with SQLite's own rollback journal on disk (its default journal mode).
const char* kJournalPragmas =
    "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF; PRAGMA locking_mode=NORMAL; PRAGMA mmap_size=0;";

// How SQLite is set up: the fair settings (journal in memory), the same with the
// rollback journal on disk, or SQLite's defaults.
enum class TSqliteMode { Fair, Journal, Defaults };

std::string CachePragma() { return "PRAGMA cache_size=-" + std::to_string(kCacheBudgetBytes / 1024) + ";"; }

struct TSqlite {
  std::string Dir;
  sqlite3* Db = nullptr;
  bool Loaded = false;

  explicit TSqlite(const std::string& dir) : Dir(dir) {}
  ~TSqlite() { Close(); }

  std::string Path(const char* name) const { return Dir + "/" + name + ".db"; }

  // Opens (creating) a database file with the settings of `mode`.
  static sqlite3* OpenDb(const std::string& path, TSqliteMode mode) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      const std::string text = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      Fail("SQLite cannot open " + path + ": " + text);
    }
    Exec(db, "PRAGMA page_size=4096;" + CachePragma());
    if (mode == TSqliteMode::Fair) Exec(db, kFairPragmas);
    if (mode == TSqliteMode::Journal) Exec(db, kJournalPragmas);
    return db;
  }

  // The orders layout under `table`, with its index on k.
  static std::string CreateOrders(const std::string& table) {
    return "CREATE TABLE " + table +
           "(id INTEGER PRIMARY KEY, cust INTEGER NOT NULL, k INTEGER NOT NULL, "
           "amount REAL NOT NULL, note TEXT NOT NULL);"
           "CREATE INDEX " +
           table + "_k ON " + table + "(k);";
  }

  static sqlite3* CreateDb(const std::string& path, TSqliteMode mode) {
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-journal");
    sqlite3* db = OpenDb(path, mode);
    Exec(db, CreateOrders(kTable));
    return db;
  }

  void Close() {
    if (Db) sqlite3_close(Db);
    Db = nullptr;
  }

  static void Insert(sqlite3_stmt* s, const TOrder& o) {
    sqlite3_bind_int(s, 1, o.Id);
    sqlite3_bind_int(s, 2, o.Cust);
    sqlite3_bind_int(s, 3, o.K);
    sqlite3_bind_double(s, 4, o.Amount);
    sqlite3_bind_text(s, 5, o.Note, kNoteLength, SQLITE_STATIC);
  }

  static int64_t Count(sqlite3* db) {
    TStatement s(db, "SELECT COUNT(*) FROM orders");
    Step(db, s, SQLITE_ROW);
    return sqlite3_column_int64(s, 0);
  }

  static constexpr const char* kInsert = "INSERT INTO orders(id, cust, k, amount, note) VALUES (?, ?, ?, ?, ?)";

  // Case 1 into the table the later cases read.
  double BulkInsert(const TData& data) {
    Close();
    Db = CreateDb(Path(kTable), TSqliteMode::Fair);
    const double seconds = BulkInsertInto(Db, data);
    Loaded = true;
    return seconds;
  }
  // Case 1 with the rollback journal on disk, into a database of its own.
  double BulkInsertJournaled(const TData& data) {
    sqlite3* db = CreateDb(Path("bulk_journal"), TSqliteMode::Journal);
    const double seconds = BulkInsertInto(db, data);
    sqlite3_close(db);
    std::filesystem::remove(Path("bulk_journal"));
    return seconds;
  }
  static double BulkInsertInto(sqlite3* db, const TData& data) {
    const auto start = TClock::now();
    {
      TStatement insert(db, kInsert);
      Exec(db, "BEGIN");
      for (const TOrder& o : data.Orders) {
        Insert(insert, o);
        Step(db, insert, SQLITE_DONE);
        sqlite3_reset(insert);
      }
      Exec(db, "COMMIT");
    }
    const double seconds = Seconds(start);
    if (Count(db) != gRecords) Fail("SQLite holds " + std::to_string(Count(db)) + " records after the bulk insert");
    return seconds;
  }

  sqlite3* Connection(const TData& data) {
    if (!Loaded) BulkInsert(data);
    return Db;
  }

  // Case 2 with the settings of `mode`; stops after `cap` seconds and tells how many
  // records it wrote.
  double AutocommitInsert(const TData& data, TSqliteMode mode, double cap, int32_t& written) {
    const char* const names[] = {"autoc", "autoc_journal", "autoc_default"};
    const std::string path = Path(names[static_cast<int>(mode)]);
    sqlite3* db = CreateDb(path, mode);
    const auto start = TClock::now();
    written = 0;
    {
      TStatement insert(db, kInsert);
      for (int32_t i = 0; i < kAutocommitRecords && i < gRecords; ++i) {
        Insert(insert, data.Orders[static_cast<size_t>(i)]);
        Step(db, insert, SQLITE_DONE);
        sqlite3_reset(insert);
        ++written;
        if (cap > 0 && (written & 63) == 0 && Seconds(start) > cap) break;
      }
    }
    const double seconds = Seconds(start);
    const int64_t count = Count(db);
    sqlite3_close(db);
    if (count != written) Fail("SQLite holds " + std::to_string(count) + " autocommitted records");
    return seconds;
  }

  // Case 3.
  uint64_t Lookups(const TData& data) {
    sqlite3* db = Connection(data);
    TStatement s(db, "SELECT id, cust, k, amount, note FROM orders WHERE k = ? LIMIT 1");
    uint64_t sum = 0;
    for (const int32_t k : data.LookupKeys) {
      sqlite3_bind_int(s, 1, k);
      const int rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        sum = Mix(sum, static_cast<uint64_t>(sqlite3_column_int(s, 0)));
      } else if (rc == SQLITE_DONE) {
        sum = Mix(sum, 0);
      } else {
        Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
      }
      sqlite3_reset(s);
    }
    return sum;
  }

  // Case 4.
  uint64_t Ranges(const TData& data) {
    sqlite3* db = Connection(data);
    TStatement s(db, "SELECT COUNT(*) FROM orders WHERE k BETWEEN ? AND ?");
    uint64_t sum = 0;
    for (const int32_t start : data.RangeStarts) {
      sqlite3_bind_int(s, 1, start);
      sqlite3_bind_int(s, 2, start + kRangeWidth - 1);
      Step(db, s, SQLITE_ROW);
      sum = Mix(sum, static_cast<uint64_t>(sqlite3_column_int64(s, 0)));
      sqlite3_reset(s);
    }
    return sum;
  }

  // Case 5.
  std::vector<int64_t> Scan(const TData& data, int first, int last) {
    sqlite3* db = Connection(data);
    TStatement s(db, "SELECT COUNT(*) FROM orders WHERE amount >= ? AND amount < ? AND note LIKE ?");
    std::vector<int64_t> counts;
    for (int i = first; i < last; ++i) {
      const TScan& scan = data.Scans[static_cast<size_t>(i)];
      char pattern[8];
      std::snprintf(pattern, sizeof pattern, "%%%s%%", scan.Pair);
      sqlite3_bind_double(s, 1, scan.Low);
      sqlite3_bind_double(s, 2, scan.High);
      sqlite3_bind_text(s, 3, pattern, -1, SQLITE_TRANSIENT);
      Step(db, s, SQLITE_ROW);
      counts.push_back(sqlite3_column_int64(s, 0));
      sqlite3_reset(s);
    }
    return counts;
  }

  // Case 6: one ORDER BY note read to the end.
  uint64_t Sort(const TData& data) {
    sqlite3* db = Connection(data);
    TStatement s(db, "SELECT id, cust, k, amount, note FROM orders ORDER BY note");
    uint64_t hash = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) hash = Mix(hash, static_cast<uint64_t>(sqlite3_column_int(s, 0)));
    if (rc != SQLITE_DONE) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
    return hash;
  }

  // Case 7: a new connection after the file left the page cache.
  uint64_t ColdOpen(int32_t id, double& seconds) {
    DropFromPageCache(Path(kTable));
    const auto start = TClock::now();
    sqlite3* db = OpenDb(Path(kTable), TSqliteMode::Fair);
    uint64_t hash = 0;
    {
      TStatement s(db, "SELECT id, cust, k, amount, note FROM orders WHERE id = ?");
      sqlite3_bind_int(s, 1, id);
      Step(db, s, SQLITE_ROW);
      hash = RecordHash(sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2),
                        sqlite3_column_double(s, 3), reinterpret_cast<const char*>(sqlite3_column_text(s, 4)));
    }
    sqlite3_close(db);
    seconds += Seconds(start);
    return hash;
  }

  // ---- SQL (cases 8 to 13) ----

  bool CustomersLoaded = false;
  // The customers table in the orders database (untimed).
  void EnsureCustomers(const TData& data) {
    sqlite3* db = Connection(data);
    if (CustomersLoaded) return;
    Exec(db, "DROP TABLE IF EXISTS customers; CREATE TABLE customers(id INTEGER PRIMARY KEY, region TEXT NOT NULL)");
    {
      TStatement insert(db, "INSERT INTO customers(id, region) VALUES (?, ?)");
      Exec(db, "BEGIN");
      for (int32_t id = 0; id < kCustomerRows; ++id) {
        sqlite3_bind_int(insert, 1, id);
        sqlite3_bind_text(insert, 2, kRegionNames[data.CustomerRegion[static_cast<size_t>(id)]], -1, SQLITE_STATIC);
        Step(db, insert, SQLITE_DONE);
        sqlite3_reset(insert);
      }
      Exec(db, "COMMIT");
    }
    CustomersLoaded = true;
  }

  static uint64_t OrderHash(sqlite3_stmt* s) {
    return RecordHash(sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2),
                      sqlite3_column_double(s, 3), reinterpret_cast<const char*>(sqlite3_column_text(s, 4)));
  }

  // Case 8.
  uint64_t SqlPoints(const TData& data) {
    sqlite3* db = Connection(data);
    TStatement s(db, "SELECT * FROM orders WHERE id = ?");
    uint64_t hash = 0;
    for (const int32_t id : data.PointIds) {
      sqlite3_bind_int(s, 1, id);
      int rows = 0;
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        hash = Mix(hash, OrderHash(s));
        ++rows;
      }
      if (rc != SQLITE_DONE) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
      if (rows != 1) Fail("SQLite found " + std::to_string(rows) + " rows for id " + std::to_string(id));
      sqlite3_reset(s);
    }
    return hash;
  }

  // Cases 10 and 11: one run of a grouping statement.
  TGroups SqlGroups(const TData& data, const char* sql) {
    sqlite3* db = Connection(data);
    TStatement s(db, sql);
    TGroups groups;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      groups.push_back({reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_int64(s, 1),
                        sqlite3_column_double(s, 2)});
    }
    if (rc != SQLITE_DONE) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
    SortGroups(groups);
    return groups;
  }

  // Case 12.
  uint64_t SqlSort(const TData& data, bool top) {
    sqlite3* db = Connection(data);
    const std::string sql =
        top ? "SELECT * FROM orders ORDER BY note LIMIT " + std::to_string(kTopRows) : "SELECT * FROM orders ORDER BY note";
    TStatement s(db, sql.c_str());
    uint64_t hash = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) hash = Mix(hash, static_cast<uint64_t>(sqlite3_column_int(s, 0)));
    if (rc != SQLITE_DONE) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
    return hash;
  }

  // ---- Data statements (cases 14 to 17) ----

  // The row count and the sum of the rows' hashes of a table.
  static std::pair<int64_t, uint64_t> TableSum(sqlite3* db, const std::string& table) {
    TStatement s(db, ("SELECT id, cust, k, amount, note FROM " + table).c_str());
    std::pair<int64_t, uint64_t> sum{0, 0};
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      ++sum.first;
      sum.second += OrderHash(s);
    }
    if (rc != SQLITE_DONE) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
    return sum;
  }

  static void CheckSum(sqlite3* db, const std::string& table, int64_t count, uint64_t expected, const char* what) {
    const auto [n, sum] = TableSum(db, table);
    if (n != count || sum != expected) {
      Fail(std::string("SQLite's table after the ") + what + " holds " + std::to_string(n) + " rows (expected " +
           std::to_string(count) + ")" + (sum != expected ? " with other values" : ""));
    }
  }

  // Case 14: case 1's work (a prepared INSERT between BEGIN and COMMIT, case 1's
  // settings) into a database of its own, its table then summed.
  double SqlLoad(const TData& data) {
    const std::string path = Path(kLoadTable);
    sqlite3* db = CreateDb(path, TSqliteMode::Fair);
    const double seconds = BulkInsertInto(db, data);
    CheckSum(db, kTable, gRecords, data.TableSum, "SQL bulk load");
    sqlite3_close(db);
    std::filesystem::remove(path);
    return seconds;
  }

  // Case 15 in the orders database, its orders table read once before (untimed).
  double SqlInsertSelect(const TData& data, int64_t& peak) {
    sqlite3* db = Connection(data);
    CheckSum(db, kTable, gRecords, data.TableSum, "earlier cases");
    Exec(db, std::string("DROP TABLE IF EXISTS ") + kCopyTable + ";" + CreateOrders(kCopyTable));
    const TPeakMemory memory;
    const auto start = TClock::now();
    Exec(db, std::string("INSERT INTO ") + kCopyTable + " SELECT * FROM " + kTable);
    const double seconds = Seconds(start);
    peak = memory.GrowthBytes();
    const int64_t rows = sqlite3_changes64(db);
    if (rows != gRecords) Fail("SQLite's INSERT ... SELECT counted " + std::to_string(rows) + " rows");
    CheckSum(db, kCopyTable, gRecords, data.TableSum, "INSERT ... SELECT");
    Exec(db, std::string("DROP TABLE ") + kCopyTable);
    return seconds;
  }

  // A copy of the orders database file (no transaction runs on it) opened with the fair
  // settings and read once (untimed: it warms the connection's cache).
  sqlite3* CopyOrders(const TData& data, const char* name) {
    Connection(data);
    const std::string path = Path(name);
    std::filesystem::copy_file(Path(kTable), path, std::filesystem::copy_options::overwrite_existing);
    sqlite3* db = OpenDb(path, TSqliteMode::Fair);
    CheckSum(db, kTable, gRecords, data.TableSum, "copy");
    return db;
  }

  // Case 16.
  double SqlUpdate(const TData& data) {
    sqlite3* db = CopyOrders(data, kUpdateTable);
    const auto start = TClock::now();
    {
      TStatement s(db, "UPDATE orders SET amount = amount + 1 WHERE k BETWEEN ? AND ?");
      sqlite3_bind_int(s, 1, data.UpdateLow);
      sqlite3_bind_int(s, 2, data.UpdateHigh);
      Step(db, s, SQLITE_DONE);
    }
    const double seconds = Seconds(start);
    const int64_t rows = sqlite3_changes64(db);
    if (rows != data.UpdateRows) Fail("SQLite's UPDATE counted " + std::to_string(rows) + " rows");
    CheckSum(db, kTable, gRecords, data.UpdateSum, "UPDATE");
    sqlite3_close(db);
    std::filesystem::remove(Path(kUpdateTable));
    return seconds;
  }

  // Case 17.
  double SqlDelete(const TData& data) {
    sqlite3* db = CopyOrders(data, kDeleteTable);
    int64_t rows = 0;
    const auto start = TClock::now();
    {
      TStatement s(db, "DELETE FROM orders WHERE cust = ?");
      for (const int32_t cust : data.DeleteCustomers) {
        sqlite3_bind_int(s, 1, cust);
        Step(db, s, SQLITE_DONE);
        rows += sqlite3_changes64(db);
        sqlite3_reset(s);
      }
    }
    const double seconds = Seconds(start);
    if (rows != data.DeleteRows) Fail("SQLite's DELETE counted " + std::to_string(rows) + " rows");
    CheckSum(db, kTable, gRecords - data.DeleteRows, data.DeleteSum, "DELETE");
    sqlite3_close(db);
    std::filesystem::remove(Path(kDeleteTable));
    return seconds;
  }

  // Case 13.
  uint64_t SqlPrepares(const TData& data) {
    sqlite3* db = Connection(data);
    const std::string sql = "SELECT * FROM orders WHERE id = " + std::to_string(kPreparedId);
    uint64_t hash = 0;
    for (int i = 0; i < kPrepares; ++i) {
      TStatement s(db, sql.c_str());
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) hash = Mix(hash, OrderHash(s));
      if (rc != SQLITE_DONE) Fail(std::string("SQLite step: ") + sqlite3_errmsg(db));
    }
    return hash;
  }
};

// ---- Fixture and cases ------------------------------------------------------------------

struct TFixture {
  testing_support::TTempDir Temp;
  TData Data;
  TKura Kura;
  TSqlite Sqlite;
  double GenerateSeconds = 0;

  TFixture() : Kura(Temp.Path().string()), Sqlite(Temp.Path().string()) {
    const auto start = TClock::now();
    Data = MakeData();
    GenerateSeconds = Seconds(start);
  }
  ~TFixture() {
    try {
      Kura.CloseKeeper();
    } catch (const std::exception&) {
      // Nothing to report at exit.
    }
  }
  TFixture(const TFixture&) = delete;
  TFixture& operator=(const TFixture&) = delete;
};

TFixture& Fixture() {
  static TFixture fixture;
  return fixture;
}

// Runs one timed case body; `body` returns the seconds to count (or negative after it has
// flagged an error), which become the iteration's time.
void RunTimed(benchmark::State& state, const std::function<double()>& body, double operations) {
  for (auto _ : state) {
    double seconds = -1;
    try {
      seconds = body();
    } catch (const EKuraEngineError& e) {
      gFailed = true;
      state.SkipWithError((std::string("Kura engine error: ") + e.what() + " " + e.ErrorExtraMessage).c_str());
      return;
    } catch (const std::exception& e) {
      gFailed = true;
      state.SkipWithError(e.what());
      return;
    }
    if (seconds < 0) return;
    state.SetIterationTime(seconds);
  }
  state.counters["rate"] = benchmark::Counter(operations, benchmark::Counter::kIsRate);
}

template <typename T>
bool Same(benchmark::State& state, const T& got, const T& expected, const char* what) {
  if (got == expected) return true;
  gFailed = true;
  state.SkipWithError((std::string(what) + ": the answer differs from the generator's").c_str());
  return false;
}

void BM_BulkInsertKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&] { return Case("1 bulk insert").KuraSeconds = f.Kura.BulkInsert(f.Data); }, gRecords);
}
void BM_BulkInsertSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&] { return Case("1 bulk insert").SqliteSeconds = f.Sqlite.BulkInsert(f.Data); }, gRecords);
}

int32_t AutocommitRecords() { return std::min(kAutocommitRecords, gRecords); }

void BM_AutocommitKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&] { return Case("2 autocommit insert").KuraSeconds = f.Kura.AutocommitInsert(f.Data); },
           AutocommitRecords());
}
// Case 2 for SQLite with the settings of `mode`, timed as line `caseName`.
void AutocommitSqlite(benchmark::State& state, TSqliteMode mode, const char* caseName) {
  TFixture& f = Fixture();
  RunTimed(state, [&] {
    int32_t written = 0;
    const double seconds = f.Sqlite.AutocommitInsert(f.Data, mode, 0, written);
    return Case(caseName).SqliteSeconds = seconds;
  }, AutocommitRecords());
}
void BM_AutocommitSqlite(benchmark::State& state) {
  AutocommitSqlite(state, TSqliteMode::Fair, "2 autocommit insert");
}
void BM_BulkInsertSqliteJournal(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&] {
    return Case("1j bulk insert, SQLite rollback journal").SqliteSeconds = f.Sqlite.BulkInsertJournaled(f.Data);
  }, gRecords);
}
void BM_AutocommitSqliteJournal(benchmark::State& state) {
  AutocommitSqlite(state, TSqliteMode::Journal, "2j autocommit insert, SQLite rollback journal");
}
void BM_AutocommitSqliteDefaults(benchmark::State& state) {
  TFixture& f = Fixture();
  int32_t written = 0;
  RunTimed(state, [&] {
    const double seconds = f.Sqlite.AutocommitInsert(f.Data, TSqliteMode::Defaults, kReferenceCapSeconds, written);
    TCase& c = Case("2b autocommit insert, SQLite defaults (reference)");
    c.SqliteSeconds = seconds;
    c.SqliteOperations = written;
    return seconds;
  }, AutocommitRecords());
  state.counters["records"] = written;
  state.counters["rate"] = benchmark::Counter(written, benchmark::Counter::kIsRate);
}

// Cases 3 and 4: untimed check and warm-up, then the timed run.
template <typename TEngine>
void RunChecked(benchmark::State& state, const char* caseName, bool kura, uint64_t expected,
                uint64_t (TEngine::*work)(const TData&), TEngine TFixture::*engine, double operations) {
  TFixture& f = Fixture();
  RunTimed(state, [&]() -> double {
    TEngine& e = f.*engine;
    if constexpr (std::is_same_v<TEngine, TKura>) {
      e.Reader(f.Data);
    }
    if (!Same(state, (e.*work)(f.Data), expected, "check run")) return -1;
    const auto start = TClock::now();
    const uint64_t got = (e.*work)(f.Data);
    const double seconds = Seconds(start);
    if (!Same(state, got, expected, "timed run")) return -1;
    (kura ? Case(caseName).KuraSeconds : Case(caseName).SqliteSeconds) = seconds;
    return seconds;
  }, operations);
}

void BM_LookupKura(benchmark::State& state) {
  RunChecked(state, "3 point lookup", true, Fixture().Data.LookupSum, &TKura::Lookups, &TFixture::Kura, kLookups);
}
void BM_LookupSqlite(benchmark::State& state) {
  RunChecked(state, "3 point lookup", false, Fixture().Data.LookupSum, &TSqlite::Lookups, &TFixture::Sqlite, kLookups);
}
void BM_RangeKura(benchmark::State& state) {
  RunChecked(state, "4 range count", true, Fixture().Data.RangeSum, &TKura::Ranges, &TFixture::Kura, kRanges);
}
void BM_RangeSqlite(benchmark::State& state) {
  RunChecked(state, "4 range count", false, Fixture().Data.RangeSum, &TSqlite::Ranges, &TFixture::Sqlite, kRanges);
}

template <typename TEngine>
void RunScan(benchmark::State& state, bool kura, TEngine TFixture::*engine) {
  TFixture& f = Fixture();
  RunTimed(state, [&]() -> double {
    TEngine& e = f.*engine;
    if constexpr (std::is_same_v<TEngine, TKura>) {
      e.Reader(f.Data);
    }
    const std::vector<int64_t> first(f.Data.ScanCounts.begin(), f.Data.ScanCounts.begin() + 1);
    if (!Same(state, e.Scan(f.Data, 0, 1), first, "check scan")) return -1;
    const auto start = TClock::now();
    const std::vector<int64_t> counts = e.Scan(f.Data, 0, kScans);
    const double seconds = Seconds(start);
    if (!Same(state, counts, f.Data.ScanCounts, "timed scans")) return -1;
    (kura ? Case("5 full scan").KuraSeconds : Case("5 full scan").SqliteSeconds) = seconds;
    return seconds;
  }, kScans);
}

void BM_ScanKura(benchmark::State& state) { RunScan(state, true, &TFixture::Kura); }
void BM_ScanSqlite(benchmark::State& state) { RunScan(state, false, &TFixture::Sqlite); }

void BM_SortKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&]() -> double {
    f.Kura.Reader(f.Data);  // the table's files are complete
    double seconds = 0;
    for (int i = 0; i < kSorts; ++i) {
      uint64_t hash = 0;
      seconds += f.Kura.Sort(hash);
      if (!Same(state, hash, f.Data.SortHash, "sort order")) return -1;
    }
    return Case("6 sort").KuraSeconds = seconds;
  }, kSorts);
}
void BM_SortSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&]() -> double {
    f.Sqlite.Connection(f.Data);
    const auto start = TClock::now();
    for (int i = 0; i < kSorts; ++i) {
      if (!Same(state, f.Sqlite.Sort(f.Data), f.Data.SortHash, "sort order")) return -1;
    }
    return Case("6 sort").SqliteSeconds = Seconds(start);
  }, kSorts);
}

void BM_ColdOpenKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&]() -> double {
    f.Kura.EnsureLoaded(f.Data);
    f.Kura.CloseKeeper();
    double seconds = 0;
    uint64_t hash = 0;
    for (int i = 0; i < kColdOpens; ++i) hash = Mix(hash, f.Kura.ColdOpen(f.Data.ColdId, seconds));
    if (!Same(state, hash, f.Data.ColdHash, "record read")) return -1;
    return Case("7 cold open").KuraSeconds = seconds;
  }, kColdOpens);
}
void BM_ColdOpenSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunTimed(state, [&]() -> double {
    f.Sqlite.Connection(f.Data);
    double seconds = 0;
    uint64_t hash = 0;
    for (int i = 0; i < kColdOpens; ++i) hash = Mix(hash, f.Sqlite.ColdOpen(f.Data.ColdId, seconds));
    if (!Same(state, hash, f.Data.ColdHash, "record read")) return -1;
    return Case("7 cold open").SqliteSeconds = seconds;
  }, kColdOpens);
}

// Cases 8 to 13: `runs` timed runs of `work`, each answer checked by `right`; with `warm`
// one untimed checked run first. A Kura run stopped at kSqlCapSeconds marks the case
// timed out (a missed goal, not a wrong answer).
template <typename TResult>
void RunSql(benchmark::State& state, const char* caseName, bool kura, bool warm, int runs,
            const std::function<TResult()>& work, const std::function<bool(const TResult&)>& right) {
  TFixture& f = Fixture();
  TCase& c = Case(caseName);
  RunTimed(state, [&]() -> double {
    if (kura) {
      f.Kura.Reader(f.Data);
      f.Kura.EnsureCustomers(f.Data);
    } else {
      f.Sqlite.EnsureCustomers(f.Data);
    }
    f.Kura.TimedOut = false;
    try {
      if (warm && !Same(state, right(work()), true, "check run")) return -1;
      double seconds = 0;
      for (int i = 0; i < runs; ++i) {
        const auto start = TClock::now();
        const TResult got = work();
        seconds += Seconds(start);
        if (!Same(state, right(got), true, "timed run")) return -1;
      }
      (kura ? c.KuraSeconds : c.SqliteSeconds) = seconds;
      return seconds;
    } catch (const EKuraEngineError&) {
      if (!kura || !f.Kura.TimedOut) throw;
      c.KuraSeconds = kSqlCapSeconds;
      c.KuraTimedOut = true;
      state.SkipWithError("Kura timed out");
      return -1;
    }
  }, c.Operations);
}

using THashWork = std::function<uint64_t()>;
using TGroupWork = std::function<TGroups()>;

std::function<bool(const uint64_t&)> Is(uint64_t expected) {
  return [expected](const uint64_t& got) { return got == expected; };
}
std::function<bool(const TGroups&)> AreGroups(const TGroups& expected) {
  return [&expected](const TGroups& got) { return SameGroups(got, expected); };
}

constexpr const char* kGroupSql = "SELECT cust, COUNT(*), SUM(amount) FROM orders WHERE amount < 100 GROUP BY cust";
constexpr const char* kJoinSql =
    "SELECT region, COUNT(*), SUM(amount) FROM orders JOIN customers ON orders.cust = customers.id GROUP BY region";

void BM_SqlPointKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "8 SQL point query", true, true, 1, THashWork([&] { return f.Kura.SqlPoints(f.Data, false); }),
                   Is(f.Data.PointHash));
}
void BM_SqlPointKuraLive(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "8l SQL point query, Kura live result", true, true, 1,
                   THashWork([&] { return f.Kura.SqlPoints(f.Data, true); }), Is(f.Data.PointHash));
}
void BM_SqlPointSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "8 SQL point query", false, true, 1, THashWork([&] { return f.Sqlite.SqlPoints(f.Data); }),
                   Is(f.Data.PointHash));
  // The live line compares with the same SQLite run.
  Case("8l SQL point query, Kura live result").SqliteSeconds = Case("8 SQL point query").SqliteSeconds;
}
void BM_SqlRangeKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "9 SQL range count", true, true, 1, THashWork([&] { return f.Kura.SqlRanges(f.Data); }),
                   Is(f.Data.RangeSum));
}
void BM_SqlRangeSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "9 SQL range count", false, true, 1, THashWork([&] { return f.Sqlite.Ranges(f.Data); }),
                   Is(f.Data.RangeSum));
}
void BM_SqlGroupKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<TGroups>(state, "10 SQL group", true, true, kGroupRuns, TGroupWork([&] { return f.Kura.SqlGroups(kGroupSql); }),
                  AreGroups(f.Data.GroupAnswer));
}
void BM_SqlGroupSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<TGroups>(state, "10 SQL group", false, true, kGroupRuns,
                  TGroupWork([&] { return f.Sqlite.SqlGroups(f.Data, kGroupSql); }), AreGroups(f.Data.GroupAnswer));
}
void BM_SqlJoinKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<TGroups>(state, "11 SQL join", true, true, kJoinRuns, TGroupWork([&] { return f.Kura.SqlGroups(kJoinSql); }),
                  AreGroups(f.Data.JoinAnswer));
}
void BM_SqlJoinSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<TGroups>(state, "11 SQL join", false, true, kJoinRuns,
                  TGroupWork([&] { return f.Sqlite.SqlGroups(f.Data, kJoinSql); }), AreGroups(f.Data.JoinAnswer));
}
void BM_SqlSortKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "12 SQL sort", true, false, 1, THashWork([&] { return f.Kura.SqlSort(false); }),
                   Is(f.Data.SortHash));
}
void BM_SqlSortSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "12 SQL sort", false, false, 1, THashWork([&] { return f.Sqlite.SqlSort(f.Data, false); }),
                   Is(f.Data.SortHash));
}
void BM_SqlTopKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "12t SQL sort, TOP 100", true, true, kTopRuns, THashWork([&] { return f.Kura.SqlSort(true); }),
                   Is(f.Data.TopHash));
}
void BM_SqlTopSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "12t SQL sort, TOP 100", false, true, kTopRuns,
                   THashWork([&] { return f.Sqlite.SqlSort(f.Data, true); }), Is(f.Data.TopHash));
}
void BM_SqlPrepareKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "13 SQL prepare", true, true, 1, THashWork([&] { return f.Kura.SqlPrepares(false); }),
                   Is(f.Data.PreparedHash));
}
void BM_SqlPrepareKuraLive(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "13l SQL prepare, Kura live result", true, true, 1,
                   THashWork([&] { return f.Kura.SqlPrepares(true); }), Is(f.Data.PreparedHash));
}
void BM_SqlPrepareSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunSql<uint64_t>(state, "13 SQL prepare", false, true, 1, THashWork([&] { return f.Sqlite.SqlPrepares(f.Data); }),
                   Is(f.Data.PreparedHash));
  Case("13l SQL prepare, Kura live result").SqliteSeconds = Case("13 SQL prepare").SqliteSeconds;
}

// Cases 14 to 17: one timed run of `run` (which checks its own answers and raises when
// they differ) for the engine's side of the case.
void RunChange(benchmark::State& state, const char* caseName, bool kura, const std::function<double()>& run) {
  TCase& c = Case(caseName);
  RunTimed(state, [&] { return (kura ? c.KuraSeconds : c.SqliteSeconds) = run(); }, c.Operations);
}

void BM_SqlLoadKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunChange(state, "14 SQL bulk load", true, [&] { return f.Kura.SqlLoad(f.Data); });
}
void BM_SqlLoadSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunChange(state, "14 SQL bulk load", false, [&] { return f.Sqlite.SqlLoad(f.Data); });
}
void BM_SqlInsertSelectKura(benchmark::State& state) {
  TFixture& f = Fixture();
  TCase& c = Case("15 SQL insert select");
  RunChange(state, c.Name.c_str(), true, [&] { return f.Kura.SqlInsertSelect(f.Data, c.KuraPeakBytes); });
  state.counters["peak_MB"] = static_cast<double>(c.KuraPeakBytes) / 1e6;
}
void BM_SqlInsertSelectSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  TCase& c = Case("15 SQL insert select");
  RunChange(state, c.Name.c_str(), false, [&] { return f.Sqlite.SqlInsertSelect(f.Data, c.SqlitePeakBytes); });
  state.counters["peak_MB"] = static_cast<double>(c.SqlitePeakBytes) / 1e6;
}
void BM_SqlUpdateKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunChange(state, "16 SQL update range", true, [&] { return f.Kura.SqlUpdate(f.Data); });
}
void BM_SqlUpdateSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunChange(state, "16 SQL update range", false, [&] { return f.Sqlite.SqlUpdate(f.Data); });
}
void BM_SqlDeleteKura(benchmark::State& state) {
  TFixture& f = Fixture();
  RunChange(state, "17 SQL delete", true, [&] { return f.Kura.SqlDelete(f.Data); });
}
void BM_SqlDeleteSqlite(benchmark::State& state) {
  TFixture& f = Fixture();
  RunChange(state, "17 SQL delete", false, [&] { return f.Sqlite.SqlDelete(f.Data); });
}

void Register() {
  gCases = {
      {"1 bulk insert", "records/s", static_cast<double>(gRecords)},
      {"1j bulk insert, SQLite rollback journal", "records/s", static_cast<double>(gRecords)},
      {"2 autocommit insert", "records/s", static_cast<double>(AutocommitRecords())},
      {"2j autocommit insert, SQLite rollback journal", "records/s", static_cast<double>(AutocommitRecords())},
      {"2b autocommit insert, SQLite defaults (reference)", "records/s", static_cast<double>(AutocommitRecords())},
      {"3 point lookup", "lookups/s", kLookups},
      {"4 range count", "ranges/s", kRanges},
      {"5 full scan", "scans/s", kScans},
      {"6 sort", "sorts/s", kSorts},
      {"7 cold open", "opens/s", kColdOpens},
      {"8 SQL point query", "queries/s", kSqlPoints, 0, 0, 0, 1.0},
      {"8l SQL point query, Kura live result", "queries/s", kSqlPoints, 0, 0, 0, 1.0},
      {"9 SQL range count", "ranges/s", kRanges, 0, 0, 0, 0.05},
      {"10 SQL group", "queries/s", kGroupRuns, 0, 0, 0, 1.0},
      {"11 SQL join", "queries/s", kJoinRuns, 0, 0, 0, 1.0},
      {"12 SQL sort", "sorts/s", 1, 0, 0, 0, 1.0},
      {"12t SQL sort, TOP 100", "queries/s", kTopRuns, 0, 0, 0, 1.0},
      {"13 SQL prepare", "statements/s", kPrepares},
      {"13l SQL prepare, Kura live result", "statements/s", kPrepares},
      {"14 SQL bulk load", "records/s", static_cast<double>(gRecords), 0, 0, 0, 1.0},
      {"15 SQL insert select", "records/s", static_cast<double>(gRecords), 0, 0, 0, 1.0},
      {"16 SQL update range", "statements/s", 1, 0, 0, 0, 1.0},
      {"17 SQL delete", "statements/s", static_cast<double>(kDeleteCustomers), 0, 0, 0, 1.0},
  };
  const std::pair<const char*, void (*)(benchmark::State&)> list[] = {
      {"1_BulkInsert/kura", BM_BulkInsertKura},     {"1_BulkInsert/sqlite", BM_BulkInsertSqlite},
      {"1j_BulkInsert/sqlite_journal", BM_BulkInsertSqliteJournal},
      {"2_Autocommit/kura", BM_AutocommitKura},     {"2_Autocommit/sqlite", BM_AutocommitSqlite},
      {"2j_Autocommit/sqlite_journal", BM_AutocommitSqliteJournal},
      {"2b_Autocommit/sqlite_defaults", BM_AutocommitSqliteDefaults},
      {"3_PointLookup/kura", BM_LookupKura},        {"3_PointLookup/sqlite", BM_LookupSqlite},
      {"4_RangeCount/kura", BM_RangeKura},          {"4_RangeCount/sqlite", BM_RangeSqlite},
      {"5_FullScan/kura", BM_ScanKura},             {"5_FullScan/sqlite", BM_ScanSqlite},
      {"6_Sort/kura", BM_SortKura},                 {"6_Sort/sqlite", BM_SortSqlite},
      {"7_ColdOpen/kura", BM_ColdOpenKura},         {"7_ColdOpen/sqlite", BM_ColdOpenSqlite},
      {"8_SqlPoint/kura", BM_SqlPointKura},         {"8l_SqlPoint/kura_live", BM_SqlPointKuraLive},
      {"8_SqlPoint/sqlite", BM_SqlPointSqlite},
      {"9_SqlRange/kura", BM_SqlRangeKura},         {"9_SqlRange/sqlite", BM_SqlRangeSqlite},
      {"10_SqlGroup/kura", BM_SqlGroupKura},        {"10_SqlGroup/sqlite", BM_SqlGroupSqlite},
      {"11_SqlJoin/kura", BM_SqlJoinKura},          {"11_SqlJoin/sqlite", BM_SqlJoinSqlite},
      {"12_SqlSort/kura", BM_SqlSortKura},          {"12_SqlSort/sqlite", BM_SqlSortSqlite},
      {"12t_SqlTop/kura", BM_SqlTopKura},           {"12t_SqlTop/sqlite", BM_SqlTopSqlite},
      {"13_SqlPrepare/kura", BM_SqlPrepareKura},    {"13l_SqlPrepare/kura_live", BM_SqlPrepareKuraLive},
      {"13_SqlPrepare/sqlite", BM_SqlPrepareSqlite},
      {"14_SqlLoad/kura", BM_SqlLoadKura},          {"14_SqlLoad/sqlite", BM_SqlLoadSqlite},
      {"15_SqlInsertSelect/kura", BM_SqlInsertSelectKura},
      {"15_SqlInsertSelect/sqlite", BM_SqlInsertSelectSqlite},
      {"16_SqlUpdate/kura", BM_SqlUpdateKura},      {"16_SqlUpdate/sqlite", BM_SqlUpdateSqlite},
      {"17_SqlDelete/kura", BM_SqlDeleteKura},      {"17_SqlDelete/sqlite", BM_SqlDeleteSqlite},
  };
  for (const auto& [name, function] : list) {
    benchmark::RegisterBenchmark(name, function)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
  }
}

std::string Rate(double operations, double seconds) {
  if (seconds <= 0) return "-";
  const double rate = operations / seconds;
  char text[32];
  if (rate >= 100) {
    std::snprintf(text, sizeof text, "%.0f", rate);
  } else {
    std::snprintf(text, sizeof text, "%.2f", rate);
  }
  return text;
}

void PrintSummary() {
  if (gBulkFileBytes.first > 0) {
    // The index file holds the primary index (appended in key order), the index on k
    // (random order) and the record index every table keeps (key order).
    std::printf("\nKura files after the bulk insert: data %ju bytes, index %ju bytes\n",
                static_cast<uintmax_t>(gBulkFileBytes.first), static_cast<uintmax_t>(gBulkFileBytes.second));
    for (const auto& [name, pages] : gBulkIndexPages) {
      std::printf("  index %s: %jd pages, %jd bytes\n", name.c_str(), static_cast<intmax_t>(pages),
                  static_cast<intmax_t>(pages * kIndexPageSize));
    }
  }
  std::printf("\n| case | unit | Kura | SQLite | Kura time / SQLite time | goal |\n|---|---|---:|---:|---:|---:|\n");
  for (const TCase& c : gCases) {
    const double sqliteOps = c.SqliteOperations > 0 ? c.SqliteOperations : c.Operations;
    std::string ratio = "-";
    // Lines that repeat a case for SQLite alone compare with Kura's time of that case.
    const char* kuraCase = c.Name.rfind("1j", 0) == 0 ? "1 bulk insert"
                           : (c.Name.rfind("2j", 0) == 0 || c.Name.rfind("2b", 0) == 0) ? "2 autocommit insert"
                                                                                          : nullptr;
    if (kuraCase) {
      const TCase& kura = Case(kuraCase);
      if (kura.KuraSeconds > 0 && c.SqliteSeconds > 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", (kura.KuraSeconds / kura.Operations) / (c.SqliteSeconds / sqliteOps));
        ratio = text;
      }
      std::printf("| %s | %s | (%s) | %s | %s | |\n", c.Name.c_str(), c.Unit.c_str(),
                  Rate(kura.Operations, kura.KuraSeconds).c_str(), Rate(sqliteOps, c.SqliteSeconds).c_str(),
                  ratio.c_str());
      continue;
    }
    if (c.KuraSeconds > 0 && c.SqliteSeconds > 0) {
      char text[32];
      std::snprintf(text, sizeof text, "%.3f", c.KuraSeconds / c.SqliteSeconds);
      ratio = text;
    }
    // A timed-out Kura run gives a bound: the rate below, the ratio above the figure.
    const std::string kuraRate = (c.KuraTimedOut ? "< " : "") + Rate(c.Operations, c.KuraSeconds);
    if (c.KuraTimedOut && ratio != "-") ratio = "> " + ratio;
    char goal[32] = "";
    if (c.Goal > 0) std::snprintf(goal, sizeof goal, "<= %g", c.Goal);
    std::printf("| %s | %s | %s | %s | %s | %s |\n", c.Name.c_str(), c.Unit.c_str(), kuraRate.c_str(),
                Rate(sqliteOps, c.SqliteSeconds).c_str(), ratio.c_str(), goal);
  }
  for (const TCase& c : gCases) {
    if (c.KuraPeakBytes == 0 && c.SqlitePeakBytes == 0) continue;
    auto megabytes = [](int64_t bytes) {
      char text[32];
      if (bytes < 0) return std::string("?");
      std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
      return std::string(text);
    };
    std::string ratio = "-";
    if (c.KuraPeakBytes > 0 && c.SqlitePeakBytes > 0) {
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", static_cast<double>(c.KuraPeakBytes) / static_cast<double>(c.SqlitePeakBytes));
      ratio = text;
    }
    std::printf("%s, growth of the peak resident memory over the run: Kura %s, SQLite %s, Kura / SQLite %s (goal < 2)\n",
                c.Name.c_str(), megabytes(c.KuraPeakBytes).c_str(), megabytes(c.SqlitePeakBytes).c_str(), ratio.c_str());
  }
  std::fflush(stdout);
}

std::string CpuName() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

void ParseRecordCount(int& argc, char** argv) {
  gRecords = bench_support::TakeRecordCount(argc, argv, gRecords, 1000, 10000000);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    ParseRecordCount(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Register();

    TFixture& f = Fixture();
    utsname machine{};
    ::uname(&machine);
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    const std::string fairness =
        std::string("same directory ") + f.Temp.Path().string() + "; SQLite " + sqlite3_libversion() +
        " journal_mode=MEMORY (lines 1j, 2j: DELETE) synchronous=OFF locking_mode=NORMAL page_size=4096 mmap_size=0 "
        "cache_size=-" +
        std::to_string(kCacheBudgetBytes / 1024) + " (KiB); Kura data buffer " + std::to_string(kDataBufferBytes) +
        " bytes + index buffer " + std::to_string(kIndexBufferBytes) +
        " bytes (no BLOB fields); Kura writes without an OS flush (the session's default), like synchronous=OFF, "
        "through its rollback journal; "
        "every answer checked against the generator and between the engines";
    std::printf("records: %d%s (generated in %.2f s)\nmachine: %s, %ld CPUs online, %s %s\nfairness: %s\n", gRecords,
                gRecords == kDefaultRecords ? "" : " (reduced by --records)", f.GenerateSeconds, CpuName().c_str(),
                cpus, machine.sysname, machine.release, fairness.c_str());
    std::fflush(stdout);
    benchmark::AddCustomContext("records", std::to_string(gRecords));
    benchmark::AddCustomContext("fairness", fairness);

    benchmark::RunSpecifiedBenchmarks();
    // The engine's process-wide file list may go before the fixture at exit: close the
    // table the cases kept open while the list is there.
    f.Kura.CloseKeeper();
    PrintSummary();
    if (gFailed) {
      std::fprintf(stderr, "kura_vs_sqlite: some answers differed or a case failed; see the errors above\n");
      benchmark::Shutdown();
      return 1;
    }
  } catch (const EKuraEngineError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "Kura engine error: %s %s\n", e.what(), e.ErrorExtraMessage.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  benchmark::Shutdown();
  return 0;
}
