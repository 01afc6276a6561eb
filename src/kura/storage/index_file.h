#pragma once

// The index file of a table (".IDX"): every index of the table as a B+-tree of 4096-byte
// pages (layout in index_page.h). Index numbers: 0 primary, 1 to 30 secondary, 31
// "Sys Deleted", 32 "Sys Text". All integers little-endian.
//
// Header page (page 0, 4096 bytes):
// | offset | size     | field              | meaning                                          |
// |--------|----------|--------------------|--------------------------------------------------|
// |      0 |        4 | ChangeCount        | int32, incremented by every header write         |
// |      4 |        4 | reserved           | zero                                             |
// |      8 |        1 | FormatVersion      | 5                                                |
// |      9 |        4 | NextPageNo         | int32 number of the next appended page (page     |
// |        |          |                    | count + 1); 1 when the file holds only the header|
// |     13 |        1 | SecondaryCount     | secondary indexes in use (descriptors 1..n)      |
// |     14 | 33 x 120 | descriptors        | TIndexDescriptor of index 0 to 32 (index_key.h)  |
// |   3974 |        4 | ActiveRecordCount  | int32 active records of the table                |
// |   3978 |        1 | NoPrimaryIndex     | 1 when the table has no primary index            |
// |   3979 |        1 | HeaderChanged      | the writer's flag, ignored on read               |
// |   3980 |        1 | DefinitionsLost    | 1 when the file was made anew because it was     |
// |        |          |                    | missing: the table's index definitions are gone  |
// |        |          |                    | until a repair restores them; 0 in every other   |
// |        |          |                    | index file                                       |
// |   3981 |      115 | reserved           | zero                                             |
//
// Encrypted tables scramble every page, the header included, with the record key.
//
// Byte-range locks (far beyond the end of the file):
//   shared     one byte at 0xFFFFFFFF - r, r random from 1 to 65535, kept for the unlock
//   exclusive  65536 bytes from 0xFFFEFFFF (covers every shared byte)
//
// One object per open table per process, shared by all cursors of the table; callers
// serialise access through the table. Pages come from a cache per index (GetPage pins,
// ReleasePage unpins); dirty pages reach the file in FlushPages, consecutive pages in
// one write.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/storage/disk_read_gate.h"
#include "kura/storage/field_definition.h"
#include "kura/storage/index_key.h"
#include "kura/storage/index_page.h"
#include "kura/storage/number_map.h"
#include "kura/storage/table_file.h"
#include "kura/storage/text_index_words.h"

namespace kura {

constexpr uint8_t kIndexFileFormatVersion = 5;
constexpr int kIndexHeaderDescriptorsOffset = 14;
constexpr int kIndexHeaderActiveCountOffset = 3974;
constexpr int kIndexHeaderDefinitionsLostOffset = 3980;
constexpr int32_t kMaxIndexPageNo = 2000000000;
constexpr int64_t kMaxIndexFileEnd = 4000000000;
constexpr int64_t kIndexSharedLockBase = 0xFFFFFFFF;
constexpr int64_t kIndexExclusiveLockOffset = 0xFFFEFFFF;
constexpr int64_t kIndexExclusiveLockLength = 65536;
constexpr TLockRegion kIndexLockRegion{kIndexSharedLockBase, kIndexExclusiveLockOffset, kIndexExclusiveLockLength};
constexpr int kPageCacheGrowth = 4;

struct TIndexFileHeader {
  int32_t ChangeCount = 0;
  uint8_t FormatVersion = kIndexFileFormatVersion;
  int32_t NextPageNo = 1;
  uint8_t SecondaryCount = 0;
  std::array<TIndexDescriptor, kIndexCount> Descriptors{};
  int32_t ActiveRecordCount = 0;
  bool NoPrimaryIndex = false;
  bool HeaderChanged = false;
  bool DefinitionsLost = false;
};

// The header page bytes to and from the structure (no scrambling here).
void ReadIndexFileHeader(const uint8_t* bytes, TIndexFileHeader& header);
void WriteIndexFileHeader(const TIndexFileHeader& header, uint8_t* bytes);

// A definition of an index as DefinePrimaryIndex and AddSecondaryIndex take it. KeySize
// is derived from the fields.
struct TIndexDefinition {
  std::string Name;
  std::vector<uint16_t> Fields;
  std::vector<bool> FieldDescending;  // per field; missing entries mean ascending
  bool Descending = false;
  bool CaseInsensitive = false;
  bool Unique = false;
  TIndexCompression Compression = TIndexCompression::None;
  bool NoCounts = false;
  bool Temporary = false;
};

// What an index file needs from the table that owns it; the defaults describe a table
// opened on its own (tools, tests).
class TIndexFileOwner {
public:
  virtual ~TIndexFileOwner() = default;
  virtual std::string TableName() const { return {}; }
  virtual std::string DirectoryPath() const { return {}; }
  virtual bool InTransaction() const { return false; }
  virtual void MarkTableModified() {}
  virtual void MarkTableChanged() {}
  // The session's index buffer size in bytes; TrimCache keeps bytes / 8192 pages.
  virtual int32_t MaxIndexBufferSize() const { return 16384; }
  virtual std::string PrivateDir() const;  // default: the system's temporary directory
};

struct TIndexFileStatistics {
  int64_t PageReads = 0;
  int64_t PageWrites = 0;  // pages written
  int64_t WriteRuns = 0;   // writes of runs of consecutive pages
};

class TIndexFile : public TTableFile {
public:
  explicit TIndexFile(std::string fileName, bool inMemory = false, TIndexFileOwner* owner = nullptr);
  ~TIndexFile() override;

  // The table's fields and language driver, needed for key sizes, header checks and key
  // comparison. Set before use; the vector is copied.
  void SetTableInfo(const std::vector<TFieldDefinition>& fields, uint16_t localeId, uint16_t sortId, bool encrypted);
  const std::vector<TFieldDefinition>& Fields() const { return FFields; }
  uint16_t LocaleId() const { return FLocaleId; }
  uint16_t SortId() const { return FSortId; }
  bool Encrypted() const { return FEncrypted; }

  // Opens and reads the header (KURA_OLDVERSION for another version, KURA_HEADERCORRUPT
  // for SecondaryCount above 32, a short header, or a NextPageNo beyond the pages of the
  // file); closes again on failure. Clears the statistics.
  void OpenIndexFile();
  // Drops the temporary indexes, discards every cached page, closes. Writes nothing.
  void CloseIndexFile();
  // Creates the file with a fresh header (written at once) and opens it.
  void CreateIndexFile();
  // The change check of a reader (under the table's read or write lock). Needs the file
  // open. Reads page 0; when its ChangeCount equals ours, changes nothing and returns
  // false. Otherwise takes the whole header from the file, discards every unpinned page
  // of the regular indexes (the caller discards the other files' buffers), keeps the
  // temporary indexes after the file's secondaries (dropping those that no longer fit)
  // and returns true. Raises KURA_HEADERCORRUPT for a short page 0, a SecondaryCount
  // above 30 or a NextPageNo beyond the file, KURA_OLDVERSION for another version.
  bool ReadHeaderIfChanged();
  // The header step of a commit (under the table's write lock, after FlushPages). When
  // the header changed or force is set: increments ChangeCount, writes page 0 without
  // the temporary descriptors, clears HeaderChanged and returns true; otherwise writes
  // nothing and returns false. Raises KURA_WRITEERR when the write fails (the header in
  // memory then still counts as changed).
  bool WriteHeader(bool force = false);
  // Records a change of the header in memory: the first change since the last write
  // moves ChangeCount (so the cursors of this session see it) and tells the owner that
  // the table changed. Never raises.
  void MarkHeaderChanged();
  bool HeaderChanged() const { return FHeader.HeaderChanged; }
  // Cuts the file after page 0 and empties every index.
  void EmptyIndexFile();

  // Pages. GetPage returns page `pageNo` of index `index` pinned; with isNew the page is
  // not read but zeroed, and pageNo equal to the index's next new page number appends a
  // page. A read (not isNew) never makes a page: a page number the header does not count
  // raises KURA_INDEXCORRUPT, and a cache miss asks the disk-read gate first (what it
  // raises passes through).
  TPage* GetPage(int index, int32_t pageNo, bool isNew = false);
  // Asked before any read of pages from the disk; nullptr (the default) asks nobody. The
  // gate must outlive its use here.
  void SetDiskReadGate(TDiskReadGate* gate) { FDiskReadGate = gate; }
  void ReleasePage(TPage* page);
  // A cleared, pinned, dirty page: the head of the index's free chain or a new page.
  TPage* AllocatePage(int index);
  // Puts the pinned page at the head of the index's free chain (the caller still
  // releases it).
  void FreePage(TPage* page);
  void MarkPageDirty(TPage* page) { page->Dirty = true; }
  // The page step of a commit (under the table's write lock, before WriteHeader): writes
  // every dirty, unpinned page of the regular indexes (or, with temporary, of the
  // temporary indexes to their own files), consecutive pages in one write each, and
  // marks them clean. True when anything was written. Pinned pages stay dirty for a
  // later flush. Raises KURA_WRITEERR when a write fails; the pages of the runs written
  // before it are clean, the others still dirty.
  bool FlushPages(bool temporary = false);
  // Whether the next flush of the regular indexes (pages, header) has anything to write,
  // and the byte ranges below `below` it may write (a superset): what a rollback journal
  // saves ahead of the flush.
  bool PendingWrites() const;
  void FlushRanges(int64_t below, std::vector<TByteRange>& ranges) const;
  // Evicts clean, unpinned pages, oldest first, until each index caches at most the
  // owner's MaxIndexBufferSize / 8192 pages (fewer may not be possible). Never raises.
  void TrimCache();
  // Forgets every unpinned page of the regular (or the temporary) indexes, dirty or
  // not: after another writer's change, or to roll back a transaction's pages. Pinned
  // pages are in use and stay. Never raises.
  void DiscardCache(bool temporary = false);
  size_t CachedPageCount(int index) const;

  // Descriptors.
  const TIndexFileHeader& Header() const { return FHeader; }
  const TIndexDescriptor& Descriptor(int index) const;
  void UpdateDescriptor(int index, const TIndexDescriptor& descriptor);
  int SecondaryCount() const { return FHeader.SecondaryCount; }
  // Index number by name (case-insensitive, trimmed), or -1.
  int FindIndex(const std::string& name) const;
  int32_t RootPage(int index) const { return Descriptor(index).RootPage; }
  void SetRootPage(int index, int32_t page);
  int32_t ParameterPage(int index) const { return Descriptor(index).ParameterPage; }
  void SetParameterPage(int index, int32_t page);
  int32_t ActiveRecordCount() const { return FHeader.ActiveRecordCount; }
  void SetActiveRecordCount(int32_t count);
  void IncActiveRecordCount();
  void DecActiveRecordCount();
  bool NoPrimaryIndex() const { return FHeader.NoPrimaryIndex; }
  void SetNoPrimaryIndex(bool value);
  // The file was made anew when the table's index file was missing: only the internal
  // indexes could be rebuilt, the table's index definitions are gone. Set by the table's
  // opener that made the file; a repair makes a file without it.
  bool DefinitionsLost() const { return FHeader.DefinitionsLost; }
  void SetDefinitionsLost(bool value);
  // The index is in use: the primary (when defined), a secondary up to SecondaryCount,
  // or a system index.
  bool IndexInUse(int index) const;

  void DefinePrimaryIndex(const TIndexDefinition& definition);
  // Returns the new index number.
  int AddSecondaryIndex(const TIndexDefinition& definition);
  void DeleteIndex(int index);

  // The comparison of the keys of an index under the table's language driver.
  TIndexKeyComparer Comparer(int index) const;
  TPageFormat PageFormat(int index) const;

  // Text index parameters: the chain at ParameterPage, or the defaults when none.
  TTextIndexParameters ReadTextParameters(int index);
  // Writes the parameters as a new chain (freeing the old one) and stores its first page.
  void WriteTextParameters(int index, const TTextIndexParameters& parameters);

  // The shared (read) and exclusive (write) locks of the table's lock protocol, over
  // kIndexLockRegion. Each needs the file open and is retried as LockRetry() says.
  // LockShared: true with the byte's token for UnlockShared; false with token 0 when a
  // writer held the region through every attempt. LockExclusive: true once no reader
  // or writer holds any byte of the region; false when the attempts are exhausted. The
  // unlocks release exactly what the matching lock took; false when that is not held.
  // None raises.
  bool LockShared(int32_t& token) { return LockSharedRegion(kIndexLockRegion, token); }
  bool UnlockShared(int32_t token) { return UnlockSharedRegion(kIndexLockRegion, token); }
  bool LockExclusive() { return LockExclusiveRegion(kIndexLockRegion); }
  bool UnlockExclusive() { return UnlockExclusiveRegion(kIndexLockRegion); }

  // The consistency check of the header; raises KURA_HEADERCORRUPT (KURA_OLDVERSION for
  // another version). Beside the descriptors it checks that NextPageNo does not count
  // more pages than the file holds; pages beyond it are surplus (see SurplusBytes).
  void CheckHeader();
  // Bytes beyond the last page NextPageNo counts (whole or partial pages a writer left
  // when it died); CutSurplus cuts them off (true when there were any; raises
  // KURA_WRITEERR). The table's writer cuts them under the write lock.
  int64_t SurplusBytes() { return SurplusBeyond(int64_t{FHeader.NextPageNo} * kIndexPageSize); }
  bool CutSurplus() { return CutSurplusBeyond(int64_t{FHeader.NextPageNo} * kIndexPageSize); }

  // Raises KURA_INDEXCORRUPT (or another corruption code) with this file's table and
  // directory names and the place of the damage (see TDamagePlace); without a place the
  // report names the index file only. Every damaged-file path goes here.
  [[noreturn]] void RaiseIndexCorrupt(TErrorCode code = KURA_INDEXCORRUPT,
                                      const TDamagePlace& place = {"index file"}) const;
  [[noreturn]] void RaiseIndexCorrupt(const TDamagePlace& place) const { RaiseIndexCorrupt(KURA_INDEXCORRUPT, place); }
  // The place of page pageNo of an index, and of a page reached deeper than a tree may
  // be, for RaiseIndexCorrupt.
  TDamagePlace PagePlace(int index, int32_t pageNo) const;
  TDamagePlace TooDeepPlace(int index, int32_t pageNo) const;
  [[noreturn]] void RaiseIndexError(TErrorCode code, const std::string& indexName = {}) const;

  const TIndexFileStatistics& Statistics() const { return FStatistics; }

protected:
  TErrorNames OwnerNames() const override { return NamesOf(FOwner); }

private:
  // The cached pages of one index. Each page owns a slot (its CacheSlot) in Slots; the
  // most-recently-used chain runs through the slot arrays Older and Newer rather than
  // through the pages, so that moving a page to the head touches two small arrays instead
  // of the neighbouring page objects (which a random walk over a large index would fetch
  // from memory each time).
  struct TIndexCache {
    std::vector<std::unique_ptr<TPage>> Slots;  // empty slots are listed in FreeSlots
    std::vector<int32_t> FreeSlots;
    std::vector<int32_t> Older;
    std::vector<int32_t> Newer;
    int32_t Newest = -1;  // slot numbers; -1 = none
    int32_t Oldest = -1;
    size_t Capacity = 0;
    // Every cached page by its number; its size is the number of pages cached.
    TNumberMap<TPage> ByNumber;

    TPage* At(int32_t slot) const { return Slots[static_cast<size_t>(slot)].get(); }
    int32_t NewerThan(int32_t slot) const { return Newer[static_cast<size_t>(slot)]; }
    // Calls visit(page) for every cached page, in no particular order.
    template <typename TVisit>
    void ForEachPage(TVisit&& visit) const {
      for (const auto& page : Slots)
        if (page) visit(*page);
    }
  };
  struct TTemporaryFile {
    std::unique_ptr<TFileHandler> File;
    int32_t NextPageNo = 1;
  };

  void ReadHeaderPage(TIndexFileHeader& header);
  bool PageCountFits(int32_t nextPageNo);
  void ResetHeader();
  void CheckIndex(int index) const;
  // The version, secondary count and page count of a header just read.
  void CheckHeaderCounts(const TIndexFileHeader& header, int maxSecondaryCount);
  // Places of damage in the header's descriptors and in a parameter chain.
  TDamagePlace DescriptorPlace(int index) const {
    return {"header: descriptor of index", index,
            kIndexHeaderDescriptorsOffset + int64_t{kIndexDescriptorSize} * index};
  }
  TDamagePlace ParameterPlace(int index, int32_t pageNo) const {
    return {"parameter chain of index " + std::to_string(index) + " at page", pageNo, int64_t{pageNo} * kIndexPageSize};
  }
  TFileHandler& PageFile(int index);
  int32_t& NextPageCounter(int index);
  TPage* FindCached(int index, int32_t pageNo);
  TPage* MakeRoom(int index);
  void InsertCached(int index, std::unique_ptr<TPage> page);
  void RemoveCached(int index, TPage* page);
  // Takes a page out of the cache (chain, map and slot) and hands it back.
  std::unique_ptr<TPage> TakeCached(TIndexCache& cache, TPage* page);
  void LinkNewest(TIndexCache& cache, int32_t slot);
  void Unlink(TIndexCache& cache, int32_t slot);
  void ReadPage(TPage& page);
  bool FlushIndexes(const std::vector<int>& indexes);
  void DropIndexCache(int index);
  void ValidateDefinition(const TIndexDefinition& definition, TIndexDescriptor& descriptor);
  void FreeChain(int index, int32_t first);

  TIndexFileOwner* FOwner;
  TIndexFileHeader FHeader;
  std::vector<TFieldDefinition> FFields;
  uint16_t FLocaleId = 0;
  uint16_t FSortId = 0;
  bool FEncrypted = false;
  std::array<TIndexCache, kIndexCount> FCaches;
  std::array<TTemporaryFile, kIndexCount> FTemporary;
  TPageStack FPageStack;
  std::vector<uint8_t> FBuffer;
  TIndexFileStatistics FStatistics;
  TDiskReadGate* FDiskReadGate = nullptr;
};

// Keeps an index page pinned for a scope (GetPage pins, the holder releases).
using TPagePin = TPinHolder<TIndexFile, TPage, &TIndexFile::ReleasePage>;

}  // namespace kura
