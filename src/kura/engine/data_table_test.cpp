#include "kura/engine/data_table.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table_test_support.h"
#include "kura/engine/table_read_lock.h"
#include "testing/child_process.h"
#include "testing/child_process.h"
#include "testing/engine_error_expect.h"
#include "testing/pipe.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using session_test::AppendRawRecord;
using session_test::SimpleDefinition;
using testing_support::TPipe;

// One session of its own with table T of the directory open.
class TTableUser {
public:
  explicit TTableUser(const std::string& path, bool exclusive = false, bool temporary = false) {
    Session.Sleep = [this](int ms) { Pauses.push_back(ms); };
    Session.SetTableLockAttempts(3);
    Directory = Session.OpenDirectory("", path);
    const int result = Directory->OpenTable("T", false, exclusive, temporary, false, Table);
    if (result != 0) RaiseEngineError(static_cast<TErrorCode>(-result));
  }
  ~TTableUser() {
    if (Table) Directory->CloseTable(Table, false);
  }
  TTableUser(const TTableUser&) = delete;
  TTableUser& operator=(const TTableUser&) = delete;

  void Close(bool discardTemporary = false) {
    Directory->CloseTable(Table, discardTemporary);
    Table = nullptr;
  }

  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  TDataTable* Table = nullptr;
  std::vector<int> Pauses;
};

int32_t ReadInt32(const std::filesystem::path& file, int64_t offset) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(offset);
  uint8_t bytes[4] = {};
  in.read(reinterpret_cast<char*>(bytes), 4);
  return static_cast<int32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24));
}

constexpr int64_t kChangeCountOffset = 0;
constexpr int64_t kNextRecordNoOffset = 13;

class DataTableTest : public ::testing::Test {
protected:
  void SetUp() override { CreateTable("T", SimpleDefinition()); }
  void CreateTable(const std::string& name, const TTableDefinition& definition) {
    TDataSession session;
    ASSERT_EQ(session.OpenDirectory("", Path())->CreateTableFiles(name, false, definition), 0);
  }
  std::string Path() const { return Dir.Path().string(); }
  std::filesystem::path DataFile() const { return Dir / "T.DAT"; }

  testing_support::TTempDir Dir;
};

TEST_F(DataTableTest, OpensTheFilesUnderTheDirectoryPath) {
  TTableUser user(Path());
  TDataTable& table = *user.Table;
  EXPECT_EQ(table.DataFileName(), user.Directory->Path() + "T.DAT");
  EXPECT_EQ(table.IndexFileName(), user.Directory->Path() + "T.IDX");
  EXPECT_EQ(table.BlobFileName(), user.Directory->Path() + "T.BLB");
  EXPECT_TRUE(table.FilesOpen());
  EXPECT_TRUE(table.DataFile().IsOpen);
  EXPECT_TRUE(table.IndexFile().IsOpen);
  EXPECT_EQ(table.BlobFile(), nullptr) << "no BLOB fields, no BLOB file";
  EXPECT_FALSE(table.ReadOnly());
  EXPECT_FALSE(table.ReadOnlyFiles());
  EXPECT_FALSE(table.IndexesRebuilt());
  EXPECT_FALSE(table.LockFree());
  EXPECT_EQ(table.ErrorNames().TableName, "T");
  EXPECT_EQ(table.ErrorNames().DatabaseName, user.Directory->Path());
}

TEST_F(DataTableTest, TheBlobFileTakesTheBlockSizeOfTheDataHeader) {
  CreateTable("B", SimpleDefinition(true, 1024));
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("", Path());
  TDataTable* table = nullptr;
  ASSERT_EQ(directory->OpenTable("B", false, false, false, false, table), 0);
  ASSERT_NE(table->BlobFile(), nullptr);
  EXPECT_TRUE(table->BlobFile()->IsOpen);
  EXPECT_EQ(table->BlobFile()->BlockSize(), 1024);
  EXPECT_EQ(directory->CloseTable(table, false), 0);
}

TEST_F(DataTableTest, AMissingIndexFileIsCreatedAnewAndMarksTheIndexesRebuilt) {
  std::filesystem::remove(Dir / "T.IDX");
  {
    TTableUser user(Path());
    EXPECT_TRUE(user.Table->IndexesRebuilt());
    EXPECT_TRUE(user.Table->NoPrimaryIndex()) << "the index definitions are gone";
    EXPECT_EQ(user.Table->IndexFile().SecondaryCount(), 0);
    EXPECT_TRUE(std::filesystem::exists(Dir / "T.IDX"));
  }
  TTableUser again(Path());
  EXPECT_FALSE(again.Table->IndexesRebuilt());
}

TEST_F(DataTableTest, AMissingDataFileRaisesAndLeavesNothingRegistered) {
  std::filesystem::remove(DataFile());
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("", Path());
  TDataTable* table = nullptr;
  EXPECT_ENGINE_ERROR(KURA_OSENOENT, directory->OpenTable("T", false, false, false, false, table));
  EXPECT_TRUE(directory->Tables().empty());
}

TEST_F(DataTableTest, ATableWithReadOnlyFilesTakesNoLocksAndMakesNoChecks) {
  ASSERT_EQ(::chmod(DataFile().c_str(), 0444), 0);
  TTableUser user(Path());
  TDataTable& table = *user.Table;
  EXPECT_TRUE(table.ReadOnlyFiles());
  EXPECT_TRUE(table.ReadOnly());
  EXPECT_TRUE(table.LockFree());
  EXPECT_FALSE(table.ReadLock());
  EXPECT_FALSE(table.HasReadLock());
  EXPECT_FALSE(table.WriteLock());
  EXPECT_FALSE(table.HasWriteLock());
  EXPECT_FALSE(table.LockRecord(1));
  EXPECT_FALSE(table.LockRecord(0)) << "no lock, so no complaint either";
  table.UnlockRecord(7);
  table.ReadUnlock();
  table.WriteUnlock();
  EXPECT_FALSE(table.CheckForChanges());

  // A writer elsewhere cannot exist, and a transaction leaves the read-only table out.
  user.Directory->StartTransaction();
  EXPECT_FALSE(table.InTransaction());
  user.Directory->Commit(true, false);
}

TEST_F(DataTableTest, RecordLocksRetryThroughTheSessionsSleepAndThenFail) {
  TTableUser holder(Path());
  TTableUser other(Path());
  other.Session.SetLockRetryCount(4);
  other.Session.SetLockWaitTime(7);
  holder.Table->LockRecord(3);
  EXPECT_TRUE(holder.Table->OSLockedRecords().IsSet(3));
  EXPECT_ENGINE_ERROR(KURA_RECLOCKFAILED, other.Table->LockRecord(3));
  EXPECT_EQ(other.Pauses, (std::vector<int>{7, 7, 7, 7})) << "five attempts, four pauses";
  EXPECT_FALSE(other.Table->HasReadLock()) << "the read lock taken around the attempts is released";
  EXPECT_FALSE(other.Table->OSLockedRecords().IsSet(3));

  holder.Table->UnlockRecord(3);
  EXPECT_FALSE(holder.Table->OSLockedRecords().IsSet(3));
  other.Table->LockRecord(3);
  EXPECT_TRUE(other.Table->OSLockedRecords().IsSet(3));
  other.Table->UnlockRecord(3);
}

TEST_F(DataTableTest, BadRecordLockRequestsRaise) {
  TTableUser user(Path());
  EXPECT_ENGINE_ERROR(KURA_RECLOCKFAILED, user.Table->LockRecord(0));
  EXPECT_ENGINE_ERROR(KURA_RECLOCKFAILED, user.Table->LockRecord(-2));
  EXPECT_ENGINE_ERROR(KURA_UNLOCKFAILED, user.Table->UnlockRecord(5));
  EXPECT_ENGINE_ERROR(KURA_UNLOCKFAILED, user.Table->UnlockRecord(0));
  EXPECT_TRUE(user.Pauses.empty());
}

TEST_F(DataTableTest, AWriteLockExcludesReadersAndWaitsForThem) {
  TTableUser writer(Path());
  TTableUser reader(Path());
  EXPECT_FALSE(writer.Table->WriteLock());
  EXPECT_TRUE(writer.Table->HasWriteLock());
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, reader.Table->ReadLock());
  EXPECT_FALSE(reader.Table->HasReadLock());
  EXPECT_EQ(reader.Pauses, (std::vector<int>{3, 3})) << "three attempts 3 ms apart";
  writer.Table->WriteUnlock();
  EXPECT_FALSE(writer.Table->HasWriteLock());

  EXPECT_FALSE(reader.Table->ReadLock());
  EXPECT_TRUE(reader.Table->HasReadLock());
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, writer.Table->WriteLock());
  EXPECT_FALSE(writer.Table->HasWriteLock());
  // The failed attempt left nothing behind: a transaction lock (the table byte) is free.
  writer.Table->TransactionLock();
  writer.Table->TransactionUnlock();
  reader.Table->ReadUnlock();
  EXPECT_FALSE(writer.Table->WriteLock());
  writer.Table->WriteUnlock();
}

TEST_F(DataTableTest, ReadersShareAndAReaderMayTakeTheWriteLockItself) {
  TTableUser first(Path());
  TTableUser second(Path());
  first.Table->ReadLock();
  second.Table->QueryReadLock();
  EXPECT_TRUE(first.Table->HasReadLock());
  EXPECT_TRUE(second.Table->HasQueryReadLock());
  second.Table->QueryReadUnlock();

  // Its own read byte lies inside the write region; it is given back while writing.
  EXPECT_FALSE(first.Table->WriteLock());
  EXPECT_TRUE(first.Table->HasReadLock());
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, second.Table->ReadLock());
  first.Table->WriteUnlock();
  // The read lock holds its byte again: writers stay out.
  EXPECT_TRUE(first.Table->HasReadLock());
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, second.Table->WriteLock());
  first.Table->ReadUnlock();
  EXPECT_FALSE(second.Table->WriteLock());
  second.Table->WriteUnlock();
}

// The read lock an operation holds for its own scope: taken when the table does not hold
// it, given back on every way out (also early, once), and left alone when it was held
// already or the table needs no locks.
TEST_F(DataTableTest, AScopedReadLockGivesBackExactlyWhatItTook) {
  {
    TTableUser user(Path());
    TTableUser writer(Path());
    TDataTable& table = *user.Table;
    {
      TTableReadLock lock(table);
      EXPECT_TRUE(lock.Taken());
      EXPECT_TRUE(table.HasReadLock());
      EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, writer.Table->WriteLock());
    }
    EXPECT_FALSE(table.HasReadLock());

    EXPECT_ENGINE_ERROR(KURA_RECLOCKFAILED, {
      TTableReadLock lock(table);
      RaiseEngineError(KURA_RECLOCKFAILED);
    });
    EXPECT_FALSE(table.HasReadLock());

    {
      TTableReadLock lock(table);
      lock.Release();
      EXPECT_FALSE(lock.Taken());
      EXPECT_FALSE(table.HasReadLock());
      table.ReadLock();
    }
    // Taken by someone else after the early release: not this holder's to give back.
    EXPECT_TRUE(table.HasReadLock());
    {
      TTableReadLock lock(table);
      EXPECT_FALSE(lock.Taken());
      EXPECT_FALSE(lock.Changed());
    }
    EXPECT_TRUE(table.HasReadLock());
    table.ReadUnlock();
    EXPECT_FALSE(writer.Table->WriteLock());
    writer.Table->WriteUnlock();
  }
  TTableUser exclusive(Path(), true);
  TTableReadLock lock(*exclusive.Table);
  EXPECT_FALSE(lock.Taken());
  EXPECT_FALSE(exclusive.Table->HasReadLock());
}

TEST_F(DataTableTest, FlushTableWritesChangedHeadersWithNewCounters) {
  TTableUser user(Path());
  TDataTable& table = *user.Table;
  const int32_t diskCount = ReadInt32(DataFile(), kChangeCountOffset);
  const TChangeCounters before = table.ChangeCounters();

  table.WriteLock();
  AppendRawRecord(table);
  table.FlushTable(false);
  table.WriteUnlock();
  const TChangeCounters after = table.ChangeCounters();
  EXPECT_NE(after.Data, before.Data);
  EXPECT_EQ(after.Index, before.Index) << "nothing of the index changed";
  EXPECT_EQ(ReadInt32(DataFile(), kNextRecordNoOffset), 2);
  EXPECT_GT(ReadInt32(DataFile(), kChangeCountOffset), diskCount);

  // Nothing buffered: nothing written, nothing moves.
  table.FlushTable(false);
  EXPECT_EQ(table.ChangeCounters(), after);

  table.MarkChanged();
  const TChangeCounters marked = table.ChangeCounters();
  EXPECT_NE(marked.Data, after.Data);
  EXPECT_NE(marked.Index, after.Index);
  EXPECT_NE(marked.Blob, after.Blob);
}

TEST_F(DataTableTest, ForceBufferFlushStillWritesEverything) {
  TTableUser user(Path());
  user.Session.SetForceBufferFlush(true);
  user.Table->WriteLock();
  AppendRawRecord(*user.Table);
  user.Table->FlushTable(false);
  user.Table->WriteUnlock();
  EXPECT_EQ(ReadInt32(DataFile(), kNextRecordNoOffset), 2);
}

TEST_F(DataTableTest, AnExclusiveTableKeepsItsChangesInMemoryUntilTheLastClose) {
  TTableUser user(Path(), true);
  EXPECT_TRUE(user.Table->LockFree());
  const TChangeCounters before = user.Table->ChangeCounters();
  AppendRawRecord(*user.Table);
  user.Table->MarkChanged();
  EXPECT_NE(user.Table->ChangeCounters(), before);
  EXPECT_EQ(ReadInt32(DataFile(), kNextRecordNoOffset), 1);
  user.Close();
  EXPECT_EQ(ReadInt32(DataFile(), kNextRecordNoOffset), 2);
}

TEST_F(DataTableTest, AnotherSessionMeetsAnExclusiveTableThroughTheShareModes) {
  auto exclusive = std::make_unique<TTableUser>(Path(), true);
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, TTableUser shared(Path()));
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, TTableUser second(Path(), true));
  exclusive.reset();
  TTableUser shared(Path());
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, TTableUser late(Path(), true));
}

TEST_F(DataTableTest, ATemporaryTableClosedWithDiscardDropsItsChanges) {
  {
    TTableUser user(Path(), true, true);
    AppendRawRecord(*user.Table);
    user.Close(true);
  }
  EXPECT_EQ(ReadInt32(DataFile(), kNextRecordNoOffset), 1);
  {
    // Without discard a temporary table writes like any exclusive one.
    TTableUser user(Path(), true, true);
    AppendRawRecord(*user.Table);
    user.Close(false);
  }
  EXPECT_EQ(ReadInt32(DataFile(), kNextRecordNoOffset), 2);
}

TEST_F(DataTableTest, LocksAreReleasedAtTheLastClose) {
  {
    TTableUser user(Path());
    user.Table->LockRecord(2);
    user.Table->WriteLock();
  }
  TTableUser other(Path());
  other.Session.SetLockRetryCount(0);
  other.Table->LockRecord(2);
  EXPECT_FALSE(other.Table->WriteLock());
  other.Table->WriteUnlock();
  other.Table->UnlockRecord(2);
}

TEST_F(DataTableTest, AnUnlockInsideATransactionWaitsForItsEnd) {
  TTableUser user(Path());
  user.Directory->StartTransaction();
  user.Table->LockRecord(4);
  user.Table->UnlockRecord(4);
  EXPECT_TRUE(user.Table->OSLockedRecords().IsSet(4));
  EXPECT_TRUE(user.Table->DeferredUnlocks().IsSet(4));
  // Locking it again inside the transaction costs nothing and cancels the unlock.
  EXPECT_FALSE(user.Table->LockRecord(4));
  EXPECT_FALSE(user.Table->DeferredUnlocks().IsSet(4));
  user.Table->UnlockRecord(4);
  user.Directory->Commit(true, false);
  EXPECT_FALSE(user.Table->OSLockedRecords().IsSet(4));
  EXPECT_FALSE(user.Table->DeferredUnlocks().IsSet(4));
}

// ---------------------------------------------------------------------------------------
// Between processes. The table files are created and closed before the fork; each
// process then opens them itself, so the two share no open file.

class DataTableProcessTest : public DataTableTest {
protected:
  // Runs `body` in a child process whose exit status is its result (100 + code % 100 when
  // it raised an engine error).
  static pid_t Spawn(const std::function<int()>& body) { return testing_support::SpawnChild(body); }
  static int Wait(pid_t child) { return testing_support::WaitChild(child); }

  TPipe ToChild;
  TPipe ToParent;
};

TEST_F(DataTableProcessTest, ARecordLockedInOneProcessFailsInAnotherAfterTheRetries) {
  ASSERT_TRUE(ToChild.Ok && ToParent.Ok);
  const pid_t child = Spawn([this] {
    TTableUser user(Path());
    user.Session.SetLockRetryCount(5);
    user.Session.SetLockWaitTime(9);
    if (ToChild.Receive() != 1) return 2;
    const TErrorCode code = EngineErrorCodeOf([&] { user.Table->LockRecord(1); });
    ToParent.Send(code == KURA_RECLOCKFAILED ? 1 : 0);
    ToParent.Send(static_cast<uint8_t>(user.Pauses.size()));
    ToParent.Send(std::all_of(user.Pauses.begin(), user.Pauses.end(), [](int ms) { return ms == 9; }) ? 1 : 0);
    if (ToChild.Receive() != 2) return 3;
    user.Table->LockRecord(1);
    ToParent.Send(user.Table->OSLockedRecords().IsSet(1) ? 1 : 0);
    user.Table->UnlockRecord(1);
    return 0;
  });
  ASSERT_GE(child, 0);

  TTableUser user(Path());
  user.Table->LockRecord(1);
  ASSERT_TRUE(ToChild.Send(1));
  EXPECT_EQ(ToParent.Receive(), 1) << "the second process got the record lock";
  EXPECT_EQ(ToParent.Receive(), 5) << "LockRetryCount + 1 attempts make LockRetryCount pauses";
  EXPECT_EQ(ToParent.Receive(), 1) << "each pause lasts LockWaitTime";
  user.Table->UnlockRecord(1);
  ASSERT_TRUE(ToChild.Send(2));
  EXPECT_EQ(ToParent.Receive(), 1) << "the released record could not be locked";
  EXPECT_EQ(Wait(child), 0);
}

TEST_F(DataTableProcessTest, AWriteLockInOneProcessKeepsAnotherProcessFromReading) {
  ASSERT_TRUE(ToChild.Ok && ToParent.Ok);
  const pid_t child = Spawn([this] {
    TTableUser user(Path());
    user.Session.SetTableLockAttempts(4);
    if (ToChild.Receive() != 1) return 2;
    ToParent.Send(EngineErrorCodeOf([&] { user.Table->ReadLock(); }) == KURA_LOCKTIMEOUT ? 1 : 0);
    ToParent.Send(static_cast<uint8_t>(user.Pauses.size()));
    if (ToChild.Receive() != 2) return 3;
    ToParent.Send(EngineErrorCodeOf([&] { user.Table->ReadLock(); }) == 0 ? 1 : 0);
    if (ToChild.Receive() != 3) return 4;
    user.Table->ReadUnlock();
    ToParent.Send(1);
    return 0;
  });
  ASSERT_GE(child, 0);

  TTableUser user(Path());
  user.Table->WriteLock();
  ASSERT_TRUE(ToChild.Send(1));
  EXPECT_EQ(ToParent.Receive(), 1) << "a reader got in under the write lock";
  EXPECT_EQ(ToParent.Receive(), 3) << "four attempts, three pauses";
  user.Table->WriteUnlock();
  ASSERT_TRUE(ToChild.Send(2));
  EXPECT_EQ(ToParent.Receive(), 1) << "the reader was refused after the write lock went";
  // Now the other process reads: this one cannot write.
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, user.Table->WriteLock());
  ASSERT_TRUE(ToChild.Send(3));
  EXPECT_EQ(ToParent.Receive(), 1);
  EXPECT_EQ(EngineErrorCodeOf([&] { user.Table->WriteLock(); }), 0);
  user.Table->WriteUnlock();
  EXPECT_EQ(Wait(child), 0);
}

TEST_F(DataTableProcessTest, ARecordUnlockedInsideATransactionStaysLockedUntilCommit) {
  ASSERT_TRUE(ToChild.Ok && ToParent.Ok);
  const pid_t child = Spawn([this] {
    TTableUser user(Path());
    user.Session.SetLockRetryCount(2);
    if (ToChild.Receive() != 1) return 2;
    ToParent.Send(EngineErrorCodeOf([&] { user.Table->LockRecord(6); }) == KURA_RECLOCKFAILED ? 1 : 0);
    if (ToChild.Receive() != 2) return 3;
    ToParent.Send(EngineErrorCodeOf([&] { user.Table->LockRecord(6); }) == 0 ? 1 : 0);
    user.Table->UnlockRecord(6);
    return 0;
  });
  ASSERT_GE(child, 0);

  TTableUser user(Path());
  user.Directory->StartTransaction();
  user.Table->LockRecord(6);
  user.Table->UnlockRecord(6);
  ASSERT_TRUE(ToChild.Send(1));
  EXPECT_EQ(ToParent.Receive(), 1) << "the record was free before the commit";
  user.Directory->Commit(true, false);
  ASSERT_TRUE(ToChild.Send(2));
  EXPECT_EQ(ToParent.Receive(), 1) << "the record stayed locked after the commit";
  EXPECT_EQ(Wait(child), 0);
}

TEST_F(DataTableProcessTest, CheckForChangesSeesAHeaderAnotherProcessWrote) {
  ASSERT_TRUE(ToChild.Ok && ToParent.Ok);
  const pid_t child = Spawn([this] {
    TTableUser user(Path());
    if (ToChild.Receive() != 1) return 2;
    // Data only.
    user.Table->WriteLock();
    AppendRawRecord(*user.Table);
    user.Table->FlushTable(false);
    user.Table->WriteUnlock();
    ToParent.Send(1);
    if (ToChild.Receive() != 2) return 3;
    // Data and index.
    user.Table->WriteLock();
    AppendRawRecord(*user.Table);
    user.Table->IndexFile().SetActiveRecordCount(2);
    user.Table->FlushTable(false);
    user.Table->WriteUnlock();
    ToParent.Send(1);
    return 0;
  });
  ASSERT_GE(child, 0);

  TTableUser user(Path());
  TDataTable& table = *user.Table;
  EXPECT_FALSE(table.CheckForChanges());
  const TChangeCounters start = table.ChangeCounters();
  ASSERT_TRUE(ToChild.Send(1));
  ASSERT_EQ(ToParent.Receive(), 1);
  EXPECT_EQ(table.DataFile().RecordCount(), 0) << "nothing is read before the check";
  EXPECT_TRUE(table.ReadLock());
  table.ReadUnlock();
  const TChangeCounters afterData = table.ChangeCounters();
  EXPECT_NE(afterData.Data, start.Data);
  EXPECT_EQ(afterData.Index, start.Index);
  EXPECT_EQ(table.DataFile().RecordCount(), 1);
  EXPECT_FALSE(table.CheckForChanges()) << "the same header is no change";
  EXPECT_EQ(table.ChangeCounters(), afterData);

  ASSERT_TRUE(ToChild.Send(2));
  ASSERT_EQ(ToParent.Receive(), 1);
  EXPECT_TRUE(table.CheckForChanges());
  const TChangeCounters afterIndex = table.ChangeCounters();
  EXPECT_NE(afterIndex.Index, afterData.Index);
  EXPECT_NE(afterIndex.Data, afterData.Data);
  EXPECT_EQ(table.DataFile().RecordCount(), 2);
  EXPECT_EQ(table.IndexFile().ActiveRecordCount(), 2);
  EXPECT_EQ(Wait(child), 0);
}

}  // namespace
}  // namespace kura
