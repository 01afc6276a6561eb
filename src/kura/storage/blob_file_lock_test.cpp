#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include <gtest/gtest.h>

#include "kura/storage/blob_file.h"
#include "testing/pipe.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

class BlobFileLockTest : public ::testing::Test {
protected:
  void SetUp() override {
    TBlobFile file(FileName());
    file.CreateBlobFile(512, false);
  }
  std::string FileName() const { return (Dir / "locks.BLB").string(); }

  testing_support::TTempDir Dir;
};

using testing_support::TPipe;

TEST_F(BlobFileLockTest, SharedAndExclusiveRegionsExcludeAnotherProcess) {
  TPipe toChild;
  TPipe toParent;
  ASSERT_TRUE(toChild.Ok && toParent.Ok);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    try {
      TBlobFile file(FileName());
      file.OpenBlobFile(512, false);
      int sleeps = 0;
      file.SetLockRetry({3, [&sleeps] { ++sleeps; }});
      if (toChild.Receive() != 1) _exit(2);
      // The parent holds a shared byte: readers share, a writer waits.
      int32_t token = 0;
      toParent.Send(file.LockShared(token) ? 1 : 0);
      toParent.Send(file.LockExclusive() ? 1 : 0);
      toParent.Send(static_cast<uint8_t>(sleeps));
      toParent.Send(file.UnlockShared(token) ? 1 : 0);
      if (toChild.Receive() != 2) _exit(3);
      // The parent released its byte: the writer gets in.
      toParent.Send(file.LockExclusive() ? 1 : 0);
      if (toChild.Receive() != 3) _exit(4);
      toParent.Send(file.UnlockExclusive() ? 1 : 0);
      file.CloseBlobFile();
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }

  TBlobFile file(FileName());
  file.OpenBlobFile(512, false);
  int32_t token = 0;
  ASSERT_TRUE(file.LockShared(token));
  EXPECT_GE(token, 1);
  EXPECT_LE(token, 65535);
  ASSERT_TRUE(toChild.Send(1));
  EXPECT_EQ(toParent.Receive(), 1) << "a second reader was refused";
  EXPECT_EQ(toParent.Receive(), 0) << "exclusive region taken while a reader holds a byte";
  EXPECT_EQ(toParent.Receive(), 2) << "sleeps between three attempts";
  EXPECT_EQ(toParent.Receive(), 1) << "the child's shared byte was not released";
  EXPECT_TRUE(file.UnlockShared(token));
  ASSERT_TRUE(toChild.Send(2));
  EXPECT_EQ(toParent.Receive(), 1) << "exclusive region refused with no reader";
  // Now the child is the writer: no reader and no second writer here.
  file.SetLockRetry({2, [] {}});
  int32_t refused = 0;
  EXPECT_FALSE(file.LockShared(refused));
  EXPECT_FALSE(file.LockExclusive());
  ASSERT_TRUE(toChild.Send(3));
  EXPECT_EQ(toParent.Receive(), 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(file.LockExclusive());
  EXPECT_TRUE(file.UnlockExclusive());
}

TEST_F(BlobFileLockTest, RegionsConflictInsideTheProcess) {
  TBlobFile file(FileName());
  TBlobFile other(FileName());
  file.OpenBlobFile(512, false);
  other.OpenBlobFile(512, false);
  int sleeps = 0;
  for (TBlobFile* f : {&file, &other}) {
    f->SetLockRetry({4, [&sleeps] { ++sleeps; }});
  }
  int32_t first = 0;
  int32_t second = 0;
  ASSERT_TRUE(file.LockShared(first));
  ASSERT_TRUE(other.LockShared(second));  // a new byte is drawn when one is taken
  EXPECT_NE(first, second);
  EXPECT_FALSE(other.LockExclusive());
  EXPECT_EQ(sleeps, 3);
  EXPECT_TRUE(file.UnlockShared(first));
  EXPECT_FALSE(file.UnlockShared(first));  // no longer held
  EXPECT_FALSE(file.LockExclusive());
  EXPECT_TRUE(other.UnlockShared(second));
  EXPECT_TRUE(file.LockExclusive());
  EXPECT_FALSE(file.LockExclusive());  // even the holder cannot take it twice
  int32_t token = 0;
  EXPECT_FALSE(other.LockShared(token));
  EXPECT_EQ(token, 0);
  EXPECT_TRUE(file.UnlockExclusive());
  EXPECT_FALSE(file.UnlockExclusive());
  EXPECT_FALSE(file.UnlockShared(0));
}

TEST_F(BlobFileLockTest, TheRegionsAreTheDocumentedBytes) {
  TBlobFile file(FileName());
  file.OpenBlobFile(512, false);
  TFileHandler raw(FileName());
  raw.Open();
  int32_t token = 0;
  ASSERT_TRUE(file.LockShared(token));
  const int64_t shared = 0xFFFFFFFF - static_cast<int64_t>(token);
  EXPECT_FALSE(raw.LockRange(true, 1, shared));
  EXPECT_TRUE(file.UnlockShared(token));
  EXPECT_TRUE(raw.LockRange(true, 1, shared));
  EXPECT_TRUE(raw.LockRange(false, 1, shared));

  ASSERT_TRUE(file.LockExclusive());
  EXPECT_FALSE(raw.LockRange(true, 1, 0xFFFEFFFF));  // first byte of the region
  EXPECT_FALSE(raw.LockRange(true, 1, 0xFFFFFFFE));  // last byte
  EXPECT_TRUE(raw.LockRange(true, 1, 0xFFFEFFFE));   // just before
  EXPECT_TRUE(raw.LockRange(true, 1, 0xFFFFFFFF));   // just after
  EXPECT_TRUE(file.UnlockExclusive());
}

}  // namespace
}  // namespace kura
