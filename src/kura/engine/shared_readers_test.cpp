// Readers of a table that other processes write at the same time, with the default
// session settings (no strict change detection): whatever moment a reader meets, it is
// shown only records that were written, and a sound table never gives it an engine
// error. Every record carries a checksum of its fields, so that a record that was never
// written (all zero, or half of one and half of another) cannot pass unnoticed.

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "testing/child_process.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/pipe.h"
#include "testing/record_image.h"
#include "testing/temp_dir.h"

namespace kura::shared_readers_test {
namespace {

using testing_support::Field;
using testing_support::Index;
using testing_support::SpawnChild;
using testing_support::TPipe;
using testing_support::TRecordImage;
using testing_support::WaitChild;

// Field numbers of the table.
constexpr int kId = 1;
constexpr int kGroup = 2;
constexpr int kName = 3;
constexpr int kValue = 4;
constexpr int kSum = 5;
constexpr int kGroups = 7;

// Exit statuses of the children besides 0 (engine errors give 100 + code % 100).
constexpr int kBadRecord = 1;
constexpr int kBadMessage = 2;

// ID (primary), GRP, NAME, VAL and SUM, the checksum of the other four; the secondary
// index "ByGroup" on GRP and NAME.
TTableDefinition SharedDefinition() {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("GRP", TFieldType::Integer),
              Field("NAME", TFieldType::String, 20), Field("VAL", TFieldType::Integer),
              Field("SUM", TFieldType::Integer)};
  t.PrimaryIndex = Index("", {kId}, true);
  t.SecondaryIndexes = {Index("ByGroup", {kGroup, kName}, false)};
  return t;
}

// FNV-1a over the fields' values, never 0: a zero-filled image fails it.
int32_t Checksum(int32_t id, int32_t group, const std::string& name, int32_t value) {
  uint32_t hash = 2166136261u;
  const auto mix = [&hash](uint32_t byte) { hash = (hash ^ byte) * 16777619u; };
  for (const int32_t number : {id, group, value}) {
    for (int shift = 0; shift < 32; shift += 8) mix((static_cast<uint32_t>(number) >> shift) & 0xFF);
  }
  for (const char c : name) mix(static_cast<uint8_t>(c));
  return static_cast<int32_t>(hash | 1u);
}

int32_t GroupOf(int32_t id, int32_t value) { return (id + value) % kGroups; }
std::string NameOf(int32_t id, int32_t value) { return "N" + std::to_string(id) + "V" + std::to_string(value); }

std::vector<uint8_t> RecordOf(const TDataFile& data, int32_t id, int32_t value) {
  TRecordImage image(data);
  const int32_t group = GroupOf(id, value);
  const std::string name = NameOf(id, value);
  image.SetInt(kId, id);
  image.SetInt(kGroup, group);
  image.SetText(kName, name);
  image.SetInt(kValue, value);
  image.SetInt(kSum, Checksum(id, group, name, value));
  return image.Bytes;
}

// A record a reader may be shown: active, every field present, the checksum right.
bool Sound(const TDataFile& data, const uint8_t* record) {
  if (record[0] != 0) return false;
  for (int field = kId; field <= kSum; ++field) {
    if (record[data.FieldByPosition(field)->Offset] != 1) return false;
  }
  const int32_t id = TRecordImage::Int(data, record, kId);
  const int32_t sum = Checksum(id, TRecordImage::Int(data, record, kGroup), TRecordImage::Text(data, record, kName),
                               TRecordImage::Int(data, record, kValue));
  return id > 0 && TRecordImage::Int(data, record, kSum) == sum;
}

// A session of its own (one per process) with a cursor on the shared table.
struct TUser {
  explicit TUser(const std::string& path, bool realPauses = false) {
    if (!realPauses) Session.Sleep = [](int) {};
    Directory = Session.OpenDirectory("SHARED", path);
    Cursor = std::make_unique<TDataCursor>(*Directory);
    Cursor->SetTableName("shared");
    Cursor->OpenCursor();
  }
  const TDataFile& Data() const { return TCursorInternals::Table(*Cursor).DataFile(); }
  std::vector<uint8_t> Buffer() const { return std::vector<uint8_t>(static_cast<size_t>(Cursor->RecordSize())); }
  int32_t Id(const std::vector<uint8_t>& record) const { return TRecordImage::Int(Data(), record.data(), kId); }
  int32_t Group(const std::vector<uint8_t>& record) const { return TRecordImage::Int(Data(), record.data(), kGroup); }
  void Append(int32_t id, int32_t value) {
    std::vector<uint8_t> record = RecordOf(Data(), id, value);
    Cursor->AppendRecord(record.data(), false);
  }
  // Onto the record with this ID (primary index); false when there is none.
  bool Seek(int32_t id) {
    std::vector<uint8_t> key = RecordOf(Data(), id, 0);
    return Cursor->Find(key.data(), false, 1, -1, false, nullptr);
  }

  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  std::unique_ptr<TDataCursor> Cursor;
};

class SharedReadersTest : public ::testing::Test {
protected:
  // The shared table with records 1..count (VAL = ID); nothing of it stays open here, so
  // that children forked afterwards share no open file with this process.
  void CreateTable(int32_t count) {
    {
      TDataSession session;
      TDataDirectory* directory = session.OpenDirectory("SHARED", Path());
      ASSERT_EQ(directory->CreateTableFiles("shared", false, SharedDefinition()), 0);
    }
    TUser user(Path());
    for (int32_t id = 1; id <= count; ++id) user.Append(id, id);
  }
  std::string Path() const { return Temp.Path().string(); }

  // Opens `reader` on the table and reads the first record (the root and first leaf of
  // the primary index and the data header are then cached); meanwhile another process
  // has its writer open and, after that read, appends records first..last (VAL = ID).
  void AppendAfterTheFirstRead(std::unique_ptr<TUser>& reader, int32_t first, int32_t last) {
    TPipe toChild;
    TPipe toParent;
    ASSERT_TRUE(toChild.Ok && toParent.Ok);
    const pid_t writer = SpawnChild([&] {
      TUser user(Path());
      toParent.Send(1);
      if (toChild.Receive() != 1) return kBadMessage;
      for (int32_t id = first; id <= last; ++id) user.Append(id, id);
      toParent.Send(2);
      return 0;
    });
    ASSERT_GE(writer, 0);
    ASSERT_EQ(toParent.Receive(), 1);
    reader = std::make_unique<TUser>(Path());
    ASSERT_EQ(reader->Cursor->GetNextRecord(nullptr), KURA_NONE);
    ASSERT_TRUE(toChild.Send(1));
    ASSERT_EQ(toParent.Receive(), 2);
    ASSERT_EQ(WaitChild(writer), 0);
  }

  testing_support::TTempDir Temp;
};

// The reader has the first leaf of the primary index and the data header cached when
// another process appends records to the last leaf. Reading on, the reader meets that
// leaf on the disk, whose keys name records beyond what its data header counts: it must
// read the headers again under the read lock, not make up empty records for them.
TEST_F(SharedReadersTest, RecordsAnIndexPageNamesBeyondTheReadersHeaderAreReadNotMadeUp) {
  CreateTable(600);
  std::unique_ptr<TUser> opened;
  ASSERT_NO_FATAL_FAILURE(AppendAfterTheFirstRead(opened, 601, 605));
  TUser& reader = *opened;
  std::vector<uint8_t> record = reader.Buffer();
  ASSERT_EQ(reader.Cursor->GetCurrentRecord(record.data()), KURA_NONE);

  int32_t delivered = 1;
  int32_t last = reader.Id(record);
  while (reader.Cursor->GetNextRecord(record.data()) == KURA_NONE) {
    ++delivered;
    ASSERT_TRUE(Sound(reader.Data(), record.data())) << "record " << delivered << " of the walk";
    EXPECT_GT(reader.Id(record), last);
    last = reader.Id(record);
  }
  EXPECT_GE(delivered, 600);
  EXPECT_FALSE(reader.Data().HeaderChanged()) << "the reader changed the data file";
  EXPECT_LE(reader.Data().RecordCount(), 605);
  EXPECT_EQ(reader.Cursor->GetRecordCount(), delivered);
}

// Another process splits the leaf after the one the reader has cached. Building a
// filter's view walks from the cached pages into the new ones: the walk is made again
// under the read lock with the table read afresh, and neither the activation nor any
// later call reports damage of the sound table.
TEST_F(SharedReadersTest, AFilterActivatedAfterAnotherProcessWroteShowsTheTableAsItIs) {
  CreateTable(600);
  std::unique_ptr<TUser> opened;
  ASSERT_NO_FATAL_FAILURE(AppendAfterTheFirstRead(opened, 601, 1000));
  TUser& reader = *opened;

  TFilter* filter = reader.Cursor->AddExprFilter("ID >= 400");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    reader.Cursor->ActivateFilter(filter);
    EXPECT_EQ(reader.Cursor->GetRecordCount(), 601);
    std::vector<uint8_t> record = reader.Buffer();
    int32_t delivered = 0;
    reader.Cursor->SetToBegin();
    while (reader.Cursor->GetNextRecord(record.data()) == KURA_NONE) {
      ++delivered;
      ASSERT_TRUE(Sound(reader.Data(), record.data())) << "record " << delivered << " of the walk";
      EXPECT_EQ(reader.Id(record), 399 + delivered);
    }
    EXPECT_EQ(delivered, 601);
    reader.Cursor->DeactivateFilter(filter);
    EXPECT_EQ(reader.Cursor->GetRecordCount(), 1000);
  }
  EXPECT_FALSE(reader.Data().HeaderChanged()) << "the reader changed the data file";
}

// The data file lost its last slots (header and file agree on five records) while the
// index still names ten: read again under the lock the damage is still there, and it is
// reported, not shown as records.
TEST_F(SharedReadersTest, IndexKeysNamingSlotsTheDataFileDoesNotHaveAreReportedAsDamage) {
  CreateTable(10);
  const std::filesystem::path dataFile = Temp / "shared.DAT";
  int64_t cut = 0;
  {
    TUser user(Path());
    cut = user.Data().SlotOffset(6);
  }
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(dataFile);
  bytes.resize(static_cast<size_t>(cut));
  WriteI32(bytes.data() + 13, 6);  // NextRecordNo
  testing_support::WriteFileBytes(dataFile, bytes);

  TUser reader(Path());
  std::vector<uint8_t> record = reader.Buffer();
  for (int32_t id = 1; id <= 5; ++id) {
    ASSERT_EQ(reader.Cursor->GetNextRecord(record.data()), KURA_NONE);
    EXPECT_TRUE(Sound(reader.Data(), record.data()));
  }
  EXPECT_ENGINE_ERROR(KURA_FILECORRUPT, reader.Cursor->GetNextRecord(record.data()));
  EXPECT_EQ(reader.Data().RecordCount(), 5);
  EXPECT_FALSE(reader.Data().HeaderChanged()) << "the reader changed the data file";
}

// ---------------------------------------------------------------------------------------
// Four writers and four readers at once

constexpr int kWriters = 4;
constexpr int kReaders = 4;
constexpr int kWriterOperations = 80;
constexpr int kInitialRecords = 300;
// Readers go on until every writer is done, at least this many rounds and at most the
// other number.
constexpr int kMinReaderRounds = 2;
constexpr int kMaxReaderRounds = 40;

uint32_t NextRandom(uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// Appends, changes and deletes records of its own (IDs from 100000 × (number + 1)) with
// a shared cursor; about a third of the work inside transactions of up to five changes.
int RunWriter(const std::string& path, int number) {
  TUser user(path, true);
  uint32_t random = 0x9E3779B9u * static_cast<uint32_t>(number + 1);
  std::vector<int32_t> mine;
  int32_t nextId = 100000 * (number + 1);
  std::vector<uint8_t> current = user.Buffer();
  for (int done = 0; done < kWriterOperations;) {
    const bool transaction = NextRandom(random) % 3 == 0;
    const int steps = transaction ? 1 + static_cast<int>(NextRandom(random) % 5) : 1;
    if (transaction) user.Directory->StartTransaction();
    for (int step = 0; step < steps; ++step, ++done) {
      const uint32_t choice = NextRandom(random) % 10;
      if (mine.size() < 8 || choice < 5) {
        user.Append(nextId, static_cast<int32_t>(NextRandom(random) % 1000));
        mine.push_back(nextId++);
        continue;
      }
      const size_t which = NextRandom(random) % mine.size();
      if (!user.Seek(mine[which])) return kBadRecord;
      // The edit starts from the image just read (locked under the pessimistic protocol).
      if (user.Cursor->GetCurrentRecord(current.data()) != KURA_NONE) return kBadRecord;
      if (user.Cursor->GetCurrentRecord(current.data(), true) != KURA_NONE) return kBadRecord;
      if (choice < 8) {
        std::vector<uint8_t> changed =
            RecordOf(user.Data(), mine[which], static_cast<int32_t>(NextRandom(random) % 1000));
        user.Cursor->ModifyRecord(changed.data(), true, false);
      } else {
        user.Cursor->DeleteRecord(current.data(), false);
        mine.erase(mine.begin() + static_cast<std::ptrdiff_t>(which));
      }
    }
    if (transaction) user.Directory->Commit(true, false);
  }
  return 0;
}

// True once the parent closed the other end of the pipe (every writer is done).
bool WritersDone(int doneFd) {
  pollfd p{doneFd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char byte;
  return ::read(doneFd, &byte, 1) == 0;
}

// Walks the cursor's whole view forward or backward; every record must be sound and
// pass `shown`. KURA_NONE or kBadRecord.
int Walk(TUser& user, bool backward, const std::function<bool(const std::vector<uint8_t>&)>& shown) {
  std::vector<uint8_t> record = user.Buffer();
  TDataCursor& cursor = *user.Cursor;
  if (backward) {
    cursor.SetToEnd();
  } else {
    cursor.SetToBegin();
  }
  while ((backward ? cursor.GetPriorRecord(record.data()) : cursor.GetNextRecord(record.data())) == KURA_NONE) {
    if (!Sound(user.Data(), record.data()) || !shown(record)) return kBadRecord;
  }
  return KURA_NONE;
}

// Scans in every order (natural, primary, secondary), both ways, plain, with an
// expression filter activated for the scan and deactivated after it, and with a range;
// moves by record number and counts in between.
int RunReader(const std::string& path, int doneFd) {
  TUser user(path, true);
  TDataCursor& cursor = *user.Cursor;
  TFilter* filter = cursor.AddExprFilter("GRP <> 3 AND VAL >= 100");
  const auto any = [](const std::vector<uint8_t>&) { return true; };
  const auto filtered = [&user](const std::vector<uint8_t>& r) {
    return user.Group(r) != 3 && TRecordImage::Int(user.Data(), r.data(), kValue) >= 100;
  };
  const auto inRange = [&user](const std::vector<uint8_t>& r) { return user.Group(r) >= 2 && user.Group(r) <= 4; };
  for (int round = 0; round < kMaxReaderRounds; ++round) {
    if (round >= kMinReaderRounds && WritersDone(doneFd)) break;
    for (const int index : {kNoIndex, kPrimaryIndex, 1}) {
      cursor.SetIndexNumber(index);
      for (const bool backward : {false, true}) {
        if (Walk(user, backward, any) != KURA_NONE) return kBadRecord;
        cursor.ActivateFilter(filter);
        const int code = Walk(user, backward, filtered);
        cursor.DeactivateFilter(filter);
        if (code != KURA_NONE) return kBadRecord;
        const int32_t count = cursor.GetRecordCount();
        if (count > 0) {
          cursor.SetToRecNo(count / 2 + 1);
          std::vector<uint8_t> record = user.Buffer();
          if (cursor.GetCurrentRecord(record.data()) == KURA_NONE && !Sound(user.Data(), record.data()))
            return kBadRecord;
        }
      }
    }
    // A range over groups 2 to 4 of the secondary index.
    cursor.SetIndexNumber(1);
    TRecordImage image(user.Data());
    image.SetInt(kGroup, 2);
    const std::vector<uint8_t> from = image.Bytes;
    image.SetInt(kGroup, 4);
    const std::vector<uint8_t> to = image.Bytes;
    cursor.SetRange(from.data(), 1, to.data(), 1);
    for (const bool backward : {false, true}) {
      if (Walk(user, backward, inRange) != KURA_NONE) return kBadRecord;
    }
    cursor.ResetRange();
    cursor.Refresh();
  }
  return 0;
}

TEST_F(SharedReadersTest, ReadersNeverSeeMadeUpRecordsOrErrorsWhileWritersCommit) {
  CreateTable(kInitialRecords);
  int done[2];
  ASSERT_EQ(::pipe(done), 0);
  std::vector<pid_t> readers;
  std::vector<pid_t> writers;
  for (int i = 0; i < kReaders; ++i) {
    readers.push_back(SpawnChild([&] {
      ::close(done[1]);
      return RunReader(Path(), done[0]);
    }));
  }
  for (int i = 0; i < kWriters; ++i) {
    writers.push_back(SpawnChild([&, i] {
      ::close(done[1]);
      ::close(done[0]);
      return RunWriter(Path(), i);
    }));
  }
  ::close(done[0]);
  for (const pid_t writer : writers) EXPECT_EQ(WaitChild(writer), 0) << "a writer failed";
  ::close(done[1]);
  for (const pid_t reader : readers) EXPECT_EQ(WaitChild(reader), 0) << "a reader failed";

  // The table the writers left: every record sound, the counts of all orders agree.
  TUser check(Path());
  int32_t records = 0;
  std::vector<uint8_t> record = check.Buffer();
  while (check.Cursor->GetNextRecord(record.data()) == KURA_NONE) {
    ++records;
    EXPECT_TRUE(Sound(check.Data(), record.data()));
  }
  EXPECT_GE(records, kInitialRecords);
  EXPECT_EQ(check.Cursor->GetRecordCount(), records);
  check.Cursor->SetIndexNumber(kNoIndex);
  EXPECT_EQ(check.Cursor->GetRecordCount(), records);
}

}  // namespace
}  // namespace kura::shared_readers_test
