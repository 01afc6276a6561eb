#include "kura/storage/blob_file.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/storage/scramble.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

class TTestBlobOwner : public TBlobFileOwner {
public:
  int32_t BufferBytes = 32768;
  int32_t BufferBlocks = 8192;
  bool Transaction = false;
  std::string Table;
  std::string Directory;

  std::string TableName() const override { return Table; }
  std::string DirectoryPath() const override { return Directory; }
  bool InTransaction() const override { return Transaction; }
  int32_t MaxBlobBufferSize() const override { return BufferBytes; }
  int32_t MaxBlobBufferCount() const override { return BufferBlocks; }
};

// Writes what the cache holds and the header, as a commit does.
void Commit(TBlobFile& file) {
  file.FlushBlocks();
  file.WriteHeader();
}

// Stores `value` in a fresh buffer (or over `buffer`'s old chain) under id.
void Store(TBlobFile& file, TBlobBuffer& buffer, const std::vector<uint8_t>& value, int32_t id) {
  buffer.Assign(value.data(), value.size());
  file.WriteBlob(buffer, id);
}

std::vector<uint8_t> Load(TBlobFile& file, int32_t firstBlock, int32_t id) {
  TBlobBuffer buffer;
  buffer.FirstBlock = firstBlock;
  buffer.BlobId = id;
  file.ReadBlob(buffer);
  return buffer.Data;
}

// The chain of free blocks, head first (bounded, so a damaged chain cannot hang a test).
std::vector<int32_t> FreeChain(TBlobFile& file) {
  std::vector<int32_t> chain;
  for (int32_t n = file.Header().FirstFreeBlock; n != 0 && chain.size() <= 100000;) {
    chain.push_back(n);
    TBlock* block = file.GetBlock(n);
    n = block->Next;
    file.ReleaseBlock(block);
  }
  return chain;
}

class BlobFileTest : public ::testing::Test {
protected:
  std::string Name() const { return (Dir / "memo.BLB").string(); }
  std::vector<uint8_t> Bytes() const { return ReadFileBytes(Dir / "memo.BLB"); }
  void PutBytes(const std::vector<uint8_t>& bytes) const { WriteFileBytes(Dir / "memo.BLB", bytes); }

  testing_support::TTempDir Dir;
};

TEST_F(BlobFileTest, FreshFileHeaderBytes) {
  TBlobFile file(Name());
  file.CreateBlobFile(0, false);
  file.CloseBlobFile();
  const std::vector<uint8_t> bytes = Bytes();
  ASSERT_EQ(bytes.size(), 512u);
  EXPECT_EQ(ReadI32(&bytes[0]), 1);   // ChangeCount of the first header write
  EXPECT_EQ(bytes[8], 5);             // FormatVersion
  EXPECT_EQ(ReadI32(&bytes[9]), 0);   // FirstFreeBlock
  EXPECT_EQ(ReadI32(&bytes[13]), 1);  // NextBlockNo
  EXPECT_EQ(bytes[17], 1);            // written as changed
  for (size_t i : {4u, 5u, 6u, 7u}) EXPECT_EQ(bytes[i], 0) << i;
  for (size_t i = 18; i < 512; ++i) ASSERT_EQ(bytes[i], 0) << i;

  file.OpenBlobFile(512, false);
  EXPECT_EQ(file.Header().ChangeCount, 1);
  EXPECT_EQ(file.Header().NextBlockNo, 1);
  EXPECT_FALSE(file.Header().HeaderChanged);
  EXPECT_EQ(file.ReadAheadBlocks(), 32);
  EXPECT_NO_THROW(file.CheckHeader());
}

TEST_F(BlobFileTest, ValueSizesTakeWholeBlocks) {
  struct TCase {
    size_t Length;
    int32_t Blocks;
  };
  for (const TCase c : {TCase{1, 1}, TCase{494, 1}, TCase{495, 2}, TCase{988, 2}, TCase{989, 3}}) {
    TBlobFile file(Name());
    file.CreateBlobFile(512, false);
    TBlobBuffer buffer;
    const std::vector<uint8_t> value = Pattern(c.Length, 3);
    Store(file, buffer, value, 41);
    EXPECT_EQ(buffer.FirstBlock, 1) << c.Length;
    EXPECT_EQ(buffer.BlobId, 41);
    EXPECT_FALSE(buffer.Modified);
    EXPECT_EQ(file.BlockCount(), c.Blocks) << c.Length;
    Commit(file);
    file.CloseBlobFile();
    EXPECT_EQ(Bytes().size(), 512u + 512u * static_cast<size_t>(c.Blocks)) << c.Length;
    file.OpenBlobFile(512, false);
    EXPECT_EQ(Load(file, 1, 41), value) << c.Length;
    file.CloseBlobFile();
  }
}

TEST_F(BlobFileTest, TwoBlockValueOnDisk) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  TBlobBuffer buffer;
  const std::vector<uint8_t> value = Pattern(495, 9);
  Store(file, buffer, value, 77);
  Commit(file);
  file.CloseBlobFile();

  const std::vector<uint8_t> bytes = Bytes();
  ASSERT_EQ(bytes.size(), 512u * 3);
  EXPECT_EQ(ReadI32(&bytes[0]), 2);
  EXPECT_EQ(ReadI32(&bytes[9]), 0);
  EXPECT_EQ(ReadI32(&bytes[13]), 3);
  const uint8_t* first = &bytes[512];
  EXPECT_EQ(ReadI32(first + 0), 0);     // previous
  EXPECT_EQ(ReadI32(first + 4), 2);     // next
  EXPECT_EQ(ReadU16(first + 8), 494);   // used
  EXPECT_EQ(ReadI32(first + 10), 77);   // BLOB id
  EXPECT_EQ(ReadI32(first + 14), 495);  // total size
  EXPECT_EQ(0, std::memcmp(first + 18, value.data(), 494));
  const uint8_t* second = &bytes[1024];
  EXPECT_EQ(ReadI32(second + 0), 1);
  EXPECT_EQ(ReadI32(second + 4), 0);
  EXPECT_EQ(ReadU16(second + 8), 1);
  EXPECT_EQ(ReadI32(second + 10), 77);
  EXPECT_EQ(ReadI32(second + 14), 0);
  EXPECT_EQ(second[18], value[494]);
  for (size_t i = 19; i < 512; ++i) ASSERT_EQ(second[i], 0) << i;
}

TEST_F(BlobFileTest, ShrinkingFreesSurplusBlocksWhichAreReusedBeforeTheFileGrows) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  TBlobBuffer b;
  Store(file, a, Pattern(494 * 5, 1), 1);  // blocks 1-5
  Store(file, b, Pattern(100, 2), 2);      // block 6
  ASSERT_EQ(file.BlockCount(), 6);

  const std::vector<uint8_t> shorter = Pattern(494 * 2, 3);
  Store(file, a, shorter, 3);
  EXPECT_EQ(a.FirstBlock, 1);  // rewritten in place
  EXPECT_EQ(file.BlockCount(), 6);
  EXPECT_EQ(FreeChain(file), (std::vector<int32_t>{5, 4, 3}));
  {
    TBlock* last = file.GetBlock(2);
    EXPECT_EQ(last->Next, 0);  // the chain ends at the last block used
    file.ReleaseBlock(last);
  }
  EXPECT_EQ(Load(file, 1, 3), shorter);

  // A new value of three blocks takes the freed ones; the file does not grow.
  TBlobBuffer c;
  const std::vector<uint8_t> third = Pattern(494 * 2 + 1, 4);
  Store(file, c, third, 4);
  EXPECT_EQ(c.FirstBlock, 5);
  EXPECT_EQ(file.BlockCount(), 6);
  EXPECT_EQ(file.Header().FirstFreeBlock, 0);
  // Only now does the file grow.
  TBlobBuffer d;
  Store(file, d, Pattern(10, 5), 5);
  EXPECT_EQ(d.FirstBlock, 7);

  Commit(file);
  file.CloseBlobFile();
  file.OpenBlobFile(512, false);
  EXPECT_NO_THROW(file.CheckHeader());
  EXPECT_EQ(Load(file, 1, 3), shorter);
  EXPECT_EQ(Load(file, 6, 2), Pattern(100, 2));
  EXPECT_EQ(Load(file, 5, 4), third);
  EXPECT_EQ(Load(file, 7, 5), Pattern(10, 5));
}

TEST_F(BlobFileTest, RewritingAValueOfTheSameLengthWritesTheSameBlocks) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  Store(file, a, Pattern(1500, 1), 1);
  Commit(file);
  const int32_t count = file.BlockCount();
  const std::vector<uint8_t> changed = Pattern(1500, 2);
  Store(file, a, changed, 2);
  EXPECT_EQ(a.FirstBlock, 1);
  EXPECT_EQ(file.BlockCount(), count);
  EXPECT_EQ(file.Header().FirstFreeBlock, 0);
  // Growing reuses the chain and appends.
  const std::vector<uint8_t> longer = Pattern(2500, 3);
  Store(file, a, longer, 3);
  EXPECT_EQ(a.FirstBlock, 1);
  EXPECT_EQ(file.BlockCount(), 6);
  Commit(file);
  EXPECT_EQ(Load(file, 1, 3), longer);
}

TEST_F(BlobFileTest, AnEmptyValueFreesTheWholeChain) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  Store(file, a, Pattern(1200, 1), 8);
  ASSERT_EQ(file.BlockCount(), 3);
  Store(file, a, {}, 9);
  EXPECT_EQ(a.FirstBlock, 0);
  EXPECT_EQ(a.BlobId, 0);
  EXPECT_EQ(file.BlockCount(), 3);
  EXPECT_EQ(FreeChain(file), (std::vector<int32_t>{3, 2, 1}));
  EXPECT_TRUE(Load(file, 0, 0).empty());
  // An empty value over an empty field changes nothing.
  TBlobBuffer empty;
  file.WriteBlob(empty, 10);
  EXPECT_EQ(empty.FirstBlock, 0);
  EXPECT_EQ(FreeChain(file).size(), 3u);
}

TEST_F(BlobFileTest, CancelRestoresTheValueAsRead) {
  TBlobFile file(Name(), true);
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  const std::vector<uint8_t> value = Pattern(700, 1);
  Store(file, a, value, 5);
  TBlobBuffer reader;
  reader.FirstBlock = a.FirstBlock;
  reader.BlobId = 5;
  file.ReadBlob(reader);
  reader.Put(690, Pattern(30, 2).data(), 30);
  EXPECT_TRUE(reader.Modified);
  EXPECT_EQ(reader.Length(), 720u);
  reader.Cancel();
  EXPECT_FALSE(reader.Modified);
  EXPECT_EQ(reader.Data, value);
  file.CloseBlobFile();
  file.Delete();
}

TEST_F(BlobFileTest, BlocksTakenOverByAnotherValueFailAsReplaced) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  Store(file, a, Pattern(1000, 1), 11);  // blocks 1-3
  const int32_t oldFirst = a.FirstBlock;
  // Another session frees the value and a new value takes its blocks.
  file.FreeBlobChain(oldFirst, 11);
  TBlobBuffer b;
  Store(file, b, Pattern(1000, 2), 12);
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, Load(file, oldFirst, 11));

  // Only a block further down the chain carries the other id.
  TBlobBuffer c;
  Store(file, c, Pattern(1000, 3), 13);
  {
    TBlock* middle = file.GetBlock(c.FirstBlock);
    TBlock* second = file.GetBlock(middle->Next);
    second->BlobId = 99;
    file.MarkBlockDirty(second);
    file.ReleaseBlock(second);
    file.ReleaseBlock(middle);
  }
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, Load(file, c.FirstBlock, 13));
  // Rewriting a value whose chain was taken over must not write into the other value.
  TBlobBuffer stale;
  stale.FirstBlock = oldFirst;
  stale.BlobId = 11;
  stale.Assign(Pattern(10, 4).data(), 10);
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, file.WriteBlob(stale, 14));
  stale.Truncate(0);
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, file.WriteBlob(stale, 14));
  EXPECT_EQ(file.Header().FirstFreeBlock, 0);
  EXPECT_EQ(Load(file, b.FirstBlock, 12), Pattern(1000, 2));
  // Freeing with the wrong id is corruption unless tolerant, which takes the chain over.
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.FreeBlobChain(c.FirstBlock, 13));
  EXPECT_EQ(file.Header().FirstFreeBlock, 0);  // nothing was freed
  file.FreeBlobChain(c.FirstBlock, 13, true);
  EXPECT_EQ(FreeChain(file).size(), 3u);
}

// Values of several megabytes through a small cache, so that blocks are evicted, flushed
// in runs and read back with read-ahead; in memory, on disk, plain and encrypted.
class BlobFileRoundTripTest : public BlobFileTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(BlobFileRoundTripTest, LargeValuesRoundTrip) {
  const auto [inMemory, encrypted] = GetParam();
  const std::string name = inMemory ? "mem/large.BLB" : Name();
  TTestBlobOwner owner;
  owner.BufferBytes = 64 * 1024;
  {
    TBlobFile file(name, inMemory, &owner);
    file.CreateBlobFile(1024, encrypted);
    std::vector<TBlobBuffer> buffers(3);
    const size_t sizes[] = {3 * 1024 * 1024 + 17, 5 * 1024 * 1024, 2 * 1024 * 1024 + 1};
    for (size_t i = 0; i < 3; ++i) Store(file, buffers[i], Pattern(sizes[i], static_cast<uint32_t>(i)), 100 + static_cast<int32_t>(i));
    // Rewrite the middle one shorter, then longer again: in place and through the free chain.
    Store(file, buffers[1], Pattern(1024 * 1024, 7), 200);
    Store(file, buffers[0], Pattern(4 * 1024 * 1024 + 3, 8), 201);
    EXPECT_LE(file.CachedBlockCount(), 64u + 4u);
    Commit(file);
    file.CloseBlobFile();

    file.OpenBlobFile(1024, encrypted);
    EXPECT_NO_THROW(file.CheckHeader());
    EXPECT_EQ(Load(file, buffers[0].FirstBlock, 201), Pattern(4 * 1024 * 1024 + 3, 8));
    EXPECT_EQ(Load(file, buffers[1].FirstBlock, 200), Pattern(1024 * 1024, 7));
    EXPECT_EQ(Load(file, buffers[2].FirstBlock, 102), Pattern(sizes[2], 2));
    file.CloseBlobFile();
  }
  if (inMemory) TFileHandler(name, true).Delete();
}

INSTANTIATE_TEST_SUITE_P(Files, BlobFileRoundTripTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST_F(BlobFileTest, ReadAheadFollowsTheChainAndFlushesWriteRuns) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  const std::vector<uint8_t> value = Pattern(494 * 40, 1);
  Store(file, a, value, 1);
  const TBlobFileStatistics before = file.Statistics();
  Commit(file);
  // 40 consecutive dirty blocks go out in runs of at most 32 blocks (16 KiB).
  EXPECT_EQ(file.Statistics().Flushes - before.Flushes, 2);
  file.DiscardCache();
  const int64_t reads = file.Statistics().Reads;
  EXPECT_EQ(Load(file, 1, 1), value);
  EXPECT_EQ(file.Statistics().Reads - reads, 2);  // 32 blocks, then the 8 still needed
  EXPECT_EQ(file.Statistics().BlocksRead, 40);
}

TEST_F(BlobFileTest, InATransactionDirtyBlocksStayInTheCacheUntilCommitted) {
  TTestBlobOwner owner;
  owner.BufferBytes = 512 * 4;
  owner.Transaction = true;
  TBlobFile file(Name(), false, &owner);
  file.CreateBlobFile(512, false);
  TBlobBuffer a;
  const std::vector<uint8_t> value = Pattern(494 * 20, 1);
  Store(file, a, value, 1);
  EXPECT_EQ(file.Statistics().Flushes, 0);
  EXPECT_EQ(file.GetFileSize(), 512);
  EXPECT_EQ(file.CachedBlockCount(), 20u);  // the cache grew instead of writing
  owner.Transaction = false;
  Commit(file);
  file.TrimCache();
  EXPECT_EQ(file.CachedBlockCount(), 4u);
  EXPECT_EQ(file.GetFileSize(), 512 + 20 * 512);
  EXPECT_EQ(Load(file, 1, 1), value);
  // Outside a transaction a full cache writes its dirty blocks to make room.
  TBlobBuffer b;
  Store(file, b, Pattern(494 * 20, 2), 2);
  EXPECT_GT(file.Statistics().Flushes, 2);
  EXPECT_LE(file.CachedBlockCount(), 8u);
}

TEST_F(BlobFileTest, EncryptedBytesOnDiskAreScrambled) {
  TBlobFile file(Name());
  file.CreateBlobFile(512, true);
  TBlobBuffer a;
  const std::vector<uint8_t> value(600, 'A');
  Store(file, a, value, 5);
  Commit(file);
  file.CloseBlobFile();

  std::vector<uint8_t> bytes = Bytes();
  ASSERT_EQ(bytes.size(), 512u * 3);
  EXPECT_NE(bytes[8], 5);  // the version byte is scrambled too
  Scramble(bytes.data(), 512, kRecordKey);
  EXPECT_EQ(ReadI32(&bytes[0]), 2);
  EXPECT_EQ(bytes[8], 5);
  EXPECT_EQ(ReadI32(&bytes[13]), 3);
  for (size_t block = 1; block <= 2; ++block) {
    uint8_t* p = &bytes[512 * block];
    EXPECT_NE(p[18], 'A') << block;
    Scramble(p, 18, kRecordKey);
    Scramble(p + 18, 494, kRecordKey);
  }
  EXPECT_EQ(ReadI32(&bytes[512 + 4]), 2);
  EXPECT_EQ(ReadI32(&bytes[512 + 14]), 600);
  EXPECT_EQ(ReadU16(&bytes[1024 + 8]), 106);
  EXPECT_EQ(ReadI32(&bytes[1024 + 0]), 1);
  for (size_t i = 0; i < 494; ++i) ASSERT_EQ(bytes[512 + 18 + i], 'A') << i;
  for (size_t i = 0; i < 106; ++i) ASSERT_EQ(bytes[1024 + 18 + i], 'A') << i;

  file.OpenBlobFile(512, true);
  EXPECT_EQ(Load(file, 1, 5), value);
  file.CloseBlobFile();
  // Read as a plain file, the scrambled version byte is not 5.
  EXPECT_ENGINE_ERROR(KURA_OLDVERSION, file.OpenBlobFile(512, false));
  EXPECT_FALSE(file.IsOpen);
}

// A file of six blocks: value A of 1100 bytes in blocks 1-3 (id 21), value B of 1000
// bytes in blocks 4-6 (id 22). Cases damage its bytes.
class BlobFileDamageTest : public BlobFileTest {
protected:
  struct TPatch {
    size_t Offset;
    int32_t Value;
    int Width = 4;
  };
  void SetUp() override {
    TBlobFile file(Name());
    file.CreateBlobFile(512, false);
    TBlobBuffer a;
    TBlobBuffer b;
    Store(file, a, Pattern(1100, 1), 21);
    Store(file, b, Pattern(1000, 2), 22);
    Commit(file);
  }
  void Damage(const std::vector<TPatch>& patches) const {
    std::vector<uint8_t> bytes = Bytes();
    for (const TPatch& p : patches) {
      if (p.Width == 2) {
        WriteU16(&bytes[p.Offset], static_cast<uint16_t>(p.Value));
      } else {
        WriteI32(&bytes[p.Offset], p.Value);
      }
    }
    PutBytes(bytes);
  }
  // Byte `field` of block n.
  static constexpr size_t Block(int32_t n, size_t field) { return 512 + static_cast<size_t>(n - 1) * 512 + field; }
  static constexpr size_t kPrevious = 0, kNext = 4, kUsed = 8, kTotal = 14;
};

TEST_F(BlobFileDamageTest, CheckHeaderNamesEachKindOfDamage) {
  struct TCase {
    const char* What;
    std::function<void(std::vector<uint8_t>&)> Change;
    TErrorCode OnOpen;
    TErrorCode OnCheck;
  };
  const std::vector<TCase> cases = {
      {"intact", [](std::vector<uint8_t>&) {}, 0, 0},
      {"version 4", [](std::vector<uint8_t>& b) { b[8] = 4; }, KURA_OLDVERSION, 0},
      {"header cut short", [](std::vector<uint8_t>& b) { b.resize(300); }, KURA_HEADERCORRUPT, 0},
      {"free block beyond the end", [](std::vector<uint8_t>& b) { WriteI32(&b[9], 7); }, 0, KURA_HEADERCORRUPT},
      {"negative free block", [](std::vector<uint8_t>& b) { WriteI32(&b[9], -1); }, 0, KURA_HEADERCORRUPT},
      {"free block without blocks",
       [](std::vector<uint8_t>& b) {
         WriteI32(&b[13], 1);
         WriteI32(&b[9], 1);
       },
       0, KURA_HEADERCORRUPT},
      {"next block 0", [](std::vector<uint8_t>& b) { WriteI32(&b[13], 0); }, 0, KURA_HEADERCORRUPT},
      {"more blocks than the file holds", [](std::vector<uint8_t>& b) { WriteI32(&b[13], 8); }, 0, KURA_HEADERCORRUPT},
      {"beyond the size limit", [](std::vector<uint8_t>& b) { WriteI32(&b[13], 8000000); }, 0, KURA_HEADERCORRUPT},
      {"last block cut", [](std::vector<uint8_t>& b) { b.pop_back(); }, 0, KURA_HEADERCORRUPT},
  };
  const std::vector<uint8_t> intact = Bytes();
  for (const TCase& c : cases) {
    std::vector<uint8_t> bytes = intact;
    c.Change(bytes);
    PutBytes(bytes);
    TBlobFile file(Name());
    EXPECT_EQ(EngineErrorCodeOf([&] { file.OpenBlobFile(512, false); }), c.OnOpen) << c.What;
    if (c.OnOpen != 0) continue;
    EXPECT_EQ(EngineErrorCodeOf([&] { file.CheckHeader(); }), c.OnCheck) << c.What;
  }
}

TEST_F(BlobFileDamageTest, DamagedChainsRaiseInsteadOfLooping) {
  struct TCase {
    const char* What;
    std::vector<TPatch> Patches;
    TErrorCode OnRead;
    TErrorCode OnTolerantFree;  // checked when reading finds corruption
  };
  // A full third block and a size of 2000 make the walk go on past block 3.
  const std::vector<TCase> cases = {
      {"third block links back to the first",
       {{Block(3, kNext), 1}, {Block(3, kUsed), 494, 2}, {Block(1, kTotal), 2000}},
       KURA_MEMOCORRUPT, KURA_MEMOCORRUPT},
      {"third block links back to the second",
       {{Block(3, kNext), 2}, {Block(3, kUsed), 494, 2}, {Block(1, kTotal), 2000}},
       KURA_MEMOCORRUPT, KURA_MEMOCORRUPT},
      {"second block links to itself", {{Block(2, kNext), 2}}, KURA_MEMOCORRUPT, KURA_MEMOCORRUPT},
      {"first block has a previous link", {{Block(1, kPrevious), 3}}, KURA_MEMOCORRUPT, 0},
      {"previous link wrong", {{Block(2, kPrevious), 3}}, KURA_MEMOCORRUPT, 0},
      {"next link beyond the end", {{Block(1, kNext), 7}}, KURA_MEMOCORRUPT, KURA_MEMOCORRUPT},
      {"negative next link", {{Block(2, kNext), -7}}, KURA_MEMOCORRUPT, KURA_MEMOCORRUPT},
      {"another value's block in the chain", {{Block(2, kNext), 5}}, KURA_KEYORRECDELETED, 0},
      {"used count larger than a block", {{Block(2, kUsed), 0xFFFF, 2}}, KURA_INVALIDBLOBLEN, 0},
      {"negative total size", {{Block(1, kTotal), -5}}, KURA_INVALIDBLOBLEN, 0},
      {"total size beyond the chain", {{Block(1, kTotal), 1400}}, KURA_ENDOFBLOB, 0},
      {"total size beyond the file", {{Block(1, kTotal), 0x7FFFFFFF}}, KURA_ENDOFBLOB, 0},
      {"chain ends early", {{Block(2, kNext), 0}}, KURA_ENDOFBLOB, 0},
      {"short used count", {{Block(2, kUsed), 10, 2}}, KURA_ENDOFBLOB, 0},
  };
  const std::vector<uint8_t> intact = Bytes();
  for (const TCase& c : cases) {
    PutBytes(intact);
    Damage(c.Patches);
    TBlobFile file(Name());
    file.OpenBlobFile(512, false);
    EXPECT_EQ(EngineErrorCodeOf([&] { Load(file, 1, 21); }), c.OnRead) << c.What;
    EXPECT_EQ(Load(file, 4, 22), Pattern(1000, 2)) << c.What;
    if (c.OnRead == KURA_MEMOCORRUPT) {
      // Freeing a broken chain fails the same way and frees nothing.
      EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.FreeBlobChain(1, 21)) << c.What;
      EXPECT_EQ(file.Header().FirstFreeBlock, 0) << c.What;
      // Tolerant freeing accepts odd links but still stops at a loop or a link out of
      // the file.
      EXPECT_EQ(EngineErrorCodeOf([&] { file.FreeBlobChain(1, 21, true); }), c.OnTolerantFree) << c.What;
      // And rewriting the value in place does not follow the damage either.
      if (c.OnTolerantFree != 0) {
        TBlobBuffer rewrite;
        rewrite.FirstBlock = 1;
        rewrite.BlobId = 21;
        rewrite.Assign(Pattern(2500, 5).data(), 2500);
        EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.WriteBlob(rewrite, 30)) << c.What;
      }
    }
  }
}

TEST_F(BlobFileDamageTest, BadBlockNumbersAndFreeChains) {
  TBlobFile file(Name());
  file.OpenBlobFile(512, false);
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.GetBlock(0));
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.GetBlock(8));
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, Load(file, 7, 21));
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, Load(file, -3, 21));
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, Load(file, 1, 22));
  file.CloseBlobFile();

  // A free chain that links a block to itself.
  Damage({{9, 2}, {Block(2, kNext), 2}});
  file.OpenBlobFile(512, false);
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.AllocateBlock());
  file.CloseBlobFile();
  // A free chain that leaves the file.
  Damage({{9, 2}, {Block(2, kNext), 70}});
  file.OpenBlobFile(512, false);
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.AllocateBlock());
  file.CloseBlobFile();
  // A file that claims a block it does not have.
  Damage({{9, 0}, {13, 8}});
  file.OpenBlobFile(512, false);
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, file.GetBlock(7));
}

TEST_F(BlobFileTest, CorruptionCarriesTableAndDirectory) {
  TTestBlobOwner owner;
  {
    TBlobFile file(Name());
    file.CreateBlobFile(512, false);
    const auto error = EngineErrorOf([&] { file.GetBlock(0); });
    ASSERT_TRUE(error) << "no error";
    EXPECT_EQ(error->ErrorCode, KURA_MEMOCORRUPT);
    EXPECT_EQ(error->ErrorTableName, "memo");
    EXPECT_EQ(error->ErrorDatabaseName, (Dir.Path() / "").string());
  }
  owner.Table = "tejun";
  owner.Directory = "/db/DBtavimo/";
  TBlobFile file(Name(), false, &owner);
  file.OpenBlobFile(512, false);
  const auto error = EngineErrorOf([&] { file.GetBlock(3); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_MEMOCORRUPT);
  EXPECT_EQ(error->ErrorTableName, "tejun");
  EXPECT_EQ(error->ErrorDatabaseName, "/db/DBtavimo/");
}

TEST_F(BlobFileTest, FullFileAndInvalidBlockSizes) {
  for (int32_t size : {-1, 1, 63, 65554}) {
    TBlobFile file(Name());
    EXPECT_ENGINE_ERROR(KURA_BLOBLIMIT, file.CreateBlobFile(size, false)) << size;
  }
  TBlobFile file(Name());
  file.CreateBlobFile(512, false);
  file.CloseBlobFile();
  // With 512-byte blocks the file-size limit comes first: block 7,812,499 ends exactly at
  // byte 4,000,000,000.
  std::vector<uint8_t> bytes = Bytes();
  WriteI32(&bytes[13], 7812500);
  PutBytes(bytes);
  file.OpenBlobFile(512, false);
  EXPECT_ENGINE_ERROR(KURA_TABLEFULL, file.AllocateBlock());
  file.CloseBlobFile();
  WriteI32(&bytes[13], 7812499);
  PutBytes(bytes);
  file.OpenBlobFile(512, false);
  TBlock* block = file.AllocateBlock();
  EXPECT_EQ(block->BlockNo, 7812499);
  file.ReleaseBlock(block);
  file.DiscardCache();  // never written
  file.CloseBlobFile();
  // With large blocks the block count is no limit before the size is.
  WriteI32(&bytes[13], 2000000001);
  PutBytes(bytes);
  file.OpenBlobFile(64, false);
  EXPECT_ENGINE_ERROR(KURA_TABLEFULL, file.AllocateBlock());
}

TEST_F(BlobFileTest, EmptyingAndChangeDetection) {
  TBlobFile writer(Name());
  writer.CreateBlobFile(512, false);
  TBlobFile reader(Name());
  writer.CloseBlobFile();
  writer.OpenBlobFile(512, false);
  reader.OpenBlobFile(512, false);
  TBlobBuffer a;
  Store(writer, a, Pattern(2000, 1), 3);
  Commit(writer);
  EXPECT_TRUE(reader.ReadHeaderIfChanged());
  EXPECT_FALSE(reader.ReadHeaderIfChanged());
  EXPECT_EQ(reader.BlockCount(), 5);
  EXPECT_EQ(Load(reader, 1, 3), Pattern(2000, 1));

  writer.EmptyBlobFile();
  EXPECT_TRUE(writer.Header().HeaderChanged);
  EXPECT_EQ(writer.BlockCount(), 0);
  EXPECT_EQ(writer.CachedBlockCount(), 0u);
  writer.WriteHeader();
  EXPECT_EQ(writer.GetFileSize(), 512);
  EXPECT_TRUE(reader.ReadHeaderIfChanged());
  reader.DiscardCache();
  EXPECT_ENGINE_ERROR(KURA_MEMOCORRUPT, Load(reader, 1, 3));
  EXPECT_NO_THROW(reader.CheckHeader());
}

// A random workload against a model: values of many sizes written, rewritten, emptied
// and read back through a tiny cache with small blocks; afterwards every block is either
// in exactly one value's chain or in the free chain.
TEST_F(BlobFileTest, RandomWorkloadKeepsEveryBlockAccountedFor) {
  TTestBlobOwner owner;
  owner.BufferBytes = 64 * 8;
  TBlobFile file(Name(), false, &owner);
  file.CreateBlobFile(64, false);
  std::mt19937 random(1234);
  std::vector<TBlobBuffer> fields(12);
  std::vector<std::vector<uint8_t>> model(12);
  int32_t nextId = 1;
  for (int step = 0; step < 1500; ++step) {
    const size_t i = random() % fields.size();
    const uint32_t kind = random() % 10;
    if (kind < 6) {
      const size_t length = kind == 0 ? 0 : random() % (kind < 3 ? 60 : 2000);
      model[i] = Pattern(length, static_cast<uint32_t>(step));
      Store(file, fields[i], model[i], nextId++);
    } else {
      ASSERT_EQ(Load(file, fields[i].FirstBlock, fields[i].BlobId), model[i]) << step;
    }
    if (kind == 9) Commit(file);
  }
  Commit(file);
  file.CloseBlobFile();
  file.OpenBlobFile(64, false);
  file.CheckHeader();
  std::set<int32_t> seen;
  for (size_t i = 0; i < fields.size(); ++i) {
    ASSERT_EQ(Load(file, fields[i].FirstBlock, fields[i].BlobId), model[i]) << i;
    for (int32_t n = fields[i].FirstBlock; n != 0;) {
      EXPECT_TRUE(seen.insert(n).second) << n;
      TBlock* block = file.GetBlock(n);
      n = block->Next;
      file.ReleaseBlock(block);
    }
  }
  for (int32_t n : FreeChain(file)) EXPECT_TRUE(seen.insert(n).second) << n;
  EXPECT_EQ(seen.size(), static_cast<size_t>(file.BlockCount()));
}

}  // namespace
}  // namespace kura
