#include "kura/storage/table_file.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kura/storage/blob_file.h"
#include "kura/storage/index_file.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

// The index and BLOB files share the shared/exclusive region code; each case opens two
// openers of one file of that kind (in one process the region locks of the two openers
// conflict like those of two processes).
struct TRegionCase {
  const char* Name;
  std::function<std::unique_ptr<TTableFile>(const std::string& dir)> Open;
  std::function<bool(TTableFile&, int32_t&)> LockShared;
  std::function<bool(TTableFile&, int32_t)> UnlockShared;
  std::function<bool(TTableFile&)> LockExclusive;
  std::function<bool(TTableFile&)> UnlockExclusive;
};

template <typename TFile>
TRegionCase MakeCase(const char* name, std::function<std::unique_ptr<TTableFile>(const std::string&)> open) {
  return {name, std::move(open),
          [](TTableFile& f, int32_t& token) { return static_cast<TFile&>(f).LockShared(token); },
          [](TTableFile& f, int32_t token) { return static_cast<TFile&>(f).UnlockShared(token); },
          [](TTableFile& f) { return static_cast<TFile&>(f).LockExclusive(); },
          [](TTableFile& f) { return static_cast<TFile&>(f).UnlockExclusive(); }};
}

std::vector<TRegionCase> RegionCases() {
  return {MakeCase<TIndexFile>("index",
                               [](const std::string& dir) -> std::unique_ptr<TTableFile> {
                                 auto file = std::make_unique<TIndexFile>(dir + "/t.IDX");
                                 if (!std::filesystem::exists(file->FileName)) {
                                   file->CreateIndexFile();
                                   file->Close();
                                 }
                                 file->OpenIndexFile();
                                 return file;
                               }),
          MakeCase<TBlobFile>("BLOB", [](const std::string& dir) -> std::unique_ptr<TTableFile> {
            auto file = std::make_unique<TBlobFile>(dir + "/t.BLB");
            if (!std::filesystem::exists(file->FileName)) file->CreateBlobFile(512, false);
            file->CloseBlobFile();
            file->OpenBlobFile(512, false);
            return file;
          })};
}

TEST(TableFileRegionLocks, AFailedSharedLockLeavesTokenZeroAndReleasesNothing) {
  for (const TRegionCase& c : RegionCases()) {
    testing_support::TTempDir dir;
    std::unique_ptr<TTableFile> writer = c.Open(dir.Path().string());
    std::unique_ptr<TTableFile> reader = c.Open(dir.Path().string());
    int pauses = 0;
    reader->SetLockRetry({3, [&pauses] { ++pauses; }});

    // A reader's token from an earlier lock, released since.
    int32_t token = 0;
    ASSERT_TRUE(c.LockShared(*reader, token)) << c.Name;
    ASSERT_NE(token, 0) << c.Name;
    ASSERT_TRUE(c.UnlockShared(*reader, token)) << c.Name;

    // A writer holds the region: every attempt fails, and the token says "holds nothing",
    // so a caller that releases by token cannot release someone else's byte.
    ASSERT_TRUE(c.LockExclusive(*writer)) << c.Name;
    EXPECT_FALSE(c.LockShared(*reader, token)) << c.Name;
    EXPECT_EQ(token, 0) << c.Name;
    EXPECT_EQ(pauses, 2) << c.Name;
    EXPECT_FALSE(c.UnlockShared(*reader, token)) << c.Name;

    // The writer's lock still stands; once it is gone readers get in again.
    int32_t other = 0;
    reader->SetLockRetry({1, {}});
    EXPECT_FALSE(c.LockShared(*reader, other)) << c.Name;
    EXPECT_TRUE(c.UnlockExclusive(*writer)) << c.Name;
    EXPECT_TRUE(c.LockShared(*reader, other)) << c.Name;
    EXPECT_NE(other, 0) << c.Name;
    EXPECT_TRUE(c.UnlockShared(*reader, other)) << c.Name;
  }
}

TEST(TableFileRegionLocks, NoAttemptsMeansNoLock) {
  for (const TRegionCase& c : RegionCases()) {
    testing_support::TTempDir dir;
    std::unique_ptr<TTableFile> file = c.Open(dir.Path().string());
    file->SetLockRetry({0, {}});
    int32_t token = 7;
    EXPECT_FALSE(c.LockShared(*file, token)) << c.Name;
    EXPECT_EQ(token, 0) << c.Name;
    EXPECT_FALSE(c.LockExclusive(*file)) << c.Name;
    file->SetLockRetry({1, {}});
    EXPECT_TRUE(c.LockExclusive(*file)) << c.Name;
    EXPECT_TRUE(c.UnlockExclusive(*file)) << c.Name;
  }
}

}  // namespace
}  // namespace kura
