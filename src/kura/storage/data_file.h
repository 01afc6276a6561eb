#pragma once

// The data file of a table (".DAT"): a 127-byte header, the field definitions (768 bytes
// each, layout in field_definition.h) and the records, each a fixed-size slot numbered
// from 1 (layout in record.h). All integers little-endian.
//
// File layout:
//   header                at 0
//   field definitions     at 127, FieldCount blocks of 768 bytes
//   slot n                at 127 + 768 * FieldCount + (n - 1) * RecordSize
// The file size minus the first two parts is always NextRecordNo - 1 whole slots. At
// most 200,000,000 slots; no slot may end beyond byte 4,000,000,000.
//
// Header:
// | offset | size | field            | meaning                                                  |
// |--------|------|------------------|----------------------------------------------------------|
// |      0 |    4 | ChangeCount      | int32, incremented by every header write                 |
// |      4 |    4 | BlobBlockSize    | int32 BLOB block size; 0 means 512                       |
// |      8 |    1 | FormatVersion    | 5                                                        |
// |      9 |    4 | FirstFreeRecord  | int32 first deleted slot, 0 when none                    |
// |     13 |    4 | NextRecordNo     | int32 number of the next appended slot (count + 1)       |
// |     17 |    4 | LastAutoIncValue | int32 last unique id given out                           |
// |     21 |    2 | RecordSize       | uint16 bytes per slot                                    |
// |     23 |    2 | FieldCount       | uint16, at most 1024                                     |
// |     25 |    2 | BlobFieldCount   | uint16, at most 128                                      |
// |     27 |    8 | LastUpdated      | double: local time of the last header write in days      |
// |        |      |                  | since 1899-12-30, minus 693594.0                         |
// |     35 |   51 | Description      | short string[50], header-text key scrambled if Encrypted |
// |     86 |    1 | Encrypted        | 1 when the table is encrypted                            |
// |     87 |   16 | Password         | short string[15], header-text key scrambled              |
// |    103 |    2 | LocaleId         | uint16 language of the collation; 0 = byte order         |
// |    105 |    2 | SortId           | uint16 sort identifier                                   |
// |    107 |    2 | UserMajorVersion | uint16, free for the application                         |
// |    109 |    2 | UserMinorVersion | uint16, free for the application                         |
// |    111 |    1 | HeaderChanged    | writer's flag as it stood; ignored and cleared on read   |
// |    112 |    4 | LastBlobId       | int32 last BLOB id given out                             |
// |    116 |    8 | EngineVersion    | int64 fixed point, four decimals: 33000 (3.30)           |
// |    124 |    3 | reserved         | zero                                                     |
//
// Encrypted tables: the field-definition area (all FieldCount blocks as one buffer) and
// each record slot on its own are scrambled with the record key; the Description and
// Password blocks (length byte included) with the header-text key.
//
// Byte-range locks (far beyond the end of the file, so they never block data transfer):
//   record n      one byte at 0xFFFFFFFE - n
//   table write   one byte at 0xFFFFFFFF

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/base/records_bitmap.h"
#include "kura/storage/disk_read_gate.h"
#include "kura/storage/mru_chain.h"
#include "kura/storage/field_definition.h"
#include "kura/storage/key_encoding.h"
#include "kura/storage/record.h"
#include "kura/storage/table_file.h"

namespace kura {

constexpr int kDataFileHeaderSize = 127;
constexpr uint8_t kDataFileFormatVersion = 5;
constexpr int64_t kEngineVersion = 33000;
constexpr int kMaxFieldCount = 1024;
constexpr int kMaxBlobFieldCount = 128;
constexpr int kMaxRecordSize = 65535;  // RecordSize is stored in 16 bits
constexpr int32_t kMaxRecordCount = 200000000;
constexpr int64_t kMaxDataFileEnd = 4000000000;
constexpr int kMaxDescriptionLength = 50;
constexpr int kMaxPasswordLength = 15;
constexpr int64_t kTableWriteLockOffset = 0xFFFFFFFF;
constexpr int64_t kRecordLockBase = 0xFFFFFFFE;
constexpr int kReadAheadBytes = 8192;
constexpr int kCacheGrowth = 64;

struct TDataFileHeader {
  int32_t ChangeCount = 0;
  int32_t BlobBlockSize = 0;
  uint8_t FormatVersion = kDataFileFormatVersion;
  int32_t FirstFreeRecord = 0;
  int32_t NextRecordNo = 1;
  int32_t LastAutoIncValue = 0;
  uint16_t RecordSize = 0;
  uint16_t FieldCount = 0;
  uint16_t BlobFieldCount = 0;
  double LastUpdated = 0;
  std::string Description;  // plain text (unscrambled)
  bool Encrypted = false;
  std::string Password;  // plain text (unscrambled)
  uint16_t LocaleId = 0;
  uint16_t SortId = 0;
  uint16_t UserMajorVersion = 0;
  uint16_t UserMinorVersion = 0;
  bool HeaderChanged = false;
  int32_t LastBlobId = 0;
  int64_t EngineVersion = kEngineVersion;
};

// The 127 header bytes to and from the structure; the texts are unscrambled on read and
// scrambled on write when Encrypted is set.
void ReadDataFileHeader(const uint8_t* bytes, TDataFileHeader& header);
void WriteDataFileHeader(const TDataFileHeader& header, uint8_t* bytes);

// What a data file needs from the table that owns it. The defaults describe a table
// opened on its own (tools, tests): no transaction, a primary index, session defaults.
class TDataFileOwner {
public:
  virtual ~TDataFileOwner() = default;
  // Names for the error context; empty means "derive from the file name".
  virtual std::string TableName() const { return {}; }
  virtual std::string DirectoryPath() const { return {}; }
  // A transaction is active: dirty records stay in the cache until it commits.
  virtual bool InTransaction() const { return false; }
  // The table has no primary index: appends never reuse deleted slots.
  virtual bool NoPrimaryIndex() const { return false; }
  // Data was written to one of the table's files.
  virtual void MarkTableModified() {}
  // The header changed in memory and must be written with the next commit.
  virtual void MarkTableChanged() {}
  // Session settings.
  virtual int32_t MaxDataBufferSize() const { return 16384; }
  virtual int32_t MaxDataBufferCount() const { return 8192; }
  virtual bool ForceBufferFlush() const { return false; }
  virtual std::string PrivateDir() const;  // default: the system's temporary directory
};

// How far a read may look ahead. RunLength is the number of consecutive slot numbers the
// caller will visit next, counted from the wanted slot (ascending from it when reading
// forward, descending to it when reading backward), or 0 when the caller does not know.
struct TReadAhead {
  bool Enabled = false;
  bool Backward = false;
  int32_t RunLength = 0;
};

struct TDataFileStatistics {
  int64_t RecordsRequested = 0;  // GetRecord calls
  int64_t RunsRead = 0;          // reads of more than one slot
  int64_t Reads = 0;             // reads of slots from the file
  int64_t Flushes = 0;           // writes of runs of changed slots
};

// Compares the text of two string key fields with a table's collation (negative, 0,
// positive). Tables with a language driver supply one; byte-order tables need none.
class TKeyCollator {
public:
  virtual ~TKeyCollator() = default;
  virtual int CompareText(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength) const = 0;
};

struct TSortField {
  uint16_t FieldNo = 0;
  bool Descending = false;
};

// A request to sort the records of the file in place (ORDER BY, DISTINCT, GROUP BY of
// result tables).
struct TSortRequest {
  std::vector<TSortField> Fields;
  bool CaseInsensitive = false;
  bool Distinct = false;
  // Keep at most this many output records; negative means no limit.
  int64_t Limit = -1;
  // Grouping: when set, records whose sort keys are equal form one output record: the
  // first of them, into which Aggregate folds each later one (group, member).
  std::function<void(TRecord& group, const TRecord& member)> Aggregate;
  // Called with each finished output record (for groups: once the group is complete);
  // false drops it. Dropped records do not count toward Limit.
  std::function<bool(TRecord& record)> Filter;
  // Upper-casing of case-insensitive strings and text comparison for tables with a
  // language driver; nullptr for byte order.
  const TKeyTextMapper* Mapper = nullptr;
  const TKeyCollator* Collator = nullptr;
};

// One data file per open table per process, shared by all cursors of the table; callers
// serialise access through the table. Between processes the record and table locks are
// the only coordination; readers detect other writers through ChangeCount.
class TDataFile : public TTableFile {
public:
  // owner may be nullptr (a standalone file with the session defaults). The owner must
  // outlive the data file.
  explicit TDataFile(std::string fileName, bool inMemory = false, TDataFileOwner* owner = nullptr);
  ~TDataFile() override;

  // Opens the file, reads the header and the field definitions. Raises KURA_OLDVERSION
  // for another format version, KURA_HEADERCORRUPT for more than 1024 fields or short
  // definitions; closes again on any failure.
  void OpenDataFile();
  // Writes nothing: empties the cache, forgets the definitions, releases the record
  // locks and closes. No record may still be pinned.
  void CloseDataFile();
  // Creates the file with a fresh header and these definitions. FieldNo, DataSize,
  // DataScale and Offset are derived here. Raises KURA_BLOBLIMIT for more than 128 BLOB
  // fields, KURA_RECTOOBIG when RecordSize would exceed 65535, KURA_FLDLIMIT for more
  // than 1024 fields, KURA_INVALIDFLDTYPE for an unknown type or a size above 250,
  // KURA_CANNOTLOADLDDRV for a language driver that is not installed. The header and
  // definitions are written before it returns.
  void CreateDataFile(uint16_t localeId, uint16_t sortId, std::vector<TFieldDefinition> definitions,
                      int32_t blobBlockSize, const std::string& description, const std::string& password,
                      bool encrypted, uint16_t userMajor, uint16_t userMinor);

  void ReadHeader();
  // Re-reads the header when another writer changed it (its ChangeCount differs). On
  // true the caller discards the caches of the table's files: their contents may be old.
  bool ReadHeaderIfChanged();
  // Writes the header when it changed (or when forced), with ChangeCount incremented.
  bool WriteHeader(bool force = false);
  void MarkHeaderChanged();
  // Writes the field definitions when they changed.
  bool WriteFieldDefinitions();
  // Cuts the file after the field definitions and resets the counters.
  void EmptyDataFile();

  // The record in slot recNo, pinned; release it with ReleaseRecord. Reading never makes
  // a slot: only AllocateRecord does. Raises KURA_FILECORRUPT (CheckSlotNumber) for a
  // number the header does not count, NextRecordNo included: a reader whose header is
  // older than the index page that named the slot must read the headers again. A cache
  // miss asks the disk-read gate first (what it raises passes through).
  TRecord* GetRecord(int32_t recNo, const TReadAhead& readAhead = {});
  // Raises KURA_FILECORRUPT naming the slot when recNo is not between 1 and the record
  // count of the header in memory. For every reader that takes a record number from an
  // index or a chain.
  void CheckSlotNumber(int32_t recNo) const;
  // Asked before any read of records from the disk; nullptr (the default) asks nobody.
  // The gate must outlive its use here.
  void SetDiskReadGate(TDiskReadGate* gate) { FDiskReadGate = gate; }
  TDiskReadGate* DiskReadGate() const { return FDiskReadGate; }
  void ReleaseRecord(TRecord* record);
  // Marks a pinned record changed; it is written by the next FlushRecords.
  void MarkRecordDirty(TRecord* record);
  // A slot for a new record, pinned, zero-filled, active and dirty: the head of the free
  // chain, or a new slot at the end (always at the end when the table has no primary
  // index). Raises KURA_FILECORRUPT when the free chain is damaged.
  TRecord* AllocateRecord();
  // Walks the chain of deleted slots from FirstFreeRecord as AllocateRecord would take
  // them: every entry a deleted slot linking inside the file, no loop. Raises
  // KURA_FILECORRUPT naming the first bad slot. Pins nothing once it returns.
  void CheckFreeChain();
  // Marks the pinned record deleted and puts its slot at the head of the free chain.
  void FreeRecord(TRecord* record);
  // LastAutoIncValue + 1 (after 2147483647 comes 1), stored; header marked changed.
  int32_t NextAutoIncValue();
  int32_t NextBlobId();

  // Writes every dirty, unpinned record, consecutive slots in one write each.
  bool FlushRecords();
  // Whether the next flush (records, definitions, header) has anything to write, and the
  // byte ranges below `below` it may write (a superset): what a rollback journal saves
  // ahead of the flush.
  bool PendingWrites() const;
  void FlushRanges(int64_t below, std::vector<TByteRange>& ranges) const;
  // Evicts clean, unpinned records, oldest first, down to the configured cache size.
  void TrimCache();
  // Drops every unpinned record, dirty or not. Pinned records are still in use by a
  // caller and stay.
  void DiscardCache();

  // Field definitions. position is 1-based; nullptr when there is no such field.
  const TFieldDefinition* FieldByPosition(int position) const;
  const TFieldDefinition* FieldByNumber(uint16_t fieldNo) const;
  const TFieldDefinition* FieldByName(const std::string& name) const;  // case-insensitive, trimmed
  const std::vector<TFieldDefinition>& FieldDefinitions() const { return FFieldDefinitions; }
  // Changes the parts of a definition that do not affect the record layout.
  void UpdateFieldDefinition(int position, const std::string& name, const std::string& description, bool required,
                             const std::string& minValue, const std::string& maxValue,
                             const std::string& defaultValue);

  // Header properties.
  const TDataFileHeader& Header() const { return FHeader; }
  int32_t RecordCount() const { return FHeader.NextRecordNo - 1; }
  int FieldCount() const { return FHeader.FieldCount; }
  int BlobFieldCount() const { return FHeader.BlobFieldCount; }
  int RecordSize() const { return FHeader.RecordSize; }
  uint16_t LocaleId() const { return FHeader.LocaleId; }
  uint16_t SortId() const { return FHeader.SortId; }
  int32_t LastAutoIncValue() const { return FHeader.LastAutoIncValue; }
  void SetLastAutoIncValue(int32_t value);
  const std::string& Description() const { return FHeader.Description; }
  const std::string& Password() const { return FHeader.Password; }
  int32_t BlobBlockSize() const { return FHeader.BlobBlockSize == 0 ? 512 : FHeader.BlobBlockSize; }
  bool Encrypted() const { return FHeader.Encrypted; }
  bool HeaderChanged() const { return FHeader.HeaderChanged; }
  void SetTableInfo(const std::string& password, const std::string& description, uint16_t userMajor,
                    uint16_t userMinor, int32_t lastAutoIncValue);

  // Byte-range locks. No retries for records; LockTableWrite retries as LockRetry() says
  // and reports false when the attempts are exhausted.
  bool LockRecord(int32_t recNo);
  bool UnlockRecord(int32_t recNo);
  // Releases every record lock this file object holds.
  void UnlockAllRecords();
  bool LockTableWrite();
  bool UnlockTableWrite();

  // The full consistency check of header, definitions and file size; raises
  // KURA_HEADERCORRUPT (KURA_OLDVERSION for another version, KURA_CANNOTLOADLDDRV for an
  // unknown language driver). A file shorter than its slots is damaged; bytes beyond the
  // last slot the header counts (whole or partial slots a writer left when it died) are
  // surplus, not damage: see SurplusBytes.
  void CheckHeader();
  // Bytes beyond the last slot the header counts; CutSurplus cuts them off (true when
  // there were any; raises KURA_WRITEERR). The table's writer cuts them under the write
  // lock.
  int64_t SurplusBytes() { return SurplusBeyond(SlotOffset(FHeader.NextRecordNo)); }
  bool CutSurplus() { return CutSurplusBeyond(SlotOffset(FHeader.NextRecordNo)); }

  // Sorts the records (deleted slots are dropped) and writes them back from slot 1 in the
  // output order. In memory when every slot is cached, otherwise through sorted runs in
  // temporary ".TMP" files in the private directory, which are removed also on failure.
  // No record may be pinned. Raises KURA_CANNOTLOADLDDRV when the table has a language
  // driver and no collator is given.
  void SortRecords(const TSortRequest& request);

  // Byte offset of slot recNo.
  int64_t SlotOffset(int32_t recNo) const;
  const TDataFileStatistics& Statistics() const { return FStatistics; }
  size_t CachedRecordCount() const { return FCache.Size(); }
  size_t CacheCapacity() const { return FCapacity; }
  bool IsCached(int32_t recNo) const { return FCache.Contains(recNo); }
  // Cache limit from the owner's settings: min(bytes / RecordSize, records), at least 1.
  size_t CacheLimit() const;

  // Raises a corruption error of this file (KURA_HEADERCORRUPT, KURA_FILECORRUPT, ...)
  // with its table and directory names and the place of the damage (see TDamagePlace).
  // Every damaged-file path goes here.
  [[noreturn]] void RaiseDataFileCorrupt(TErrorCode code, const TDamagePlace& place) const;
  // The place of a damaged record slot, for RaiseDataFileCorrupt.
  TDamagePlace SlotPlace(int32_t recNo) const;
  // Raises any other error with this file's names.
  [[noreturn]] void RaiseDataFileError(TErrorCode code) const;

protected:
  TErrorNames OwnerNames() const override { return NamesOf(FOwner); }

private:
  friend class TDataFileSorter;

  int64_t DefinitionsEnd() const { return kDataFileHeaderSize + int64_t{kFieldDefinitionSize} * FHeader.FieldCount; }
  void ReadFieldDefinitions();
  void CheckRecordLayout() const;
  // The next link of a free-chain entry; raises KURA_FILECORRUPT for an entry that is not
  // a deleted slot or links outside the file or to itself.
  int32_t CheckedFreeLink(const TRecord& record) const;
  // Statistics cleared and the cache sized for a freshly opened or created file.
  void PrepareCache();
  void MarkChanged();
  bool HasUnwrittenChanges() const;
  // A new zero-filled slot at NextRecordNo, pinned and dirty, counted in the header
  // (KURA_TABLEFULL beyond the limits). For AllocateRecord only.
  TRecord* AppendSlot();
  void ReadRun(int32_t recNo, const TReadAhead& readAhead);
  TRecord* AddRecord(int32_t recNo, int32_t excludeFirst, int32_t excludeLast);
  // Marks a cached record changed and lists its slot for the next flush.
  void SetDirty(TRecord* record);
  void RemoveFromCache(TRecord* record);
  bool FlushRecordsExcept(int32_t excludeFirst, int32_t excludeLast);
  void WriteSlots(int32_t firstRecNo, const uint8_t* data, size_t count);
  void GrowBuffer(std::vector<uint8_t>& buffer, size_t size);
  int32_t NextCounter(int32_t& counter);

  TDataFileOwner* FOwner;
  TDataFileHeader FHeader;
  std::vector<TFieldDefinition> FFieldDefinitions;
  bool FDefinitionsChanged = false;
  TRecordCache FCache;
  // The slots marked dirty since they were last written, unordered, possibly repeated or
  // stale; every dirty cached record is among them. Records are marked dirty only
  // through this file (MarkRecordDirty and the slot operations).
  std::vector<int32_t> FDirtySlots;
  TMruChain<TRecord> FMru;  // most recently used first
  size_t FCapacity = 1;
  TRecordStack FRecordStack;
  std::vector<uint8_t> FReadBuffer;
  std::vector<uint8_t> FWriteBuffer;
  int32_t FRecordsPerRead = 1;
  TDataFileStatistics FStatistics;
  // The record bytes this object holds locked (record numbers from 1; the table never
  // locks another).
  TRecordsBitmap FLockedRecords;
  TDiskReadGate* FDiskReadGate = nullptr;
};

// Keeps a record pinned for a scope.
using TRecordPin = TPinHolder<TDataFile, TRecord, &TDataFile::ReleaseRecord>;

}  // namespace kura
