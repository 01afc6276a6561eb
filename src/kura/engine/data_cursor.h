#pragma once

// A cursor: one open handle on a table, with its own current index, position, range,
// filters and record image. It is what the SQL layer, the dataset layer and the tools
// read and change tables with. All cursors of a session on one table share the table's
// files and caches; a cursor notices what other cursors, sessions and processes wrote
// through the table's change counters and then re-finds its record by its bookmark.
//
// Orders. In index order the cursor walks the B+-tree of its current index; positions
// are ordinals within the whole index, computed from the subtree counts while
// descending, so record numbers and counts never walk leaves. In natural order (index
// kNoIndex, or the primary index of a table that has none) it walks its visible records
// in record-number order.
//
// Bookmarks. Natural order: the 4-byte record number. Index order: the current key of
// the current index (KeySize bytes; keys of non-unique indexes end with the record's
// unique id, so a key names exactly one record); all zero bytes when on no key.
//
// Codes and errors. Reads return KURA_NONE, KURA_BOF (before the first record), KURA_EOF
// (after the last) or KURA_NOCURRREC (no current record: the view is empty); the BLOB
// operations return their codes too. Every other failure raises EKuraEngineError with the
// cursor's table name. Reads and moves of a shared table may also raise KURA_LOCKTIMEOUT
// (the read lock: under strict change detection, or when a read without it must go to
// the disk) and the corruption codes of the files (KURA_HEADERCORRUPT, KURA_FILECORRUPT,
// KURA_INDEXCORRUPT). A read made without any lock that meets such a failure is first
// repeated once under the read lock with the table's buffers read afresh; only a failure
// that persists there is reported (the rules are at the top of data_cursor.cpp).
//
// Unless an operation says otherwise it needs an open cursor. Everything public here is
// for the layers above (SQL, datasets, tools); the shared table object, the index walkers
// and the record bitmaps stay inside the engine, whose own code reaches the table through
// cursor_internals.h.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/engine/change_counters.h"
#include "kura/engine/filter.h"
#include "kura/storage/field_definition.h"
#include "kura/storage/index_key.h"

namespace kura {

class TCursorBlobs;
struct TCursorFieldMap;
struct TCursorEditIndexes;
struct TCursorInternals;
class TDataDirectory;
class TDataTable;
class TIndexTree;
class TIndexWalker;
class TSortOrder;
struct TIndexDefinition;
struct TTableDefinition;
struct TTextIndexParameters;

constexpr int kNoIndex = 255;
// Range keys and the cursor's key buffers.
constexpr int kKeyBufferSize = kMaxKeySize;

// Asked for a table's password when the session does not know it. It should add a
// password to the session and return true to try again; false gives up
// (KURA_NOTSUFFTABLERIGHTS).
using TPasswordCallback = std::function<bool(const std::string& tableName)>;

// How a BLOB field is opened.
enum class TBlobOpenMode : uint8_t { Read = 0, ReadWrite = 1 };

// Told about a record RestructureTable could not carry over: its record number in the
// old table and the engine error that kept it out. Returning false stops the restructure
// (the old table stays as it was).
using TDataLostCallback = std::function<bool(int32_t recNo, const EKuraEngineError& error)>;

// What RepairTable found and did beside rebuilding the indexes, in words, one line per
// finding, in the order they were made; each names the file it concerns. Empty when the
// table needed nothing else.
struct TRepairReport {
  std::vector<std::string> Lines;
};

// The rollback journal of the table whose data file is `dataFileName`: beside the data
// file as it is named on disk (every opener of the table finds the same journal whatever
// letter case it names the table in), or beside the name as given when the data file
// cannot be opened.
std::string TableJournalFileName(const std::string& dataFileName);

class TDataCursor {
public:
  // Made closed. Destruction closes the cursor (an error of that close is dropped).
  explicit TDataCursor(TDataDirectory& directory);
  ~TDataCursor();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // ---- Settings --------------------------------------------------------------------
  // Made while the cursor is closed; every setter raises KURA_TABLEOPEN while it is
  // open. The table name is trimmed and keeps only its file-name part, without a
  // trailing ".DAT" (any letter case). CloneOfExclusive lets the cursor open a table that
  // another cursor of the session holds exclusively (CloneCursor sets it).
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

  // ---- Life ------------------------------------------------------------------------
  // Opens (or shares) the table; nothing when already open. The table's first open
  // checks the file headers; an encrypted table needs its password in the session (the
  // password callback is asked while it is missing); a table whose index file was
  // recreated gets its internal record index rebuilt. Selects the primary index (natural
  // order with NaturalOrder) and stands before the first record.
  // Raises KURA_OSEACCES when the table is held here and either side is exclusive (or
  // the files' share modes refuse), KURA_OSENOENT when the data file is missing,
  // KURA_HEADERCORRUPT, KURA_OLDVERSION or KURA_CANNOTLOADLDDRV from the header checks,
  // KURA_NOTSUFFTABLERIGHTS when no password is given, KURA_LOCKTIMEOUT. A failure leaves
  // the cursor closed and the table's open count as it was.
  void OpenCursor();
  // Nothing when closed. Releases the cursor's record lock, its open BLOBs (changes not
  // posted are lost), filters and view, then closes the table once: the last close
  // writes an exclusive table's buffered changes (with discardTemporary a Temporary
  // table's are dropped). Raises what that write raises; the cursor is closed even then.
  void CloseCursor(bool discardTemporary = false);
  bool Active() const { return FTable != nullptr; }
  // A new open cursor on the same table with this cursor's settings, index, range and
  // filters (active where active here), positioned on this cursor's record. Raises what
  // OpenCursor, index selection and adding the filters raise; the clone is then gone.
  std::unique_ptr<TDataCursor> CloneCursor();

  // ---- Index selection -------------------------------------------------------------
  // By name (trimmed, any letter case; "" is the primary index, natural order for a
  // table without one) or by number (kPrimaryIndex, 1-30 secondary, kNoIndex natural
  // order). The current index again does nothing. Otherwise the range is cleared and the
  // cursor stays on its record (before and after it stay where they were). An unknown
  // name or number raises KURA_INVALIDINDEXNAME (IndexName: the name or number) and
  // changes nothing.
  void SetIndexName(const std::string& name);
  void SetIndexNumber(int number);
  int IndexNumber() const { return FIndexNo; }
  const std::string& IndexName() const { return FIndexName; }
  // Bytes of a key of the current index (0 in natural order).
  int KeySize() const { return FKeySize; }
  bool InNaturalOrder() const { return FNatural; }

  // ---- Positioning -----------------------------------------------------------------
  // Before the first visible record of the range (Bof) / after the last (Eof). When no
  // record is visible both Bof and Eof are set.
  void SetToBegin();
  void SetToEnd();
  // Onto the recNo-th visible record of the range (recNo clamped to 1..count). True when
  // GetRecNo now equals recNo; an empty view gives Bof and Eof and false. Raises
  // KURA_INDEXCORRUPT when the index holds fewer keys than its counts promise.
  bool SetToRecNo(int32_t recNo);
  // Onto the first visible record at or after the bookmark (BookmarkSize bytes from
  // GetBookmark in the same index). True when that is the bookmarked record, or, with
  // nearest, any record; false when no visible record follows (the cursor is then after
  // the last, or Bof and Eof in an empty view).
  bool SetToBookmark(const uint8_t* bookmark, bool nearest);
  // Onto the record of another open cursor on the same table, found by its key in this
  // cursor's index (its record number in natural order). A cursor on no record is
  // followed to before the first (or after the last) record. KURA_NONE, or
  // KURA_RECNOTFOUND when this view has no such record (the cursor then stands on the
  // nearest following one).
  int SetToCursor(TDataCursor& other);

  // ---- Reading ---------------------------------------------------------------------
  // buffer (RecordSize bytes) may be nullptr to move only; on any code but KURA_NONE it
  // is zero-filled. Next from before the first record delivers the first, at the end it
  // gives KURA_EOF; Prior is symmetric with KURA_BOF.
  int GetNextRecord(uint8_t* buffer);
  int GetPriorRecord(uint8_t* buffer);
  // The current record read again. With lock, a buffer and a current record, the edit
  // starts: under lpPessimistic the record is locked first (KURA_RECLOCKFAILED, see
  // LockRecord); the record is compared with buffer, the image the caller saw, and a
  // difference (or a deleted record) raises KURA_KEYORRECDELETED, releasing a lock taken
  // here. Under lpPessimistic a table that takes no locks (exclusive, read-only files)
  // is not compared. KURA_NOCURRREC, KURA_BOF or KURA_EOF when on no record.
  int GetCurrentRecord(uint8_t* buffer, bool lock = false);
  // Up to count successive GetNextRecord results into consecutive RecordSize slots; on
  // the first code other than KURA_NONE count becomes the number delivered and that code
  // is returned.
  int ReadRecordBlock(int32_t& count, uint8_t* buffer);
  // A copy of the current record for prefilling a new one: the field area (the record
  // header stays zero, except the RecordId while auto-increment is suppressed); every
  // non-empty BLOB field gets an open BLOB of its own holding a copy of the content (a
  // BLOB code other than KURA_NONE is raised). KURA_NOCURRREC, KURA_BOF or KURA_EOF when
  // on no record (buffer zero-filled).
  int CloneCurrentRecord(uint8_t* buffer);

  // ---- Identity and counts ---------------------------------------------------------
  // The current record's ordinal among the visible records of the range; 0 on no record.
  int32_t GetRecNo();
  // The number of visible records in the range.
  int32_t GetRecordCount();
  int BookmarkSize() const { return FNatural ? 4 : FKeySize; }
  // Writes BookmarkSize bytes; makes no change check.
  void GetBookmark(uint8_t* buffer);
  // -1, 0 or 1 in the order of the current index (record numbers in natural order).
  int CompareBookmarks(const uint8_t* a, const uint8_t* b) const;
  bool Bof() const { return FBof; }
  bool Eof() const { return FEof; }
  // The physical number of the record the cursor stands on (the same in every index
  // order); 0 before the first, after the last, or on no record.
  int32_t CurrentRecordNumber() const { return FBof || FEof ? 0 : FRecordNumber; }

  // ---- Ranges ----------------------------------------------------------------------
  // Restricts the current index to the keys between a start and an end record image. A
  // field count between 1 and one less than the index's key fields, or any count on a
  // non-unique index (0 then meaning all), keeps that many leading fields and fills the
  // rest with the lowest (start) or highest (end) key; otherwise the full key is used. A
  // record pointer may be nullptr: the range is then open at that end. The cursor is
  // re-found as by SetToBookmark with nearest. Nothing in natural order.
  void SetRange(const uint8_t* startRecord, int startFieldCount, const uint8_t* endRecord, int endFieldCount);
  void ResetRange();
  bool RangeActive() const { return FRangeActive; }

  // ---- Change detection ------------------------------------------------------------
  // Re-reads the table's state (under the read lock for a shared table) and re-finds the
  // current record, also when no change is seen. Raises KURA_LOCKTIMEOUT.
  void Refresh();
  // Around a group of reads (they nest; only the outermost pair works): BeginRead takes
  // the read lock under strict change detection (KURA_LOCKTIMEOUT) and, when the table
  // changed since the cursor last looked, rebuilds the view and re-finds the record;
  // EndRead releases the lock (KURA_UNLOCKFAILED). EndRead without BeginRead does
  // nothing. Every public read does this itself.
  void BeginRead();
  void EndRead();
  // The table's query read lock, held across many reads (a query's whole run) so that
  // no other session or process writes the table meanwhile. True when this call took
  // it (false when the table needs no lock or holds a query read, write or transaction
  // lock already): only then must QueryReadUnlock follow. KURA_LOCKTIMEOUT when it
  // cannot be had; QueryReadUnlock raises KURA_UNLOCKFAILED.
  bool QueryReadLock();
  void QueryReadUnlock();

  // ---- Record locks ----------------------------------------------------------------
  // recNo 0 means the current record. Exclusive tables and read-only files take no
  // locks: both do nothing there.
  // LockRecord raises KURA_RECLOCKFAILED at once when a cursor of this session (this one
  // included) holds the record or there is no current record to lock, and after
  // LockRetryCount + 1
  // attempts LockWaitTime ms apart when another session or process holds it. The record
  // becomes LockedRecord(); when the lock saw a change the cursor re-finds its record.
  void LockRecord(int32_t recNo);
  // Releases the record for the session; inside a transaction its byte stays locked
  // until the transaction ends. Outside one, KURA_UNLOCKFAILED when the table holds no
  // lock on it or the system refuses.
  void UnlockRecord(int32_t recNo);
  // The record this cursor holds locked, or 0.
  int32_t LockedRecord() const { return FLockedRecord; }

  // ---- Editing (data_cursor_editing.cpp) -------------------------------------------
  // Updates raise KURA_OSEACCES through a read-only cursor or table; appends and changes
  // then run the validity checks (CheckValidity) before any lock. The table's write lock
  // is taken (KURA_LOCKTIMEOUT) and released again on every path. Unique keys are checked
  // before any index is touched (KURA_KEYVIOL with the index's name, "Primary" for the
  // primary index); a ResultSetCursor without NaturalOrder skips them. Written through
  // for a shared table; an exclusive table keeps the changes in its buffers until
  // FlushBuffers with force, its last close or a commit; inside a transaction they reach
  // the files at the commit.

  // A zero-filled record image with the fields' default values; a default text that is
  // no value of its field's type raises KURA_INVALIDVCHKSTRUCT.
  void InitRecord(uint8_t* buffer);
  // Inserts the image as a new record in every index; a deleted slot is reused when the
  // table has a primary index. The image's open BLOBs are written and released, and the
  // image gets the stored references and the new RecordId (the caller's kept while
  // auto-increment is suppressed; an id already used raises KURA_KEYVIOL). With
  // reposition the cursor moves onto the new record, otherwise it stays where it was.
  // Raises KURA_RECLOCKFAILED when the slot is locked, KURA_INVALIDBLOBHANDLE for a
  // handle in the image that is not one of this cursor's.
  void AppendRecord(uint8_t* buffer, bool reposition);
  // Replaces the current record by the image (KURA_NOCURRREC on no record); only the
  // indexes whose keys change are touched, and the RecordId stays unless auto-increment
  // is suppressed. Under lpOptimistic the record must still be as this cursor read it:
  // otherwise KURA_KEYORRECDELETED, and every further ModifyRecord fails the same way
  // until CancelRecord (PostFailed); the record is locked for the change only. Under
  // lpPessimistic unlock releases this cursor's lock afterwards. A record deleted
  // meanwhile raises KURA_KEYORRECDELETED. The cursor stays on the changed record
  // wherever its keys put it; when the change takes the record out of the cursor's view
  // (a filter or the range no longer holds it) the cursor stands just before the record
  // that followed, as after DeleteRecord (reposition has no further effect).
  void ModifyRecord(uint8_t* buffer, bool unlock, bool reposition);
  // Deletes the current record (KURA_NOCURRREC on no record). When another cursor of the
  // session holds its lock: KURA_RECLOCKFAILED; when this one does, its open BLOBs are
  // released. Otherwise a shared table's record must equal buffer, the image the caller
  // believes current (nullptr skips the comparison): KURA_KEYORRECDELETED. Raises
  // KURA_INDEXCORRUPT when a key of the record is missing. The cursor then stands just
  // before the record that followed, so that a walk deleting as it goes visits every
  // record (reposition has no further effect).
  void DeleteRecord(const uint8_t* buffer, bool reposition);
  // Ends an edit without posting: clears PostFailed (lpOptimistic) or releases this
  // cursor's record lock (lpPessimistic).
  void CancelRecord();
  // Writes buffered changes: always for a shared table, with force for an exclusive one
  // (inside a transaction they only count as changed). trimCaches also shrinks the
  // caches to the session's limits. Raises KURA_WRITEERR.
  void FlushBuffers(bool force, bool trimCaches);
  // While set, appends and changes keep the caller's RecordId (only for tables with an
  // auto-increment field). May be set at any time.
  void SetSuppressAutoInc(bool value);
  bool SuppressAutoInc() const { return FSuppressAutoInc; }
  bool PostFailed() const { return FPostFailed; }

  // ---- Field values and BLOB handles (data_cursor_fields.cpp) ------------------------
  // The table's field definitions (empty while the cursor is closed); field number n is
  // element n - 1.
  const std::vector<TFieldDefinition>& FieldDefinitions() const;
  // The field of that name (trimmed, any letter case), or null (also while closed).
  const TFieldDefinition* FieldByName(const std::string& name) const;
  // Field numbers are 1-based; another number (or a closed cursor) raises
  // KURA_OUTOFRANGE (FieldName: the number). A value is the field's data bytes as a record holds them (strings: the
  // characters, zero-terminated within DataSize bytes). A computed field reads as NULL.
  void GetField(int fieldNo, const uint8_t* record, bool& isNull, uint8_t* value) const;
  // value nullptr stores NULL (the auto-increment field is never NULL and stays as it
  // is). Strings: at most size - 1 characters, trailing blanks removed, the field's
  // character case applied; empty is NULL. Writing a computed field does nothing.
  void SetField(int fieldNo, uint8_t* record, const uint8_t* value);
  // Required (KURA_REQDERR), minimum (KURA_MINVALERR) and maximum (KURA_MAXVALERR)
  // checks in field order, FieldName naming the field; a minimum or maximum text that is
  // no value of the field's type raises KURA_INVALIDVCHKSTRUCT.
  void CheckValidity(const uint8_t* record) const;
  // BLOB handles. While a field is open its value in the image holds a handle of this
  // cursor; the contents reach the BLOB file when the image is posted. Every operation
  // returns KURA_NOTABLOB for a field that is not a BLOB, and all but OpenBlob
  // KURA_INVALIDBLOBHANDLE for a field without an open handle of this cursor.
  // OpenBlob: a field already open here gets one more use of its handle; otherwise the
  // content is loaded into a new handle (the mode does not restrict later writes).
  // KURA_INVALIDBLOBOFFSET when the field holds another cursor's handle, KURA_OPENBLOBLIMIT
  // when 128 are open.
  int OpenBlob(int fieldNo, uint8_t* record, TBlobOpenMode mode, int32_t& size);
  // Copies up to length bytes from offset; KURA_ENDOFBLOB when fewer were there.
  // KURA_INVALIDBLOBOFFSET for a negative offset, KURA_INVALIDBLOBLEN for a negative
  // length (or a positive one without buffer).
  int GetBlob(int fieldNo, uint8_t* record, int32_t offset, int32_t length, uint8_t* buffer, int32_t& count);
  // Writes length bytes at offset, growing the content; the field's null flag follows
  // the content. Offset and length checked as in GetBlob (KURA_INVALIDBLOBLEN also when
  // the end would pass 2^31 - 1).
  int PutBlob(int fieldNo, uint8_t* record, int32_t offset, int32_t length, const uint8_t* buffer);
  int TruncateBlob(int fieldNo, uint8_t* record, int32_t length);
  int GetBlobSize(int fieldNo, uint8_t* record, int32_t& size);
  // Releases one use of the handle; the last one drops changes not posted and puts the
  // stored reference back into the image.
  int FreeBlob(int fieldNo, uint8_t* record);
  // Forgets every handle of this cursor; images that still hold one must not be posted.
  void FreeAllBlobs();

  // ---- Field map (cursor_field_map.cpp) ----------------------------------------------
  // A live query result shows its table through a map: one definition per result column,
  // in result order. A plain column is its table field's definition (FieldNo, offset,
  // type) under the column's name; a computed column has Computed set, its result type,
  // and Expression holding its bound tree (a std::shared_ptr<TExpToken> whose columns
  // are bound to this table's field numbers). Records, editing, indexes and filters keep
  // using the table's own fields. An empty map removes it; the map goes when the cursor
  // closes. Raises what preparing an expression raises.
  void SetFieldMap(std::vector<TFieldDefinition> map);
  bool HasFieldMap() const;
  // The map when one is set, else the table's field definitions.
  const std::vector<TFieldDefinition>& ResultFields() const;
  // The value of a computed field of the map (`field` is an element of ResultFields())
  // for the record image `record`: a node typed as the field, IsNull for NULL. A field
  // that is not a computed field of the map raises KURA_OUTOFRANGE.
  TExpTree ComputeField(const TFieldDefinition& field, const uint8_t* record);
  // A table field's value of `record` as an expression value node (see TColumnReader).
  void ReadColumn(const TFieldDefinition& field, const uint8_t* record, TExpToken& node);

  // ---- Filters and key searches (data_cursor_filters.cpp) ----------------------------
  // At most 64 filters (KURA_INTERNALLIMIT beyond). Filters are added inactive; an
  // AfterOthers filter goes to the end of the list, any other before the first
  // AfterOthers filter. An expression that cannot be parsed or bound, a nullptr tree or
  // an empty callback raises KURA_INVALIDFILTER.
  TFilter* AddExprFilter(const std::string& text, const TFilterOptions& options = {});
  TFilter* AddExprFilter(TExpToken* tree, const TFilterOptions& options = {});
  TFilter* AddCallbackFilter(TFilterCallback callback, bool afterOthers);
  // nullptr means every filter; a filter that is not this cursor's raises
  // KURA_NOSUCHFILTER. The view is rebuilt and the cursor re-found in it (by DropFilter
  // only when an active filter went: an inactive one never shaped the view).
  void ActivateFilter(TFilter* filter);
  void DeactivateFilter(TFilter* filter);
  void DropFilter(TFilter* filter);
  // kFilterNotOptimized, kFilterPartlyOptimized or kFilterFullyOptimized;
  // KURA_NOSUCHFILTER as above (nullptr included).
  int GetFilterOptimizeLevel(TFilter* filter);
  // Swaps an expression filter's tree (a bound tree, as AddExprFilter takes it); an
  // active filter's view is rebuilt. KURA_NOSUCHFILTER as above.
  void ReplaceFilterExpression(TFilter* filter, TExpToken* tree);
  size_t FilterCount() const { return FFilters.size(); }
  // The key search in the current index: the key is buffer itself (bufferIsKey) or built
  // from the record image in buffer. A partial search (fieldCount below the key's field
  // count, a non-unique index, or partialLength >= 0 for the leading bytes of the next
  // field) lands on the first key with that prefix; a full key of a unique index is
  // searched exactly (or its follower with nearest); an exact search that misses leaves
  // the cursor where it was. A search past the last key leaves the cursor on the last
  // record. The landed record is copied to recordBuffer when given. True when the landed
  // key matches. False in natural order (nothing moves).
  bool Find(const uint8_t* buffer, bool bufferIsKey, int fieldCount, int partialLength, bool nearest,
            uint8_t* recordBuffer);
  // The key of the record image in the current index (KeySize bytes), for Find with
  // bufferIsKey. Nothing in natural order.
  void BuildKey(const uint8_t* record, uint8_t* key) const;

  // ---- Table maintenance (data_cursor_maintenance.cpp) -------------------------------
  // TableName, InMemory, Exclusive and ReadOnly name the table and the access asked for.
  // Table definitions are checked (table_definition_check.h) before any file is touched.
  // A table held here means one that a cursor of the session has open or that takes
  // part in a transaction; files that another process has open refuse as well. Both
  // raise KURA_OSEACCES.

  // Creates the table's files; an open cursor is closed first, and the cursor is closed
  // when this returns. Needs Exclusive (KURA_NEEDEXCLACCESS) and not ReadOnly
  // (KURA_OSEACCES). An existing table raises KURA_TABLEEXISTS unless overwrite; a table
  // held here KURA_OSEACCES. On a failure nothing of the new table is left.
  void CreateTable(const TTableDefinition& definition, bool overwrite);
  // Deletes the data, index and BLOB files. Needs a closed cursor (KURA_TABLEOPEN).
  // KURA_OSENOENT when the data file does not exist; KURA_OSEACCES when the table is held.
  void DeleteTable();
  // Renames the table's files, each keeping its extension; a new name with a directory
  // part is used as given, otherwise it is placed in the directory. TableName stays as
  // it was. Needs a closed cursor (KURA_TABLEOPEN). KURA_OSEACCES when the table is held;
  // KURA_TABLEEXISTS (TableName: the new name) when a table of the new name exists.
  // Files that do not exist are skipped: a missing table renames nothing and raises
  // nothing.
  void RenameTable(const std::string& newName);
  // Removes every record: the files are cut back to their definitions and their counters
  // reset (the text-index parameters kept), open BLOBs are released, and
  // the cursor stands before the (now empty) view. Needs a cursor open on an exclusive
  // table (KURA_NEEDEXCLACCESS, also when closed) and writable (KURA_OSEACCES).
  void EmptyTable();
  // Sorts the records in place as the request asks (its key fields and directions, NOCASE,
  // duplicates dropped, grouping through its callbacks, a row limit), comparing texts by
  // the table's language driver, and rebuilds every index over the new record order. The
  // BLOBs of records the request leaves out are freed. The cursor is refreshed and stands
  // before the first record. Needs a cursor open on an exclusive table
  // (KURA_NEEDEXCLACCESS, also when closed) and writable (KURA_OSEACCES); a key field that
  // is no sortable field (unknown, computed, BLOB) raises KURA_OUTOFRANGE before any
  // record moves. (The request type lives with the data file, storage/data_file.h.)
  void SortRecords(const struct TSortRequest& request);
  // Adds a secondary index and fills it from the records (progress reported); the
  // cursor keeps its index and goes before the first record. Needs an open cursor
  // (KURA_NEEDEXCLACCESS when closed); unless the definition is Temporary, an exclusive
  // table (KURA_NEEDEXCLACCESS) and a writable cursor (KURA_OSEACCES). A key of 0 or
  // more than kMaxKeyDataSize bytes raises KURA_INVALIDKEY; the index file's checks of
  // the definition raise their codes; a unique index meeting a key twice raises
  // KURA_KEYVIOL and is removed again.
  void AddSecondaryIndex(const TIndexDefinition& definition);
  // Removes the index of that name (trimmed, any letter case; "" is the primary index)
  // and its pages; the cursor goes to the primary index (natural order when it was the
  // one removed), before the first record. Needs an open, exclusive table
  // (KURA_NEEDEXCLACCESS) and a writable cursor (KURA_OSEACCES); an unknown name raises
  // KURA_INVALIDINDEXNAME.
  void DeleteIndex(const std::string& name);
  // The definition the open table has: its fields (each FieldNo its own number, so that
  // the definition given back to RestructureTable keeps every field), primary,
  // secondary (not temporary) and text indexes with the text-index parameters, language
  // driver, description, encryption and password, BLOB block size, user versions and
  // the last auto-increment value. Raises KURA_NOTINITIALIZED when the cursor is
  // closed, and what reading the index file's parameter pages raises.
  TTableDefinition TableDefinition();
  // Gives the table a new definition (fields matched by the FieldNo of the old field
  // they take over). Needs a closed cursor (KURA_TABLEOPEN), Exclusive
  // (KURA_NEEDEXCLACCESS) and not ReadOnly, nor read-only files (KURA_OSEACCES); opening
  // raises as OpenCursor. When the record layout stays, the definitions are updated in
  // place and the index file is built anew beside the old one, which it replaces only
  // when complete (KURA_KEYVIOL for a unique index meeting a key twice). Otherwise every
  // record is copied into a new table, values converted to the new types; a record that
  // cannot be copied is told to dataLost and left out, and without a callback, or when
  // it returns false, its error is raised. The old table stays intact until the new one
  // is complete. The cursor is closed when this returns.
  void RestructureTable(const TTableDefinition& definition, TDataLostCallback dataLost = {});
  // Makes the table whole again from what its data file allows, then rebuilds every
  // index from the data file:
  // - a commit that its rollback journal holds (a writer died in it) is rolled back
  //   first;
  // - a data file shorter than the slots its header counts keeps the whole slots it
  //   holds (NextRecordNo follows them); bytes beyond the last slot (a partial slot,
  //   slots never counted) are cut off, as are bytes beyond the last block of the BLOB
  //   file;
  // - a damaged chain of deleted slots (a loop, a link out of the file or to an active
  //   record, deleted slots missing from it) is made anew from the slots' state bytes.
  // The index definitions come from the index file, else (missing, unreadable, or made
  // anew when it was missing) from its backup ".IBK", else only the internal indexes are
  // made; definitions the file refuses and records whose unique key is taken are left
  // out of their index. The old index file is kept as ".IBK" when its definitions could
  // be read (or there was no backup). Returns what was found and done (see
  // TRepairReport). Needs a closed cursor (KURA_TABLEOPEN) and not ReadOnly
  // (KURA_OSEACCES); KURA_OSEACCES when the table is held; a data file whose header or
  // definitions cannot be trusted raises the header check's code, its files left as they
  // were (after the rollback); an encrypted table needs its password
  // (KURA_NOTSUFFTABLERIGHTS).
  TRepairReport RepairTable();

  // ---- State -----------------------------------------------------------------------
  TDataDirectory& Directory() const { return FDirectory; }
  // Copied from the data file header at open.
  int RecordSize() const { return FRecordSize; }
  int FieldCount() const { return FFieldCount; }
  uint16_t LocaleId() const { return FLocaleId; }
  uint16_t SortId() const { return FSortId; }

private:
  friend struct TCursorInternals;

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

  // Post support: writes the changed BLOBs whose handles the image holds into the BLOB
  // file (new BLOB ids), frees the chains they replace (as found in `stored`, the
  // record's stored image, or nullptr for a new record), puts the references into the
  // image and releases the handles. A handle that is not one of this cursor's raises
  // KURA_INVALIDBLOBHANDLE before anything is written.
  void WriteOpenBlobs(uint8_t* record, const uint8_t* stored);
  // Delete support: frees the BLOB chains a stored record references.
  void FreeStoredBlobs(const uint8_t* stored);

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

  // The guard of every operation that walks an index, reads records or builds the view
  // (the rules are at the top of data_cursor.cpp). Runs `body`; for a reader without any
  // lock a read that must go to the disk takes the read lock first, and when that finds
  // another writer's change, or the body meets damage, the cursor goes back to where it
  // stood and the body runs once more under the read lock with the table's buffers read
  // afresh. Inside another guarded run on the same table, and for readers whose locks
  // already keep writers out, `body` just runs. The body must be safe to run twice: it
  // may change the cursor's position, not what the caller asked for.
  template <typename TBody>
  auto Guarded(TBody&& body) -> decltype(body()) {
    using TResult = decltype(body());
    if constexpr (std::is_void_v<TResult>) {
      RunGuarded([](void* step) { (*static_cast<std::remove_reference_t<TBody>*>(step))(); }, &body);
    } else {
      TResult result{};
      auto store = [&] { result = body(); };
      RunGuarded([](void* step) { (*static_cast<decltype(store)*>(step))(); }, &store);
      return result;
    }
  }
  void RunGuarded(void (*step)(void*), void* context);
  // No lock of the table keeps writers out of its files while this cursor reads.
  bool UnlockedReader() const;
  void SavePosition();
  void RestorePosition();
  int NextRecordStep(uint8_t* buffer);
  int PriorRecordStep(uint8_t* buffer);
  int CurrentRecordStep(uint8_t* buffer, bool lock);
  bool BookmarkStep(const uint8_t* bookmark, bool nearest);
  int CursorStep(TDataCursor& other);
  void RangeStep(bool active, const uint8_t* startRecord, int startFieldCount, const uint8_t* endRecord,
                 int endFieldCount);
  bool FindStep(const uint8_t* buffer, bool bufferIsKey, int fieldCount, int partialLength, bool nearest,
                uint8_t* recordBuffer);
  // Filter (de)activation and removal: bitmap mode follows the active set, the view is
  // rebuilt and the record re-found, guarded.
  void FiltersChanged();
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
  std::unique_ptr<TCursorFieldMap> FFieldMap;

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
  // The table's ContentChanges for which FAllRecords holds exactly the active records;
  // empty when it may not. The cursor's own writes keep it (see AfterWrite); a rebuild of
  // the view then need not walk the record index again.
  std::optional<int64_t> FAllRecordsAt;
  // FAllRecords was exact when the current update began (BeginWrite).
  bool FAllRecordsKept = false;
  std::unique_ptr<TRecordsBitmap> FRangeRecords;
  std::unique_ptr<TRecordsBitmap> FVisibleRecords;
  int32_t FVisibleCount = 0;

  TChangeCounters FChangeCounters;
  int FReadDepth = 0;
  // The position saved by Guarded (no allocation per read once grown).
  struct TSavedPosition {
    int IndexNo = 0;
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
