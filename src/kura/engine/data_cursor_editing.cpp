// Record editing on a cursor: appending, changing and deleting records with every index
// kept in step, unique keys checked before any index is touched, and the write policy
// that decides when the changes reach the files.
//
// Invariants of an update (append, modify, delete):
//  1. It runs inside BeginWrite/EndWrite: the table's write lock (shared tables) is held
//     throughout, so the free-slot chain, the auto-increment counter and the index trees
//     cannot move under it; the lock is released on every path.
//  2. The record being written is locked (its byte in the data file) from before its
//     keys change until after it is written; inside a transaction the unlock is deferred
//     to the transaction's end by the table.
//  3. Validity checks and unique-key checks run before any index page or record slot is
//     changed, so those failures leave the table exactly as it was.
//  4. After the write the cursor holds the table's new change counters and has adjusted
//     its own view (bitmaps, range positions) itself.

#include <algorithm>
#include <cstring>
#include <string_view>

#include "kura/base/byte_order.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/cursor_blobs.h"
#include "kura/engine/cursor_edit_indexes.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table.h"
#include "kura/engine/default_values.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"

namespace kura {

namespace {

int32_t NextId(int32_t last) { return last == INT32_MAX ? 1 : last + 1; }

// An index tree refused a change that the record's own keys make sound (a key to insert
// already there, a key to delete missing): the index is damaged at that record's key.
[[noreturn]] void RaiseKeyCorrupt(const TIndexFile& index, int indexNo, int32_t recNo) {
  index.RaiseIndexCorrupt({"key of record " + std::to_string(recNo) + " in index", indexNo});
}

std::string IndexDisplayName(const TIndexDescriptor& descriptor) {
  return descriptor.Name.empty() ? std::string("Primary") : descriptor.Name;
}

bool SameKeys(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { return a == b; }

}  // namespace

void TDataCursor::CheckWritable() const {
  if (!FTable) CheckClosed();
  if (FCursorReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
}

void TDataCursor::BeginWrite() {
  TDataTable& table = *FTable;
  bool changed = false;
  if (!table.LockFree()) {
    changed = table.WriteLock();
    FWriteLocked = true;
  }
  auto endWrite = OnScopeFail([this] { EndWrite(); });
  if (changed || !(FChangeCounters == table.ChangeCounters())) {
    SyncCounters();
    RecomputeView();
    Refind(false);
  }
  FAllRecordsKept = FAllRecordsAt && *FAllRecordsAt == table.ContentChanges();
}

void TDataCursor::EndWrite() {
  if (!FWriteLocked) return;
  FWriteLocked = false;
  FTable->WriteUnlock();
}

// Shared tables write through (a transaction turns that into a mark); exclusive tables
// keep their buffers until flushed, closed or committed.
void TDataCursor::WritePolicy() {
  TDataTable& table = *FTable;
  if (table.Exclusive()) {
    table.MarkChanged();
  } else {
    table.FlushTable(false);
  }
  SyncCounters();
}

namespace {

// The parts of a descriptor that shape its keys and their order.
bool SameKeyShape(const TIndexDescriptor& a, const TIndexDescriptor& b) {
  return a.KeySize == b.KeySize && a.IndexFieldCount == b.IndexFieldCount && a.IndexFields == b.IndexFields &&
         a.FieldDescending == b.FieldDescending && a.Descending == b.Descending &&
         a.CaseInsensitive == b.CaseInsensitive && a.Unique == b.Unique && a.NoCounts == b.NoCounts &&
         a.Name == b.Name;
}

}  // namespace

// The cached builders, trees and walkers, remade for an index whose definition changed
// (another cursor or process may add or drop indexes).
TCursorEditIndexes& TDataCursor::EditIndexes() {
  if (!FEdit) FEdit = std::make_unique<TCursorEditIndexes>();
  TCursorEditIndexes& edit = *FEdit;
  TIndexFile& index = FTable->IndexFile();
  const TDataFile& data = FTable->DataFile();
  // Index 0 and the secondaries up to the header's count can be in use; past them only
  // indexes remembered from an earlier, larger count need forgetting.
  const int secondaries = index.SecondaryCount();
  const int end = std::min(std::max(secondaries + 1, edit.Limit), TCursorEditIndexes::kCount);
  for (int i = 0; i < end; ++i) {
    const size_t n = static_cast<size_t>(i);
    if (i > secondaries && !edit.InUse[n]) continue;
    const TIndexDescriptor& current = index.Descriptor(i);
    const bool inUse = (i <= secondaries && index.IndexInUse(i)) && current.IndexFieldCount > 0 && current.KeySize > 0;
    if (!inUse) {
      if (edit.InUse[n]) {
        edit.InUse[n] = false;
        edit.Builders[n].reset();
        edit.Trees[n].reset();
        edit.Walkers[n].reset();
        edit.Keys[n].clear();
        edit.OldKeys[n].clear();
      }
      continue;
    }
    if (edit.InUse[n] && SameKeyShape(edit.Descriptors[n], current)) continue;
    edit.InUse[n] = true;
    edit.Descriptors[n] = current;
    edit.Builders[n] = std::make_unique<TIndexKeyBuilder>(current, data.FieldDefinitions(), FLocaleId, FMapper.get());
    edit.Trees[n] = std::make_unique<TIndexTree>(index, i);
    edit.Walkers[n] = std::make_unique<TIndexWalker>(index, i);
  }
  edit.Limit = 0;
  for (int i = 0; i < end; ++i)
    if (edit.InUse[static_cast<size_t>(i)]) edit.Limit = i + 1;
  if (!edit.Records) {
    edit.Records = std::make_unique<TIndexTree>(index, kSysDeletedIndex);
    edit.RecordsWalker = std::make_unique<TIndexWalker>(index, kSysDeletedIndex);
  }
  return edit;
}

// KeyExists, BuildIndexKeys and CheckUniqueKeys work on the parts EditIndexes() made at
// the start of the update.
bool TDataCursor::KeyExists(int index, const uint8_t* key) {
  TCursorEditIndexes& edit = *FEdit;
  TIndexWalker& walker = index == kSysDeletedIndex ? *edit.RecordsWalker : *edit.Walkers[static_cast<size_t>(index)];
  const TIndexKeyComparer& comparer =
      index == kSysDeletedIndex ? edit.Records->Comparer() : edit.Trees[static_cast<size_t>(index)]->Comparer();
  return walker.SeekFirstNotBelow(key) && comparer.Compare(walker.Key().data(), key) == 0;
}

// `keys` is one of the edit's own key lists, whose entries from Limit on are empty.
void TDataCursor::BuildIndexKeys(const uint8_t* record, std::vector<std::vector<uint8_t>>& keys) {
  TCursorEditIndexes& edit = *FEdit;
  for (int i = 0; i < edit.Limit; ++i) {
    const size_t n = static_cast<size_t>(i);
    std::vector<uint8_t>& key = keys[n];
    if (!edit.Builders[n]) {
      key.clear();
      continue;
    }
    key.resize(edit.Descriptors[n].KeySize);
    edit.Builders[n]->BuildKey(record, key.data());
  }
}

void TDataCursor::RaiseKeyViolation(int index) const {
  TErrorNames names = Names();
  names.IndexName = index == kSysDeletedIndex ? std::string(kSysDeletedName)
                                              : IndexDisplayName(FTable->IndexFile().Descriptor(index));
  RaiseEngineError(KURA_KEYVIOL, names);
}

// Unique indexes whose key is new (all of them for an append; only changed ones for a
// modify) must not hold the key yet.
void TDataCursor::CheckUniqueKeys(const std::vector<std::vector<uint8_t>>& keys,
                                  const std::vector<std::vector<uint8_t>>* oldKeys, int skipIndex) {
  if (FResultSetCursor && !FNaturalOrderSetting) return;
  TCursorEditIndexes& edit = *FEdit;
  for (int i = 0; i < edit.Limit; ++i) {
    const std::vector<uint8_t>& key = keys[static_cast<size_t>(i)];
    if (key.empty() || i == skipIndex) continue;
    if (i != kPrimaryIndex && !edit.Descriptors[static_cast<size_t>(i)].Unique) continue;
    if (oldKeys && SameKeys((*oldKeys)[static_cast<size_t>(i)], key)) continue;
    if (KeyExists(i, key.data())) RaiseKeyViolation(i);
  }
}

bool TDataCursor::HasTextIndex() const {
  TIndexFile& index = FTable->IndexFile();
  return index.IndexInUse(kSysTextIndex) && index.Descriptor(kSysTextIndex).IndexFieldCount > 0;
}

// The text-index keys of every text-indexed field of a stored image (memo contents are
// read from the BLOB file through the image's references).
std::vector<std::vector<uint8_t>> TDataCursor::TextIndexKeys(const uint8_t* record, int32_t uniqueId) {
  std::vector<std::vector<uint8_t>> keys;
  TIndexFile& index = FTable->IndexFile();
  const TDataFile& data = FTable->DataFile();
  if (!FTextParameters) {
    FTextParameters = std::make_unique<TTextIndexParameters>(index.ReadTextParameters(kSysTextIndex));
  }
  const TWordRules rules = WordRulesFor(FLocaleId, FSortId);
  const TIndexDescriptor& descriptor = index.Descriptor(kSysTextIndex);
  for (int i = 0; i < descriptor.IndexFieldCount; ++i) {
    const uint16_t fieldNo = descriptor.IndexFields[static_cast<size_t>(i)];
    const TFieldDefinition* field = FindFieldByNumber(data.FieldDefinitions(), fieldNo);
    std::string text;
    if (!field || !StoredFieldText(*field, record, FTable->BlobFile(), text)) continue;
    for (std::vector<uint8_t>& key : BuildTextIndexKeys(fieldNo, text, uniqueId, *FTextParameters, rules)) {
      keys.push_back(std::move(key));
    }
  }
  return keys;
}

// The record byte for an edit by this cursor: taken at the table (retrying as the
// session says) and noted in the cursors' shared bitmap.
void TDataCursor::LockForEdit(int32_t recNo) {
  TDataTable& table = *FTable;
  if (table.LockFree()) return;
  TRecordsBitmap& locked = table.CursorLockedRecords();
  if (recNo <= locked.RecordCount() && locked.IsSet(recNo) && FLockedRecord != recNo) {
    RaiseEngineError(KURA_RECLOCKFAILED, Names());
  }
  if (FLockedRecord == recNo) return;
  table.LockRecord(recNo);
  if (locked.RecordCount() < recNo) locked.SetRecordCount(recNo);
  locked.Include(recNo);
  FLockedRecord = recNo;
}

void TDataCursor::UnlockAfterEdit(int32_t recNo) {
  TDataTable& table = *FTable;
  if (table.LockFree() || FLockedRecord != recNo) return;
  TRecordsBitmap& locked = table.CursorLockedRecords();
  if (recNo <= locked.RecordCount()) locked.Exclude(recNo);
  FLockedRecord = 0;
  table.UnlockRecord(recNo);
}

// The cursor's own view after its write, kept up to date record by record: change +1
// added recNo, -1 removed it, 0 changed it in place (its range membership and the
// filters' verdicts are taken again from the new image).
bool TDataCursor::InRange(const uint8_t* record) const {
  if (!FRangeActive || FNatural) return true;
  std::vector<uint8_t> key(static_cast<size_t>(FKeySize));
  BuildKey(record, key.data());
  return !BelowStart(key.data()) && !AboveEnd(key.data());
}

void TDataCursor::AfterWrite(int32_t recNo, int change, const uint8_t* record) {
  if (FBitmapMode && FVisibleRecords) {
    const bool range = FRangeActive && !FNatural;
    for (TRecordsBitmap* bitmap : {FAllRecords.get(), FRangeRecords.get(), FVisibleRecords.get()}) {
      if (bitmap->RecordCount() < recNo) bitmap->SetRecordCount(recNo);
    }
    const bool wasVisible = FVisibleRecords->IsSet(recNo);
    if (change < 0) {
      FAllRecords->Exclude(recNo);
      FRangeRecords->Exclude(recNo);
      FVisibleRecords->Exclude(recNo);
      for (const std::unique_ptr<TFilter>& f : FFilters) {
        if (f->Active() && recNo <= f->Bitmap().RecordCount()) f->Bitmap().Exclude(recNo);
      }
    } else {
      FAllRecords->Include(recNo);
      bool visible = true;
      if (range) {
        const bool inRange = InRange(record);
        if (inRange) {
          FRangeRecords->Include(recNo);
        } else {
          FRangeRecords->Exclude(recNo);
        }
        visible = inRange;
      }
      for (const std::unique_ptr<TFilter>& f : FFilters) {
        if (!f->Active()) continue;
        TRecordsBitmap& bitmap = f->Bitmap();
        if (bitmap.RecordCount() < recNo) bitmap.SetRecordCount(recNo);
        const bool passes = f->Passes(record, recNo);
        if (passes) {
          bitmap.Include(recNo);
        } else {
          bitmap.Exclude(recNo);
        }
        visible = visible && passes;
      }
      if (visible) {
        FVisibleRecords->Include(recNo);
      } else {
        FVisibleRecords->Exclude(recNo);
      }
    }
    // Only this record's bit moved.
    FVisibleCount += (FVisibleRecords->IsSet(recNo) ? 1 : 0) - (wasVisible ? 1 : 0);
    // The active records were exact before this write and now hold it too.
    if (FAllRecordsKept) FAllRecordsAt = FTable->ContentChanges();
  }
  if (!FNatural && !FRangeActive) {
    // The whole index: this write added or removed exactly one key.
    FRangeStart = 1;
    FRangeEnd = std::max(0, FRangeEnd + change);
  } else {
    ComputeRangePositions();
  }
}

void TDataCursor::RepositionOn(const uint8_t* record, int32_t recNo) {
  bool exact;
  if (FNatural) {
    exact = SeekNaturalBookmark(recNo, false);
  } else {
    std::vector<uint8_t> key(static_cast<size_t>(FKeySize));
    BuildKey(record, key.data());
    exact = SeekBookmarkKey(key.data(), false);
  }
  // A record the cursor's view does not show (a filter or the range no longer holds
  // it): the cursor stands just before the record that follows, so that a walk that
  // changes records as it goes meets the next one instead of stepping over it.
  if (!exact && FOnKey) FCrack = true;
}

void TDataCursor::InitRecord(uint8_t* buffer) {
  if (!FTable) CheckClosed();
  std::memset(buffer, 0, static_cast<size_t>(FRecordSize));
  ApplyDefaultValues(*this, buffer);
}

void TDataCursor::SetSuppressAutoInc(bool value) { FSuppressAutoInc = value; }

void TDataCursor::AppendRecord(uint8_t* buffer, bool reposition) {
  CheckWritable();
  CheckValidity(buffer);
  BeginWrite();
  TDataTable& table = *FTable;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  int32_t recNo = 0;
  auto undo = OnScopeFail([&] {
    if (recNo != 0) UnlockAfterEdit(recNo);
    EndWrite();
  });
  {  // the records pinned here are given back before the write policy runs
    // The slot: the head of the free chain (tables with a primary index only) or a new one.
    const int32_t freeHead = table.NoPrimaryIndex() ? 0 : data.Header().FirstFreeRecord;
    recNo = freeHead != 0 ? freeHead : data.RecordCount() + 1;
    int32_t oldId = 0;
    if (freeHead != 0) {
      TRecordPin old(data, data.GetRecord(freeHead));
      if (!old->IsDeleted()) data.RaiseDataFileCorrupt(KURA_FILECORRUPT, data.SlotPlace(freeHead));
      oldId = old->UniqueId();
    }
    LockForEdit(recNo);

    const int32_t id = FSuppressAutoInc ? ReadI32(buffer + kRecordIdOffset) : NextId(data.LastAutoIncValue());
    WriteI32(buffer + kRecordIdOffset, id);

    TCursorEditIndexes& edit = EditIndexes();
    std::vector<std::vector<uint8_t>>& keys = edit.Keys;
    BuildIndexKeys(buffer, keys);
    // The first index written is checked by its own insert: nothing has been touched
    // when that insert finds the key, so one descent of that tree is saved.
    int first = -1;
    for (int i = 0; i < edit.Limit && first < 0; ++i) {
      if (!keys[static_cast<size_t>(i)].empty()) first = i;
    }
    const bool checkUnique = !(FResultSetCursor && !FNaturalOrderSetting);
    const bool firstUnique = first >= 0 && (first == kPrimaryIndex || edit.Descriptors[static_cast<size_t>(first)].Unique);
    CheckUniqueKeys(keys, nullptr, firstUnique ? first : -1);
    uint8_t sysKey[kSysDeletedKeySize];
    if (FSuppressAutoInc) {
      BuildSysDeletedKey(kRecordActive, id, sysKey);
      if (KeyExists(kSysDeletedIndex, sysKey)) RaiseKeyViolation(kSysDeletedIndex);
    }

    if (first >= 0) {
      const std::vector<uint8_t>& key = keys[static_cast<size_t>(first)];
      if (!edit.Trees[static_cast<size_t>(first)]->Insert(key.data(), recNo)) {
        if (checkUnique && firstUnique) RaiseKeyViolation(first);
        RaiseKeyCorrupt(index, first, recNo);
      }
    }
    auto removeFirst = OnScopeFail([&] {
      if (first >= 0) edit.Trees[static_cast<size_t>(first)]->Delete(keys[static_cast<size_t>(first)].data());
    });
    if (data.BlobFieldCount() > 0) WriteOpenBlobs(buffer, nullptr);
    removeFirst.Dismiss();

    for (int i = first + 1; i < edit.Limit && first >= 0; ++i) {
      const std::vector<uint8_t>& key = keys[static_cast<size_t>(i)];
      if (!key.empty() && !edit.Trees[static_cast<size_t>(i)]->Insert(key.data(), recNo)) RaiseKeyCorrupt(index, i, recNo);
    }

    TIndexTree& records = *edit.Records;
    if (freeHead != 0) {
      BuildSysDeletedKey(kRecordDeleted, oldId, sysKey);
      records.Delete(sysKey);
    }
    BuildSysDeletedKey(kRecordActive, id, sysKey);
    if (!records.Insert(sysKey, recNo)) RaiseKeyCorrupt(index, kSysDeletedIndex, recNo);

    TRecordPin slot(data, data.AllocateRecord());
    if (slot->RecNo != recNo) data.RaiseDataFileCorrupt(KURA_FILECORRUPT, data.SlotPlace(recNo));
    if (FSuppressAutoInc) {
      if (id > data.LastAutoIncValue()) data.SetLastAutoIncValue(id);
    } else {
      data.NextAutoIncValue();
    }
    std::memcpy(slot->Bytes() + kRecordFieldsOffset, buffer + kRecordFieldsOffset,
                static_cast<size_t>(FRecordSize - kRecordFieldsOffset));
    slot->SetUniqueId(id);
    data.MarkRecordDirty(slot.Get());
    index.IncActiveRecordCount();
    if (HasTextIndex()) {
      TIndexTree text(index, kSysTextIndex);
      for (const std::vector<uint8_t>& key : TextIndexKeys(slot->Bytes(), id)) text.Insert(key.data(), recNo);
    }
    std::memcpy(buffer, slot->Bytes(), static_cast<size_t>(FRecordSize));
    WriteI32(buffer + kRecordLinkOffset, 0);
  }
  WritePolicy();
  AfterWrite(recNo, +1, buffer);
  if (reposition) {
    RepositionOn(buffer, recNo);
  } else if (FBof || FEof) {
    // Before the first record (or after the last) the cursor stays there; the view is
    // no longer empty.
    if (FBof) FEof = false;
  } else {
    Refind(false);
  }
  undo.Dismiss();
  UnlockAfterEdit(recNo);
  EndWrite();
}

void TDataCursor::ModifyRecord(uint8_t* buffer, bool unlock, bool reposition) {
  CheckWritable();
  CheckValidity(buffer);
  const TLockProtocol protocol = FDirectory.Session().LockProtocol();
  const bool optimistic = protocol == lpOptimistic;
  const std::vector<uint8_t> seen = optimistic ? FCurrentRecord : std::vector<uint8_t>();
  BeginWrite();
  TDataTable& table = *FTable;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  bool lockedHere = false;
  int32_t recNo = 0;
  auto undo = OnScopeFail([&] {
    if (lockedHere) UnlockAfterEdit(recNo);
    EndWrite();
  });
  {  // the records pinned here are given back before the write policy runs
    if (!OnRecord()) RaiseEngineError(KURA_NOCURRREC, Names());
    recNo = FRecordNumber;
    LoadRecord(recNo, true, 0);
    if (optimistic && !table.LockFree()) {
      if (FPostFailed || FCurrentRecord != seen) {
        FPostFailed = true;
        RaiseEngineError(KURA_KEYORRECDELETED, Names());
      }
      if (FLockedRecord != recNo) {
        LockForEdit(recNo);
        lockedHere = true;
      }
    }
    TRecordPin stored(data, data.GetRecord(recNo));
    if (stored->IsDeleted()) RaiseEngineError(KURA_KEYORRECDELETED, Names());
    const int32_t oldId = stored->UniqueId();
    int32_t id = oldId;
    if (FSuppressAutoInc) {
      id = ReadI32(buffer + kRecordIdOffset);
    } else {
      WriteI32(buffer + kRecordIdOffset, oldId);
    }

    TCursorEditIndexes& edit = EditIndexes();
    std::vector<std::vector<uint8_t>>& oldKeys = edit.OldKeys;
    std::vector<std::vector<uint8_t>>& keys = edit.Keys;
    BuildIndexKeys(stored->Bytes(), oldKeys);
    BuildIndexKeys(buffer, keys);
    CheckUniqueKeys(keys, &oldKeys, -1);
    uint8_t sysKey[kSysDeletedKeySize];
    if (id != oldId) {
      BuildSysDeletedKey(kRecordActive, id, sysKey);
      if (KeyExists(kSysDeletedIndex, sysKey)) RaiseKeyViolation(kSysDeletedIndex);
    }

    const bool textIndexed = HasTextIndex();
    std::vector<std::vector<uint8_t>> oldText;
    if (textIndexed) oldText = TextIndexKeys(stored->Bytes(), oldId);
    if (data.BlobFieldCount() > 0) WriteOpenBlobs(buffer, stored->Bytes());

    for (int i = 0; i < edit.Limit; ++i) {
      const std::vector<uint8_t>& oldKey = oldKeys[static_cast<size_t>(i)];
      const std::vector<uint8_t>& key = keys[static_cast<size_t>(i)];
      if (key.empty() || SameKeys(oldKey, key)) continue;
      TIndexTree& tree = *edit.Trees[static_cast<size_t>(i)];
      if (!tree.Delete(oldKey.data())) RaiseKeyCorrupt(index, i, recNo);
      if (!tree.Insert(key.data(), recNo)) RaiseKeyCorrupt(index, i, recNo);
    }
    if (id != oldId) {
      TIndexTree& records = *edit.Records;
      BuildSysDeletedKey(kRecordActive, oldId, sysKey);
      if (!records.Delete(sysKey)) RaiseKeyCorrupt(index, kSysDeletedIndex, recNo);
      BuildSysDeletedKey(kRecordActive, id, sysKey);
      if (!records.Insert(sysKey, recNo)) RaiseKeyCorrupt(index, kSysDeletedIndex, recNo);
      if (id > data.LastAutoIncValue()) data.SetLastAutoIncValue(id);
    }

    std::memcpy(stored->Bytes() + kRecordFieldsOffset, buffer + kRecordFieldsOffset,
                static_cast<size_t>(FRecordSize - kRecordFieldsOffset));
    stored->SetUniqueId(id);
    data.MarkRecordDirty(stored.Get());
    if (textIndexed) {
      std::vector<std::vector<uint8_t>> newText = TextIndexKeys(stored->Bytes(), id);
      if (newText != oldText) {
        TIndexTree text(index, kSysTextIndex);
        for (const std::vector<uint8_t>& key : oldText) text.Delete(key.data());
        for (const std::vector<uint8_t>& key : newText) text.Insert(key.data(), recNo);
      }
    }
    std::memcpy(buffer, stored->Bytes(), static_cast<size_t>(FRecordSize));
    WriteI32(buffer + kRecordLinkOffset, 0);
  }
  WritePolicy();
  AfterWrite(recNo, 0, buffer);
  // The cursor stays on the changed record, wherever its keys now put it.
  (void)reposition;
  RepositionOn(buffer, recNo);
  if (lockedHere || (!optimistic && unlock)) UnlockAfterEdit(recNo);
  undo.Dismiss();
  EndWrite();
}

void TDataCursor::DeleteRecord(const uint8_t* buffer, bool reposition) {
  CheckWritable();
  BeginWrite();
  TDataTable& table = *FTable;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  int32_t recNo = 0;
  auto undo = OnScopeFail([&] {
    if (recNo != 0) UnlockAfterEdit(recNo);
    EndWrite();
  });
  {  // the records pinned here are given back before the write policy runs
    if (!OnRecord()) RaiseEngineError(KURA_NOCURRREC, Names());
    recNo = FRecordNumber;
    TRecordsBitmap& locked = table.CursorLockedRecords();
    const bool isLocked = !table.LockFree() && recNo <= locked.RecordCount() && locked.IsSet(recNo);
    if (isLocked) {
      if (FLockedRecord != recNo) RaiseEngineError(KURA_RECLOCKFAILED, Names());
      FreeAllBlobs();
    } else {
      LoadRecord(recNo, true, 0);
      if (!table.LockFree() && buffer &&
          std::memcmp(FCurrentRecord.data(), buffer, static_cast<size_t>(FRecordSize)) != 0) {
        RaiseEngineError(KURA_KEYORRECDELETED, Names());
      }
      LockForEdit(recNo);
    }
    TRecordPin stored(data, data.GetRecord(recNo));
    if (stored->IsDeleted()) RaiseEngineError(KURA_KEYORRECDELETED, Names());
    const int32_t id = stored->UniqueId();
    TCursorEditIndexes& edit = EditIndexes();
    std::vector<std::vector<uint8_t>>& keys = edit.Keys;
    BuildIndexKeys(stored->Bytes(), keys);
    for (int i = 0; i < edit.Limit; ++i) {
      const std::vector<uint8_t>& key = keys[static_cast<size_t>(i)];
      if (!key.empty() && !edit.Trees[static_cast<size_t>(i)]->Delete(key.data())) RaiseKeyCorrupt(index, i, recNo);
    }
    TIndexTree& records = *edit.Records;
    uint8_t sysKey[kSysDeletedKeySize];
    BuildSysDeletedKey(kRecordActive, id, sysKey);
    if (!records.Delete(sysKey)) RaiseKeyCorrupt(index, kSysDeletedIndex, recNo);
    BuildSysDeletedKey(kRecordDeleted, id, sysKey);
    records.Insert(sysKey, recNo);
    if (HasTextIndex()) {
      TIndexTree text(index, kSysTextIndex);
      for (const std::vector<uint8_t>& key : TextIndexKeys(stored->Bytes(), id)) text.Delete(key.data());
    }
    if (data.BlobFieldCount() > 0) FreeStoredBlobs(stored->Bytes());
    data.FreeRecord(stored.Get());
    index.DecActiveRecordCount();
  }
  WritePolicy();
  AfterWrite(recNo, -1, nullptr);
  // The cursor stands just before the record that followed, so a walk that deletes
  // as it goes visits every record.
  (void)reposition;
  Refind(true);
  UnlockAfterEdit(recNo);
  undo.Dismiss();
  EndWrite();
}

void TDataCursor::CancelRecord() {
  if (!FTable) CheckClosed();
  if (FDirectory.Session().LockProtocol() == lpOptimistic) {
    FPostFailed = false;
  } else if (FLockedRecord != 0) {
    UnlockRecord(FLockedRecord);
  }
}

void TDataCursor::FlushBuffers(bool force, bool trimCaches) {
  if (!FTable) CheckClosed();
  TDataTable& table = *FTable;
  if (!table.Exclusive() || force) {
    table.FlushTable(false);
    SyncCounters();
  }
  if (trimCaches) table.TrimCaches();
}

}  // namespace kura
