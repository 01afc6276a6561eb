#include "kura/storage/blob_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "kura/base/byte_order.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/storage/scramble.h"
#include "kura/storage/table_files.h"

namespace kura {

namespace {

// The most ReadBlob reserves before the chain has shown that it holds the bytes.
constexpr int64_t kMaxReserve = int64_t{16} << 20;

}  // namespace

void ReadBlobFileHeader(const uint8_t* b, TBlobFileHeader& h) {
  h.ChangeCount = ReadI32(b + 0);
  h.FormatVersion = b[8];
  h.FirstFreeBlock = ReadI32(b + 9);
  h.NextBlockNo = ReadI32(b + 13);
  h.HeaderChanged = false;  // the writer's flag means nothing to a reader
}

void WriteBlobFileHeader(const TBlobFileHeader& h, uint8_t* b) {
  std::memset(b, 0, kBlobFileHeaderSize);
  WriteI32(b + 0, h.ChangeCount);
  b[8] = h.FormatVersion;
  WriteI32(b + 9, h.FirstFreeBlock);
  WriteI32(b + 13, h.NextBlockNo);
  b[17] = h.HeaderChanged ? 1 : 0;
}

TBlobFile::TBlobFile(std::string fileName, bool inMemory, TBlobFileOwner* owner)
    : TTableFile(std::move(fileName), inMemory, kBlobFileExtension), FOwner(owner) {}

TBlobFile::~TBlobFile() { FCache.clear(); }

// ---------------------------------------------------------------------------------------
// Errors

void TBlobFile::RaiseBlobFileError(TErrorCode code) const { RaiseEngineError(code, ErrorNames()); }

void TBlobFile::RaiseBlobFileCorrupt(const TDamagePlace& place, TErrorCode code) const { RaiseDamaged(code, place); }

TDamagePlace TBlobFile::BlockPlace(int32_t blockNo) const {
  return {"block", blockNo, blockNo > 0 ? BlockOffset(blockNo) : -1};
}

// ---------------------------------------------------------------------------------------
// Opening, creating, header

void TBlobFile::SetBlockSize(int32_t blockSize, bool encrypted) {
  if (blockSize == 0) blockSize = kDefaultBlobBlockSize;
  if (blockSize < kMinBlobBlockSize || blockSize > kMaxBlobBlockSize) RaiseBlobFileError(KURA_BLOBLIMIT);
  FBlockSize = blockSize;
  FEncrypted = encrypted;
  FBlocksPerRead = std::max(1, kBlobReadAheadBytes / FBlockSize);
  FStatistics = {};
}

size_t TBlobFile::CacheLimit() const {
  const int32_t bytes = FOwner ? FOwner->MaxBlobBufferSize() : 32768;
  const int32_t blocks = FOwner ? FOwner->MaxBlobBufferCount() : 8192;
  return static_cast<size_t>(std::max(1, std::min(bytes / FBlockSize, blocks)));
}

void TBlobFile::OpenBlobFile(int32_t blockSize, bool encrypted) {
  SetBlockSize(blockSize, encrypted);
  auto close = OnScopeFail([this] { CloseBlobFile(); });
  Open();
  ReadHeader();
  if (FHeader.FormatVersion != kBlobFileFormatVersion) RaiseBlobFileError(KURA_OLDVERSION);
  FCapacity = CacheLimit();
}

void TBlobFile::CloseBlobFile() {
  for (auto& entry : FCache) FBlockStack.Push(std::move(entry.second));
  FCache.clear();
  FMru.Clear();
  Close();
}

void TBlobFile::CreateBlobFile(int32_t blockSize, bool encrypted) {
  CloseBlobFile();
  SetBlockSize(blockSize, encrypted);
  FHeader = TBlobFileHeader{};
  FHeader.HeaderChanged = true;
  auto close = OnScopeFail([this] { CloseBlobFile(); });
  Create();
  WriteHeader(true);
  FCapacity = CacheLimit();
}

void TBlobFile::ReadHeader() {
  uint8_t bytes[kBlobFileHeaderSize];
  const int32_t got = ReadAt(0, bytes, kBlobFileHeaderSize, true);
  if (got != kBlobFileHeaderSize) RaiseBlobFileCorrupt({"header cut short", -1, got}, KURA_HEADERCORRUPT);
  if (FEncrypted) Scramble(bytes, kBlobFileHeaderSize, kRecordKey);
  ReadBlobFileHeader(bytes, FHeader);
}

bool TBlobFile::ReadHeaderIfChanged() {
  uint8_t bytes[kBlobFileHeaderSize];
  const int32_t got = ReadAt(0, bytes, kBlobFileHeaderSize, true);
  if (got != kBlobFileHeaderSize) RaiseBlobFileCorrupt({"header cut short", -1, got}, KURA_HEADERCORRUPT);
  if (FEncrypted) Scramble(bytes, kBlobFileHeaderSize, kRecordKey);
  if (ReadI32(bytes) == FHeader.ChangeCount) return false;
  ReadBlobFileHeader(bytes, FHeader);
  return true;
}

bool TBlobFile::WriteHeader(bool force) {
  if (!FHeader.HeaderChanged && !force) return false;
  ++FHeader.ChangeCount;
  uint8_t bytes[kBlobFileHeaderSize];
  WriteBlobFileHeader(FHeader, bytes);
  if (FEncrypted) Scramble(bytes, kBlobFileHeaderSize, kRecordKey);
  WriteAt(0, bytes, kBlobFileHeaderSize);
  if (FOwner) FOwner->MarkTableModified();
  FHeader.HeaderChanged = false;
  return true;
}

void TBlobFile::MarkChanged() {
  FHeader.HeaderChanged = true;
  if (FOwner) FOwner->MarkTableChanged();
}

void TBlobFile::MarkHeaderChanged() {
  ++FHeader.ChangeCount;
  MarkChanged();
}

void TBlobFile::EmptyBlobFile() {
  DiscardCache();
  {
    TFileAccess access(*this);
    Seek(soFromBeginning, kBlobFileHeaderSize);
    WriteBuffer(nullptr, 0);
  }
  if (FOwner && FOwner->ForceBufferFlush()) Flush();
  FHeader.FirstFreeBlock = 0;
  FHeader.NextBlockNo = 1;
  MarkChanged();
}

// ---------------------------------------------------------------------------------------
// Block cache

int64_t TBlobFile::BlockOffset(int32_t blockNo) const {
  return kBlobFileHeaderSize + static_cast<int64_t>(blockNo - 1) * FBlockSize;
}

void TBlobFile::RemoveFromCache(TBlock* b) {
  FMru.Unlink(b);
  auto it = FCache.find(b->BlockNo);
  FBlockStack.Push(std::move(it->second));
  FCache.erase(it);
}

TBlock* TBlobFile::AddBlock(int32_t blockNo, int32_t excludeFirst, int32_t excludeLast) {
  const size_t dataSize = static_cast<size_t>(BlockDataSize());
  // A pinned block can outlive a discard or an emptying of the file under its old
  // number; a new block of that number takes the object over instead of a second copy.
  if (auto existing = FCache.find(blockNo); existing != FCache.end()) {
    TBlock* block = existing->second.get();
    block->Clear();
    block->Dirty = false;
    FMru.Touch(block);
    return block;
  }
  if (FCache.size() >= FCapacity) {
    TBlock* victim = FMru.FindVictim();
    if (!victim && !(FOwner && FOwner->InTransaction())) {
      FlushBlocksExcept(excludeFirst, excludeLast);
      victim = FMru.FindVictim();
    }
    if (victim) {
      // Take the object over: out of the map under its old number, in under the new.
      FMru.Unlink(victim);
      auto node = FCache.extract(victim->BlockNo);
      victim->Reset(dataSize, blockNo);
      victim->Owner = this;
      node.key() = blockNo;
      FCache.insert(std::move(node));
      FMru.LinkNewest(victim);
      return victim;
    }
    FCapacity += 4;
  }
  std::unique_ptr<TBlock> block = FBlockStack.Pop(dataSize, blockNo);
  block->Owner = this;
  TBlock* raw = block.get();
  FCache.emplace(blockNo, std::move(block));
  FMru.LinkNewest(raw);
  return raw;
}

TBlock* TBlobFile::GetBlock(int32_t blockNo, int32_t readAhead) {
  ++FStatistics.BlocksRequested;
  if (blockNo <= 0) RaiseBlobFileCorrupt(BlockPlace(blockNo));
  if (blockNo == FHeader.NextBlockNo) {
    if (blockNo > kMaxBlockCount || BlockOffset(blockNo) + FBlockSize > kMaxBlobFileEnd) {
      RaiseBlobFileError(KURA_TABLEFULL);
    }
    TBlock* block = AddBlock(blockNo, 0, -1);
    // A new block must reach the file even when the caller leaves it as it is, or the
    // file would hold fewer blocks than the header counts.
    block->Dirty = true;
    ++block->PinCount;
    ++FHeader.NextBlockNo;
    MarkChanged();
    return block;
  }
  if (blockNo > FHeader.NextBlockNo) RaiseBlobFileCorrupt(BlockPlace(blockNo));
  auto it = FCache.find(blockNo);
  if (it == FCache.end()) {
    const int32_t toEnd = FHeader.NextBlockNo - blockNo;
    int32_t count = std::min({FBlocksPerRead, std::max(readAhead, 1), toEnd});
    count =
        static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(std::max(count, 1)), std::max<size_t>(FCapacity, 1)));
    ReadRun(blockNo, count);
    it = FCache.find(blockNo);
    if (it == FCache.end()) RaiseBlobFileCorrupt(BlockPlace(blockNo));
    // ReadRun pinned it so that the rest of the run could not evict it.
    FMru.Touch(it->second.get());
    return it->second.get();
  }
  TBlock* block = it->second.get();
  FMru.Touch(block);
  ++block->PinCount;
  return block;
}

void TBlobFile::ReadRun(int32_t blockNo, int32_t count) {
  const size_t blockSize = static_cast<size_t>(FBlockSize);
  const size_t bytes = static_cast<size_t>(count) * blockSize;
  if (FReadBuffer.size() < bytes) FReadBuffer.resize((bytes + 4095) / 4096 * 4096);
  const int32_t got = ReadAt(BlockOffset(blockNo), FReadBuffer.data(), static_cast<int32_t>(bytes), true);
  ++FStatistics.Reads;
  const int32_t blocksRead = static_cast<int32_t>(static_cast<size_t>(std::max(got, 0)) / blockSize);
  FStatistics.BlocksRead += blocksRead;
  const int32_t runLast = blockNo + count - 1;

  auto takeBlock = [&](int32_t n) -> TBlock* {
    uint8_t* source = FReadBuffer.data() + static_cast<size_t>(n - blockNo) * blockSize;
    auto found = FCache.find(n);
    TBlock* block;
    if (found != FCache.end()) {
      block = found->second.get();
      // Changed or in-use blocks are newer than the file.
      if (block->Dirty || block->PinCount > 0) return block;
    } else {
      block = AddBlock(n, blockNo, runLast);
    }
    if (FEncrypted) {
      Scramble(source, kBlockHeaderSize, kRecordKey);
      Scramble(source + kBlockHeaderSize, blockSize - kBlockHeaderSize, kRecordKey);
    }
    block->Decode(source);
    return block;
  };

  if (blocksRead < 1) {
    // The wanted block is not in the file: only a cached copy can serve it.
    auto found = FCache.find(blockNo);
    if (found == FCache.end()) RaiseBlobFileCorrupt({"block missing from the file", blockNo, BlockOffset(blockNo)});
    ++found->second->PinCount;
    return;
  }
  TBlock* wanted = takeBlock(blockNo);
  ++wanted->PinCount;
  auto unpin = OnScopeFail([wanted] { --wanted->PinCount; });
  for (int32_t n = blockNo + 1; n < blockNo + blocksRead; ++n) takeBlock(n);
}

void TBlobFile::ReleaseBlock(TBlock* block) {
  if (block && block->PinCount > 0) --block->PinCount;
}

void TBlobFile::CheckBlockNo(int32_t blockNo) const {
  if (blockNo < 1 || blockNo > BlockCount()) RaiseBlobFileCorrupt({"block number out of range", blockNo, -1});
}

TBlock* TBlobFile::AllocateBlock() {
  const int32_t freeBlock = FHeader.FirstFreeBlock;
  TBlock* block;
  if (freeBlock == 0) {
    block = GetBlock(FHeader.NextBlockNo);
  } else {
    CheckBlockNo(freeBlock);
    TBlockPin pinned(*this, GetBlock(freeBlock));
    FHeader.FirstFreeBlock = CheckedFreeLink(*pinned.Get());
    block = pinned.Release();
  }
  block->Clear();
  block->Dirty = true;
  MarkChanged();
  return block;
}

int32_t TBlobFile::CheckedFreeLink(const TBlock& block) const {
  // A free link out of the file, or one back to the block itself, would hand out a
  // block that does not exist or the same block again; a free block that a caller
  // holds (beyond the one pin of the chain's walker) is in use.
  const int32_t next = block.Next;
  if (next < 0 || next > BlockCount() || next == block.BlockNo || block.PinCount > 1) {
    RaiseBlobFileCorrupt({"free chain at block", block.BlockNo, BlockOffset(block.BlockNo)});
  }
  return next;
}

void TBlobFile::CheckFreeChain() {
  int32_t blockNo = FHeader.FirstFreeBlock;
  // A chain longer than the file has blocks loops.
  for (int32_t steps = 0; blockNo != 0; ++steps) {
    if (steps >= BlockCount()) RaiseBlobFileCorrupt({"free chain loops at block", blockNo, BlockOffset(blockNo)});
    CheckBlockNo(blockNo);
    TBlockPin block(*this, GetBlock(blockNo));
    blockNo = CheckedFreeLink(*block.Get());
  }
}

void TBlobFile::FreeBlock(TBlock* block) {
  block->Next = FHeader.FirstFreeBlock;
  FHeader.FirstFreeBlock = block->BlockNo;
  block->Dirty = true;
  MarkChanged();
}

void TBlobFile::CollectChain(int32_t firstBlock, int32_t expectedPrevious, int32_t blobId, bool tolerant,
                             std::vector<int32_t>& chain) {
  chain.clear();
  const int32_t count = BlockCount();
  int32_t previous = expectedPrevious;
  int32_t current = firstBlock;
  CheckBlockNo(current);
  while (current != 0) {
    // A chain cannot hold more blocks than the file: more means it loops.
    if (static_cast<int64_t>(chain.size()) >= count)
      RaiseBlobFileCorrupt({"chain loops at block", current, BlockOffset(current)});
    TBlockPin block(*this, GetBlock(current, FBlocksPerRead));
    if (block->BlobId != blobId && !tolerant) RaiseBlobFileCorrupt({"BLOB id of block", current, BlockOffset(current)});
    // The previous link must name the block the walk came from; a chain that loops back
    // enters some block from a second predecessor and fails here.
    if (block->Previous != previous && !tolerant)
      RaiseBlobFileCorrupt({"previous link of block", current, BlockOffset(current)});
    chain.push_back(current);
    const int32_t next = block->Next;
    if (next != 0) CheckBlockNo(next);
    previous = current;
    current = next;
  }
}

void TBlobFile::FreeChain(const std::vector<int32_t>& chain, int32_t blobId) {
  for (size_t i = 0; i < chain.size(); ++i) {
    // Chains are mostly runs of consecutive blocks: read ahead over what is left.
    TBlockPin block(*this,
                    GetBlock(chain[i], static_cast<int32_t>(std::min<size_t>(chain.size() - i, kMaxBlockCount))));
    block->BlobId = blobId;
    FreeBlock(block.Get());
  }
}

void TBlobFile::FreeBlobChain(int32_t firstBlock, int32_t blobId, bool tolerant) {
  CollectChain(firstBlock, 0, blobId, tolerant, FChain);
  FreeChain(FChain, blobId);
}

// ---------------------------------------------------------------------------------------
// Values

void TBlobFile::ReadBlob(TBlobBuffer& buffer) {
  const int32_t id = buffer.BlobId;
  const int32_t dataSize = BlockDataSize();
  buffer.Data.clear();
  if (buffer.FirstBlock == 0) {
    buffer.MarkClean();
    return;
  }
  CheckBlockNo(buffer.FirstBlock);
  TBlockPin block(*this, GetBlock(buffer.FirstBlock, FBlocksPerRead));
  if (block->BlobId != id) RaiseBlobFileError(KURA_KEYORRECDELETED);
  const int32_t size = block->TotalSize;
  if (size < 0)
    RaiseBlobFileCorrupt({"value size in block", buffer.FirstBlock, BlockOffset(buffer.FirstBlock)},
                         KURA_INVALIDBLOBLEN);
  // The chain cannot hold more than every block of the file; a larger size is a chain
  // that ends too early, and must not make us allocate for it.
  if (static_cast<int64_t>(size) > static_cast<int64_t>(BlockCount()) * dataSize) {
    RaiseBlobFileError(KURA_ENDOFBLOB);
  }
  // Reserve for what a sound value of this size needs, within reason: the bytes are
  // appended as the chain delivers them, so a damaged size costs no more memory than the
  // chain really holds.
  buffer.Data.reserve(static_cast<size_t>(std::min<int64_t>(size, kMaxReserve)));
  int64_t copied = 0;
  int32_t previous = 0;
  for (;;) {
    const TDamagePlace here = BlockPlace(block->BlockNo);
    if (block->PinCount > 1) RaiseBlobFileCorrupt({"chain loops at block", here.Number, here.Offset});
    if (block->BlobId != id) RaiseBlobFileError(KURA_KEYORRECDELETED);
    if (block->Previous != previous) RaiseBlobFileCorrupt({"previous link of block", here.Number, here.Offset});
    if (block->Used > dataSize)
      RaiseBlobFileCorrupt({"used count of block", here.Number, here.Offset}, KURA_INVALIDBLOBLEN);
    const int64_t piece = std::min<int64_t>(dataSize, size - copied);
    const int64_t available = std::min<int64_t>(piece, block->Used);
    buffer.Data.insert(buffer.Data.end(), block->Data.begin(), block->Data.begin() + static_cast<ptrdiff_t>(available));
    copied += available;
    if (available < piece || copied == size || block->Next == 0) break;
    const int32_t next = block->Next;
    CheckBlockNo(next);
    previous = block->BlockNo;
    const int64_t blocksLeft = (size - copied + dataSize - 1) / dataSize;
    block.Reset(nullptr);
    block.Reset(GetBlock(next, static_cast<int32_t>(blocksLeft)));
  }
  if (copied < size) RaiseBlobFileError(KURA_ENDOFBLOB);
  buffer.MarkClean();
}

void TBlobFile::WriteBlob(TBlobBuffer& buffer, int32_t newBlobId) {
  const size_t length = buffer.Data.size();
  if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max())) RaiseBlobFileError(KURA_INVALIDBLOBLEN);
  const int32_t oldId = buffer.BlobId;
  if (length == 0) {
    if (buffer.FirstBlock != 0) {
      // A chain that another value took over is not ours to free.
      CheckBlockNo(buffer.FirstBlock);
      {
        TBlockPin first(*this, GetBlock(buffer.FirstBlock, FBlocksPerRead));
        if (first->BlobId != oldId) RaiseBlobFileError(KURA_KEYORRECDELETED);
      }
      FreeBlobChain(buffer.FirstBlock, oldId);
    }
    buffer.FirstBlock = 0;
    buffer.BlobId = 0;
    buffer.MarkClean();
    return;
  }
  const int32_t size = static_cast<int32_t>(length);
  const int32_t dataSize = BlockDataSize();
  // Read-ahead along the old chain follows the old value's size.
  int64_t oldBlocksLeft = 0;
  TBlockPin block(*this, nullptr);
  if (buffer.FirstBlock != 0) {
    CheckBlockNo(buffer.FirstBlock);
    block.Reset(GetBlock(buffer.FirstBlock, FBlocksPerRead));
    if (block->BlobId != oldId) RaiseBlobFileError(KURA_KEYORRECDELETED);
    if (block->Previous != 0)
      RaiseBlobFileCorrupt({"previous link of block", block->BlockNo, BlockOffset(block->BlockNo)});
    oldBlocksLeft = (std::max<int64_t>(block->TotalSize, 0) + dataSize - 1) / dataSize;
  } else {
    block.Reset(AllocateBlock());
  }
  const int32_t firstBlock = block->BlockNo;
  block->BlobId = newBlobId;
  block->TotalSize = size;
  size_t written = 0;
  for (;;) {
    const size_t piece = std::min<size_t>(static_cast<size_t>(dataSize), length - written);
    std::memcpy(block->Data.data(), buffer.Data.data() + written, piece);
    if (piece < block->Data.size())
      std::fill(block->Data.begin() + static_cast<ptrdiff_t>(piece), block->Data.end(), 0);
    block->Used = static_cast<uint16_t>(piece);
    block->Dirty = true;
    written += piece;
    if (written == length) break;
    const int32_t current = block->BlockNo;
    const int32_t next = block->Next;
    if (next != 0) {
      // Rewriting in place: the old chain goes on, checked as when reading it.
      CheckBlockNo(next);
      --oldBlocksLeft;
      block.Reset(nullptr);
      block.Reset(GetBlock(next, static_cast<int32_t>(std::clamp<int64_t>(oldBlocksLeft, 1, kMaxBlockCount))));
      // Links first: a chain that loops back into the part already rewritten shows the
      // new id, which is no takeover but a broken chain.
      if (block->Previous != current || block->PinCount > 1) {
        RaiseBlobFileCorrupt({"previous link of block", block->BlockNo, BlockOffset(block->BlockNo)});
      }
      if (block->BlobId != oldId) RaiseBlobFileError(KURA_KEYORRECDELETED);
    } else {
      TBlock* fresh = AllocateBlock();
      block->Next = fresh->BlockNo;
      block.Reset(fresh);
      block->Previous = current;
    }
    block->BlobId = newBlobId;
    block->TotalSize = 0;
  }
  if (block->Next != 0) {
    // The old value was longer: the rest of its chain is surplus. It is checked whole
    // before anything is freed.
    CollectChain(block->Next, block->BlockNo, oldId, false, FChain);
    FreeChain(FChain, oldId);
    block->Next = 0;
  }
  buffer.FirstBlock = firstBlock;
  buffer.BlobId = newBlobId;
  buffer.MarkClean();
}

// ---------------------------------------------------------------------------------------
// Writing and trimming the cache

bool TBlobFile::FlushBlocks() { return FlushBlocksExcept(0, -1); }

bool TBlobFile::FlushBlocksExcept(int32_t excludeFirst, int32_t excludeLast) {
  std::vector<TBlock*> dirty;
  for (auto& entry : FCache) {
    TBlock* b = entry.second.get();
    if (b->Dirty && b->PinCount == 0 && !(b->BlockNo >= excludeFirst && b->BlockNo <= excludeLast)) {
      dirty.push_back(b);
    }
  }
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(), [](const TBlock* a, const TBlock* b) { return a->BlockNo < b->BlockNo; });
  const size_t blockSize = static_cast<size_t>(FBlockSize);
  // A run is cut at the read-ahead size so that the buffer stays small.
  const size_t maxRun = static_cast<size_t>(std::max(FBlocksPerRead, 1));
  size_t runStart = 0;
  while (runStart < dirty.size()) {
    size_t runEnd = runStart + 1;
    while (runEnd < dirty.size() && runEnd - runStart < maxRun &&
           dirty[runEnd]->BlockNo == dirty[runEnd - 1]->BlockNo + 1) {
      ++runEnd;
    }
    const size_t count = runEnd - runStart;
    if (FWriteBuffer.size() < count * blockSize) FWriteBuffer.resize((count * blockSize + 4095) / 4096 * 4096);
    for (size_t i = 0; i < count; ++i) {
      uint8_t* target = FWriteBuffer.data() + i * blockSize;
      dirty[runStart + i]->Encode(target);
      if (FEncrypted) {
        Scramble(target, kBlockHeaderSize, kRecordKey);
        Scramble(target + kBlockHeaderSize, blockSize - kBlockHeaderSize, kRecordKey);
      }
    }
    WriteAt(BlockOffset(dirty[runStart]->BlockNo), FWriteBuffer.data(), static_cast<int32_t>(count * blockSize));
    for (size_t i = runStart; i < runEnd; ++i) dirty[i]->Dirty = false;
    ++FStatistics.Flushes;
    if (FOwner) FOwner->MarkTableModified();
    runStart = runEnd;
  }
  if (FOwner && FOwner->ForceBufferFlush()) Flush();
  return true;
}

void TBlobFile::TrimCache() {
  const size_t limit = CacheLimit();
  TBlock* b = FMru.Oldest();
  while (b && FCache.size() > limit) {
    TBlock* newer = b->Newer;
    if (!b->Dirty && b->PinCount == 0) RemoveFromCache(b);
    b = newer;
  }
  FCapacity = std::max(limit, size_t{1});
}

void TBlobFile::DiscardCache() {
  TBlock* b = FMru.Oldest();
  while (b) {
    TBlock* newer = b->Newer;
    if (b->PinCount == 0) RemoveFromCache(b);
    b = newer;
  }
}

// ---------------------------------------------------------------------------------------
// Consistency check

void TBlobFile::CheckHeader() {
  if (FHeader.FormatVersion != kBlobFileFormatVersion) RaiseBlobFileError(KURA_OLDVERSION);
  const auto corrupt = [this](const TDamagePlace& place) { RaiseBlobFileCorrupt(place, KURA_HEADERCORRUPT); };
  const int32_t count = BlockCount();
  const TDamagePlace nextBlockNo{"header: next block number", FHeader.NextBlockNo, 13};
  const TDamagePlace firstFree{"header: first free block", FHeader.FirstFreeBlock, 9};
  if (FHeader.NextBlockNo < 1 || count > kMaxBlockCount) corrupt(nextBlockNo);
  if (count > 0 && BlockOffset(count) + FBlockSize > kMaxBlobFileEnd) corrupt(nextBlockNo);
  if (FHeader.FirstFreeBlock < 0 || FHeader.FirstFreeBlock > count) corrupt(firstFree);
  if (FHeader.NextBlockNo == 1 && FHeader.FirstFreeBlock != 0) corrupt(firstFree);
  // Blocks that are still only in the cache have not reached the file yet; every other
  // block must be there.
  int32_t onDisk = count;
  while (onDisk > 0) {
    auto it = FCache.find(onDisk);
    if (it == FCache.end() || !it->second->Dirty) break;
    --onDisk;
  }
  if (const int64_t size = GetFileSize(); size < BlockOffset(onDisk + 1)) {
    corrupt({"file ends before the end of block", onDisk, size});
  }
}

// ---------------------------------------------------------------------------------------
// What a flush will write

bool TBlobFile::PendingWrites() const {
  if (FHeader.HeaderChanged) return true;
  for (const auto& entry : FCache) {
    if (entry.second->Dirty) return true;
  }
  return false;
}

void TBlobFile::FlushRanges(int64_t below, std::vector<TByteRange>& ranges) const {
  ranges.push_back({0, kBlobFileHeaderSize});
  for (const auto& entry : FCache) {
    const int64_t offset = BlockOffset(entry.first);
    if (entry.second->Dirty && offset < below) ranges.push_back({offset, FBlockSize});
  }
}

}  // namespace kura
