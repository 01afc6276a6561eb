#include "kura/base/os.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "kura/base/engine_error.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

struct TErrnoCase {
  int Error;
  TErrorCode Code;
};

TEST(OSLayer, MapsErrnoToEngineCodes) {
  const TErrnoCase cases[] = {
      {ENOENT, KURA_OSENOENT},  {ENOTDIR, KURA_OSENOENT}, {EMFILE, KURA_OSEMFILE},  {ENFILE, KURA_OSEMFILE},
      {EACCES, KURA_OSEACCES},  {EPERM, KURA_OSEACCES},   {EROFS, KURA_OSEACCES},   {EAGAIN, KURA_OSEACCES},
      {EBADF, KURA_OSEBADF},    {ENOMEM, KURA_OSENOMEM},  {ENODEV, KURA_OSENODEV},  {ENXIO, KURA_OSENODEV},
      {EXDEV, KURA_OSENOTSAM},  {EIO, KURA_OSUNKNOWN},    {ENOSPC, KURA_OSUNKNOWN}, {EEXIST, KURA_OSUNKNOWN},
  };
  for (const TErrnoCase& c : cases) EXPECT_EQ(OSMapError(c.Error), c.Code) << "errno " << c.Error;
}

namespace fs = std::filesystem;

void WriteDiskFile(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

TEST(OSLayer, ResolvesMissingComponentsIgnoringCase) {
  testing_support::TTempDir dir;
  fs::create_directories(dir / "DBtavimo" / "Sub");
  WriteDiskFile(dir / "DBtavimo" / "temazu.DAT", "t");
  WriteDiskFile(dir / "DBtavimo" / "Sub" / "x.idx", "i");
  const std::string base = dir.Path().string() + "/";

  struct TCase {
    const char* Asked;
    const char* Resolved;
  };
  const TCase cases[] = {
      {"DBtavimo/temazu.DAT", "DBtavimo/temazu.DAT"},
      {"DBTAVIMO/TEMAZU.DAT", "DBtavimo/temazu.DAT"},
      {"dbtavimo/sub/X.IDX", "DBtavimo/Sub/x.idx"},
      {"dbtavimo/./SUB/../Temazu.dat", "DBtavimo/./Sub/../temazu.DAT"},
      {"DBTAVIMO/NEW.DAT", "DBtavimo/NEW.DAT"},            // a new name keeps its spelling
      {"nowhere/TEMAZU.DAT", "nowhere/TEMAZU.DAT"},        // nothing below a missing part
      {"dbtavimo//sub/x.idx", "DBtavimo/Sub/x.idx"},
  };
  for (const TCase& c : cases) EXPECT_EQ(OSResolvePath(base + c.Asked), base + c.Resolved) << c.Asked;
  EXPECT_EQ(OSResolvePath(""), "");

  TOSFileInfo info;
  EXPECT_EQ(OSGetFileInfo(base + "DBTAVIMO", info), 0);
  EXPECT_TRUE(info.IsDirectory);
  EXPECT_EQ(OSGetFileInfo(base + "DBTAVIMO/TEMAZU.dat", info), 0);
  EXPECT_TRUE(info.Exists);
  EXPECT_FALSE(info.IsDirectory);
  EXPECT_FALSE(info.ReadOnly);
  ASSERT_EQ(::chmod((dir / "DBtavimo" / "temazu.DAT").c_str(), 0444), 0);
  EXPECT_EQ(OSGetFileInfo(base + "DBTAVIMO/TEMAZU.dat", info), 0);
  EXPECT_TRUE(info.ReadOnly);
  EXPECT_EQ(OSGetFileInfo(base + "DBTAVIMO/none", info), -static_cast<int32_t>(KURA_OSENOENT));
  EXPECT_EQ(OSLastError(), ENOENT);
  EXPECT_FALSE(info.Exists);
}

TEST(OSLayer, ShareModesBetweenTwoOpensOfOneFile) {
  testing_support::TTempDir dir;
  const std::string name = (dir / "share.dat").string();
  WriteDiskFile(name, "abcde");
  struct TCase {
    bool FirstReadWrite;
    bool FirstExclusive;
    bool SecondReadWrite;
    bool SecondExclusive;
    bool SecondOpens;
  };
  const TCase cases[] = {
      {true, false, true, false, true},   {true, false, true, true, false},  {true, true, true, false, false},
      {true, true, false, false, false},  {false, false, true, true, false}, {false, true, true, false, false},
      {false, true, false, true, false},  {false, false, false, false, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.FirstReadWrite << c.FirstExclusive << c.SecondReadWrite
                                    << c.SecondExclusive);
    int first = -1;
    int second = -1;
    std::string path;
    ASSERT_EQ(OSOpenFile(name, c.FirstReadWrite, c.FirstExclusive, first, path), 0);
    const int32_t code = OSOpenFile(name, c.SecondReadWrite, c.SecondExclusive, second, path);
    EXPECT_EQ(code, c.SecondOpens ? 0 : -static_cast<int32_t>(KURA_OSEACCES));
    EXPECT_EQ(second >= 0, c.SecondOpens);
    // Nobody may delete or move a file somebody holds open.
    EXPECT_EQ(OSDeleteFile(name), -static_cast<int32_t>(KURA_OSEACCES));
    EXPECT_EQ(OSMoveFile(name, (dir / "moved.dat").string()), -static_cast<int32_t>(KURA_OSEACCES));
    OSCloseFile(second);
    OSCloseFile(first);
  }
  int fd = -1;
  std::string path;
  EXPECT_EQ(OSCreateFile(name, fd, path), 0);
  int other = -1;
  EXPECT_EQ(OSCreateFile(name, other, path), -static_cast<int32_t>(KURA_OSEACCES));
  EXPECT_EQ(OSOpenFile(name, false, false, other, path), -static_cast<int32_t>(KURA_OSEACCES));
  OSCloseFile(fd);
}

TEST(OSLayer, LocksFarBeyondTheEndLeaveTheFileAlone) {
  testing_support::TTempDir dir;
  const std::string name = (dir / "tiny.dat").string();
  WriteDiskFile(name, "12345");
  int first = -1;
  int second = -1;
  std::string path;
  ASSERT_EQ(OSOpenFile(name, true, false, first, path), 0);
  ASSERT_EQ(OSOpenFile(name, true, false, second, path), 0);
  struct TCase {
    int Fd;
    bool Lock;
    int64_t Offset;
    int64_t Length;
    bool Expected;
  };
  const TCase cases[] = {
      {first, true, 0xFFFFFFFE, 1, true},
      {second, true, 0xFFFFFFFE, 1, false},            // another open file description
      {second, true, 0xFFFFFFFF, 1, true},
      {first, true, int64_t{1} << 61, 1000, true},
      {second, true, (int64_t{1} << 61) + 999, 1, false},
      {first, false, 0xFFFFFFFE, 1, true},
      {second, true, 0xFFFFFFFE, 1, true},
      {first, true, 0, 0, false},                      // no bytes
      {first, true, INT64_MAX, 2, false},              // does not fit
  };
  for (const TCase& c : cases)
    EXPECT_EQ(OSLockRange(c.Fd, c.Lock, true, c.Offset, c.Length), c.Expected) << std::hex << c.Offset;
  EXPECT_EQ(OSGetSize(first), 5);
  OSCloseFile(second);
  OSCloseFile(first);
}

TEST(OSLayer, MovesNeverReplaceAnExistingFile) {
  testing_support::TTempDir dir;
  WriteDiskFile(dir / "a.dat", "a");
  WriteDiskFile(dir / "b.dat", "b");
  const std::string a = (dir / "a.dat").string();
  const std::string b = (dir / "b.dat").string();
  EXPECT_EQ(OSMoveFile(a, b), -static_cast<int32_t>(KURA_OSUNKNOWN));
  EXPECT_EQ(OSLastError(), EEXIST);
  // Names differing only in case are one name.
  EXPECT_EQ(OSMoveFile(a, (dir / "B.DAT").string()), -static_cast<int32_t>(KURA_OSUNKNOWN));
  EXPECT_EQ(fs::exists(dir / "B.DAT"), false);
  // A change of case only.
  EXPECT_EQ(OSMoveFile((dir / "b.DAT").string(), (dir / "B.dat").string()), 0);
  EXPECT_TRUE(fs::exists(dir / "B.dat"));
  EXPECT_FALSE(fs::exists(dir / "b.dat"));
  EXPECT_EQ(OSMoveFile(b, (dir / "c.dat").string()), 0);  // found in any case
  EXPECT_TRUE(fs::exists(dir / "c.dat"));
  EXPECT_EQ(OSMoveFile((dir / "missing").string(), a), -static_cast<int32_t>(KURA_OSENOENT));
}

}  // namespace
}  // namespace kura
