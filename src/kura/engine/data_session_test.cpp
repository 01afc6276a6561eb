#include "kura/engine/data_session.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/engine/data_directory.h"

namespace kura {
namespace {

TEST(DataSessionTest, StartsWithTheDefaultSettings) {
  TDataSession session;
  EXPECT_EQ(session.LockRetryCount(), 15);
  EXPECT_EQ(session.LockWaitTime(), 100);
  EXPECT_EQ(session.LockProtocol(), lpPessimistic);
  EXPECT_FALSE(session.ForceBufferFlush());
  EXPECT_FALSE(session.StrictChangeDetection());
  EXPECT_EQ(session.ProgressSteps(), 20);
  EXPECT_EQ(session.MaxDataBufferSize(), 16384);
  EXPECT_EQ(session.MaxDataBufferCount(), 8192);
  EXPECT_EQ(session.MaxIndexBufferSize(), 16384);
  EXPECT_EQ(session.MaxBlobBufferSize(), 32768);
  EXPECT_EQ(session.MaxBlobBufferCount(), 8192);
  EXPECT_EQ(session.TableLockAttempts(), 32767);
  EXPECT_TRUE(session.Passwords().empty());
  EXPECT_TRUE(session.Directories().empty());

  std::string cwd = std::filesystem::current_path().string();
  if (cwd.back() != '/') cwd += '/';
  EXPECT_EQ(session.DefaultDirectory(), cwd);
  ASSERT_FALSE(session.PrivateDir().empty());
  EXPECT_EQ(session.PrivateDir().back(), '/');
}

TEST(DataSessionTest, MemoryDatabaseWithoutDirectoryHasAnEmptyPathAndIsShared) {
  TDataSession session;
  TDataDirectory* first = session.OpenDirectory("Memory", "");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Path(), "");
  EXPECT_EQ(first->RefCount(), 1);
  TDataDirectory* second = session.OpenDirectory("mEmOrY", "  ");
  EXPECT_EQ(second, first);
  EXPECT_EQ(first->RefCount(), 2);
  EXPECT_EQ(session.Directories().size(), 1u);
}

TEST(DataSessionTest, MemoryDatabaseWithDirectoryTakesThatPath) {
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("MEMORY", " work\\tables ");
  EXPECT_EQ(directory->Path(), "work/tables/");
  EXPECT_EQ(directory->DatabaseName(), "MEMORY");
}

TEST(DataSessionTest, DatabasesWithoutDirectoryShareTheDefaultDirectory) {
  TDataSession session;
  session.SetDefaultDirectory("/srv/kura");
  EXPECT_EQ(session.DefaultDirectory(), "/srv/kura/");
  TDataDirectory* a = session.OpenDirectory("Problems", "");
  TDataDirectory* b = session.OpenDirectory("Other", "");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->Path(), "/srv/kura/");
  EXPECT_EQ(a->DatabaseName(), "Problems");
  EXPECT_EQ(a->RefCount(), 2);
}

TEST(DataSessionTest, PathsCompareWithoutRegardToCaseAndTrailingDelimiter) {
  struct TCase {
    const char* First;
    const char* Second;
    bool Same;
  };
  const std::vector<TCase> cases = {
      {"C:\\data", "c:\\DATA\\", true},
      {"/tmp/Data", " /TMP/data/ ", true},
      {"/tmp/data", "/tmp/data2", false},
      {"/tmp/data", "/tmp/dat", false},
  };
  for (const TCase& c : cases) {
    TDataSession session;
    TDataDirectory* a = session.OpenDirectory("A", c.First);
    TDataDirectory* b = session.OpenDirectory("B", c.Second);
    EXPECT_EQ(a == b, c.Same) << c.First << " / " << c.Second;
    EXPECT_EQ(session.Directories().size(), c.Same ? 1u : 2u);
  }
}

TEST(DataSessionTest, DirectoryPathUsesSlashesAndATrailingDelimiter) {
  TDataSession session;
  EXPECT_EQ(session.OpenDirectory("", "C:\\data")->Path(), "C:/data/");
  EXPECT_EQ(session.OpenDirectory("", " /var/lib/x/ ")->Path(), "/var/lib/x/");
}

TEST(DataSessionTest, CloseDirectoryDestroysItAtRefCountZeroAndIgnoresUnknownOnes) {
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("Memory", "");
  session.OpenDirectory("Memory", "");
  session.CloseDirectory(directory);
  ASSERT_EQ(session.Directories().size(), 1u);
  EXPECT_EQ(directory->RefCount(), 1);
  session.CloseDirectory(directory);
  EXPECT_TRUE(session.Directories().empty());

  TDataSession other;
  TDataDirectory* foreign = other.OpenDirectory("Memory", "");
  session.CloseDirectory(foreign);  // not this session's: ignored
  session.CloseDirectory(nullptr);
  EXPECT_EQ(foreign->RefCount(), 1);
}

TEST(DataSessionTest, PasswordsCompareExactlyAndAreKeptOnce) {
  TDataSession session;
  session.AddPassword("Secret");
  session.AddPassword("Secret");
  session.AddPassword("");
  EXPECT_EQ(session.Passwords().size(), 1u);
  EXPECT_TRUE(session.HasPassword("Secret"));
  EXPECT_FALSE(session.HasPassword("SECRET"));
  EXPECT_FALSE(session.HasPassword("secret"));
  EXPECT_FALSE(session.HasPassword(" Secret"));
  EXPECT_FALSE(session.HasPassword(""));

  session.AddPassword("other");
  session.RemovePassword("SECRET");  // no exact match: nothing removed
  EXPECT_EQ(session.Passwords().size(), 2u);
  session.RemovePassword("Secret");
  EXPECT_FALSE(session.HasPassword("Secret"));
  EXPECT_TRUE(session.HasPassword("other"));
  session.RemoveAllPasswords();
  EXPECT_TRUE(session.Passwords().empty());
}

TEST(DataSessionTest, PrivateDirFallsBackToTheDefaultDirectory) {
  TDataSession session;
  session.SetDefaultDirectory("/home/user/db");
  session.SetPrivateDir("");
  EXPECT_EQ(session.PrivateDir(), "");
  EXPECT_EQ(session.GetPrivateDir(), "/home/user/db/");
  session.SetPrivateDir("  /scratch\\work ");
  EXPECT_EQ(session.PrivateDir(), "/scratch/work/");
  EXPECT_EQ(session.GetPrivateDir(), "/scratch/work/");
}

TEST(DataSessionTest, PausesAndThreadIdGoThroughTheHooks) {
  TDataSession session;
  std::vector<int> pauses;
  session.Sleep = [&pauses](int ms) { pauses.push_back(ms); };
  session.Pause(100);
  session.Pause(3);
  EXPECT_EQ(pauses, (std::vector<int>{100, 3}));

  EXPECT_GT(session.CurrentThreadId(), 0);
  session.ThreadId = [] { return int64_t{424242}; };
  EXPECT_EQ(session.CurrentThreadId(), 424242);
}

}  // namespace
}  // namespace kura
