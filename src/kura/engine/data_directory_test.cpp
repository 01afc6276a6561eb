#include "kura/engine/data_directory.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/file_list.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table.h"
#include "kura/engine/data_table_test_support.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using session_test::AppendRawRecord;
using session_test::SimpleDefinition;

constexpr int kAccessDenied = -static_cast<int>(KURA_OSEACCES);

// In-memory tables under a path of their own (the temporary directory's name), so that
// tests never meet each other's tables in the process-wide memory file list.
class MemoryDirectoryTest : public ::testing::Test {
protected:
  void SetUp() override {
    Session.Sleep = [](int) {};
    Session.SetTableLockAttempts(3);
    Directory = Session.OpenDirectory("Memory", Dir.Path().string());
  }
  void TearDown() override {
    for (const auto& extension : {".DAT", ".IDX", ".BLB"}) {
      for (const std::string& table : Created) {
        const std::string name = Directory->TableFileName(table, extension);
        if (TFileList::Instance().FileExists(name, true)) TFileList::Instance().DeleteFile(name, true);
      }
    }
  }
  void Create(const std::string& name, const TTableDefinition& definition = SimpleDefinition()) {
    ASSERT_EQ(Directory->CreateTableFiles(name, true, definition), 0);
    Created.push_back(name);
  }
  TDataTable* Open(const std::string& name, bool exclusive = false, bool clone = false) {
    TDataTable* table = nullptr;
    EXPECT_EQ(Directory->OpenTable(name, true, exclusive, false, clone, table), 0);
    return table;
  }

  testing_support::TTempDir Dir;
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  std::vector<std::string> Created;
};

TEST_F(MemoryDirectoryTest, TableExistsForcesTheDataExtension) {
  Create("Problems");
  EXPECT_TRUE(Directory->TableExists("Problems", true));
  EXPECT_TRUE(Directory->TableExists("problems.dat", true));
  EXPECT_TRUE(Directory->TableExists(" PROBLEMS.DAT ", true));
  EXPECT_FALSE(Directory->TableExists("Problems", false));
  EXPECT_FALSE(Directory->TableExists("Problem", true));
  EXPECT_FALSE(Directory->TableExists("Problems.IDX", true));
}

TEST_F(MemoryDirectoryTest, TableFileNamesReplaceOrAppendTheExtension) {
  const std::string path = Directory->Path();
  EXPECT_EQ(Directory->TableFileName("tejun", ".IDX"), path + "tejun.IDX");
  EXPECT_EQ(Directory->TableFileName("tejun.dat", ".BLB"), path + "tejun.BLB");
  EXPECT_EQ(Directory->TableFileName("tejun.txt", ".DAT"), path + "tejun.txt.DAT");
  EXPECT_EQ(Directory->TableFileName("/abs/dir/t", ".DAT"), "/abs/dir/t.DAT");
}

TEST_F(MemoryDirectoryTest, TempTableNameTakesFiveDigitsOfTheThreadIdAndACounter) {
  Session.ThreadId = [] { return int64_t{987654}; };
  EXPECT_EQ(Directory->GetTempTableName(true), "987650.DAT");
  Create("987650");
  EXPECT_EQ(Directory->GetTempTableName(true), "987651.DAT");
  // A disk table of that name does not take the in-memory name.
  EXPECT_EQ(Directory->GetTempTableName(false), "987650.DAT");

  Session.ThreadId = [] { return int64_t{-31}; };
  EXPECT_EQ(Directory->GetTempTableName(true), "310.DAT");
}

TEST_F(MemoryDirectoryTest, OpenTableSharesOneObjectPerNameAndKind) {
  Create("T");
  TDataTable* a = Open("T");
  TDataTable* b = Open(" t ");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->OpenCount(), 2);
  EXPECT_EQ(Directory->Tables().size(), 1u);
  EXPECT_EQ(Directory->CloseTable(a, false), 0);
  EXPECT_EQ(Directory->Tables().size(), 1u);
  EXPECT_EQ(Directory->CloseTable(a, false), 0);
  EXPECT_TRUE(Directory->Tables().empty());
}

TEST_F(MemoryDirectoryTest, ExclusiveOpenOfAHeldTableIsRefusedButACloneGetsIn) {
  Create("T");
  TDataTable* shared = Open("T");
  TDataTable* table = nullptr;
  EXPECT_EQ(Directory->OpenTable("T", true, true, false, false, table), kAccessDenied);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(shared->OpenCount(), 1);
  EXPECT_EQ(Directory->CloseTable(shared, false), 0);

  TDataTable* exclusive = Open("T", true);
  ASSERT_NE(exclusive, nullptr);
  EXPECT_TRUE(exclusive->Exclusive());
  EXPECT_EQ(Directory->OpenTable("T", true, false, false, false, table), kAccessDenied);
  EXPECT_EQ(Directory->OpenTable("T", true, true, false, false, table), kAccessDenied);
  EXPECT_EQ(Directory->OpenTable("T", true, true, false, true, table), 0);
  EXPECT_EQ(table, exclusive);
  EXPECT_EQ(exclusive->OpenCount(), 2);
  EXPECT_EQ(Directory->CloseTable(exclusive, false), 0);
  EXPECT_EQ(Directory->CloseTable(exclusive, false), 0);
}

TEST_F(MemoryDirectoryTest, CloseTableOfAnUnregisteredTableFails) {
  Create("T");
  TDataTable* table = Open("T");
  TDataSession other;
  TDataDirectory* otherDirectory = other.OpenDirectory("Memory", Dir.Path().string());
  EXPECT_EQ(otherDirectory->CloseTable(table, false), -static_cast<int>(KURA_OSENOENT));
  EXPECT_EQ(Directory->CloseTable(nullptr, false), -static_cast<int>(KURA_OSENOENT));
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
}

TEST_F(MemoryDirectoryTest, OpeningAMissingTableRaisesAndRegistersNothing) {
  TDataTable* table = nullptr;
  EXPECT_ENGINE_ERROR(KURA_OSENOENT, Directory->OpenTable("Nothing", true, false, false, false, table));
  EXPECT_TRUE(Directory->Tables().empty());
}

TEST_F(MemoryDirectoryTest, FileOperationsOnAnOpenTableAreRefused) {
  Create("T");
  TDataTable* table = Open("T");
  EXPECT_EQ(Directory->RenameTableFiles("T", "U", true), kAccessDenied);
  EXPECT_EQ(Directory->DeleteTableFiles("T", true), kAccessDenied);
  EXPECT_EQ(Directory->CreateTableFiles("T", true, SimpleDefinition()), kAccessDenied);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
  EXPECT_TRUE(Directory->TableExists("T", true));
}

TEST_F(MemoryDirectoryTest, RenameMovesEveryFileAndDeleteRemovesThem) {
  Create("T", SimpleDefinition(true));
  Created.push_back("U");
  ASSERT_TRUE(TFileList::Instance().FileExists(Directory->TableFileName("T", ".BLB"), true));
  EXPECT_EQ(Directory->RenameTableFiles("T", "U.dat", true), 0);
  EXPECT_FALSE(Directory->TableExists("T", true));
  EXPECT_TRUE(Directory->TableExists("U", true));
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    EXPECT_FALSE(TFileList::Instance().FileExists(Directory->TableFileName("T", extension), true)) << extension;
    EXPECT_TRUE(TFileList::Instance().FileExists(Directory->TableFileName("U", extension), true)) << extension;
  }
  TDataTable* table = Open("U");
  ASSERT_NE(table, nullptr);
  EXPECT_NE(table->BlobFile(), nullptr);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);

  EXPECT_EQ(Directory->DeleteTableFiles("U", true), 0);
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    EXPECT_FALSE(TFileList::Instance().FileExists(Directory->TableFileName("U", extension), true)) << extension;
  }
  EXPECT_ENGINE_ERROR(KURA_OSENOENT, Directory->DeleteTableFiles("U", true));
}

TEST_F(MemoryDirectoryTest, AFailedCreateLeavesNoFiles) {
  TTableDefinition definition = SimpleDefinition();
  TIndexDefinition bad;
  bad.Name = "ByNothing";
  bad.Fields = {99};  // no such field
  definition.SecondaryIndexes.push_back(bad);
  EXPECT_NE(EngineErrorCodeOf([&] { Directory->CreateTableFiles("Bad", true, definition); }), 0);
  EXPECT_FALSE(Directory->TableExists("Bad", true));
  EXPECT_FALSE(TFileList::Instance().FileExists(Directory->TableFileName("Bad", ".IDX"), true));
}

TEST_F(MemoryDirectoryTest, CreateWritesTheIndexDefinitions) {
  TTableDefinition definition = SimpleDefinition();
  TIndexDefinition byName;
  byName.Name = "ByName";
  byName.Fields = {2};
  definition.SecondaryIndexes.push_back(byName);
  Create("T", definition);
  TDataTable* table = Open("T");
  EXPECT_FALSE(table->NoPrimaryIndex());
  EXPECT_EQ(table->IndexFile().SecondaryCount(), 1);
  EXPECT_EQ(table->IndexFile().FindIndex("byname"), 1);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);

  TTableDefinition heap = SimpleDefinition();
  heap.PrimaryIndex.reset();
  Create("Heap", heap);
  table = Open("Heap");
  EXPECT_TRUE(table->NoPrimaryIndex());
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
}

TEST_F(MemoryDirectoryTest, CommitWithoutChangesReleasesEveryLockAndEndsTheTransaction) {
  Create("T");
  TDataTable* table = Open("T");
  Directory->StartTransaction();
  EXPECT_TRUE(Directory->InTransaction());
  EXPECT_TRUE(table->InTransaction());
  EXPECT_TRUE(table->HasTransactionLock());
  Directory->Commit(true, false);
  EXPECT_FALSE(Directory->InTransaction());
  EXPECT_FALSE(table->InTransaction());
  EXPECT_FALSE(table->HasTransactionLock());
  EXPECT_FALSE(table->HasWriteLock());
  // Nothing is held: a write lock and a record lock are free again.
  EXPECT_FALSE(table->WriteLock());
  table->WriteUnlock();
  EXPECT_FALSE(table->LockRecord(1));
  table->UnlockRecord(1);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
}

TEST_F(MemoryDirectoryTest, ATableClosedInsideATransactionStaysUntilItEnds) {
  Create("T");
  Directory->StartTransaction();
  TDataTable* table = Open("T");
  EXPECT_TRUE(table->InTransaction()) << "a table opened during a transaction joins it";
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
  ASSERT_EQ(Directory->Tables().size(), 1u);
  EXPECT_TRUE(table->FilesOpen());
  EXPECT_EQ(table->OpenCount(), 0);
  // Held by the transaction only: a shared open joins it again.
  EXPECT_EQ(Open("T"), table);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
  Directory->Commit(true, false);
  EXPECT_TRUE(Directory->Tables().empty());
}

TEST_F(MemoryDirectoryTest, CommitWritesAndRollbackDiscardsTheBufferedChanges) {
  Create("T");
  TDataTable* table = Open("T");
  Directory->StartTransaction();
  const TChangeCounters before = table->ChangeCounters();
  AppendRawRecord(*table);
  table->FlushTable(false);  // inside a transaction: only the counters move
  EXPECT_NE(table->ChangeCounters(), before);
  Directory->Rollback();
  EXPECT_FALSE(Directory->InTransaction());
  EXPECT_EQ(table->DataFile().RecordCount(), 0) << "the header was read again";

  Directory->StartTransaction();
  AppendRawRecord(*table);
  AppendRawRecord(*table);
  table->FlushTable(false);
  Directory->Commit(true, false);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);

  table = Open("T");
  EXPECT_EQ(table->DataFile().RecordCount(), 2);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
}

TEST_F(MemoryDirectoryTest, AnIntervalCommitWritesAndKeepsTheTransaction) {
  Create("T");
  TDataTable* table = Open("T");
  Directory->StartTransaction();
  AppendRawRecord(*table);
  table->LockRecord(1);
  EXPECT_TRUE(table->OSLockedRecords().IsSet(1));
  table->UnlockRecord(1);  // deferred
  EXPECT_TRUE(table->DeferredUnlocks().IsSet(1));
  Directory->Commit(false, false);
  EXPECT_TRUE(Directory->InTransaction());
  EXPECT_TRUE(table->InTransaction());
  EXPECT_TRUE(table->HasTransactionLock());
  EXPECT_FALSE(table->HasWriteLock());
  EXPECT_FALSE(table->OSLockedRecords().IsSet(1)) << "deferred unlocks are done";
  // Written: a rollback now keeps the record.
  Directory->Rollback();
  EXPECT_EQ(table->DataFile().RecordCount(), 1);
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
}

TEST_F(MemoryDirectoryTest, AnExclusiveTableWritesItsBuffersBeforeATransaction) {
  Create("T");
  TDataTable* table = Open("T", true);
  AppendRawRecord(*table);
  Directory->StartTransaction();
  AppendRawRecord(*table);
  Directory->Rollback();
  EXPECT_EQ(table->DataFile().RecordCount(), 1) << "the append before the transaction stays";
  EXPECT_EQ(Directory->CloseTable(table, false), 0);
}

// Two sessions of one process on one disk table meet through the files' locks like two
// processes do.
class DiskDirectoryTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (TDataSession* session : {&A, &B}) {
      session->Sleep = [](int) {};
      session->SetTableLockAttempts(3);
    }
    DirA = A.OpenDirectory("", Dir.Path().string());
    DirB = B.OpenDirectory("", Dir.Path().string());
    ASSERT_EQ(DirA->CreateTableFiles("T", false, SimpleDefinition()), 0);
  }

  testing_support::TTempDir Dir;
  TDataSession A;
  TDataSession B;
  TDataDirectory* DirA = nullptr;
  TDataDirectory* DirB = nullptr;
};

TEST_F(DiskDirectoryTest, AFailedCommitReleasesTheLocksAndDropsTheUnwrittenChanges) {
  TDataTable* writer = nullptr;
  TDataTable* reader = nullptr;
  ASSERT_EQ(DirA->OpenTable("T", false, false, false, false, writer), 0);
  ASSERT_EQ(DirB->OpenTable("T", false, false, false, false, reader), 0);
  DirA->StartTransaction();
  AppendRawRecord(*writer);
  writer->FlushTable(false);
  reader->ReadLock();  // keeps the commit's write lock out
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, DirA->Commit(true, false));
  EXPECT_FALSE(DirA->InTransaction());
  EXPECT_FALSE(writer->InTransaction());
  EXPECT_FALSE(writer->HasTransactionLock());
  EXPECT_FALSE(writer->HasWriteLock());
  EXPECT_EQ(writer->DataFile().RecordCount(), 0) << "the unwritten append was discarded";
  reader->ReadUnlock();
  // Nothing of the failed transaction is left to reach the file.
  EXPECT_FALSE(writer->WriteLock());
  writer->FlushTable(false);
  writer->WriteUnlock();
  EXPECT_FALSE(reader->CheckForChanges());
  EXPECT_EQ(reader->DataFile().RecordCount(), 0);
  EXPECT_EQ(DirA->CloseTable(writer, false), 0);
  EXPECT_EQ(DirB->CloseTable(reader, false), 0);
}

TEST_F(DiskDirectoryTest, AStartThatCannotLockLeavesNoTableInATransaction) {
  TDataTable* first = nullptr;
  TDataTable* other = nullptr;
  TDataTable* blocker = nullptr;
  ASSERT_EQ(DirA->CreateTableFiles("U", false, SimpleDefinition()), 0);
  ASSERT_EQ(DirA->OpenTable("T", false, false, false, false, first), 0);
  ASSERT_EQ(DirA->OpenTable("U", false, false, false, false, other), 0);
  ASSERT_EQ(DirB->OpenTable("U", false, false, false, false, blocker), 0);
  blocker->TransactionLock();  // holds U's table byte
  EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, DirA->StartTransaction());
  EXPECT_FALSE(DirA->InTransaction());
  EXPECT_FALSE(first->InTransaction());
  EXPECT_FALSE(first->HasTransactionLock());
  EXPECT_FALSE(other->InTransaction());
  blocker->TransactionUnlock();
  EXPECT_EQ(DirB->CloseTable(blocker, false), 0);
  EXPECT_EQ(DirA->CloseTable(first, false), 0);
  EXPECT_EQ(DirA->CloseTable(other, false), 0);
}

}  // namespace
}  // namespace kura
