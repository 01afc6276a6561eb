#pragma once

// A cursor: one open handle on a table, with its own current index, position, range and
// record image. All cursors of a session on one table share the table's files and
// caches (TDataTable); a cursor notices what other cursors, sessions and processes wrote
// through the table's change counters and then re-finds its record by its bookmark.
//
// Orders. In index order the cursor walks the B+-tree of its current index; positions
// are ordinals within the whole index, computed from the subtree counts while
// descending, so record numbers and counts never walk leaves. In natural order (index
// 255, or the primary index of a table that has none) it walks the set bits of its
// visible-record bitmap in record-number order.
//
// Bookmarks. Natural order: the 4-byte record number. Index order: the current key of
// the current index (key-size bytes; keys of non-unique indexes end with the record's
// unique id, so a key names exactly one record); all zero bytes when on no key.
//
// Reads return 0, 8705 (before the first record), 8706 (after the last) or 8709 (no
// current record: the view is empty); every other failure raises EKuraEngineError.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kura/base/records_bitmap.h"
#include "kura/engine/data_table.h"
#include "kura/engine/filter.h"
#include "kura/storage/index_file.h"
#include "kura/storage/index_key.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"
#include "kura/storage/text_index_words.h"

namespace kura {

class TCursorBlobs;
struct TCursorEditIndexes;
class TDataDirectory;
class TSortOrder;
struct TTableDefinition;

constexpr int kNoIndex = 255;
// Range keys and the cursor's key buffers.
constexpr int kKeyBufferSize = kMaxKeySize;

// Asked for a table's password when the session does not know it. It should add a
// password to the session and return true to try again; false gives up (10498).
using TPasswordCallback = std::function<bool(const std::string& tableName)>;

// How a BLOB field is opened.
enum class TBlobOpenMode : uint8_t { Read = 0, ReadWrite = 1 };

// Told about a record RestructureTable could not carry over: its record number in the
// old table and the engine error that kept it out. Returning false stops the restructure
// (the old table stays as it was).
using TDataLostCallback = std::function<bool(int32_t recNo, const EKuraEngineError& error)>;

class TDataCursor {
public:
  explicit TDataCursor(TDataDirectory& directory);
  ~TDataCursor();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // Settings, made before OpenCursor; each setter raises 10031 while the cursor is open.
  // The table name keeps only its file-name part, without a trailing ".DAT".
  void SetTableName(const std::string& name);
  void SetExclusive(bool value);
  void SetReadOnly(bool value);
  void SetInMemory(bool value);
  void SetTemporary(bool value);
  void SetNaturalOrder(bool value);
  void SetResultSetCursor(bool value);
  void SetCloneOfExclusive(bool value);
  void SetPasswordCallback(TPasswordCallback callback);
  const std::string& TableName() const { return FTableName; }
  bool Exclusive() const { return FExclusive; }
  bool ReadOnly() const { return FReadOnly; }
  bool InMemory() const { return FInMemory; }
  bool Temporary() const { return FTemporary; }
  bool NaturalOrder() const { return FNaturalOrderSetting; }
  bool ResultSetCursor() const { return FResultSetCursor; }
  bool CloneOfExclusive() const { return FCloneOfExclusive; }

  // Life. OpenCursor opens (or shares) the table, checks the headers on the table's
  // first open, asks for a missing password, rebuilds the internal record index of a
  // table whose index file was recreated, selects the primary index (or natural order)
  // and places the cursor before the first record. A failure leaves the cursor closed
  // and the table's open count as it was.
  void OpenCursor();
  void CloseCursor(bool discardTemporary = false);
  bool Active() const { return FTable != nullptr; }
  // A new open cursor on the same table with this cursor's settings, index and range,
  // positioned on this cursor's record.
  std::unique_ptr<TDataCursor> CloneCursor();

  // Index selection by name (case-insensitive; "" is the primary index) or number (0
  // primary, 1-30 secondary, 255 natural order). Clears the range and keeps the cursor
  // on its record. An unknown name raises 10022 (an unknown number 10022 as well) and
  // changes nothing.
  void SetIndexName(const std::string& name);
  void SetIndexNumber(int number);
  int IndexNumber() const { return FIndexNo; }
  const std::string& IndexName() const { return FIndexName; }
  int KeySize() const { return FKeySize; }
  bool InNaturalOrder() const { return FNatural; }

  // Positioning.
  void SetToBegin();
  void SetToEnd();
  bool SetToRecNo(int32_t recNo);
  bool SetToBookmark(const uint8_t* bookmark, bool nearest);
  // 0, or 8710 when this index has no key of the other cursor's record (the cursor then
  // stands on the nearest following key).
  int SetToCursor(TDataCursor& other);

  // Reading; buffer (record-size bytes) may be nullptr to move only.
  int GetNextRecord(uint8_t* buffer);
  int GetPriorRecord(uint8_t* buffer);
  int GetCurrentRecord(uint8_t* buffer, bool lock = false);
  // Up to count successive GetNextRecord results into consecutive record-size slots;
  // on the first non-zero code count becomes the number delivered.
  int ReadRecordBlock(int32_t& count, uint8_t* buffer);
  // A copy of the current record for prefilling a new one: the field area (the record
  // header stays zero, except the RecordId while auto-increment is suppressed); every
  // non-empty BLOB field gets an open BLOB of its own holding a copy of the content.
  // 8709 when the view is empty (8705/8706 before the first or after the last record).
  int CloneCurrentRecord(uint8_t* buffer);

  // Identity and counts.
  int32_t GetRecNo();
  int32_t GetRecordCount();
  int BookmarkSize() const { return FNatural ? 4 : FKeySize; }
  void GetBookmark(uint8_t* buffer);
  int CompareBookmarks(const uint8_t* a, const uint8_t* b) const;

  // Ranges over the current index (no effect in natural order). A record pointer may be
  // nullptr: the range is then open at that end.
  void SetRange(const uint8_t* startRecord, int startFieldCount, const uint8_t* endRecord, int endFieldCount);
  void ResetRange();
  bool RangeActive() const { return FRangeActive; }

  // Re-reads the table's state and re-finds the current record.
  void Refresh();

  // Change detection around every read (nests; only the outermost pair works).
  void BeginRead();
  void EndRead();

  // Record locks for editing. 0 means the current record.
  void LockRecord(int32_t recNo);
  void UnlockRecord(int32_t recNo);
  int32_t LockedRecord() const { return FLockedRecord; }

  // ---- Editing (data_cursor_editing.cpp) -------------------------------------------
  // A zero-filled record image with the fields' default values.
  void InitRecord(uint8_t* buffer);
  // Inserts the image as a new record (every index maintained, unique keys checked before
  // any index is touched); open BLOB handles in the image are written and released, and
  // the image gets the stored references and the new RecordId. With reposition the
  // cursor moves onto the new record.
  void AppendRecord(uint8_t* buffer, bool reposition);
  // Replaces the current record by the image; unlock releases a pessimistic lock.
  void ModifyRecord(uint8_t* buffer, bool unlock, bool reposition);
  // Deletes the current record; buffer is the image the caller believes current.
  void DeleteRecord(const uint8_t* buffer, bool reposition);
  void CancelRecord();
  // Writes buffered changes (exclusive tables keep them until then); trimCaches also
  // shrinks the caches to the session's limits.
  void FlushBuffers(bool force, bool trimCaches);
  // While set, appends and changes keep the caller's RecordId (only for tables with an
  // auto-increment field).
  void SetSuppressAutoInc(bool value);
  bool SuppressAutoInc() const { return FSuppressAutoInc; }
  bool PostFailed() const { return FPostFailed; }

  // ---- Field values and BLOB handles (data_cursor_fields.cpp) ------------------------
  // Field numbers are 1-based. A value is the field's data bytes as a record holds them
  // (strings: the characters, zero-terminated within DataSize bytes).
  void GetField(int fieldNo, const uint8_t* record, bool& isNull, uint8_t* value) const;
  // value nullptr stores NULL. Strings: at most size - 1 characters, trailing blanks
  // removed, the field's character case applied; empty is NULL.
  void SetField(int fieldNo, uint8_t* record, const uint8_t* value);
  // Required (9732), minimum (9730) and maximum (9731) checks, in field order.
  void CheckValidity(const uint8_t* record) const;
  int OpenBlob(int fieldNo, uint8_t* record, TBlobOpenMode mode, int32_t& size);
  int GetBlob(int fieldNo, uint8_t* record, int32_t offset, int32_t length, uint8_t* buffer, int32_t& count);
  int PutBlob(int fieldNo, uint8_t* record, int32_t offset, int32_t length, const uint8_t* buffer);
  int TruncateBlob(int fieldNo, uint8_t* record, int32_t length);
  int GetBlobSize(int fieldNo, uint8_t* record, int32_t& size);
  int FreeBlob(int fieldNo, uint8_t* record);
  void FreeAllBlobs();
  // Post support: writes the changed BLOBs whose handles the image holds into the BLOB
  // file (new BLOB ids), frees the chains they replace (as found in `stored`, the
  // record's stored image, or nullptr for a new record), puts the references into the
  // image and releases the handles.
  void WriteOpenBlobs(uint8_t* record, const uint8_t* stored);
  // Delete support: frees the BLOB chains a stored record references.
  void FreeStoredBlobs(const uint8_t* stored);

  // ---- Filters and key searches (data_cursor_filters.cpp) ----------------------------
  // At most 64 filters (9482 beyond). Filters are added inactive; an AfterOthers filter
  // goes to the end of the list, any other before the first AfterOthers filter.
  TFilter* AddExprFilter(const std::string& text, const TFilterOptions& options = {});
  TFilter* AddExprFilter(TExpToken* tree, const TFilterOptions& options = {});
  TFilter* AddCallbackFilter(TFilterCallback callback, bool afterOthers);
  // nullptr means every filter; a filter of another cursor raises 10050.
  void ActivateFilter(TFilter* filter);
  void DeactivateFilter(TFilter* filter);
  void DropFilter(TFilter* filter);
  int GetFilterOptimizeLevel(TFilter* filter);
  void ReplaceFilterExpression(TFilter* filter, TExpToken* tree);
  size_t FilterCount() const { return FFilters.size(); }
  // The key search in the current index: the key is buffer itself (bufferIsKey) or built
  // from the record image in buffer. A partial search (fieldCount below the key's field
  // count, a non-unique index, or partialLength >= 0 for the leading bytes of the next
  // field) lands on the first key with that prefix; a full key of a unique index is
  // searched exactly (or its follower with nearest). A search past the last key leaves
  // the cursor on the last record. The landed record is copied to recordBuffer when given.
  // False in natural order (nothing moves).
  bool Find(const uint8_t* buffer, bool bufferIsKey, int fieldCount, int partialLength, bool nearest,
            uint8_t* recordBuffer);

  // ---- Table maintenance (data_cursor_maintenance.cpp) -------------------------------
  void CreateTable(const TTableDefinition& definition, bool overwrite);
  void DeleteTable();
  void RenameTable(const std::string& newName);
  void EmptyTable();
  void AddSecondaryIndex(const TIndexDefinition& definition);
  void DeleteIndex(const std::string& name);
  void RestructureTable(const TTableDefinition& definition, TDataLostCallback dataLost = {});
  // Rebuilds every index from the data file (the old index file kept as ".IBK").
  void RepairTable();

  // State.
  TDataTable& Table() const { return *FTable; }
  TDataDirectory& Directory() const { return FDirectory; }
  bool Bof() const { return FBof; }
  bool Eof() const { return FEof; }
  int64_t Position() const { return FPosition; }
  int32_t RecordNumber() const { return FRecordNumber; }
  int32_t RangeStart() const { return FRangeStart; }
  int32_t RangeEnd() const { return FRangeEnd; }
  bool BitmapMode() const { return FBitmapMode; }
  int32_t VisibleCount() const { return FVisibleCount; }
  const TRecordsBitmap* VisibleRecords() const { return FVisibleRecords.get(); }
  const TRecordsBitmap* AllRecords() const { return FAllRecords.get(); }
  int RecordSize() const { return FRecordSize; }
  int FieldCount() const { return FFieldCount; }
  uint16_t LocaleId() const { return FLocaleId; }
  uint16_t SortId() const { return FSortId; }
  const std::vector<uint8_t>& CurrentRecord() const { return FCurrentRecord; }
  const TChangeCounters& ChangeCounters() const { return FChangeCounters; }
  // The key of the record image in the current index (KeySize bytes).
  void BuildKey(const uint8_t* record, uint8_t* key) const;

private:
  // BeginRead/EndRead for one operation. When the operation fails, a second failure from
  // EndRead would only hide the first, so it is dropped while the first propagates.
  class TReadScope {
  public:
    explicit TReadScope(TDataCursor& cursor) : FCursor(cursor), FUncaught(std::uncaught_exceptions()) {
      FCursor.BeginRead();
    }
    ~TReadScope() noexcept(false) {
      if (std::uncaught_exceptions() > FUncaught) {
        try {
          FCursor.EndRead();
        } catch (const EKuraEngineError&) {
          // The failure that is already propagating is the one the caller must see.
        }
      } else {
        FCursor.EndRead();
      }
    }
    TReadScope(const TReadScope&) = delete;
    TReadScope& operator=(const TReadScope&) = delete;

  private:
    TDataCursor& FCursor;
    int FUncaught;
  };

  void CheckClosed() const;
  void OpenSteps();
  void VerifyHeaders();
  void CheckPassword();
  void RebuildRecordIndex();
  void ReleaseState();
  void SelectIndex(int number, bool refind);
  void RecomputeView();
  void ComputeRangePositions();
  void Refind(bool keepCrackOnMiss = true);
  void ClearPosition();
  void MarkEmpty();
  void LandOnWalker(bool forward);
  void LandOnRecord(int32_t recNo, int64_t position, bool forward);
  void LoadRecord(int32_t recNo, bool forward, int32_t run);
  bool FirstVisible();
  bool LastVisible();
  bool ForwardToVisible();
  bool BackwardToVisible();
  bool ReseekCurrent();
  bool AboveEnd(const uint8_t* key) const;
  bool BelowStart(const uint8_t* key) const;
  bool Visible(int32_t recNo) const;
  int32_t KeyCount();
  int32_t VisibleOrdinal();

  // Reads without the read lock (non-strict change detection) can meet another
  // process's writer halfway through a change of the trees, seen as a damaged page.
  // Guarded runs a public read operation and, on such a failure of an outermost
  // unlocked read, drops the table's buffers and runs it once more from the saved
  // position under the read lock.
  template <typename TBody>
  auto Guarded(TBody body) -> decltype(body());
  bool MayRetryUnderLock(const EKuraEngineError& error) const;
  void SavePosition();
  void RestorePosition();
  int NextRecordStep(uint8_t* buffer);
  int PriorRecordStep(uint8_t* buffer);
  int CurrentRecordStep(uint8_t* buffer, bool lock);
  bool BookmarkStep(const uint8_t* bookmark, bool nearest);
  bool RecNoStep(int32_t recNo);
  int32_t RecNoValue();
  int32_t RecordCountValue();
  void BeginStep();
  void EndStep();
  void BuildRangeKey(const uint8_t* record, int fieldCount, bool high, uint8_t* key) const;
  void FillKeyTail(uint8_t* key, int keepFields, int keepBytes, bool high) const;
  bool InRange(const uint8_t* record) const;
  int CopyOut(int code, uint8_t* buffer);
  bool SeekBookmarkKey(const uint8_t* key, bool nearest);
  bool SeekNaturalBookmark(int32_t recNo, bool nearest);
  void SyncCounters();
  TErrorNames Names() const;

  // Editing helpers (data_cursor_editing.cpp).
  void CheckWritable() const;
  void BeginWrite();
  void EndWrite();
  void WritePolicy();
  bool OnRecord() const { return FOnKey && !FBof && !FEof; }
  bool KeyExists(int index, const uint8_t* key);
  // The key of every regular index in use (0 primary, 1-30 secondary) for the image;
  // an index not in use gets an empty key.
  void BuildIndexKeys(const uint8_t* record, std::vector<std::vector<uint8_t>>& keys);
  // Unique keys that are new must not exist yet; skipIndex (or -1) is left to the caller,
  // which checks it by inserting it first, before any other index is touched.
  void CheckUniqueKeys(const std::vector<std::vector<uint8_t>>& keys,
                       const std::vector<std::vector<uint8_t>>* oldKeys, int skipIndex);
  TCursorEditIndexes& EditIndexes();
  // The number of the defined regular index with this name (trimmed, without regard to
  // case), or -1.
  int IndexNumberByName(const std::string& name) const;
  [[noreturn]] void RaiseUnknownIndex(const std::string& name) const;
  void RaiseKeyViolation(int index) const;
  bool HasTextIndex() const;
  std::vector<std::vector<uint8_t>> TextIndexKeys(const uint8_t* record, int32_t uniqueId);
  void LockForEdit(int32_t recNo);
  void UnlockAfterEdit(int32_t recNo);
  void AfterWrite(int32_t recNo, int change, const uint8_t* record);
  void RepositionOn(const uint8_t* record, int32_t recNo);

  TDataDirectory& FDirectory;
  // Settings.
  std::string FTableName;
  bool FExclusive = false;
  bool FReadOnly = false;
  bool FInMemory = false;
  bool FTemporary = false;
  bool FNaturalOrderSetting = false;
  bool FResultSetCursor = false;
  bool FCloneOfExclusive = false;
  TPasswordCallback FPasswordCallback;

  // Open state.
  TDataTable* FTable = nullptr;
  bool FCursorReadOnly = false;
  int FFieldCount = 0;
  int FRecordSize = 0;
  uint16_t FLocaleId = 0;
  uint16_t FSortId = 0;
  std::unique_ptr<TSortOrder> FSortOrder;

  // Current index.
  int FIndexNo = 0;
  std::string FIndexName;
  int FKeySize = 0;
  bool FNatural = true;
  TIndexDescriptor FDescriptor;
  std::unique_ptr<TIndexKeyBuilder> FKeyBuilder;
  std::unique_ptr<TLanguageKeyTextMapper> FMapper;
  TIndexKeyComparer FComparer;
  std::unique_ptr<TIndexWalker> FWalker;
  // For counts and range positions, so that they do not disturb FWalker's position.
  std::unique_ptr<TIndexTree> FCountTree;
  std::unique_ptr<TIndexWalker> FRangeWalker;

  // Position.
  bool FBof = true;
  bool FEof = false;
  bool FOnKey = false;
  // Placed just before the current key: a nearest re-find or a search landed on the key
  // that follows the wanted one, so the next step forward delivers it.
  bool FCrack = false;
  int64_t FPosition = 0;
  int32_t FRecordNumber = 0;
  std::vector<uint8_t> FCurrentKey;
  std::vector<uint8_t> FCurrentRecord;

  // Range.
  std::vector<uint8_t> FStartKey;
  std::vector<uint8_t> FEndKey;
  int32_t FRangeStart = 1;
  int32_t FRangeEnd = 0;
  bool FRangeActive = false;

  // Bitmaps.
  bool FBitmapMode = false;
  std::unique_ptr<TRecordsBitmap> FAllRecords;
  std::unique_ptr<TRecordsBitmap> FRangeRecords;
  std::unique_ptr<TRecordsBitmap> FVisibleRecords;
  int32_t FVisibleCount = 0;

  TChangeCounters FChangeCounters;
  int FReadDepth = 0;
  // The position saved by Guarded (no allocation per read once grown).
  struct TSavedPosition {
    bool Bof = true;
    bool Eof = false;
    bool OnKey = false;
    bool Crack = false;
    int64_t Position = 0;
    int32_t RecordNumber = 0;
    std::vector<uint8_t> Key;
  } FSaved;
  bool FReadLocked = false;
  int32_t FLockedRecord = 0;

  // Filters, in list order.
  std::vector<std::unique_ptr<TFilter>> FFilters;
  bool AnyFilterActive() const;
  size_t FilterIndex(const TFilter* filter) const;
  void BuildView();
  void EnterOrLeaveBitmapMode();

  // Editing.
  bool FSuppressAutoInc = false;
  bool FPostFailed = false;
  bool FWriteLocked = false;
  std::unique_ptr<TTextIndexParameters> FTextParameters;
  std::unique_ptr<TCursorBlobs> FBlobs;
  std::unique_ptr<TCursorEditIndexes> FEdit;
};

}  // namespace kura
