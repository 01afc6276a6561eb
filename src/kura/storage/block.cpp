#include "kura/storage/block.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"

namespace kura {

void TBlock::Reset(size_t dataSize, int32_t blockNo) {
  Dirty = false;
  PinCount = 0;
  BlockNo = blockNo;
  Older = Newer = nullptr;
  Data.assign(dataSize, 0);
  Previous = Next = 0;
  Used = 0;
  BlobId = TotalSize = 0;
}

void TBlock::Clear() {
  Previous = Next = 0;
  Used = 0;
  BlobId = TotalSize = 0;
  std::fill(Data.begin(), Data.end(), uint8_t{0});
}

void TBlock::Encode(uint8_t* bytes) const {
  WriteI32(bytes + 0, Previous);
  WriteI32(bytes + 4, Next);
  WriteU16(bytes + 8, Used);
  WriteI32(bytes + 10, BlobId);
  WriteI32(bytes + 14, TotalSize);
  if (!Data.empty()) std::memcpy(bytes + kBlockHeaderSize, Data.data(), Data.size());
}

void TBlock::Decode(const uint8_t* bytes) {
  Previous = ReadI32(bytes + 0);
  Next = ReadI32(bytes + 4);
  Used = ReadU16(bytes + 8);
  BlobId = ReadI32(bytes + 10);
  TotalSize = ReadI32(bytes + 14);
  if (!Data.empty()) std::memcpy(Data.data(), bytes + kBlockHeaderSize, Data.size());
}

std::unique_ptr<TBlock> TBlockStack::Pop(size_t dataSize, int32_t blockNo) {
  std::unique_ptr<TBlock> block;
  if (!FFree.empty()) {
    block = std::move(FFree.back());
    FFree.pop_back();
  } else {
    block = std::make_unique<TBlock>();
  }
  block->Reset(dataSize, blockNo);
  block->Owner = nullptr;
  return block;
}

void TBlockStack::Push(std::unique_ptr<TBlock> block) {
  if (block && FFree.size() < kCapacity) FFree.push_back(std::move(block));
}

}  // namespace kura
