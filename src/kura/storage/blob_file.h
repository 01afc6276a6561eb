#pragma once

// The BLOB file of a table (".BLB"): a 512-byte header followed by fixed-size blocks of
// B bytes each, B being the data file's BlobBlockSize (512 when 0). A value is a chain of
// blocks linked both ways (block layout in block.h); the record's BLOB field holds the
// chain's first block and the value's BLOB id, which every block of the chain carries
// and which changes with every write, so a reader can tell when the value was replaced.
// Unused blocks form a chain of free blocks through their next links. All integers
// little-endian.
//
// File layout:
//   header     at 0, 512 bytes
//   block n    at 512 + (n - 1) * B, for n from 1 to NextBlockNo - 1
// At most 2,000,000,000 blocks; no block may end beyond byte 4,000,000,000.
//
// Header:
// | offset | size | field          | meaning                                              |
// |--------|------|----------------|------------------------------------------------------|
// |      0 |    4 | ChangeCount    | int32, incremented by every header write             |
// |      4 |    4 | reserved       | zero                                                 |
// |      8 |    1 | FormatVersion  | 5                                                    |
// |      9 |    4 | FirstFreeBlock | int32 head of the chain of free blocks, 0 when none  |
// |     13 |    4 | NextBlockNo    | int32 number of the next appended block (count + 1)  |
// |     17 |    1 | HeaderChanged  | writer's flag as it stood; ignored on read           |
// |     18 |  494 | reserved       | zero                                                 |
//
// Encrypted tables: the header (all 512 bytes) is scrambled with the record key; each
// block as described in block.h.
//
// Byte-range locks (far beyond the end of the file, so they never block data transfer):
//   shared      one byte at 0xFFFFFFFF - r, r drawn at random from 1 to 65535 per attempt
//   exclusive   the 65536 bytes from 0xFFFEFFFF, which cover every shared byte
//
// Chains read from the file are never trusted: every block number is checked against
// the block count, every block's previous link must name the block the walk came from
// (which also catches a chain that loops), and sizes are checked against what the file
// can hold, so damaged bytes end in an engine error, never in a crash or an endless walk.

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/storage/mru_chain.h"
#include "kura/storage/blob_buffer.h"
#include "kura/storage/block.h"
#include "kura/storage/table_file.h"

namespace kura {

constexpr int kBlobFileHeaderSize = 512;
constexpr uint8_t kBlobFileFormatVersion = 5;
constexpr int32_t kDefaultBlobBlockSize = 512;
// The data area of a block must hold at least one byte, and its used count is 16 bits.
constexpr int32_t kMinBlobBlockSize = 64;
constexpr int32_t kMaxBlobBlockSize = kBlockHeaderSize + 65535;
constexpr int32_t kMaxBlockCount = 2000000000;
constexpr int64_t kMaxBlobFileEnd = 4000000000;
constexpr int kBlobReadAheadBytes = 16384;
constexpr int64_t kBlobSharedLockBase = 0xFFFFFFFF;
constexpr int64_t kBlobExclusiveLockOffset = 0xFFFEFFFF;
constexpr int64_t kBlobExclusiveLockLength = 65536;
constexpr TLockRegion kBlobLockRegion{kBlobSharedLockBase, kBlobExclusiveLockOffset, kBlobExclusiveLockLength};

struct TBlobFileHeader {
  int32_t ChangeCount = 0;
  uint8_t FormatVersion = kBlobFileFormatVersion;
  int32_t FirstFreeBlock = 0;
  int32_t NextBlockNo = 1;
  bool HeaderChanged = false;
};

// The 512 header bytes (unscrambled) to and from the structure.
void ReadBlobFileHeader(const uint8_t* bytes, TBlobFileHeader& header);
void WriteBlobFileHeader(const TBlobFileHeader& header, uint8_t* bytes);

// What a BLOB file needs from the table that owns it. The defaults describe a file
// opened on its own (tools, tests): no transaction, session defaults.
class TBlobFileOwner {
public:
  virtual ~TBlobFileOwner() = default;
  // Names for the error context; empty means "derive from the file name".
  virtual std::string TableName() const { return {}; }
  virtual std::string DirectoryPath() const { return {}; }
  // A transaction is active: dirty blocks stay in the cache until it commits.
  virtual bool InTransaction() const { return false; }
  // Data was written to one of the table's files.
  virtual void MarkTableModified() {}
  // The header changed in memory and must be written with the next commit.
  virtual void MarkTableChanged() {}
  // Session settings: the block cache keeps at most min(bytes / B, blocks) blocks.
  virtual int32_t MaxBlobBufferSize() const { return 32768; }
  virtual int32_t MaxBlobBufferCount() const { return 8192; }
  virtual bool ForceBufferFlush() const { return false; }
};

struct TBlobFileStatistics {
  int64_t BlocksRequested = 0;  // GetBlock calls
  int64_t Reads = 0;            // reads of blocks from the file
  int64_t BlocksRead = 0;       // blocks those reads brought in
  int64_t Flushes = 0;          // writes of runs of changed blocks
};

// One BLOB file per open table per process, shared by all cursors of the table; callers
// serialise access through the table. Between processes the shared and exclusive lock
// regions (together with the data and index files' locks) are the only coordination;
// readers detect other writers through ChangeCount.
class TBlobFile : public TTableFile {
public:
  // owner may be nullptr (a standalone file with the session defaults). The owner must
  // outlive the BLOB file.
  explicit TBlobFile(std::string fileName, bool inMemory = false, TBlobFileOwner* owner = nullptr);
  ~TBlobFile() override;

  // Opens the file with the table's block size (0 means 512) and encryption, reads the
  // header and sizes the cache and the read-ahead. Raises KURA_BLOBLIMIT for a block size
  // outside 64 to 65553, KURA_HEADERCORRUPT for a header shorter than 512 bytes,
  // KURA_OLDVERSION for another format version; closes again on any failure.
  void OpenBlobFile(int32_t blockSize, bool encrypted);
  // Writes nothing: drops the cache and closes. No block may still be pinned.
  void CloseBlobFile();
  // Creates the file with a fresh header (version 5, no free block, NextBlockNo 1),
  // written before it returns. Raises KURA_BLOBLIMIT for an invalid block size.
  void CreateBlobFile(int32_t blockSize, bool encrypted);

  void ReadHeader();
  // Re-reads the header when another writer changed it (its ChangeCount differs). On
  // true the caller discards the block cache: its contents may be old.
  bool ReadHeaderIfChanged();
  // Writes the header when it changed (or when forced), with ChangeCount incremented.
  bool WriteHeader(bool force = false);
  void MarkHeaderChanged();
  // Cuts the file after the header: no blocks, no free chain; header marked changed.
  void EmptyBlobFile();

  // Block blockNo, pinned; release it with ReleaseBlock. blockNo equal to NextBlockNo
  // appends a new zero-filled dirty block (KURA_TABLEFULL at the limits). A miss reads up
  // to min(read-ahead, readAhead, blocks to the end) consecutive blocks in one read;
  // readAhead is how many blocks from blockNo on the caller expects to visit (at least 1
  // is read). Raises KURA_MEMOCORRUPT for block 0, a block beyond the end or one the file
  // lacks.
  TBlock* GetBlock(int32_t blockNo, int32_t readAhead = 1);
  void ReleaseBlock(TBlock* block);
  void MarkBlockDirty(TBlock* block) { block->Dirty = true; }
  // A cleared, dirty, pinned block: the head of the free chain (the new head is its next
  // link) or a new block at the end. Raises KURA_MEMOCORRUPT when the free chain is
  // damaged.
  TBlock* AllocateBlock();
  // Walks the chain of free blocks as AllocateBlock would take them: every link inside
  // the file, none to the block itself, no loop. Raises KURA_MEMOCORRUPT naming the
  // first bad block. Pins nothing once it returns.
  void CheckFreeChain();
  // Puts a pinned block at the head of the free chain.
  void FreeBlock(TBlock* block);
  // Frees every block of the chain that starts at firstBlock. Every block must carry
  // blobId (otherwise 8963, unless tolerant, which accepts and rewrites the id) and the
  // chain must be well linked (KURA_MEMOCORRUPT). The chain is checked whole before any
  // block is freed, so a damaged chain is left as it was.
  void FreeBlobChain(int32_t firstBlock, int32_t blobId, bool tolerant = false);

  // Loads the value of buffer.FirstBlock / buffer.BlobId into buffer.Data (an empty value
  // when FirstBlock is 0) and marks the buffer clean. Raises KURA_KEYORRECDELETED when a
  // block carries another id (the value was replaced meanwhile), KURA_ENDOFBLOB when the
  // chain holds fewer bytes than the value's size, KURA_INVALIDBLOBLEN for a used count
  // or size that no block or value can have, KURA_MEMOCORRUPT for a broken chain.
  void ReadBlob(TBlobBuffer& buffer);
  // Stores buffer.Data under newBlobId: an empty value frees the old chain; otherwise the
  // old chain is rewritten in place, grown with allocated blocks or cut, its surplus
  // blocks freed. On return buffer.FirstBlock and buffer.BlobId are the field's new
  // reference (0, 0 for an empty value) and the buffer is clean. Raises
  // KURA_INVALIDBLOBLEN for a value above 2,147,483,647 bytes, KURA_KEYORRECDELETED when
  // the old chain was taken over by another value, KURA_MEMOCORRUPT for a broken old
  // chain, KURA_TABLEFULL when the file is full.
  void WriteBlob(TBlobBuffer& buffer, int32_t newBlobId);

  // Writes every dirty, unpinned block, consecutive blocks in one write each.
  bool FlushBlocks();
  // Whether the next flush (blocks, header) has anything to write, and the byte ranges
  // below `below` it may write (a superset): what a rollback journal saves ahead of the
  // flush.
  bool PendingWrites() const;
  void FlushRanges(int64_t below, std::vector<TByteRange>& ranges) const;
  // Evicts clean, unpinned blocks, oldest first, down to the configured cache size.
  void TrimCache();
  // Drops every unpinned block, dirty or not.
  void DiscardCache();

  // Byte-range locks over kBlobLockRegion, each retried as LockRetry() says; false when
  // the attempts are exhausted (or an unlock names no held lock). The shared lock hands
  // back the byte it took as a token for UnlockShared, and token 0 when it fails.
  bool LockShared(int32_t& token) { return LockSharedRegion(kBlobLockRegion, token); }
  bool UnlockShared(int32_t token) { return UnlockSharedRegion(kBlobLockRegion, token); }
  bool LockExclusive() { return LockExclusiveRegion(kBlobLockRegion); }
  bool UnlockExclusive() { return UnlockExclusiveRegion(kBlobLockRegion); }

  // Consistency check of the header: KURA_OLDVERSION for another version;
  // KURA_HEADERCORRUPT when NextBlockNo or FirstFreeBlock is out of range, when there is
  // a free block in a file without blocks, or when the file is shorter than its blocks.
  // Blocks beyond NextBlockNo are surplus (see SurplusBytes).
  void CheckHeader();
  // Bytes beyond the last block NextBlockNo counts (whole or partial blocks a writer left
  // when it died); CutSurplus cuts them off (true when there were any; raises
  // KURA_WRITEERR). The table's writer cuts them under the write lock.
  int64_t SurplusBytes() { return SurplusBeyond(BlockOffset(FHeader.NextBlockNo)); }
  bool CutSurplus() { return CutSurplusBeyond(BlockOffset(FHeader.NextBlockNo)); }

  const TBlobFileHeader& Header() const { return FHeader; }
  int32_t BlockCount() const { return FHeader.NextBlockNo - 1; }
  int32_t BlockSize() const { return FBlockSize; }
  int32_t BlockDataSize() const { return FBlockSize - kBlockHeaderSize; }
  bool Encrypted() const { return FEncrypted; }
  int64_t BlockOffset(int32_t blockNo) const;
  const TBlobFileStatistics& Statistics() const { return FStatistics; }
  size_t CachedBlockCount() const { return FCache.size(); }
  bool IsCached(int32_t blockNo) const { return FCache.count(blockNo) != 0; }
  int32_t ReadAheadBlocks() const { return FBlocksPerRead; }
  // Cache limit from the owner's settings: min(bytes / B, blocks), at least 1.
  size_t CacheLimit() const;

  // Raises a corruption error of this file (KURA_MEMOCORRUPT unless another code is
  // given, KURA_HEADERCORRUPT for the header) with its table and directory names and the
  // place of the damage (see TDamagePlace). Every damaged-file path goes here.
  [[noreturn]] void RaiseBlobFileCorrupt(const TDamagePlace& place, TErrorCode code = KURA_MEMOCORRUPT) const;
  // The place of a damaged block, for RaiseBlobFileCorrupt.
  TDamagePlace BlockPlace(int32_t blockNo) const;
  // Raises any other error with this file's names.
  [[noreturn]] void RaiseBlobFileError(TErrorCode code) const;

protected:
  TErrorNames OwnerNames() const override { return NamesOf(FOwner); }

private:
  void SetBlockSize(int32_t blockSize, bool encrypted);
  void MarkChanged();
  void ReadRun(int32_t blockNo, int32_t count);
  TBlock* AddBlock(int32_t blockNo, int32_t excludeFirst, int32_t excludeLast);
  void RemoveFromCache(TBlock* block);
  bool FlushBlocksExcept(int32_t excludeFirst, int32_t excludeLast);
  void CheckBlockNo(int32_t blockNo) const;
  // The next link of a free block, checked as CheckFreeChain describes.
  int32_t CheckedFreeLink(const TBlock& block) const;
  // Walks the chain from firstBlock (whose previous link must be expectedPrevious) and
  // returns its block numbers, checked as FreeBlobChain describes.
  void CollectChain(int32_t firstBlock, int32_t expectedPrevious, int32_t blobId, bool tolerant,
                    std::vector<int32_t>& chain);
  void FreeChain(const std::vector<int32_t>& chain, int32_t blobId);

  TBlobFileOwner* FOwner;
  TBlobFileHeader FHeader;
  int32_t FBlockSize = kDefaultBlobBlockSize;
  bool FEncrypted = false;
  std::unordered_map<int32_t, std::unique_ptr<TBlock>> FCache;
  TMruChain<TBlock> FMru;  // most recently used first
  size_t FCapacity = 1;
  TBlockStack FBlockStack;
  // Separate buffers: a read may have to flush to make room while its run is decoded.
  std::vector<uint8_t> FReadBuffer;
  std::vector<uint8_t> FWriteBuffer;
  std::vector<int32_t> FChain;
  int32_t FBlocksPerRead = 1;
  TBlobFileStatistics FStatistics;
};

// Keeps a block pinned for a scope.
using TBlockPin = TPinHolder<TBlobFile, TBlock, &TBlobFile::ReleaseBlock>;

}  // namespace kura
