#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/storage/data_file.h"
#include "kura/storage/data_file_test_support.h"
#include "testing/definition_builders.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::Field;
using testing_support::ReadFileBytes;
using storage_test::TTestOwner;

// One Integer field: RecordSize 9 + 5 = 14.
constexpr int kRecordSize = 14;
constexpr size_t kSlotBase = 127 + 768;

class DataFileCacheTest : public ::testing::Test {
protected:
  std::string FileName() const { return (Dir / "cache.DAT").string(); }

  void CreateTable(int count) {
    TDataFile file(FileName());
    file.CreateDataFile(0, 0, {Field("V", TFieldType::Integer)}, 0, "", "", false, 0, 0);
    for (int i = 1; i <= count; ++i) Append(file, i * 10);
    file.FlushRecords();
    file.WriteHeader();
  }

  static void Append(TDataFile& file, int32_t value) {
    TRecordPin record(file, file.AllocateRecord());
    SetValue(file, record.Get(), value);
  }

  static void SetValue(TDataFile& file, TRecord* record, int32_t value) {
    const TFieldDefinition& v = *file.FieldByPosition(1);
    uint8_t data[4];
    WriteI32(data, value);
    record->SetFieldData(v, data);
    file.MarkRecordDirty(record);
  }

  static int32_t ValueOf(TDataFile& file, int32_t recNo, const TReadAhead& readAhead = {}) {
    TRecordPin record(file, file.GetRecord(recNo, readAhead));
    return ReadI32(record->FieldData(*file.FieldByPosition(1)));
  }

  static int32_t ValueOnDisk(const std::vector<uint8_t>& bytes, int32_t recNo) {
    return ReadI32(bytes.data() + kSlotBase + (recNo - 1) * kRecordSize + 10);
  }

  testing_support::TTempDir Dir;
  TTestOwner Owner;
};

TEST_F(DataFileCacheTest, TinyCacheFlushesDirtyRecordsInRunsWhenItMustEvict) {
  Owner.BufferBytes = 4 * kRecordSize;  // four records
  TDataFile file(FileName(), false, &Owner);
  file.CreateDataFile(0, 0, {Field("V", TFieldType::Integer)}, 0, "", "", false, 0, 0);
  ASSERT_EQ(file.CacheCapacity(), 4u);
  for (int i = 1; i <= 50; ++i) {
    Append(file, i * 10);
    EXPECT_LE(file.CachedRecordCount(), 4u);
  }
  // Every fifth append found only dirty records and wrote the four of them at once.
  EXPECT_EQ(file.Statistics().Flushes, 12);
  EXPECT_EQ(file.CacheCapacity(), 4u);
  EXPECT_TRUE(file.FlushRecords());
  EXPECT_EQ(file.Statistics().Flushes, 13);
  EXPECT_FALSE(file.FlushRecords());
  file.WriteHeader();
  const std::vector<uint8_t> bytes = ReadFileBytes(FileName());
  ASSERT_EQ(bytes.size(), kSlotBase + 50 * kRecordSize);
  for (int n = 1; n <= 50; ++n) EXPECT_EQ(ValueOnDisk(bytes, n), n * 10) << n;
  EXPECT_NO_THROW(file.CheckHeader());
}

TEST_F(DataFileCacheTest, ConsecutiveDirtySlotsAreWrittenWithOneWrite) {
  CreateTable(10);
  TDataFile file(FileName(), false, &Owner);
  file.OpenDataFile();
  for (int32_t recNo : {2, 3, 4, 7}) {
    TRecordPin record(file, file.GetRecord(recNo));
    SetValue(file, record.Get(), recNo * 100);
  }
  const int64_t before = file.Statistics().Flushes;
  EXPECT_TRUE(file.FlushRecords());
  EXPECT_EQ(file.Statistics().Flushes - before, 2);
  const std::vector<uint8_t> bytes = ReadFileBytes(FileName());
  for (int n = 1; n <= 10; ++n) {
    const bool changed = n == 2 || n == 3 || n == 4 || n == 7;
    EXPECT_EQ(ValueOnDisk(bytes, n), changed ? n * 100 : n * 10) << n;
  }
}

TEST_F(DataFileCacheTest, ReadAheadFetchesRunsForwardBackwardOrAsHinted) {
  CreateTable(50);
  Owner.BufferBytes = 20 * kRecordSize;
  TDataFile file(FileName(), false, &Owner);
  file.OpenDataFile();
  ASSERT_EQ(file.CacheCapacity(), 20u);

  // Forward without a hint: as many slots as fit in the cache.
  EXPECT_EQ(ValueOf(file, 10, {true, false, 0}), 100);
  EXPECT_EQ(file.Statistics().Reads, 1);
  for (int n = 10; n <= 29; ++n) EXPECT_TRUE(file.IsCached(n)) << n;
  EXPECT_FALSE(file.IsCached(30));
  EXPECT_EQ(ValueOf(file, 29), 290);
  EXPECT_EQ(file.Statistics().Reads, 1);

  // Backward with a hint of three slots: 38, 39, 40.
  EXPECT_EQ(ValueOf(file, 40, {true, true, 3}), 400);
  EXPECT_EQ(file.Statistics().Reads, 2);
  for (int n = 38; n <= 40; ++n) EXPECT_TRUE(file.IsCached(n)) << n;
  EXPECT_FALSE(file.IsCached(37));
  EXPECT_FALSE(file.IsCached(41));
  EXPECT_EQ(file.CachedRecordCount(), 20u);  // the three oldest gave way

  // Forward near the end stops at the last slot.
  EXPECT_EQ(ValueOf(file, 48, {true, false, 0}), 480);
  for (int n = 48; n <= 50; ++n) EXPECT_TRUE(file.IsCached(n)) << n;

  // Without read-ahead only the wanted slot is read.
  EXPECT_EQ(ValueOf(file, 2), 20);
  EXPECT_FALSE(file.IsCached(1));
  EXPECT_FALSE(file.IsCached(3));
  EXPECT_EQ(file.Statistics().Reads, 4);
  EXPECT_EQ(file.Statistics().RecordsRequested, 5);
}

TEST_F(DataFileCacheTest, RunReadRefreshesCleanRecordsButKeepsChangedOnes) {
  CreateTable(10);
  TDataFile file(FileName(), false, &Owner);
  TDataFile other(FileName());
  file.OpenDataFile();
  other.OpenDataFile();
  EXPECT_EQ(ValueOf(file, 4), 40);
  EXPECT_EQ(ValueOf(file, 5), 50);
  {
    TRecordPin record(file, file.GetRecord(4));
    SetValue(file, record.Get(), 4444);
  }
  for (int32_t recNo : {4, 5}) {
    TRecordPin record(other, other.GetRecord(recNo));
    SetValue(other, record.Get(), recNo * 7);
  }
  other.FlushRecords();
  EXPECT_EQ(ValueOf(file, 3, {true, false, 3}), 30);
  EXPECT_EQ(ValueOf(file, 4), 4444);  // dirty: keeps its contents
  EXPECT_EQ(ValueOf(file, 5), 35);    // clean: refreshed from the file
}

TEST_F(DataFileCacheTest, RunMayEndInSlotsThatAreOnlyInTheCache) {
  CreateTable(8);
  Owner.BufferBytes = 8 * kRecordSize;
  TDataFile file(FileName(), false, &Owner);
  file.OpenDataFile();
  Append(file, 9000);  // slot 9, not yet in the file
  file.WriteHeader();  // the header alone does not make the file longer
  EXPECT_EQ(ValueOf(file, 6, {true, false, 0}), 60);
  EXPECT_EQ(file.Statistics().RunsRead, 1);
  EXPECT_TRUE(file.IsCached(8));
  EXPECT_EQ(ValueOf(file, 9), 9000);
}

TEST_F(DataFileCacheTest, DirtyRecordsStayCachedDuringATransaction) {
  Owner.BufferBytes = 4 * kRecordSize;
  Owner.Transaction = true;
  TDataFile file(FileName(), false, &Owner);
  file.CreateDataFile(0, 0, {Field("V", TFieldType::Integer)}, 0, "", "", false, 0, 0);
  for (int i = 1; i <= 10; ++i) Append(file, i);
  EXPECT_EQ(file.Statistics().Flushes, 0);
  EXPECT_EQ(file.CachedRecordCount(), 10u);
  EXPECT_EQ(file.CacheCapacity(), 4u + 64u);
  // Reading a slot that is only in the cache works with the file still short.
  EXPECT_EQ(ValueOf(file, 7), 7);
  Owner.Transaction = false;
  file.FlushRecords();
  file.TrimCache();
  EXPECT_EQ(file.CachedRecordCount(), 4u);
  EXPECT_EQ(file.CacheCapacity(), 4u);
}

TEST_F(DataFileCacheTest, PinnedRecordsAreNeverEvictedTheCacheGrowsInstead) {
  CreateTable(10);
  Owner.BufferBytes = 2 * kRecordSize;
  TDataFile file(FileName(), false, &Owner);
  file.OpenDataFile();
  TRecord* one = file.GetRecord(1);
  TRecord* two = file.GetRecord(2);
  TRecord* three = file.GetRecord(3);
  EXPECT_EQ(file.CacheCapacity(), 2u + 64u);
  EXPECT_EQ(one->RecNo, 1);
  EXPECT_EQ(two->RecNo, 2);
  EXPECT_EQ(three->RecNo, 3);
  file.ReleaseRecord(one);
  file.ReleaseRecord(two);
  file.ReleaseRecord(three);
  file.TrimCache();
  EXPECT_EQ(file.CachedRecordCount(), 2u);
  EXPECT_FALSE(file.IsCached(1));  // the oldest went first
}

TEST_F(DataFileCacheTest, DiscardCacheDropsChangesThatWereNotWritten) {
  CreateTable(5);
  TDataFile file(FileName(), false, &Owner);
  file.OpenDataFile();
  {
    TRecordPin record(file, file.GetRecord(3));
    SetValue(file, record.Get(), 999);
  }
  TRecordPin pinned(file, file.GetRecord(2));
  file.DiscardCache();
  EXPECT_EQ(file.CachedRecordCount(), 1u);  // the pinned one is still in use
  EXPECT_EQ(ValueOf(file, 3), 30);
  EXPECT_EQ(ReadI32(pinned->FieldData(*file.FieldByPosition(1))), 20);
}

// A flush looks only at the slots changed since the last one: a record marked twice is
// written once, a pinned one stays listed and goes with the next flush, and a change
// dropped by a discard is not written by a later flush.
TEST_F(DataFileCacheTest, FlushWritesEachChangedSlotOnceAndKeepsPinnedOnesForLater) {
  CreateTable(10);
  TDataFile file(FileName(), false, &Owner);
  file.OpenDataFile();
  for (int n = 1; n <= 10; ++n) EXPECT_EQ(ValueOf(file, n), n * 10);  // all cached, clean
  {
    TRecordPin record(file, file.GetRecord(5));
    SetValue(file, record.Get(), 501);
    SetValue(file, record.Get(), 502);  // marked twice
  }
  {
    TRecordPin pinned(file, file.GetRecord(8));
    SetValue(file, pinned.Get(), 800);
    const int64_t before = file.Statistics().Flushes;
    EXPECT_TRUE(file.FlushRecords());
    EXPECT_EQ(file.Statistics().Flushes - before, 1);  // slot 5 only, once
    EXPECT_TRUE(pinned->Dirty);
    const std::vector<uint8_t> bytes = ReadFileBytes(FileName());
    EXPECT_EQ(ValueOnDisk(bytes, 5), 502);
    EXPECT_EQ(ValueOnDisk(bytes, 8), 80);
    EXPECT_FALSE(file.FlushRecords());  // slot 8 is still pinned
  }
  EXPECT_TRUE(file.FlushRecords());
  EXPECT_EQ(ValueOnDisk(ReadFileBytes(FileName()), 8), 800);
  EXPECT_FALSE(file.FlushRecords());

  {
    TRecordPin record(file, file.GetRecord(3));
    SetValue(file, record.Get(), 333);
  }
  file.DiscardCache();
  EXPECT_EQ(ValueOf(file, 3), 30);  // read again, clean
  const int64_t before = file.Statistics().Flushes;
  EXPECT_FALSE(file.FlushRecords());
  EXPECT_EQ(file.Statistics().Flushes, before);
  EXPECT_EQ(ValueOnDisk(ReadFileBytes(FileName()), 3), 30);
}

}  // namespace
}  // namespace kura
