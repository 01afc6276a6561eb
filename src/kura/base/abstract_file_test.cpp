#include "kura/base/abstract_file.h"

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
  EXPECT_EQ(file.RegionLocks[0].First, 99);
  EXPECT_EQ(file.RegionLocks[0].Last, 109);
  EXPECT_EQ(file.RegionLocks[0].Length, 11);
}

}  // namespace
}  // namespace kura
