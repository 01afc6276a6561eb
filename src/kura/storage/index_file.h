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
// |   3980 |      116 | reserved           | zero                                             |
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
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/storage/field_definition.h"
#include "kura/storage/index_key.h"
#include "kura/storage/index_page.h"
#include "kura/storage/number_map.h"
#include "kura/storage/text_index_words.h"

namespace kura {

constexpr uint8_t kIndexFileFormatVersion = 5;
constexpr int kIndexHeaderDescriptorsOffset = 14;
constexpr int kIndexHeaderActiveCountOffset = 3974;
constexpr int32_t kMaxIndexPageNo = 2000000000;
constexpr int64_t kMaxIndexFileEnd = 4000000000;
constexpr int64_t kIndexSharedLockBase = 0xFFFFFFFF;
constexpr int64_t kIndexExclusiveLockOffset = 0xFFFEFFFF;
constexpr int64_t kIndexExclusiveLockLength = 65536;
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

class TIndexFile : public TFileHandler {
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

  // Opens and reads the header (12035 for another version, 8961 for SecondaryCount above
  // 32, a short header, or a NextPageNo beyond the pages of the file); closes again on
  // failure. Clears the statistics.
  void OpenIndexFile();
  // Drops the temporary indexes, discards every cached page, closes. Writes nothing.
  void CloseIndexFile();
  // Creates the file with a fresh header (written at once) and opens it.
  void CreateIndexFile();
  // Reads page 0 and takes the whole header when its ChangeCount differs from ours.
  bool ReadHeaderIfChanged();
  // When changed or forced: increments ChangeCount and writes page 0 without the
  // temporary descriptors.
  bool WriteHeader(bool force = false);
  void MarkHeaderChanged();
  bool HeaderChanged() const { return FHeader.HeaderChanged; }
  // Cuts the file after page 0 and empties every index.
  void EmptyIndexFile();

  // Pages. GetPage returns page `pageNo` of index `index` pinned; with isNew the page is
  // not read but zeroed. pageNo equal to the index's next new page number appends a page.
  TPage* GetPage(int index, int32_t pageNo, bool isNew = false);
  void ReleasePage(TPage* page);
  // A cleared, pinned, dirty page: the head of the index's free chain or a new page.
  TPage* AllocatePage(int index);
  // Puts the pinned page at the head of the index's free chain (the caller still
  // releases it).
  void FreePage(TPage* page);
  void MarkPageDirty(TPage* page) { page->Dirty = true; }
  // Writes every dirty, unpinned page of the regular (or the temporary) indexes.
  bool FlushPages(bool temporary = false);
  void TrimCache();
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

  // Locks; false when the attempts are exhausted.
  bool LockShared(int32_t& token);
  bool UnlockShared(int32_t token);
  bool LockExclusive();
  bool UnlockExclusive();
  int32_t LockAttempts = 32767;
  std::function<void()> LockSleep;  // default: 3 ms

  // The consistency check of the header; raises 8961 (12035 for another version). Beside
  // the descriptors it checks that NextPageNo does not count more pages than the file
  // holds.
  void CheckHeader();

  // Raises 8965 (or any corruption code) with this file's table and directory.
  [[noreturn]] void RaiseIndexCorrupt(TErrorCode code = KURA_INDEXCORRUPT) const;
  [[noreturn]] void RaiseIndexError(TErrorCode code, const std::string& indexName = {}) const;
  TErrorNames ErrorNames() const;

  const TIndexFileStatistics& Statistics() const { return FStatistics; }

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
  void CheckIndex(int index);
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
  void SleepBetweenAttempts();

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
  std::mt19937 FRandom;
};

}  // namespace kura
