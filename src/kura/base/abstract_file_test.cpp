#include "kura/base/abstract_file.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <cstdint>

namespace kura {
namespace {

TEST(AbstractFile, HandlesAreNumberedUpwardsAndNeverReused) {
  TAbstractFile file("handles", false, false);
  const int32_t first = file.CreateStorage();
  const int32_t second = file.OpenStorage();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(file.OpenCount, 2);
  file.CloseHandle(first);
  EXPECT_EQ(file.FindHandle(first), -1);
  EXPECT_EQ(file.FindHandle(second), 0);
  EXPECT_EQ(file.OpenStorage(), 3);
  file.CloseHandle(first);  // already gone: nothing happens
  EXPECT_EQ(file.OpenCount, 2);
}

TEST(AbstractFile, RegionLockBoundaries) {
  TAbstractFile file("regions", false, false);
  struct TCase {
    bool Lock;
    int64_t Length;
    int64_t Offset;
    bool Expected;
  };
  const TCase cases[] = {
      {true, 10, 100, true},    {true, 1, 109, false},      {true, 1, 99, true},          {true, 1, 110, true},
      {true, 20, 90, false},    {true, -1, 200, false},      {true, 1, -5, false},         {true, INT64_MAX, 2, false},
      {false, 10, 100, true},   {false, 10, 100, false},     {true, 20, 90, false},        {false, 1, 99, true},
      {true, 12, 99, false},    {false, 1, 110, true},       {true, 11, 99, true},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(c.Lock ? file.LockRegion(c.Length, c.Offset) : file.UnlockRegion(c.Length, c.Offset), c.Expected)
        << (c.Lock ? "lock " : "unlock ") << c.Length << " at " << c.Offset;
  ASSERT_EQ(file.RegionLocks.size(), 1u);
  EXPECT_EQ(file.RegionLocks.begin()->second.First, 99);
  EXPECT_EQ(file.RegionLocks.begin()->second.Last, 109);
  EXPECT_EQ(file.RegionLocks.begin()->second.Length, 11);
}

// Many regions (a transaction keeps one per record it wrote): every lock and unlock
// agrees with a byte-by-byte model.
TEST(AbstractFile, ManyRegionsAgreeWithAByteModel) {
  TAbstractFile file("many", false, false);
  std::vector<bool> held(400, false);
  std::vector<std::pair<int64_t, int64_t>> regions;  // offset, length
  uint32_t seed = 7;
  const auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int step = 0; step < 3000; ++step) {
    if (!regions.empty() && next(3) == 0) {
      const size_t i = next(static_cast<uint32_t>(regions.size()));
      const auto [offset, length] = regions[i];
      ASSERT_TRUE(file.UnlockRegion(length, offset));
      for (int64_t b = offset; b < offset + length; ++b) held[static_cast<size_t>(b)] = false;
      regions.erase(regions.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    const int64_t offset = next(380);
    const int64_t length = 1 + next(12);
    bool free = true;
    for (int64_t b = offset; b < offset + length; ++b) free = free && !held[static_cast<size_t>(b)];
    ASSERT_EQ(file.LockRegion(length, offset), free) << length << " at " << offset;
    if (free) {
      for (int64_t b = offset; b < offset + length; ++b) held[static_cast<size_t>(b)] = true;
      regions.emplace_back(offset, length);
      EXPECT_FALSE(file.UnlockRegion(length + 1, offset));  // the length must match
    }
  }
}

}  // namespace
}  // namespace kura
