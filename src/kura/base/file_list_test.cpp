#include "kura/base/file_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kura/base/engine_error.h"
#include "kura/base/os.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

constexpr int32_t kNoEntry = -static_cast<int32_t>(KURA_OSENOENT);
constexpr int32_t kAccessDenied = -static_cast<int32_t>(KURA_OSEACCES);

// Works on a registry of its own, so that nothing here depends on other tests.
class FileList : public ::testing::Test {
protected:
  int32_t Open(const std::string& name, bool inMemory, bool exclusive, TAbstractFile*& file) {
    bool openedReadOnly = false;
    bool readOnlyAttribute = false;
    return FList.OpenFile(name, inMemory, false, exclusive, openedReadOnly, readOnlyAttribute, file);
  }

  testing_support::TTempDir FDir;
  TFileList FList;
};

TEST_F(FileList, UnlistedMemoryFilesDoNotExist) {
  TAbstractFile* file = nullptr;
  EXPECT_FALSE(FList.FileExists("mem:none", true));
  EXPECT_EQ(Open("mem:none", true, false, file), kNoEntry);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(FList.DeleteFile("mem:none", true), kNoEntry);
  EXPECT_EQ(FList.RenameFile("mem:none", true, "mem:other"), kNoEntry);
  EXPECT_EQ(FList.Count(), 0);
}

TEST_F(FileList, MemoryFilesStayListedWithTheirContents) {
  TAbstractFile* file = nullptr;
  const int32_t created = FList.CreateFile("mem:Kept", true, false, file);
  ASSERT_GT(created, 0);
  EXPECT_TRUE(file->Exclusive);
  ASSERT_EQ(file->Write(created, "contents", 8), 8);
  EXPECT_EQ(FList.CloseFile(file, true, created), 0);
  EXPECT_EQ(FList.Count(), 1);
  EXPECT_TRUE(FList.FileExists("  MEM:kept ", true));
  EXPECT_FALSE(FList.FileExists("mem:kept", false));  // the kinds are apart

  // Reopened with the new opener's mode; the names match trimmed and ignoring case.
  TAbstractFile* again = nullptr;
  const int32_t handle = Open(" MEM:KEPT", true, false, again);
  EXPECT_EQ(again, file);
  EXPECT_GT(handle, created);  // numbers only grow
  EXPECT_FALSE(again->Exclusive);
  char text[8];
  EXPECT_EQ(again->Read(handle, text, 8), 8);
  EXPECT_EQ(std::string(text, 8), "contents");

  TAbstractFile* second = nullptr;
  EXPECT_GT(Open("mem:kept", true, false, second), handle);
  EXPECT_EQ(FList.DeleteFile("mem:kept", true), kAccessDenied);
  EXPECT_EQ(FList.RenameFile("mem:kept", true, "mem:new"), kAccessDenied);
  EXPECT_EQ(FList.CreateFile("mem:kept", true, false, second), kAccessDenied);

  // Closing a handle twice, or through another object, is refused.
  EXPECT_EQ(FList.CloseFile(file, true, handle), 0);
  EXPECT_EQ(FList.CloseFile(file, true, handle), kNoEntry);
  TFileList other;
  EXPECT_EQ(other.CloseFile(file, true, handle + 1), kNoEntry);
  EXPECT_EQ(FList.CloseFile(file, true, handle + 1), 0);

  // A rename never lets two listed objects answer to one name.
  TAbstractFile* rival = nullptr;
  const int32_t rivalHandle = FList.CreateFile("mem:rival", true, false, rival);
  ASSERT_EQ(FList.CloseFile(rival, true, rivalHandle), 0);
  EXPECT_EQ(FList.RenameFile("mem:kept", true, "MEM:RIVAL"), -static_cast<int32_t>(KURA_OSUNKNOWN));
  EXPECT_EQ(OSLastError(), EEXIST);
  EXPECT_EQ(FList.RenameFile("mem:kept", true, "mem:renamed"), 0);
  EXPECT_FALSE(FList.FileExists("mem:kept", true));
  EXPECT_TRUE(FList.FileExists("mem:renamed", true));

  // Creating a kept file again empties it.
  const int32_t recreated = FList.CreateFile("mem:renamed", true, false, file);
  EXPECT_EQ(file->GetSize(), 0);
  EXPECT_EQ(FList.CloseFile(file, true, recreated), 0);

  EXPECT_EQ(FList.DeleteFile("mem:renamed", true), 0);
  EXPECT_EQ(FList.DeleteFile("mem:rival", true), 0);
  EXPECT_EQ(FList.Count(), 0);
}

TEST_F(FileList, PhysicalFilesLeaveTheListWithTheirLastHandle) {
  const std::string name = (FDir / "table.dat").string();
  TAbstractFile* file = nullptr;
  const int32_t created = FList.CreateFile(name, false, false, file);
  ASSERT_GT(created, 0);
  EXPECT_EQ(FList.CloseFile(file, false, created), 0);
  EXPECT_EQ(FList.Count(), 0);
  EXPECT_TRUE(FList.FileExists(name, false));
  EXPECT_FALSE(FList.FileExists(FDir.Path().string(), false));  // a directory is no file

  TAbstractFile* first = nullptr;
  TAbstractFile* second = nullptr;
  const int32_t a = Open(name, false, false, first);
  const int32_t b = Open(name, false, false, second);
  EXPECT_EQ(first, second);
  EXPECT_EQ(FList.Count(), 1);
  EXPECT_EQ(first->OpenCount, 2);
  EXPECT_EQ(FList.CloseFile(first, false, a), 0);
  EXPECT_EQ(FList.Count(), 1);
  EXPECT_EQ(FList.CloseFile(second, false, b), 0);
  EXPECT_EQ(FList.Count(), 0);

  // Failed opens list nothing.
  TAbstractFile* missing = nullptr;
  EXPECT_EQ(Open((FDir / "missing.dat").string(), false, false, missing), kNoEntry);
  EXPECT_EQ(FList.Count(), 0);

  // Unlisted physical files are deleted and renamed on disk.
  const std::string moved = (FDir / "moved.dat").string();
  EXPECT_EQ(FList.RenameFile(name, false, moved), 0);
  EXPECT_FALSE(FList.FileExists(name, false));
  EXPECT_EQ(FList.DeleteFile(moved, false), 0);
  EXPECT_FALSE(FList.FileExists(moved, false));
  EXPECT_EQ(FList.DeleteFile(moved, false), kNoEntry);
}

}  // namespace
}  // namespace kura
