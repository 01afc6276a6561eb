#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include <gtest/gtest.h>

#include "kura/storage/data_file.h"
#include "testing/definition_builders.h"
#include "testing/pipe.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::Field;

class DataFileLockTest : public ::testing::Test {
protected:
  void SetUp() override {
    TDataFile file(FileName());
    file.CreateDataFile(0, 0, {Field("V", TFieldType::Integer)}, 0, "", "", false, 0, 0);
  }
  std::string FileName() const { return (Dir / "locks.DAT").string(); }

  testing_support::TTempDir Dir;
};

using testing_support::TPipe;

TEST_F(DataFileLockTest, RecordAndTableLocksExcludeAnotherProcess) {
  TPipe toChild;
  TPipe toParent;
  ASSERT_TRUE(toChild.Ok && toParent.Ok);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child opens the table only after the parent holds its locks, through its own
    // registry; results go back as one byte each.
    int status = 0;
    try {
      if (toChild.Receive() != 1) _exit(2);
      TDataFile file(FileName());
      file.OpenDataFile();
      int sleeps = 0;
      file.SetLockRetry({3, [&sleeps] { ++sleeps; }});
      toParent.Send(file.LockRecord(5) ? 1 : 0);      // held by the parent
      toParent.Send(file.LockRecord(6) ? 1 : 0);      // free
      toParent.Send(file.LockTableWrite() ? 1 : 0);   // held by the parent
      toParent.Send(static_cast<uint8_t>(sleeps));
      if (toChild.Receive() != 2) _exit(3);
      toParent.Send(file.LockRecord(5) ? 1 : 0);      // released by the parent
      toParent.Send(file.LockTableWrite() ? 1 : 0);
      file.UnlockAllRecords();
      file.UnlockTableWrite();
      file.CloseDataFile();
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }

  TDataFile file(FileName());
  file.OpenDataFile();
  ASSERT_TRUE(file.LockRecord(5));
  ASSERT_TRUE(file.LockTableWrite());
  ASSERT_TRUE(toChild.Send(1));
  EXPECT_EQ(toParent.Receive(), 0) << "record 5 locked twice";
  EXPECT_EQ(toParent.Receive(), 1) << "record 6 refused";
  EXPECT_EQ(toParent.Receive(), 0) << "table write lock taken twice";
  EXPECT_EQ(toParent.Receive(), 2) << "sleeps between three attempts";
  EXPECT_FALSE(file.LockRecord(6));  // now held by the child
  file.UnlockAllRecords();
  EXPECT_TRUE(file.UnlockTableWrite());
  ASSERT_TRUE(toChild.Send(2));
  EXPECT_EQ(toParent.Receive(), 1) << "record 5 still locked";
  EXPECT_EQ(toParent.Receive(), 1) << "table write lock still held";
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The child has released everything.
  EXPECT_TRUE(file.LockRecord(5));
  EXPECT_TRUE(file.LockRecord(6));
  EXPECT_TRUE(file.LockTableWrite());
}

TEST_F(DataFileLockTest, LocksConflictInsideTheProcessEvenThroughTheSameFile) {
  TDataFile file(FileName());
  TDataFile other(FileName());
  file.OpenDataFile();
  other.OpenDataFile();
  EXPECT_TRUE(file.LockRecord(3));
  EXPECT_FALSE(file.LockRecord(3));
  EXPECT_FALSE(other.LockRecord(3));
  EXPECT_TRUE(file.LockRecord(4));
  EXPECT_TRUE(file.LockRecord(200000000));
  EXPECT_FALSE(file.UnlockRecord(9));  // never locked
  file.UnlockAllRecords();
  for (int32_t recNo : {3, 4, 200000000}) {
    EXPECT_TRUE(other.LockRecord(recNo)) << recNo;
    EXPECT_TRUE(other.UnlockRecord(recNo)) << recNo;
  }

  int sleeps = 0;
  other.SetLockRetry({4, [&sleeps] { ++sleeps; }});
  EXPECT_TRUE(file.LockTableWrite());
  EXPECT_FALSE(other.LockTableWrite());
  EXPECT_EQ(sleeps, 3);
  EXPECT_TRUE(file.UnlockTableWrite());
  EXPECT_TRUE(other.LockTableWrite());
  EXPECT_EQ(sleeps, 3);  // the first attempt succeeded
  EXPECT_TRUE(other.UnlockTableWrite());
  EXPECT_FALSE(other.UnlockTableWrite());
}

}  // namespace
}  // namespace kura
