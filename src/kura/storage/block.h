#pragma once

// One block of a BLOB file as the block cache holds it, and the pool of free block
// objects. Block n (numbered from 1) lies at 512 + (n - 1) * B in the file, where B is
// the table's BLOB block size. All integers little-endian.
//
// Block layout:
// | offset | size   | field     | meaning                                                    |
// |--------|--------|-----------|------------------------------------------------------------|
// |      0 |      4 | Previous  | int32 previous block of the value's chain, 0 for the first |
// |      4 |      4 | Next      | int32 next block of the chain, 0 for the last; in a free   |
// |        |        |           | block the next free block (0 = end of the free chain)      |
// |      8 |      2 | Used      | uint16 data bytes used in this block                       |
// |     10 |      4 | BlobId    | int32 BLOB id of the value that owns the block             |
// |     14 |      4 | TotalSize | int32 size of the whole value in bytes (first block only;  |
// |        |        |           | 0 in the others)                                           |
// |     18 | B - 18 | data      | the block's piece of the value                             |
//
// In an encrypted table the 18 header bytes and the data area are scrambled separately
// with the record key.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kura {

class TBlobFile;

constexpr int kBlockHeaderSize = 18;

// One cached block. The cache links blocks into its most-recently-used chain through
// Older/Newer; a block with a non-zero PinCount is in use by a caller and is never
// evicted or refreshed from the file.
class TBlock {
public:
  TBlobFile* Owner = nullptr;
  bool Dirty = false;
  int PinCount = 0;
  int32_t BlockNo = 0;
  int32_t Previous = 0;
  int32_t Next = 0;
  uint16_t Used = 0;
  int32_t BlobId = 0;
  int32_t TotalSize = 0;
  // B - 18 bytes.
  std::vector<uint8_t> Data;
  TBlock* Older = nullptr;
  TBlock* Newer = nullptr;

  // Zero header fields and a zero-filled data area of `dataSize` bytes under the number
  // `blockNo`. Keeps the allocated buffer.
  void Reset(size_t dataSize, int32_t blockNo);
  // Clears the header fields and the data area, keeping number, links and flags.
  void Clear();
  // The block as stored: 18 header bytes then the data area (unscrambled), into
  // `bytes`, which holds kBlockHeaderSize + Data.size() bytes.
  void Encode(uint8_t* bytes) const;
  // Takes the header fields and the data area from the stored (unscrambled) bytes.
  void Decode(const uint8_t* bytes);
};

// Pool of free block objects so that the cache does not allocate per block. Keeps at
// most kCapacity objects; their buffers are reused.
class TBlockStack {
public:
  static constexpr size_t kCapacity = 32;

  // A free block (pooled when one is available), Reset to `dataSize` and `blockNo`.
  std::unique_ptr<TBlock> Pop(size_t dataSize, int32_t blockNo);
  // Returns a block to the pool, or frees it when the pool is full.
  void Push(std::unique_ptr<TBlock> block);
  size_t Count() const { return FFree.size(); }

private:
  std::vector<std::unique_ptr<TBlock>> FFree;
};

}  // namespace kura
