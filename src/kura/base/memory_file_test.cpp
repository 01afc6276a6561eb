#include "kura/base/memory_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kura {
namespace {

TEST(MemoryFile, LargeBlockGrowsGeometrically) {
  TMemoryFile file("mem:large", false, false);
  const int32_t handle = file.CreateStorage();
  const std::vector<uint8_t> chunk(4096, 0xAB);
  int copies = 0;
  int64_t allocated = 0;
  for (int i = 0; i < 1024; ++i) {  // 4 MiB appended in 4 KiB pieces
    ASSERT_EQ(file.Write(handle, chunk.data(), 4096), 4096);
    if (file.Allocated != allocated) {
      ++copies;
      allocated = file.Allocated;
    }
    ASSERT_EQ(file.Allocated % TMemoryFile::kMemoryFileStep, 0);
  }
  EXPECT_EQ(file.Size, 4 << 20);
  EXPECT_LT(copies, 40);  // 16 small steps up to 64 KiB, then half again each time
  for (int64_t i = 0; i < file.Size; i += 4093) ASSERT_EQ(file.Memory[static_cast<size_t>(i)], 0xAB) << i;
}

TEST(MemoryFile, BlockGrowsInWholeStepsWithAZeroTail) {
  TMemoryFile file("mem:grow", false, false);
  const int32_t handle = file.CreateStorage();
  ASSERT_GT(handle, 0);
  EXPECT_EQ(file.Allocated, 0);

  struct TCase {
    int64_t Position;
    int32_t Count;  // 0: truncate at the position
    int64_t Allocated;
    int64_t Size;
  };
  const TCase cases[] = {
      {0, 1, 4096, 1},        {4095, 1, 4096, 4096}, {4095, 2, 8192, 4097}, {100, 0, 8192, 100},
      {0, 0, 8192, 0},        {10000, 5, 12288, 10005}, {12288, 1, 16384, 12289},
  };
  const std::vector<uint8_t> ones(8, 0xFF);
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Count << " bytes at " << c.Position);
    ASSERT_EQ(file.Seek(handle, soFromBeginning, c.Position), c.Position);
    EXPECT_EQ(file.Write(handle, ones.data(), c.Count), c.Count);
    EXPECT_EQ(file.Allocated, c.Allocated);
    EXPECT_EQ(file.Size, c.Size);
    EXPECT_EQ(file.GetSize(), c.Size);
    EXPECT_EQ(file.Seek(handle, soFromCurrent, 0), c.Position + c.Count);
  }
  // Everything beyond the size is zero; the gap before the last writes was never written.
  for (int64_t i = file.Size; i < file.Allocated; ++i) ASSERT_EQ(file.Memory[static_cast<size_t>(i)], 0) << i;
  for (int64_t i = 0; i < 10000; ++i) ASSERT_EQ(file.Memory[static_cast<size_t>(i)], 0) << i;

  // Creating again frees the block.
  file.CloseHandle(handle);
  EXPECT_GT(file.CreateStorage(), handle);
  EXPECT_EQ(file.Allocated, 0);
  EXPECT_EQ(file.Memory, nullptr);
  EXPECT_EQ(file.Size, 0);
}

TEST(MemoryFile, RefusesWhatItCannotHold) {
  TMemoryFile file("mem:limits", false, false);
  const int32_t handle = file.CreateStorage();
  uint8_t byte = 7;
  file.Seek(handle, soFromBeginning, TMemoryFile::kMaxMemoryFileSize);
  EXPECT_EQ(file.Write(handle, &byte, 1), -1);
  EXPECT_EQ(file.Size, 0);
  EXPECT_EQ(file.Allocated, 0);

  // Unknown handles and negative counts transfer nothing.
  EXPECT_EQ(file.Write(handle + 1, &byte, 1), -1);
  EXPECT_EQ(file.Read(handle + 1, &byte, 1), -1);
  EXPECT_EQ(file.Seek(handle + 1, soFromBeginning, 0), -1);
  EXPECT_EQ(file.Write(handle, &byte, -1), -1);
  EXPECT_EQ(file.Seek(handle, 7, 0), -1);  // no such origin
}

}  // namespace
}  // namespace kura
