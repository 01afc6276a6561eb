#include "kura/base/physical_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/base/file_list.h"
#include "kura/base/os.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

namespace fs = std::filesystem;

using testing_support::EngineErrorOf;

void WriteDiskFile(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

std::string ReadDiskFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Outcomes a child process reports through its exit status.
constexpr int kSucceeded = 1;
constexpr int kRefused = 2;          // -11013, or a lock that was not granted
constexpr int kOtherFailure = 3;
constexpr int kChildRaised = 4;

// A second process. The child runs `setup` (its result becomes the exit status), tells
// the parent it is ready, and holds on to whatever it opened until the parent calls
// Finish. It works through a registry of its own: the parent's registry, copied by fork,
// lists objects whose descriptors the child shares with the parent, and a process that
// opens the file itself would never use those.
class TChildProcess {
public:
  explicit TChildProcess(const std::function<int(TFileList&)>& setup) {
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
    FPid = ::fork();
    if (FPid < 0) throw std::runtime_error("fork");
    if (FPid == 0) {
      int status = kChildRaised;
      {
        TFileList list;  // closes everything it opened before the child ends
        try {
          status = setup(list);
        } catch (const std::exception&) {
          status = kChildRaised;
        }
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(release[0], &byte, 1);
      }
      ::_exit(status);
    }
    ::close(ready[1]);
    ::close(release[0]);
    FRelease = release[1];
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);  // the child has done its setup
    ::close(ready[0]);
  }

  // Lets the child end and returns its exit status.
  int Finish() {
    if (FPid <= 0) return FStatus;
    char byte = 1;
    (void)!::write(FRelease, &byte, 1);
    ::close(FRelease);
    int status = 0;
    ::waitpid(FPid, &status, 0);
    FPid = 0;
    FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return FStatus;
  }

  ~TChildProcess() { Finish(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

private:
  pid_t FPid = 0;
  int FRelease = -1;
  int FStatus = -1;
};

int Outcome(int32_t result) {
  if (result >= 0) return kSucceeded;
  return result == -static_cast<int32_t>(KURA_OSEACCES) ? kRefused : kOtherFailure;
}

// Opens `name` in a child's registry; returns the outcome and keeps the file open.
std::function<int(TFileList&)> ChildOpens(const std::string& name, bool exclusive) {
  return [name, exclusive](TFileList& list) {
    bool openedReadOnly = false;
    bool readOnlyAttribute = false;
    TAbstractFile* file = nullptr;
    return Outcome(list.OpenFile(name, false, false, exclusive, openedReadOnly, readOnlyAttribute, file));
  };
}

class PhysicalFile : public ::testing::Test {
protected:
  std::string Name(const std::string& leaf) const { return (FDir / leaf).string(); }
  testing_support::TTempDir FDir;
};

TEST_F(PhysicalFile, ShareModesHoldAcrossProcessesInBothOrders) {
  struct TCase {
    bool FirstExclusive;
    bool SecondExclusive;
    bool SecondOpens;
  };
  const TCase cases[] = {{false, false, true}, {false, true, false}, {true, false, false}, {true, true, false}};
  // A file that can only be read cannot carry write locks; its share modes hold all the same.
  for (const bool readOnly : {false, true}) {
    const std::string name = Name(readOnly ? "frozen.dat" : "shared.dat");
    WriteDiskFile(name, "abc");
    if (readOnly) {
      ASSERT_EQ(::chmod(name.c_str(), 0444), 0);
    }
    for (const TCase& c : cases) {
      SCOPED_TRACE(testing::Message() << (readOnly ? "read only, " : "") << "first exclusive " << c.FirstExclusive
                                      << ", second exclusive " << c.SecondExclusive);
      {
        // This process first, the other second.
        TFileHandler first(name);
        first.Exclusive = c.FirstExclusive;
        first.Open();
        EXPECT_EQ(first.OpenedReadOnly, readOnly);
        TChildProcess child(ChildOpens(name, c.SecondExclusive));
        EXPECT_EQ(child.Finish(), c.SecondOpens ? kSucceeded : kRefused);
      }
      {
        // The other process first, this one second.
        TChildProcess child(ChildOpens(name, c.FirstExclusive));
        TFileHandler second(name);
        second.Exclusive = c.SecondExclusive;
        const std::optional<EKuraEngineError> error = EngineErrorOf([&] { second.Open(); });
        if (c.SecondOpens) {
          EXPECT_FALSE(error.has_value());
        } else {
          ASSERT_TRUE(error.has_value());
          EXPECT_EQ(error->ErrorCode, KURA_OSEACCES);
          EXPECT_EQ(error->ErrorTableName, name);
        }
        second.Close();
        EXPECT_EQ(child.Finish(), kSucceeded);
      }
    }
  }
}

TEST_F(PhysicalFile, RegionLocksHoldAcrossProcessesInBothDirections) {
  const std::string name = Name("locks.dat");
  WriteDiskFile(name, "12345");
  TFileHandler file(name);
  file.Open();
  ASSERT_TRUE(file.LockRange(true, 1, 0xFFFFFFFF));
  ASSERT_TRUE(file.LockRange(true, 65536, 0xFFFEFFFF));

  struct TCase {
    int64_t Length;
    int64_t Offset;
    int Expected;
  };
  const TCase cases[] = {
      {1, 0xFFFFFFFF, kRefused},
      {1, 0xFFFFFFFE, kRefused},
      {200000001, 0xF4143DFD, kRefused},
      {1, 0xFFFEFFFE, kSucceeded},
      {1, int64_t{0x100000000}, kSucceeded},
  };
  for (const TCase& c : cases) {
    TChildProcess child([&](TFileList& list) {
      bool readOnly = false;
      bool attribute = false;
      TAbstractFile* other = nullptr;
      if (list.OpenFile(name, false, false, false, readOnly, attribute, other) < 0) return kOtherFailure;
      return other->LockRegion(c.Length, c.Offset) ? kSucceeded : kRefused;
    });
    EXPECT_EQ(child.Finish(), c.Expected) << c.Length << " at " << std::hex << c.Offset;
  }

  // Released here, the byte is free for the other process.
  ASSERT_TRUE(file.LockRange(false, 1, 0xFFFFFFFF));
  {
    TChildProcess child([&](TFileList& list) {
      bool readOnly = false;
      bool attribute = false;
      TAbstractFile* other = nullptr;
      if (list.OpenFile(name, false, false, false, readOnly, attribute, other) < 0) return kOtherFailure;
      return other->LockRegion(1, 0xFFFFFFFF) ? kSucceeded : kRefused;
    });
    // While the other process holds the byte, this one cannot take it.
    EXPECT_FALSE(file.LockRange(true, 1, 0xFFFFFFFF));
    EXPECT_EQ(child.Finish(), kSucceeded);
  }
  // A lock goes with the process that held it.
  EXPECT_TRUE(file.LockRange(true, 1, 0xFFFFFFFF));
  EXPECT_EQ(file.GetFileSize(), 5);
}

TEST_F(PhysicalFile, FilesOpenInAnotherProcessCannotBeCreatedDeletedOrRenamed) {
  const std::string name = Name("busy.dat");
  WriteDiskFile(name, "keep me");
  {
    TChildProcess child(ChildOpens(name, false));
    TFileHandler file(name);
    EXPECT_ENGINE_ERROR(KURA_OSEACCES, file.Delete());
    EXPECT_ENGINE_ERROR(KURA_OSEACCES, file.Rename(Name("moved.dat")));
    EXPECT_ENGINE_ERROR(KURA_OSEACCES, file.Create());
    EXPECT_FALSE(file.IsOpen);
    EXPECT_EQ(ReadDiskFile(name), "keep me");
    EXPECT_EQ(child.Finish(), kSucceeded);
  }
  TFileHandler file(name);
  file.Rename(Name("moved.dat"));
  EXPECT_FALSE(fs::exists(name));
  file.Delete();
  EXPECT_FALSE(fs::exists(Name("moved.dat")));
}

TEST_F(PhysicalFile, ReadOnlyAttributeOpensReadOnly) {
  const std::string name = Name("frozen.dat");
  WriteDiskFile(name, "frozen");
  ASSERT_EQ(::chmod(name.c_str(), 0444), 0);
  for (const bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "shared");
    TFileHandler file(name);
    file.Exclusive = exclusive;
    file.Open();
    EXPECT_TRUE(file.OpenedReadOnly);
    EXPECT_TRUE(file.ReadOnlyAttribute);
    char text[6];
    EXPECT_EQ(file.ReadBuffer(text, 6), 6);
    EXPECT_EQ(std::string(text, 6), "frozen");
    // Locks are still available to a read-only opener.
    EXPECT_TRUE(file.LockRange(true, 1, 0xFFFFFFFF));
    EXPECT_FALSE(file.LockRange(true, 1, 0xFFFFFFFF));
    for (const int32_t count : {3, 0}) {
      file.Seek(soFromBeginning, 2);
      const std::optional<EKuraEngineError> error = EngineErrorOf([&] { file.WriteBuffer("xyz", count); });
      ASSERT_TRUE(error.has_value()) << count;
      EXPECT_EQ(error->ErrorCode, KURA_WRITEERR);
      EXPECT_EQ(error->ErrorTableName, name);
    }
    // Joining openers report the same flags.
    if (!exclusive) {
      TFileHandler second(name);
      second.Open();
      EXPECT_TRUE(second.OpenedReadOnly);
      EXPECT_TRUE(second.ReadOnlyAttribute);
    }
  }
  EXPECT_EQ(ReadDiskFile(name), "frozen");
  // Creating over a read-only file is refused.
  TFileHandler creator(name);
  const std::optional<EKuraEngineError> error = EngineErrorOf([&] { creator.Create(); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->ErrorCode, KURA_OSEACCES);
  EXPECT_EQ(ReadDiskFile(name), "frozen");
}

TEST_F(PhysicalFile, TemporaryFilesVanishWithTheirLastHandle) {
  const std::string created = Name("sort.tmp");
  {
    TFileHandler file(created);
    file.Temporary = true;
    file.Create();
    file.WriteBuffer("run", 3);
    EXPECT_TRUE(fs::exists(created));
  }
  EXPECT_FALSE(fs::exists(created));

  // An existing file opened as temporary goes when its last opener closes.
  const std::string opened = Name("old.tmp");
  WriteDiskFile(opened, "xyz");
  {
    TFileHandler first(opened);
    first.Temporary = true;
    first.Open();
    TFileHandler second(opened);
    second.Temporary = true;
    second.Open();
    first.Close();
    EXPECT_TRUE(fs::exists(opened));  // one handle left
    char text[3];
    second.ReadBuffer(text, 3);
    EXPECT_EQ(std::string(text, 3), "xyz");
  }
  EXPECT_FALSE(fs::exists(opened));

  // An ordinary file stays.
  const std::string plain = Name("plain.dat");
  {
    TFileHandler file(plain);
    file.Create();
  }
  EXPECT_TRUE(fs::exists(plain));
}

TEST_F(PhysicalFile, NamesMatchIgnoringCase) {
  fs::create_directory(FDir / "DBtavimo");
  WriteDiskFile(FDir / "DBtavimo" / "temazu.DAT", "theme");

  struct TCase {
    const char* Path;
    bool Exists;
  };
  const TCase cases[] = {
      {"DBtavimo/temazu.DAT", true}, {"DBTAVIMO/TEMAZU.DAT", true}, {"dbtavimo/Temazu.dat", true},
      {"DBtavimo/tejun.DAT", false},  {"DBtavimo", false},           {"nowhere/temazu.DAT", false},
  };
  for (const TCase& c : cases) {
    TFileHandler file(Name(c.Path));
    EXPECT_EQ(file.FileExists(), c.Exists) << c.Path;
    if (!c.Exists) continue;
    file.Open();
    char text[5];
    file.ReadBuffer(text, 5);
    EXPECT_EQ(std::string(text, 5), "theme") << c.Path;
  }

  // Creating reuses an entry that differs only in case, in a directory found in any case;
  // a new file gets its name as written.
  {
    TFileHandler file(Name("dbtavimo/TEMAZU.dat"));
    file.Create();
    file.WriteBuffer("new", 3);
    TFileHandler fresh(Name("DBTAVIMO/Tejun.Dat"));
    fresh.Create();
  }
  EXPECT_EQ(ReadDiskFile(FDir / "DBtavimo" / "temazu.DAT"), "new");
  EXPECT_TRUE(fs::exists(FDir / "DBtavimo" / "Tejun.Dat"));
  EXPECT_EQ(std::distance(fs::directory_iterator(FDir / "DBtavimo"), fs::directory_iterator()), 2);

  // Rename and delete find their file in any case.
  TFileHandler file(Name("DBTAVIMO/TEJUN.DAT"));
  file.Rename(Name("dbtavimo/Moves.DAT"));
  EXPECT_TRUE(fs::exists(FDir / "DBtavimo" / "Moves.DAT"));
  file.Delete();
  EXPECT_FALSE(fs::exists(FDir / "DBtavimo" / "Moves.DAT"));
}

TEST_F(PhysicalFile, RegionsCoveringTheShareModeByteAreRefused) {
  const std::string name = Name("share.dat");
  WriteDiskFile(name, "s");
  TFileHandler file(name);
  file.Open();
  EXPECT_FALSE(file.LockRange(true, 1, kShareLockOffset));
  EXPECT_FALSE(file.LockRange(true, 1, kShareLockOffset + 1));
  EXPECT_TRUE(file.LockRange(true, 1, kShareLockOffset + 2));
  EXPECT_FALSE(file.LockRange(true, 16, kShareLockOffset - 8));
  EXPECT_TRUE(file.LockRange(true, 8, kShareLockOffset - 8));
  EXPECT_TRUE(file.LockRange(true, 1, INT64_MAX - 1));
  EXPECT_FALSE(file.LockRange(true, 2, INT64_MAX));  // does not fit
  // The share mode survived: an exclusive opener elsewhere is still refused.
  TChildProcess child(ChildOpens(name, true));
  EXPECT_EQ(child.Finish(), kRefused);
}

// --- Failures injected through the system-call table -------------------------------------

int gInjectedError = 0;

int FailingOpen(const char*, int, mode_t) {
  errno = gInjectedError;
  return -1;
}
int FailingOpenForWriting(const char* path, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY) {
    errno = gInjectedError;
    return -1;
  }
  return OSRealApi().Open(path, flags, mode);
}
ssize_t FailingPRead(int, void*, size_t, off_t) {
  errno = gInjectedError;
  return -1;
}
ssize_t FailingPWrite(int, const void*, size_t, off_t) {
  errno = gInjectedError;
  return -1;
}
// Writes half of what is asked, then nothing: a device that fills up.
ssize_t HalfPWrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (count < 2) return 0;
  return OSRealApi().PWrite(fd, buffer, count / 2, offset);
}
int FailingFTruncate(int, off_t) {
  errno = gInjectedError;
  return -1;
}
int FailingFSync(int) {
  errno = gInjectedError;
  return -1;
}
int FailingUnlink(const char*) {
  errno = gInjectedError;
  return -1;
}
int FailingRename(const char*, const char*) {
  errno = gInjectedError;
  return -1;
}
int ThrowingFStat(int, struct stat*) { throw std::bad_alloc(); }
int ThrowingFTruncate(int, off_t) { throw std::bad_alloc(); }

enum class TAction { Open, Read, Write, Truncate, Flush, Delete, Rename };

TEST_F(PhysicalFile, InjectedSystemFailuresBecomeEngineErrors) {
  struct TCase {
    const char* Label;
    void (*Inject)(TOSApi& api);
    int Error;
    TAction Action;
    TErrorCode Code;
    int32_t OSCode;
  };
  const TCase cases[] = {
      {"open EACCES", [](TOSApi& api) { api.Open = FailingOpen; }, EACCES, TAction::Open, KURA_OSEACCES, EACCES},
      {"open EIO", [](TOSApi& api) { api.Open = FailingOpen; }, EIO, TAction::Open, KURA_OSUNKNOWN, EIO},
      {"open EMFILE", [](TOSApi& api) { api.Open = FailingOpen; }, EMFILE, TAction::Open, KURA_OSEMFILE, EMFILE},
      {"open ENXIO", [](TOSApi& api) { api.Open = FailingOpen; }, ENXIO, TAction::Open, KURA_OSENODEV, ENXIO},
      {"open ENOMEM", [](TOSApi& api) { api.Open = FailingOpen; }, ENOMEM, TAction::Open, KURA_OSENOMEM, ENOMEM},
      {"pread EIO", [](TOSApi& api) { api.PRead = FailingPRead; }, EIO, TAction::Read, KURA_READERR, EIO},
      {"pwrite EIO", [](TOSApi& api) { api.PWrite = FailingPWrite; }, EIO, TAction::Write, KURA_WRITEERR, EIO},
      {"pwrite ENOSPC", [](TOSApi& api) { api.PWrite = FailingPWrite; }, ENOSPC, TAction::Write, KURA_WRITEERR,
       ENOSPC},
      {"short pwrite", [](TOSApi& api) { api.PWrite = HalfPWrite; }, 0, TAction::Write, KURA_WRITEERR, ENOSPC},
      {"ftruncate EIO", [](TOSApi& api) { api.FTruncate = FailingFTruncate; }, EIO, TAction::Truncate,
       KURA_WRITEERR, EIO},
      {"fsync EIO", [](TOSApi& api) { api.FSync = FailingFSync; }, EIO, TAction::Flush, KURA_WRITEERR, EIO},
      {"unlink EPERM", [](TOSApi& api) { api.Unlink = FailingUnlink; }, EPERM, TAction::Delete, KURA_OSEACCES, EPERM},
      {"unlink EBUSY", [](TOSApi& api) { api.Unlink = FailingUnlink; }, EBUSY, TAction::Delete, KURA_OSUNKNOWN,
       EBUSY},
      {"rename EXDEV", [](TOSApi& api) { api.RenameNoReplace = FailingRename; }, EXDEV, TAction::Rename,
       KURA_OSENOTSAM, EXDEV},
      {"rename EROFS", [](TOSApi& api) { api.RenameNoReplace = FailingRename; }, EROFS, TAction::Rename,
       KURA_OSEACCES, EROFS},
  };
  const std::string name = Name("faulty.dat");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    WriteDiskFile(name, "0123456789");
    TFileHandler file(name);
    if (c.Action != TAction::Open && c.Action != TAction::Delete && c.Action != TAction::Rename) file.Open();
    gInjectedError = c.Error;
    TOSApi api = OSRealApi();
    c.Inject(api);
    std::optional<EKuraEngineError> error;
    {
      TOSApiOverride injected(api);
      error = EngineErrorOf([&] {
        char buffer[10] = {};
        switch (c.Action) {
          case TAction::Open: file.Open(); break;
          case TAction::Read: file.ReadBuffer(buffer, 4); break;
          case TAction::Write: file.WriteBuffer("abcdef", 6); break;
          case TAction::Truncate: file.Seek(soFromBeginning, 3); file.WriteBuffer(nullptr, 0); break;
          case TAction::Flush: file.Flush(); break;
          case TAction::Delete: file.Delete(); break;
          case TAction::Rename: file.Rename(Name("elsewhere.dat")); break;
        }
      });
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->ErrorCode, c.Code);
    EXPECT_EQ(error->OSErrorCode, c.OSCode);
    EXPECT_EQ(error->ErrorTableName, name);
    if (c.Code == KURA_OSUNKNOWN) {
      EXPECT_NE(std::string(error->what()).find("An unknown operating system error " + std::to_string(c.OSCode) +
                                                " occurred with the table '" + name + "'"),
                std::string::npos)
          << error->what();
    }
    // Nothing was left half open.
    const bool openedBefore = c.Action != TAction::Open && c.Action != TAction::Delete && c.Action != TAction::Rename;
    EXPECT_EQ(file.IsOpen, openedBefore);
    file.Close();
    EXPECT_TRUE(fs::exists(name));
    EXPECT_EQ(TFileList::Instance().FileExists(name, false), true);
    TFileHandler check(name);
    check.Exclusive = true;
    check.Open();  // nobody holds it any more
  }
}

TEST_F(PhysicalFile, ReadWriteRefusalFallsBackToReadOnly) {
  const std::string name = Name("ro-medium.dat");
  WriteDiskFile(name, "data");
  gInjectedError = EROFS;
  TOSApi api = OSRealApi();
  api.Open = FailingOpenForWriting;
  TOSApiOverride injected(api);
  TFileHandler file(name);
  file.Open();
  EXPECT_TRUE(file.OpenedReadOnly);
  EXPECT_FALSE(file.ReadOnlyAttribute);
  char text[4];
  EXPECT_EQ(file.ReadBuffer(text, 4), 4);
}

int OpenDescriptorCount() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(PhysicalFile, AnExceptionInsideTheRegistryLeavesItUnchanged) {
  const std::string name = Name("throws.dat");
  WriteDiskFile(name, "x");
  struct TCase {
    const char* Label;
    void (*Inject)(TOSApi& api);
    bool Create;
  };
  const TCase cases[] = {
      {"open", [](TOSApi& api) { api.FStat = ThrowingFStat; }, false},
      {"create", [](TOSApi& api) { api.FTruncate = ThrowingFTruncate; }, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    const int32_t listed = TFileList::Instance().Count();
    const int descriptors = OpenDescriptorCount();
    TOSApi api = OSRealApi();
    c.Inject(api);
    {
      TOSApiOverride injected(api);
      TFileHandler file(name);
      EXPECT_THROW(c.Create ? file.Create() : file.Open(), std::bad_alloc);
      EXPECT_FALSE(file.IsOpen);
    }
    EXPECT_EQ(TFileList::Instance().Count(), listed);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_EQ(ReadDiskFile(name), "x");
    TFileHandler file(name);
    file.Exclusive = true;
    file.Open();  // nothing holds the file
    EXPECT_EQ(TFileList::Instance().Count(), listed + 1);
  }
}

}  // namespace
}  // namespace kura
