#include "kura/engine/data_cursor.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/cursor_blobs.h"
#include "kura/engine/cursor_field_map.h"
#include "kura/engine/cursor_edit_indexes.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table.h"
#include "kura/engine/table_read_lock.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"
#include "kura/storage/key_encoding.h"
#include "kura/storage/table_files.h"

// Readers of a shared table and what they may take from its files. Invariants:
//  1. The caches of a table (records, index pages) and its headers in memory hold one
//     committed state of the files at a time. A read from the disk fills a cache only
//     while a lock of the table keeps writers out (read, query read, write or transaction
//     lock) and after the change check made when that lock was taken: a change found
//     there drops the caches and reads the headers again, so what comes from the disk and
//     what stays cached belong to the same commit, and no half-written page or record
//     is ever read.
//  2. A reader without any lock (no strict change detection) runs every operation that
//     walks an index, reads records or builds its view as one guarded run (RunGuarded).
//     Cache hits cost nothing more. The first cache miss asks the gate the run installed
//     on the data and index files, which takes the read lock and keeps it to the end of
//     the run; when its change check finds another writer's commit, what the run used so
//     far is older than the disk: the cursor goes back to where it stood and the run is
//     repeated under the lock with the buffers read afresh.
//  3. Reads never create anything. Only a writer, under the write lock, makes a record
//     slot or an index page (AllocateRecord, AllocatePage). A record or page number at or
//     beyond what the header in memory counts can only come from a header older than the
//     page that named it, or from damage: the reading side reports it as damage
//     (KURA_FILECORRUPT, KURA_INDEXCORRUPT through the files' damage helpers).
//  4. Damage met by a run that started without any lock is met again only when it is
//     real: the run is repeated once under the read lock with every buffer dropped and
//     the headers read again, and only what fails there is reported. Damage met while a
//     lock kept writers out from the start is reported at once.
//  5. Runs nest: an operation inside a guarded run on the same table (of this cursor or
//     another of the session) just runs; the outermost run alone takes the lock and
//     repeats. A run changes nothing but the cursor's position and view before it may be
//     repeated.

namespace kura {

namespace {

// The longest run of consecutive slots a read asks the data file to read ahead.
constexpr int32_t kMaxReadAheadRun = 256;

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

// Raised by the gate when the read lock it took found another writer's commit; caught by
// the guarded run that installed the gate, never seen outside the cursor.
struct TTableMovedOn {};

bool KeepsWritersOut(const TDataTable& table) {
  return table.HasReadLock() || table.HasQueryReadLock() || table.HasWriteLock() || table.HasTransactionLock();
}

bool IsDamage(TErrorCode code) {
  return code == KURA_HEADERCORRUPT || code == KURA_FILECORRUPT || code == KURA_INDEXCORRUPT;
}

// The gate of one guarded run, installed on the table's data and index files for its
// duration: the first read from the disk takes the read lock (invariant 2).
class TReadGate final : public TDiskReadGate {
public:
  explicit TReadGate(TDataTable& table) : FTable(table) {
    table.DataFile().SetDiskReadGate(this);
    table.IndexFile().SetDiskReadGate(this);
  }
  ~TReadGate() override {
    FTable.DataFile().SetDiskReadGate(nullptr);
    FTable.IndexFile().SetDiskReadGate(nullptr);
  }
  TReadGate(const TReadGate&) = delete;
  TReadGate& operator=(const TReadGate&) = delete;

  void BeforeDiskRead() override {
    if (HoldLock()) throw TTableMovedOn{};
  }
  // Takes the read lock unless some lock keeps writers out already; true when taking it
  // found another writer's change.
  bool HoldLock() {
    if (FTaken || KeepsWritersOut(FTable)) return false;
    const bool changed = FTable.ReadLock();
    FTaken = true;
    return changed;
  }
  // Gives back the lock taken here; raises what ReadUnlock raises.
  void Release() {
    if (!FTaken) return;
    FTaken = false;
    FTable.ReadUnlock();
  }

private:
  TDataTable& FTable;
  bool FTaken = false;
};

}  // namespace

TDataCursor::TDataCursor(TDataDirectory& directory) : FDirectory(directory) {
  FStartKey.assign(kKeyBufferSize, 0x00);
  FEndKey.assign(kKeyBufferSize, 0xFF);
}

TDataCursor::~TDataCursor() {
  if (!FTable) return;
  try {
    CloseCursor(false);
  } catch (const EKuraEngineError&) {
    // A destructor cannot report; CloseCursor has released the cursor's state before
    // the table close that failed.
  }
}

// ---------------------------------------------------------------------------------------
// Settings

TErrorNames TDataCursor::Names() const {
  TErrorNames names;
  names.DatabaseName = FDirectory.Path();
  names.TableName = FTableName;
  return names;
}

void TDataCursor::CheckClosed() const {
  if (FTable) {
    RaiseEngineError(KURA_TABLEOPEN, Names());
  }
}

void TDataCursor::SetTableName(const std::string& name) {
  CheckClosed();
  FTableName = TableBaseName(TrimBlanks(name), kDataFileExtension);
}
void TDataCursor::SetExclusive(bool value) { CheckClosed(); FExclusive = value; }
void TDataCursor::SetReadOnly(bool value) { CheckClosed(); FReadOnly = value; }
void TDataCursor::SetInMemory(bool value) { CheckClosed(); FInMemory = value; }
void TDataCursor::SetTemporary(bool value) { CheckClosed(); FTemporary = value; }
void TDataCursor::SetNaturalOrder(bool value) { CheckClosed(); FNaturalOrderSetting = value; }
void TDataCursor::SetResultSetCursor(bool value) { CheckClosed(); FResultSetCursor = value; }
void TDataCursor::SetCloneOfExclusive(bool value) { CheckClosed(); FCloneOfExclusive = value; }
void TDataCursor::SetPasswordCallback(TPasswordCallback callback) {
  CheckClosed();
  FPasswordCallback = std::move(callback);
}

// ---------------------------------------------------------------------------------------
// Life

void TDataCursor::OpenCursor() {
  if (FTable) return;
  TDataTable* table = nullptr;
  const int rc = FDirectory.OpenTable(FTableName, FInMemory, FExclusive, FTemporary, FCloneOfExclusive, table);
  if (rc < 0) {
    RaiseEngineError(static_cast<TErrorCode>(-rc), Names());
  }
  FTable = table;
  // A failed opening leaves the cursor closed (after the read lock is given back).
  auto close = OnScopeFail([this] {
    ReleaseState();
    TDataTable* opened = FTable;
    FTable = nullptr;
    FDirectory.CloseTable(opened, false);
  });
  // The whole opening reads under the read lock: the header checks, and the first view
  // (counts, bitmaps, the first key), which another process's writer could otherwise
  // change halfway through a walk of the tree.
  TTableReadLock lock(*table);
  OpenSteps();
  close.Dismiss();
  lock.Release();
}

void TDataCursor::OpenSteps() {
  TDataTable& table = *FTable;
  FCursorReadOnly = FReadOnly || table.ReadOnly() || table.ReadOnlyFiles();
  if (table.OpenCount() == 1 && !table.InTransaction()) VerifyHeaders();
  CheckPassword();

  TDataFile& data = table.DataFile();
  FFieldCount = data.FieldCount();
  FRecordSize = data.RecordSize();
  FLocaleId = data.LocaleId();
  FSortId = data.SortId();
  FSortOrder = FLocaleId != 0 ? std::make_unique<TSortOrder>(FLocaleId, FSortId) : nullptr;
  FMapper = std::make_unique<TLanguageKeyTextMapper>(FLocaleId, FSortId);
  FChangeCounters = table.ChangeCounters();
  FCurrentRecord.assign(static_cast<size_t>(FRecordSize), 0);
  FBof = true;
  FEof = false;

  if (table.IndexesRebuilt() || table.IndexFile().DefinitionsLost()) RebuildRecordIndex();
  SelectIndex(FNaturalOrderSetting ? kNoIndex : kPrimaryIndex, false);
  SetToBegin();
}

// Header checks on the table's first open, under the read lock so that no writer is
// halfway through a header.
void TDataCursor::VerifyHeaders() {
  TDataTable& table = *FTable;
  TTableReadLock lock(table);
  table.DataFile().CheckHeader();
  if (!table.IndexesRebuilt()) table.IndexFile().CheckHeader();
  if (TBlobFile* blob = table.BlobFile()) blob->CheckHeader();
  lock.Release();
}

void TDataCursor::CheckPassword() {
  TDataFile& data = FTable->DataFile();
  // An encrypted table without a password needs none: no password could ever match it.
  if (!data.Encrypted() || data.Password().empty()) return;
  TDataSession& session = FDirectory.Session();
  while (!session.HasPassword(data.Password())) {
    if (!FPasswordCallback || !FPasswordCallback(FTableName)) {
      RaiseEngineError(KURA_NOTSUFFTABLERIGHTS, Names());
    }
  }
}

// The index file was created anew (by this opener, or by another that may have died
// before it was done: the header's DefinitionsLost mark says so): the internal record
// index is rebuilt from the data file (state byte and unique id of every slot) and
// written to the disk before the opening returns, under the write lock, so that every
// later opener, in this process or another, finds every record. Whoever finds it built
// (by the first cursor, or by another process while this one waited for the lock) leaves
// it. A table that nobody may write (read-only files) keeps the index in its buffers.
void TDataCursor::RebuildRecordIndex() {
  TDataTable& table = *FTable;
  TIndexFile& index = table.IndexFile();
  TDataFile& data = table.DataFile();
  auto built = [&] { return index.RootPage(kSysDeletedIndex) != 0 || data.RecordCount() == 0; };
  if (built()) return;
  const bool writable = !table.ReadOnly() && !table.InTransaction();
  const bool lock = writable && !table.LockFree() && !table.HasWriteLock();
  if (lock) table.WriteLock();
  {
    auto unlock = OnScopeExit([&] {
      if (lock) table.WriteUnlock();
    });
    // The lock's change check has read what another writer did meanwhile.
    if (built()) {
      SyncCounters();
      return;
    }
    TIndexTree tree(index, kSysDeletedIndex);
    uint8_t key[kSysDeletedKeySize];
    int32_t active = 0;
    const int32_t count = data.RecordCount();
    for (int32_t recNo = 1; recNo <= count; ++recNo) {
      TRecordPin record(data, data.GetRecord(recNo, TReadAhead{true, false, count - recNo + 1}));
      BuildSysDeletedKey(record->State(), record->UniqueId(), key);
      if (!record->IsDeleted()) ++active;
      tree.Insert(key, recNo);
    }
    index.SetActiveRecordCount(active);
    if (writable) {
      table.FlushTable(false);
    } else {
      table.MarkChanged();
    }
  }
  SyncCounters();
}

void TDataCursor::ReleaseState() {
  // Open BLOB handles die with the cursor's open state; their buffers were never posted.
  FBlobs.reset();
  FEdit.reset();
  FFilters.clear();
  FPostFailed = false;
  TRecordsBitmapStack& pool = RecordsBitmapStack();
  pool.Release(FAllRecords);
  FAllRecordsAt.reset();
  pool.Release(FRangeRecords);
  pool.Release(FVisibleRecords);
  FWalker.reset();
  FCountTree.reset();
  FRangeWalker.reset();
  FKeyBuilder.reset();
  FMapper.reset();
  FSortOrder.reset();
  FCurrentRecord.clear();
  FCurrentKey.clear();
  FBof = true;
  FEof = false;
  FOnKey = false;
  FCrack = false;
  FPosition = 0;
  FRecordNumber = 0;
  FRangeActive = false;
  FBitmapMode = false;
  FVisibleCount = 0;
  FReadDepth = 0;
  FReadLocked = false;
  std::fill(FStartKey.begin(), FStartKey.end(), 0x00);
  std::fill(FEndKey.begin(), FEndKey.end(), 0xFF);
}

void TDataCursor::CloseCursor(bool discardTemporary) {
  if (!FTable) return;
  TDataTable* table = FTable;
  if (FLockedRecord != 0 && !table->LockFree()) {
    const int32_t recNo = FLockedRecord;
    FLockedRecord = 0;
    TRecordsBitmap& locked = table->CursorLockedRecords();
    if (recNo <= locked.RecordCount()) locked.Exclude(recNo);
    if (table->OSLockedRecords().IsSet(recNo)) table->UnlockRecord(recNo);
  }
  FLockedRecord = 0;
  ReleaseState();
  FFieldMap.reset();
  FTable = nullptr;
  const int rc = FDirectory.CloseTable(table, discardTemporary);
  if (rc < 0) {
    RaiseEngineError(static_cast<TErrorCode>(-rc), Names());
  }
}

std::unique_ptr<TDataCursor> TDataCursor::CloneCursor() {
  TReadScope scope(*this);
  auto clone = std::make_unique<TDataCursor>(FDirectory);
  clone->FTableName = FTableName;
  clone->FExclusive = FExclusive;
  clone->FReadOnly = FReadOnly;
  clone->FInMemory = FInMemory;
  clone->FTemporary = FTemporary;
  clone->FResultSetCursor = FResultSetCursor;
  clone->FNaturalOrderSetting = FNaturalOrderSetting;
  clone->FCloneOfExclusive = FExclusive;
  clone->FPasswordCallback = FPasswordCallback;
  clone->OpenCursor();
  if (clone->FIndexNo != FIndexNo) clone->SetIndexNumber(FIndexNo);
  if (FRangeActive && !FNatural) {
    clone->FStartKey = FStartKey;
    clone->FEndKey = FEndKey;
    clone->FRangeActive = true;
    clone->RecomputeView();
  }
  // Every filter again, activated when active here: expression filters with a copy of
  // the bound tree, callback filters with the same callback.
  for (const std::unique_ptr<TFilter>& filter : FFilters) {
    TFilter* copy;
    if (filter->Callback()) {
      copy = clone->AddCallbackFilter(filter->Callback(), filter->AfterOthers());
    } else {
      TFilterOptions options = filter->Options();
      options.OwnsExpression = true;
      TExpTree tree(CopyTree(filter->Expression()));
      copy = clone->AddExprFilter(tree.get(), options);
      tree.release();
    }
    if (filter->Active()) clone->ActivateFilter(copy);
  }
  clone->SetToCursor(*this);
  return clone;
}

// ---------------------------------------------------------------------------------------
// Index selection

void TDataCursor::SetIndexName(const std::string& name) {
  const std::string wanted(TrimBlanks(name));
  if (SameName(wanted, FIndexName) && (FIndexNo != kNoIndex || wanted.empty())) return;
  // The empty name is the primary index, also for a table without one (natural order).
  const int number = wanted.empty() ? kPrimaryIndex : IndexNumberByName(wanted);
  if (number < 0) RaiseUnknownIndex(wanted);
  SetIndexNumber(number);
}

int TDataCursor::IndexNumberByName(const std::string& name) const {
  const std::string wanted(TrimBlanks(name));
  TIndexFile& index = FTable->IndexFile();
  for (int i = 0; i <= index.SecondaryCount() && i <= kMaxSecondaryIndexes; ++i) {
    if (!index.IndexInUse(i) || index.Descriptor(i).IndexFieldCount == 0) continue;
    if (SameName(index.Descriptor(i).Name, wanted)) return i;
  }
  return -1;
}

void TDataCursor::RaiseUnknownIndex(const std::string& name) const {
  TErrorNames names = Names();
  names.IndexName = std::string(TrimBlanks(name));
  RaiseEngineError(KURA_INVALIDINDEXNAME, names);
}

void TDataCursor::SetIndexNumber(int number) {
  if (!FTable) CheckClosed();
  if (number == FIndexNo) return;
  TIndexFile& index = FTable->IndexFile();
  const bool known = number == kNoIndex || number == kPrimaryIndex ||
                     (number >= 1 && number <= kMaxSecondaryIndexes && index.IndexInUse(number));
  if (!known) {
    TErrorNames names = Names();
    names.IndexName = std::to_string(number);
    RaiseEngineError(KURA_INVALIDINDEXNAME, names);
  }
  // The record image identifies the record in the new order; a repeated run starts from
  // it again.
  const std::vector<uint8_t> image = FCurrentRecord;
  Guarded([&] {
    TTableReadLock lock(*FTable);
    SyncCounters();
    FCurrentRecord = image;
    SelectIndex(number, true);
    lock.Release();
  });
}

// Makes `number` the current index, clears the range and rebuilds the view; with refind
// the cursor moves to its record's key in the new index.
void TDataCursor::SelectIndex(int number, bool refind) {
  TIndexFile& index = FTable->IndexFile();
  TDataFile& data = FTable->DataFile();
  const bool hasPrimary = index.IndexInUse(kPrimaryIndex) && index.Descriptor(kPrimaryIndex).IndexFieldCount > 0;
  // The record image and number identify the record across the change of order.
  const bool wasOnRecord = FOnKey && !FBof && !FEof;
  const int32_t recNo = FRecordNumber;

  FIndexNo = number;
  FNatural = number == kNoIndex || (number == kPrimaryIndex && !hasPrimary);
  if (FNatural) {
    FDescriptor = TIndexDescriptor{};
    FIndexName.clear();
    FKeySize = 0;
    FKeyBuilder.reset();
    FWalker.reset();
    FCountTree.reset();
    FRangeWalker.reset();
    FComparer = TIndexKeyComparer::Bytes(4, false);
  } else {
    FDescriptor = index.Descriptor(number);
    FIndexName = FDescriptor.Name;
    FKeySize = FDescriptor.KeySize;
    FKeyBuilder = std::make_unique<TIndexKeyBuilder>(FDescriptor, data.FieldDefinitions(), FLocaleId, FMapper.get());
    FComparer = index.Comparer(number);
    FWalker = std::make_unique<TIndexWalker>(index, number);
    FCountTree = std::make_unique<TIndexTree>(index, number);
    FRangeWalker = std::make_unique<TIndexWalker>(index, number);
  }
  FCurrentKey.assign(static_cast<size_t>(std::max(FKeySize, 4)), 0);
  FBitmapMode = FNatural || AnyFilterActive();
  FRangeActive = false;
  std::fill(FStartKey.begin(), FStartKey.end(), 0x00);
  std::fill(FEndKey.begin(), FEndKey.end(), 0xFF);
  RecomputeView();

  if (!refind) return;
  if (!wasOnRecord) {
    if (FEof && !FBof) {
      SetToEnd();
    } else {
      SetToBegin();
    }
    return;
  }
  FCrack = false;
  if (FNatural) {
    SeekNaturalBookmark(recNo, true);
  } else {
    std::vector<uint8_t> key(static_cast<size_t>(FKeySize));
    BuildKey(FCurrentRecord.data(), key.data());
    SeekBookmarkKey(key.data(), true);
  }
}

void TDataCursor::BuildKey(const uint8_t* record, uint8_t* key) const {
  if (FKeyBuilder) FKeyBuilder->BuildKey(record, key);
}

// ---------------------------------------------------------------------------------------
// The view: bitmaps, range positions

void TDataCursor::RecomputeView() {
  // Another writer may have replaced the text-index parameters.
  FTextParameters.reset();
  if (FBitmapMode) BuildView();
  ComputeRangePositions();
}

int32_t TDataCursor::KeyCount() { return static_cast<int32_t>(FCountTree->KeyCount()); }

void TDataCursor::ComputeRangePositions() {
  if (FNatural) {
    FRangeStart = 1;
    FRangeEnd = FVisibleCount;
    return;
  }
  if (!FRangeActive) {
    FRangeStart = 1;
    FRangeEnd = KeyCount();
    return;
  }
  FRangeStart = 0;
  FRangeEnd = 0;
  if (FComparer.Compare(FStartKey.data(), FEndKey.data()) > 0) return;
  TIndexWalker& walker = *FRangeWalker;
  if (walker.SeekFirstNotBelow(FStartKey.data())) FRangeStart = static_cast<int32_t>(walker.Ordinal() + 1);
  if (walker.SeekLastNotAbove(FEndKey.data())) FRangeEnd = static_cast<int32_t>(walker.Ordinal() + 1);
  // No key between the two ends: the range is empty, not negative.
  if (FRangeStart == 0 || FRangeEnd == 0 || FRangeStart > FRangeEnd) FRangeStart = FRangeEnd = 0;
}

void TDataCursor::SyncCounters() { FChangeCounters = FTable->ChangeCounters(); }

// ---------------------------------------------------------------------------------------
// Change detection

void TDataCursor::BeginRead() {
  if (!FTable) CheckClosed();
  if (FReadDepth++ > 0) return;
  TDataTable& table = *FTable;
  // A failed start leaves no read open: the depth goes back and a lock taken here is
  // given back.
  auto undo = OnScopeFail([&] {
    --FReadDepth;
    if (FReadLocked) {
      FReadLocked = false;
      table.ReadUnlock();
    }
  });
  bool changed = false;
  if (!table.LockFree() && FDirectory.Session().StrictChangeDetection()) {
    if (!table.HasReadLock()) {
      changed = table.ReadLock();
      FReadLocked = true;
    }
  }
  // The in-memory comparison is also made for exclusive tables: another cursor of this
  // session may have changed the tree under this cursor's position.
  if (changed || !(FChangeCounters == table.ChangeCounters())) {
    Guarded([&] {
      SyncCounters();
      RecomputeView();
      Refind();
    });
  }
}

void TDataCursor::EndRead() {
  if (FReadDepth == 0) return;
  if (--FReadDepth > 0) return;
  if (FReadLocked) {
    FReadLocked = false;
    FTable->ReadUnlock();
  }
}

bool TDataCursor::QueryReadLock() {
  if (!FTable) RaiseEngineError(KURA_NOTINITIALIZED, Names());
  if (FTable->LockFree() || FTable->HasQueryReadLock()) return false;
  FTable->QueryReadLock();  // its result says whether the table changed, which Refresh finds out
  return FTable->HasQueryReadLock();
}

void TDataCursor::QueryReadUnlock() {
  if (FTable) FTable->QueryReadUnlock();
}

// Puts the cursor back on its record after the table changed: the same key (or record
// number), or, when that record is gone, just before the record that now follows it, so
// that the next step forward delivers that record and none is skipped.
void TDataCursor::Refind(bool keepCrackOnMiss) {
  if (FBof || !FOnKey) {
    const bool atEnd = FEof && !FBof;
    if (atEnd) {
      SetToEnd();
    } else {
      SetToBegin();
    }
    return;
  }
  const bool crack = FCrack;
  FCrack = false;
  bool exact;
  if (FNatural) {
    exact = SeekNaturalBookmark(FRecordNumber, false);
  } else {
    const std::vector<uint8_t> key = FCurrentKey;
    exact = SeekBookmarkKey(key.data(), false);
  }
  if (FOnKey) FCrack = crack || (!exact && keepCrackOnMiss);
}

void TDataCursor::Refresh() {
  if (!FTable) CheckClosed();
  Guarded([&] {
    TTableReadLock lock(*FTable);
    SyncCounters();
    RecomputeView();
    Refind();
    lock.Release();
  });
}

// ---------------------------------------------------------------------------------------
// Positioning helpers

void TDataCursor::ClearPosition() {
  FOnKey = false;
  FCrack = false;
  FPosition = 0;
  FRecordNumber = 0;
  std::fill(FCurrentKey.begin(), FCurrentKey.end(), 0);
  std::fill(FCurrentRecord.begin(), FCurrentRecord.end(), 0);
}

void TDataCursor::MarkEmpty() {
  ClearPosition();
  FBof = true;
  FEof = true;
}

bool TDataCursor::AboveEnd(const uint8_t* key) const {
  return FRangeActive && FComparer.Compare(key, FEndKey.data()) > 0;
}

bool TDataCursor::BelowStart(const uint8_t* key) const {
  return FRangeActive && FComparer.Compare(key, FStartKey.data()) < 0;
}

bool TDataCursor::Visible(int32_t recNo) const {
  return !FBitmapMode || (FVisibleRecords && FVisibleRecords->IsSet(recNo));
}

bool TDataCursor::ForwardToVisible() {
  while (FWalker->Valid()) {
    if (AboveEnd(FWalker->Key().data())) return false;
    if (Visible(FWalker->Value())) return true;
    FWalker->Next();
  }
  return false;
}

bool TDataCursor::BackwardToVisible() {
  while (FWalker->Valid()) {
    if (BelowStart(FWalker->Key().data())) return false;
    if (Visible(FWalker->Value())) return true;
    FWalker->Prev();
  }
  return false;
}

bool TDataCursor::FirstVisible() {
  const bool ok = FRangeActive ? FWalker->SeekFirstNotBelow(FStartKey.data()) : FWalker->First();
  return ok && ForwardToVisible();
}

bool TDataCursor::LastVisible() {
  const bool ok = FRangeActive ? FWalker->SeekLastNotAbove(FEndKey.data()) : FWalker->Last();
  return ok && BackwardToVisible();
}

// Brings the walker to the current key. False when the key is no longer in the index:
// the walker then stands on the key that follows it (or is invalid at the end).
bool TDataCursor::ReseekCurrent() {
  if (FWalker->Valid() && FWalker->Key().size() == static_cast<size_t>(FKeySize) &&
      std::memcmp(FWalker->Key().data(), FCurrentKey.data(), static_cast<size_t>(FKeySize)) == 0) {
    return true;
  }
  if (!FWalker->SeekFirstNotBelow(FCurrentKey.data())) return false;
  return FComparer.Compare(FWalker->Key().data(), FCurrentKey.data()) == 0;
}

void TDataCursor::LoadRecord(int32_t recNo, bool forward, int32_t run) {
  TDataFile& data = FTable->DataFile();
  TReadAhead readAhead;
  if (run > 1) {
    readAhead.Enabled = true;
    readAhead.Backward = !forward;
    readAhead.RunLength = run;
  }
  TRecordPin record(data, data.GetRecord(recNo, readAhead));
  const size_t size = std::min(FCurrentRecord.size(), record->Size());
  std::memcpy(FCurrentRecord.data(), record->Bytes(), size);
}

void TDataCursor::LandOnWalker(bool forward) {
  FBof = false;
  FEof = false;
  FOnKey = true;
  FCrack = false;
  std::memcpy(FCurrentKey.data(), FWalker->Key().data(), static_cast<size_t>(FKeySize));
  FRecordNumber = FWalker->Value();
  FPosition = FWalker->Ordinal() + 1;
  const int32_t run = FTable->DataFile().IsCached(FRecordNumber) ? 0 : FWalker->ValueRun(forward, kMaxReadAheadRun);
  LoadRecord(FRecordNumber, forward, run);
}

void TDataCursor::LandOnRecord(int32_t recNo, int64_t position, bool forward) {
  FBof = false;
  FEof = false;
  FOnKey = true;
  FCrack = false;
  FRecordNumber = recNo;
  FPosition = position;
  WriteI32(FCurrentKey.data(), recNo);
  int32_t run = 0;
  if (!FTable->DataFile().IsCached(recNo)) {
    // The run of visible records the walk is about to read.
    run = 1;
    const int32_t step = forward ? 1 : -1;
    while (run < kMaxReadAheadRun && FVisibleRecords->IsSet(recNo + step * run)) ++run;
  }
  LoadRecord(recNo, forward, run);
}

bool TDataCursor::SeekBookmarkKey(const uint8_t* key, bool nearest) {
  FCrack = false;
  const bool belowRange = BelowStart(key);
  const uint8_t* target = belowRange ? FStartKey.data() : key;
  const bool found = FWalker->SeekFirstNotBelow(target) && ForwardToVisible();
  if (!found) {
    ClearPosition();
    if (FirstVisible()) {
      FBof = false;
      FEof = true;
    } else {
      MarkEmpty();
    }
    return false;
  }
  const bool exact = !belowRange && FComparer.Compare(FWalker->Key().data(), key) == 0;
  LandOnWalker(true);
  return nearest || exact;
}

bool TDataCursor::SeekNaturalBookmark(int32_t recNo, bool nearest) {
  FCrack = false;
  if (FVisibleCount == 0) {
    MarkEmpty();
    return false;
  }
  const int32_t count = FVisibleRecords->RecordCount();
  if (recNo >= 1 && recNo <= count && FVisibleRecords->IsSet(recNo)) {
    LandOnRecord(recNo, FVisibleRecords->CountSetBefore(recNo) + 1, true);
    return true;
  }
  const int32_t next = FVisibleRecords->NextSet(std::clamp(recNo, 0, count));
  if (next == 0) {
    ClearPosition();
    FBof = false;
    FEof = true;
    return false;
  }
  LandOnRecord(next, FVisibleRecords->CountSetBefore(next) + 1, true);
  return nearest;
}


// ---------------------------------------------------------------------------------------
// Reads that may meet another process's writer

bool TDataCursor::UnlockedReader() const {
  const TDataTable& table = *FTable;
  return !table.LockFree() && !FDirectory.Session().StrictChangeDetection() && !KeepsWritersOut(table) &&
         !table.TakesPartInTransaction();
}

void TDataCursor::SavePosition() {
  FSaved.IndexNo = FIndexNo;
  FSaved.Bof = FBof;
  FSaved.Eof = FEof;
  FSaved.OnKey = FOnKey;
  FSaved.Crack = FCrack;
  FSaved.Position = FPosition;
  FSaved.RecordNumber = FRecordNumber;
  FSaved.Key.assign(FCurrentKey.begin(), FCurrentKey.end());
}

void TDataCursor::RestorePosition() {
  FBof = FSaved.Bof;
  FEof = FSaved.Eof;
  FOnKey = FSaved.OnKey;
  FCrack = FSaved.Crack;
  FPosition = FSaved.Position;
  FRecordNumber = FSaved.RecordNumber;
  FCurrentKey.assign(FSaved.Key.begin(), FSaved.Key.end());
}

void TDataCursor::RunGuarded(void (*step)(void*), void* context) {
  if (!FTable) CheckClosed();
  TDataTable& table = *FTable;
  // Inside another run on this table, that run guards (invariant 5); under a lock that
  // keeps writers out, reads are safe and damage is real (invariants 1 and 4).
  if (table.DataFile().DiskReadGate() != nullptr || !UnlockedReader()) {
    step(context);
    return;
  }
  TReadGate gate(table);
  auto release = OnScopeExit([&gate] { gate.Release(); });
  SavePosition();
  try {
    step(context);
    return;
  } catch (const TTableMovedOn&) {
    // What the run read so far belongs to an older commit than the disk.
  } catch (const EKuraEngineError& error) {
    if (!IsDamage(error.ErrorCode)) throw;
  }
  // Back to where the cursor stood, with every buffer read again under the read lock.
  // Pages and records the failed attempt had pinned survived the drop of the caches
  // made by the change check; nothing is pinned any more now.
  RestorePosition();
  gate.HoldLock();
  table.DiscardBuffers(true);
  // An attempt that changed the index left a position of the old one: the body selects
  // the index and builds its view again itself.
  if (FIndexNo == FSaved.IndexNo) {
    SyncCounters();
    RecomputeView();
    Refind();
  }
  step(context);
}

void TDataCursor::SetToBegin() {
  Guarded([&] { BeginStep(); });
}
void TDataCursor::SetToEnd() {
  Guarded([&] { EndStep(); });
}
bool TDataCursor::SetToRecNo(int32_t recNo) {
  return Guarded([&] { return RecNoStep(recNo); });
}
bool TDataCursor::SetToBookmark(const uint8_t* bookmark, bool nearest) {
  return Guarded([&] { return BookmarkStep(bookmark, nearest); });
}
int TDataCursor::GetNextRecord(uint8_t* buffer) {
  return Guarded([&] { return NextRecordStep(buffer); });
}
int TDataCursor::GetPriorRecord(uint8_t* buffer) {
  return Guarded([&] { return PriorRecordStep(buffer); });
}
int TDataCursor::GetCurrentRecord(uint8_t* buffer, bool lock) {
  return Guarded([&] { return CurrentRecordStep(buffer, lock); });
}
int32_t TDataCursor::GetRecNo() {
  return Guarded([&] { return RecNoValue(); });
}
int32_t TDataCursor::GetRecordCount() {
  return Guarded([&] { return RecordCountValue(); });
}

// ---------------------------------------------------------------------------------------
// Positioning

void TDataCursor::BeginStep() {
  TReadScope scope(*this);
  ClearPosition();
  FBof = true;
  FEof = false;
  // In bitmap mode the visible count answers without walking to the first visible key;
  // so do the range's ordinals where the index keeps counts (every key in the range is
  // visible outside bitmap mode). Only an index without counts needs the walk: a cold
  // open then reads no pages beyond the root.
  bool empty;
  if (FBitmapMode) {
    empty = FVisibleCount == 0;
  } else if (!FTable->IndexFile().PageFormat(FIndexNo).NoCounts) {
    empty = FRangeStart == 0 || FRangeEnd < FRangeStart;
  } else {
    empty = !FirstVisible();
  }
  if (empty) MarkEmpty();
}

void TDataCursor::EndStep() {
  TReadScope scope(*this);
  ClearPosition();
  FBof = false;
  FEof = true;
  const bool empty = FBitmapMode ? FVisibleCount == 0 : !LastVisible();
  if (empty) MarkEmpty();
}

bool TDataCursor::RecNoStep(int32_t recNo) {
  TReadScope scope(*this);
  const int32_t count =
      FBitmapMode ? FVisibleCount : (FRangeStart == 0 ? 0 : FRangeEnd - FRangeStart + 1);
  if (count <= 0) {
    MarkEmpty();
    return false;
  }
  const int32_t wanted = std::clamp(recNo, 1, count);
  if (FNatural) {
    LandOnRecord(FVisibleRecords->NthSet(wanted), wanted, true);
  } else if (FBitmapMode) {
    // Filters in index order: step over the visible keys.
    bool ok = FirstVisible();
    for (int32_t i = 1; ok && i < wanted; ++i) ok = FWalker->Next() && ForwardToVisible();
    if (!ok) FTable->IndexFile().RaiseIndexCorrupt({"visible key of ordinal", wanted});
    LandOnWalker(true);
    return wanted == recNo;
  } else {
    if (!FWalker->SeekOrdinal(static_cast<int64_t>(FRangeStart) - 1 + wanted - 1)) {
      FTable->IndexFile().RaiseIndexCorrupt({"key of ordinal", static_cast<int64_t>(FRangeStart) - 1 + wanted - 1});
    }
    LandOnWalker(true);
  }
  return GetRecNo() == recNo;
}

bool TDataCursor::BookmarkStep(const uint8_t* bookmark, bool nearest) {
  TReadScope scope(*this);
  if (FNatural) return SeekNaturalBookmark(ReadI32(bookmark), nearest);
  return SeekBookmarkKey(bookmark, nearest);
}

int TDataCursor::SetToCursor(TDataCursor& other) {
  return Guarded([&] { return CursorStep(other); });
}

int TDataCursor::CursorStep(TDataCursor& other) {
  TReadScope scope(*this);
  if (!other.FOnKey || other.FBof || other.FEof) {
    if (other.FEof && !other.FBof) {
      SetToEnd();
    } else {
      SetToBegin();
    }
    return KURA_NONE;
  }
  bool exact;
  if (FNatural) {
    exact = SeekNaturalBookmark(other.FRecordNumber, false);
  } else {
    std::vector<uint8_t> key(static_cast<size_t>(FKeySize));
    BuildKey(other.FCurrentRecord.data(), key.data());
    exact = SeekBookmarkKey(key.data(), false);
  }
  return exact ? KURA_NONE : KURA_RECNOTFOUND;
}

// ---------------------------------------------------------------------------------------
// Reading

int TDataCursor::CopyOut(int code, uint8_t* buffer) {
  if (buffer) {
    if (code == KURA_NONE) {
      std::memcpy(buffer, FCurrentRecord.data(), static_cast<size_t>(FRecordSize));
    } else {
      std::memset(buffer, 0, static_cast<size_t>(FRecordSize));
    }
  }
  return code;
}

int TDataCursor::NextRecordStep(uint8_t* buffer) {
  TReadScope scope(*this);
  if (FEof) return CopyOut(KURA_EOF, buffer);
  bool found;
  if (FNatural) {
    int32_t recNo;
    int64_t position;
    if (FBof) {
      recNo = FVisibleRecords->NextSet(0);
      position = 1;
    } else if (FCrack && FVisibleRecords->IsSet(FRecordNumber)) {
      recNo = FRecordNumber;
      position = FPosition;
    } else {
      recNo = FVisibleRecords->NextSet(FRecordNumber);
      position = FPosition + 1;
    }
    if (recNo != 0) {
      LandOnRecord(recNo, position, true);
      return CopyOut(KURA_NONE, buffer);
    }
    found = false;
  } else {
    if (FBof) {
      found = FirstVisible();
    } else if (!ReseekCurrent() || FCrack) {
      // The walker stands on the current key after a re-find that missed, or on the key
      // that now follows a vanished current key: that one is next.
      found = FWalker->Valid() && ForwardToVisible();
    } else {
      found = FWalker->Next() && ForwardToVisible();
    }
    if (found) {
      LandOnWalker(true);
      return CopyOut(KURA_NONE, buffer);
    }
  }
  ClearPosition();
  FBof = false;
  FEof = true;
  return CopyOut(KURA_EOF, buffer);
}

int TDataCursor::PriorRecordStep(uint8_t* buffer) {
  TReadScope scope(*this);
  if (FBof) return CopyOut(KURA_BOF, buffer);
  bool found;
  if (FNatural) {
    int32_t recNo;
    int64_t position;
    if (FEof) {
      recNo = FVisibleRecords->PriorSet(FVisibleRecords->RecordCount() + 1);
      position = FVisibleCount;
    } else {
      recNo = FVisibleRecords->PriorSet(FRecordNumber);
      position = FPosition - 1;
    }
    if (recNo != 0) {
      LandOnRecord(recNo, position, false);
      return CopyOut(KURA_NONE, buffer);
    }
    found = false;
  } else {
    if (FEof) {
      found = LastVisible();
    } else if (!ReseekCurrent()) {
      // The current key vanished; the walker stands on its follower (or is invalid at
      // the end of the index): the record before the gap is the previous one.
      found = (FWalker->Valid() ? FWalker->Prev() : FWalker->Last()) && BackwardToVisible();
    } else {
      found = FWalker->Prev() && BackwardToVisible();
    }
    if (found) {
      LandOnWalker(false);
      return CopyOut(KURA_NONE, buffer);
    }
  }
  ClearPosition();
  FBof = true;
  FEof = false;
  return CopyOut(KURA_BOF, buffer);
}

int TDataCursor::CurrentRecordStep(uint8_t* buffer, bool lock) {
  TReadScope scope(*this);
  const bool onRecord = FOnKey && !FBof && !FEof;
  if (lock && onRecord && buffer) {
    const TLockProtocol protocol = FDirectory.Session().LockProtocol();
    if (protocol == lpPessimistic) LockRecord(0);
    if (!FTable->LockFree() || protocol == lpOptimistic) {
      if (FOnKey) LoadRecord(FRecordNumber, true, 0);
      if (!FOnKey || std::memcmp(FCurrentRecord.data(), buffer, static_cast<size_t>(FRecordSize)) != 0) {
        if (protocol == lpPessimistic && FLockedRecord != 0) UnlockRecord(FLockedRecord);
        RaiseEngineError(KURA_KEYORRECDELETED, Names());
      }
    }
  }
  if (FBof && FEof) return CopyOut(KURA_NOCURRREC, buffer);
  if (FBof) return CopyOut(KURA_BOF, buffer);
  if (FEof) return CopyOut(KURA_EOF, buffer);
  LoadRecord(FRecordNumber, true, 0);
  return CopyOut(KURA_NONE, buffer);
}

int TDataCursor::ReadRecordBlock(int32_t& count, uint8_t* buffer) {
  const int32_t wanted = count;
  for (int32_t i = 0; i < wanted; ++i) {
    uint8_t* slot = buffer ? buffer + static_cast<size_t>(i) * static_cast<size_t>(FRecordSize) : nullptr;
    const int code = GetNextRecord(slot);
    if (code != KURA_NONE) {
      count = i;
      return code;
    }
  }
  return KURA_NONE;
}

int TDataCursor::CloneCurrentRecord(uint8_t* buffer) {
  TReadScope scope(*this);
  if (buffer) std::memset(buffer, 0, static_cast<size_t>(FRecordSize));
  // The record read again (guarded); the BLOBs are read under their own lock.
  const int code = GetCurrentRecord(nullptr);
  if (code != KURA_NONE || !buffer) return code;
  // Field by field. A BLOB field's stored reference belongs to the current record, so
  // the copy gets an open BLOB of its own holding a copy of the content; posting the new
  // record writes it as a chain of its own.
  std::vector<uint8_t> source = FCurrentRecord;
  std::vector<uint8_t> content;
  for (const TFieldDefinition& field : FTable->DataFile().FieldDefinitions()) {
    if (!field.IsStored()) continue;
    // The null flag and the value bytes, copied as they are.
    const size_t length = StoredFieldSize(field);
    if (field.Offset + length > static_cast<size_t>(FRecordSize)) continue;
    if (field.FieldType != TFieldType::Blob) {
      std::memcpy(buffer + field.Offset, source.data() + field.Offset, length);
      continue;
    }
    if (FieldIsNull(source.data(), field)) continue;
    int32_t size = 0;
    int code = OpenBlob(field.FieldNo, source.data(), TBlobOpenMode::Read, size);
    if (code != KURA_NONE) RaiseEngineError(static_cast<TErrorCode>(code), Names());
    content.resize(static_cast<size_t>(size));
    int32_t count = 0;
    code = GetBlob(field.FieldNo, source.data(), 0, size, content.data(), count);
    FreeBlob(field.FieldNo, source.data());
    if (code != KURA_NONE) RaiseEngineError(static_cast<TErrorCode>(code), Names());
    if (size == 0) continue;
    int32_t empty = 0;
    code = OpenBlob(field.FieldNo, buffer, TBlobOpenMode::ReadWrite, empty);
    if (code == KURA_NONE) code = PutBlob(field.FieldNo, buffer, 0, size, content.data());
    if (code != KURA_NONE) RaiseEngineError(static_cast<TErrorCode>(code), Names());
  }
  if (FSuppressAutoInc) std::memcpy(buffer + kRecordIdOffset, source.data() + kRecordIdOffset, 4);
  return KURA_NONE;
}

// ---------------------------------------------------------------------------------------
// Identity and counts

int32_t TDataCursor::RecNoValue() {
  TReadScope scope(*this);
  if (!FOnKey || FBof || FEof) return 0;
  if (FNatural) return static_cast<int32_t>(FPosition);
  if (FBitmapMode) return VisibleOrdinal();
  return static_cast<int32_t>(FPosition - FRangeStart + 1);
}

// The current record's ordinal among the visible keys of the range (filters in index
// order): the index positions count every key, so the visible ones are counted.
int32_t TDataCursor::VisibleOrdinal() {
  TIndexWalker walker(FTable->IndexFile(), FIndexNo);
  int32_t ordinal = 0;
  for (bool ok = FRangeActive ? walker.SeekFirstNotBelow(FStartKey.data()) : walker.First(); ok; ok = walker.Next()) {
    if (AboveEnd(walker.Key().data())) break;
    const int order = FComparer.Compare(walker.Key().data(), FCurrentKey.data());
    if (order > 0) break;
    if (Visible(walker.Value())) ++ordinal;
    if (order == 0) return ordinal;
  }
  return 0;
}

int32_t TDataCursor::RecordCountValue() {
  TReadScope scope(*this);
  if (FBitmapMode) return FVisibleCount;
  if (FRangeStart == 0 || FRangeEnd == 0) return 0;
  return FRangeEnd - FRangeStart + 1;
}

void TDataCursor::GetBookmark(uint8_t* buffer) {
  const bool onRecord = FOnKey && !FBof && !FEof;
  if (FNatural) {
    WriteI32(buffer, onRecord ? FRecordNumber : 0);
  } else if (onRecord) {
    std::memcpy(buffer, FCurrentKey.data(), static_cast<size_t>(FKeySize));
  } else {
    std::memset(buffer, 0, static_cast<size_t>(FKeySize));
  }
}

int TDataCursor::CompareBookmarks(const uint8_t* a, const uint8_t* b) const {
  if (FNatural) {
    const int32_t x = ReadI32(a);
    const int32_t y = ReadI32(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  return Sign(FComparer.Compare(a, b));
}

// ---------------------------------------------------------------------------------------
// Ranges

// The key of a range end: the first fieldCount fields of the record's key, the rest
// filled with the lowest (start) or highest (end) bytes in the index's order.
void TDataCursor::BuildRangeKey(const uint8_t* record, int fieldCount, bool high, uint8_t* key) const {
  const int fields = FDescriptor.IndexFieldCount;
  if (!record) {
    // An open end: below (above) every key in the index's order.
    std::memset(key, (high != FDescriptor.Descending) ? 0xFF : 0x00, static_cast<size_t>(FKeySize));
    return;
  }
  BuildKey(record, key);
  const bool partial = (fieldCount >= 1 && fieldCount <= fields - 1) || !FDescriptor.Unique;
  if (!partial) return;
  if (fieldCount <= 0 || fieldCount > fields) fieldCount = fields;
  FillKeyTail(key, fieldCount, 0, high);
}

void TDataCursor::SetRange(const uint8_t* startRecord, int startFieldCount, const uint8_t* endRecord,
                           int endFieldCount) {
  Guarded([&] { RangeStep(true, startRecord, startFieldCount, endRecord, endFieldCount); });
}

void TDataCursor::ResetRange() {
  Guarded([&] { RangeStep(false, nullptr, 0, nullptr, 0); });
}

void TDataCursor::RangeStep(bool active, const uint8_t* startRecord, int startFieldCount, const uint8_t* endRecord,
                            int endFieldCount) {
  TReadScope scope(*this);
  if (FNatural) return;
  if (active) {
    BuildRangeKey(startRecord, startFieldCount, false, FStartKey.data());
    BuildRangeKey(endRecord, endFieldCount, true, FEndKey.data());
  } else {
    std::fill(FStartKey.begin(), FStartKey.end(), 0x00);
    std::fill(FEndKey.begin(), FEndKey.end(), 0xFF);
  }
  FRangeActive = active;
  RecomputeView();
  Refind(false);
  if (active && FOnKey && !FEof) FCrack = false;
}

// ---------------------------------------------------------------------------------------
// Record locks

void TDataCursor::LockRecord(int32_t recNo) {
  TDataTable& table = *FTable;
  if (table.LockFree()) return;
  const int32_t target = recNo == 0 ? (FOnKey && !FBof && !FEof ? FRecordNumber : 0) : recNo;
  TRecordsBitmap& locked = table.CursorLockedRecords();
  if (target > 0 && target <= locked.RecordCount() && locked.IsSet(target)) {
    RaiseEngineError(KURA_RECLOCKFAILED, Names());
  }
  const bool changed = table.LockRecord(target);
  if (locked.RecordCount() < target) locked.SetRecordCount(target);
  locked.Include(target);
  FLockedRecord = target;
  if (changed || !(FChangeCounters == table.ChangeCounters())) {
    // The view is rebuilt under the read lock, also under strict change detection, where
    // the caller may hold no read scope.
    Guarded([&] {
      TTableReadLock lock(table);
      SyncCounters();
      RecomputeView();
      Refind(false);
      lock.Release();
    });
  }
}

void TDataCursor::UnlockRecord(int32_t recNo) {
  TDataTable& table = *FTable;
  if (table.LockFree()) return;
  const int32_t target = recNo == 0 ? (FOnKey && !FBof && !FEof ? FRecordNumber : 0) : recNo;
  TRecordsBitmap& locked = table.CursorLockedRecords();
  if (target > 0 && target <= locked.RecordCount()) locked.Exclude(target);
  if (FLockedRecord == target) FLockedRecord = 0;
  table.UnlockRecord(target);
}

}  // namespace kura
