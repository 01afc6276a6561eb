// The cursor's filters and its key search: the filter list, activation, the view the
// active filters make (VisibleRecords), and Find in the current index.

#include <algorithm>
#include <cstring>

#include "kura/base/collation.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_table.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_walker.h"

namespace kura {

namespace {

constexpr size_t kMaxFilters = 64;

}  // namespace

bool TDataCursor::AnyFilterActive() const {
  return std::any_of(FFilters.begin(), FFilters.end(), [](const std::unique_ptr<TFilter>& f) { return f->Active(); });
}

size_t TDataCursor::FilterIndex(const TFilter* filter) const {
  for (size_t i = 0; i < FFilters.size(); ++i) {
    if (FFilters[i].get() == filter) return i;
  }
  RaiseEngineError(KURA_NOSUCHFILTER, Names());
}

// The list keeps AfterOthers filters at its end.
static void InsertFilter(std::vector<std::unique_ptr<TFilter>>& filters, std::unique_ptr<TFilter> filter) {
  if (filter->AfterOthers()) {
    filters.push_back(std::move(filter));
    return;
  }
  auto first = std::find_if(filters.begin(), filters.end(),
                            [](const std::unique_ptr<TFilter>& f) { return f->AfterOthers(); });
  filters.insert(first, std::move(filter));
}

TFilter* TDataCursor::AddExprFilter(const std::string& text, const TFilterOptions& options) {
  if (!FTable) CheckClosed();
  if (FFilters.size() >= kMaxFilters) RaiseEngineError(KURA_INTERNALLIMIT, Names());
  TReadScope scope(*this);
  std::unique_ptr<TFilter> filter = TFilter::FromText(*this, text, options);
  TFilter* result = filter.get();
  InsertFilter(FFilters, std::move(filter));
  return result;
}

TFilter* TDataCursor::AddExprFilter(TExpToken* tree, const TFilterOptions& options) {
  if (!FTable) CheckClosed();
  if (FFilters.size() >= kMaxFilters) RaiseEngineError(KURA_INTERNALLIMIT, Names());
  TReadScope scope(*this);
  std::unique_ptr<TFilter> filter = TFilter::FromTree(*this, tree, options);
  TFilter* result = filter.get();
  InsertFilter(FFilters, std::move(filter));
  return result;
}

TFilter* TDataCursor::AddCallbackFilter(TFilterCallback callback, bool afterOthers) {
  if (!FTable) CheckClosed();
  if (FFilters.size() >= kMaxFilters) RaiseEngineError(KURA_INTERNALLIMIT, Names());
  std::unique_ptr<TFilter> filter = TFilter::FromCallback(*this, std::move(callback), afterOthers);
  TFilter* result = filter.get();
  InsertFilter(FFilters, std::move(filter));
  return result;
}

// After any change of the active set: bitmap mode follows it, the view is rebuilt and the
// cursor re-finds its record among what is now visible.
void TDataCursor::EnterOrLeaveBitmapMode() {
  FBitmapMode = FNatural || AnyFilterActive();
  RecomputeView();
  Refind(false);
}

// The set of filters is changed before the guarded run, which may be repeated.
void TDataCursor::FiltersChanged() {
  Guarded([&] {
    TReadScope scope(*this);
    EnterOrLeaveBitmapMode();
  });
}

void TDataCursor::ActivateFilter(TFilter* filter) {
  if (!FTable) CheckClosed();
  if (filter) FilterIndex(filter);
  for (const std::unique_ptr<TFilter>& f : FFilters) {
    if (!filter || f.get() == filter) f->SetActive(true);
  }
  FiltersChanged();
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
  if (!FTable) CheckClosed();
  if (filter) FilterIndex(filter);
  for (const std::unique_ptr<TFilter>& f : FFilters) {
    if (!filter || f.get() == filter) f->SetActive(false);
  }
  FiltersChanged();
}

void TDataCursor::DropFilter(TFilter* filter) {
  if (!FTable) CheckClosed();
  bool activeDropped = false;
  if (filter) {
    const auto at = FFilters.begin() + static_cast<std::ptrdiff_t>(FilterIndex(filter));
    activeDropped = (*at)->Active();
    FFilters.erase(at);
  } else {
    activeDropped = AnyFilterActive();
    FFilters.clear();
  }
  // An inactive filter never shaped the view: without it the view is the same.
  if (activeDropped) FiltersChanged();
}

int TDataCursor::GetFilterOptimizeLevel(TFilter* filter) {
  if (!FTable) CheckClosed();
  return FFilters[FilterIndex(filter)]->OptimizeLevel();
}

void TDataCursor::ReplaceFilterExpression(TFilter* filter, TExpToken* tree) {
  if (!FTable) CheckClosed();
  TFilter& target = *FFilters[FilterIndex(filter)];
  {
    TReadScope scope(*this);
    target.ReplaceExpression(tree);
  }
  if (target.Active()) FiltersChanged();
}

// The whole view: AllRecords (active records), RangeRecords (keys of the active range),
// each active filter's bitmap over its candidates, and VisibleRecords as their AND.
void TDataCursor::BuildView() {
  TRecordsBitmapStack& pool = RecordsBitmapStack();
  if (!FAllRecords) FAllRecords = pool.Acquire();
  if (!FRangeRecords) FRangeRecords = pool.Acquire();
  if (!FVisibleRecords) FVisibleRecords = pool.Acquire();
  TDataFile& data = FTable->DataFile();
  TIndexFile& index = FTable->IndexFile();
  const int32_t count = data.RecordCount();
  // The active records are kept when the table has not changed since they were taken.
  const int64_t now = FTable->ContentChanges();
  const bool keepAll = FAllRecordsAt && *FAllRecordsAt == now && FAllRecords->RecordCount() == count;
  FAllRecordsAt.reset();
  for (TRecordsBitmap* bitmap : {FAllRecords.get(), FRangeRecords.get(), FVisibleRecords.get()}) {
    if (keepAll && bitmap == FAllRecords.get()) continue;
    bitmap->SetRecordCount(count);
    bitmap->ClearAll();
  }
  FVisibleCount = 0;
  if (count == 0) {
    for (const std::unique_ptr<TFilter>& f : FFilters) {
      f->Bitmap().SetRecordCount(0);
    }
    FAllRecordsAt = now;
    return;
  }

  // Active records: every slot when none is deleted, else the internal record index's
  // keys of active records.
  if (keepAll) {
    // As they were.
  } else if (index.ActiveRecordCount() == count && !FTable->IndexesRebuilt()) {
    FAllRecords->SetAll();
  } else {
    TIndexWalker walker(index, kSysDeletedIndex);
    uint8_t first[kSysDeletedKeySize] = {kRecordActive, 0, 0, 0, 0};
    for (bool ok = walker.SeekFirstNotBelow(first); ok && walker.Key()[0] == kRecordActive; ok = walker.Next()) {
      data.CheckSlotNumber(walker.Value());
      FAllRecords->Include(walker.Value());
    }
  }
  FAllRecordsAt = now;

  const bool range = FRangeActive && !FNatural;
  if (range) {
    TIndexWalker walker(index, FIndexNo);
    for (bool ok = walker.SeekFirstNotBelow(FStartKey.data()); ok; ok = walker.Next()) {
      if (FComparer.Compare(walker.Key().data(), FEndKey.data()) > 0) break;
      data.CheckSlotNumber(walker.Value());
      FRangeRecords->Include(walker.Value());
    }
  }

  FVisibleRecords->Assign(*FAllRecords);
  if (range) FVisibleRecords->IntersectWith(*FRangeRecords);
  std::vector<TFilter*> before;
  for (const std::unique_ptr<TFilter>& f : FFilters) {
    if (!f->Active()) continue;
    TRecordsBitmap& bitmap = f->Bitmap();
    bitmap.Assign(*FAllRecords);
    if (range) bitmap.IntersectWith(*FRangeRecords);
    if (f->AfterOthers() && f->OptimizeLevel() != kFilterFullyOptimized) {
      for (TFilter* earlier : before) bitmap.IntersectWith(earlier->Bitmap());
    }
    f->BuildBitmap(bitmap);
    FVisibleRecords->IntersectWith(bitmap);
    before.push_back(f.get());
  }
  FVisibleCount = FVisibleRecords->CountSet();
}

// Fills the key after its first keepFields fields and keepBytes bytes of the next one
// with the lowest (or highest) bytes in the index's order.
void TDataCursor::FillKeyTail(uint8_t* key, int keepFields, int keepBytes, bool high) const {
  const int fields = FDescriptor.IndexFieldCount;
  const std::vector<TFieldDefinition>& definitions = FTable->DataFile().FieldDefinitions();
  int offset = 0;
  for (int i = 0; i < fields; ++i) {
    const TFieldDefinition* field = FindFieldByNumber(definitions, FDescriptor.IndexFields[static_cast<size_t>(i)]);
    const int length = field ? 1 + KeyDataSize(*field) : 0;
    if (i >= keepFields && field) {
      const int kept = i == keepFields ? std::clamp(keepBytes, 0, length) : 0;
      // With a language driver a descending field's comparison is negated, so its
      // lowest key is its highest bytes; byte-order keys are already inverted.
      const bool fieldDescending = FLocaleId != 0 && FDescriptor.FieldDescending[static_cast<size_t>(i)] != 0;
      const bool wantHigh = (high != FDescriptor.Descending) != fieldDescending;
      const uint8_t fill = wantHigh ? 0xFF : 0x00;
      for (int b = kept; b < length; ++b) {
        const bool text = b > 0 && field->FieldType == TFieldType::String && FSortOrder;
        key[offset + b] = text ? (wantHigh ? FSortOrder->Highest() : FSortOrder->Lowest()) : fill;
      }
    }
    offset += length;
  }
  // The unique-id suffix of a non-unique index.
  if (offset < FKeySize) {
    std::memset(key + offset, (high != FDescriptor.Descending) ? 0xFF : 0x00, static_cast<size_t>(FKeySize - offset));
  }
}

bool TDataCursor::Find(const uint8_t* buffer, bool bufferIsKey, int fieldCount, int partialLength, bool nearest,
                       uint8_t* recordBuffer) {
  if (!FTable) CheckClosed();
  if (FNatural) return false;
  return Guarded([&] { return FindStep(buffer, bufferIsKey, fieldCount, partialLength, nearest, recordBuffer); });
}

bool TDataCursor::FindStep(const uint8_t* buffer, bool bufferIsKey, int fieldCount, int partialLength, bool nearest,
                           uint8_t* recordBuffer) {
  TReadScope scope(*this);
  std::vector<uint8_t> key(static_cast<size_t>(FKeySize));
  if (bufferIsKey) {
    std::memcpy(key.data(), buffer, key.size());
  } else {
    BuildKey(buffer, key.data());
  }
  const int fields = FDescriptor.IndexFieldCount;
  const bool partial = (fieldCount >= 1 && fieldCount <= fields - 1) || !FDescriptor.Unique || partialLength >= 0;
  int prefix = FKeySize;
  if (partial) {
    if (fieldCount <= 0 || fieldCount > fields) fieldCount = fields;
    const std::vector<TFieldDefinition>& definitions = FTable->DataFile().FieldDefinitions();
    prefix = 0;
    int nextLength = 0;
    for (int i = 0; i < fields; ++i) {
      const TFieldDefinition* field = FindFieldByNumber(definitions, FDescriptor.IndexFields[static_cast<size_t>(i)]);
      const int length = field ? 1 + KeyDataSize(*field) : 0;
      if (i < fieldCount) {
        prefix += length;
      } else {
        nextLength = length;
        break;
      }
    }
    const int keepBytes = partialLength >= 0 && fieldCount < fields ? std::min(partialLength + 1, nextLength) : 0;
    prefix += keepBytes;
    FillKeyTail(key.data(), fieldCount, keepBytes, false);
  }

  bool found = FWalker->SeekFirstNotBelow(key.data()) && ForwardToVisible();
  if (!found) {
    // Past the last key: the cursor goes to the last record.
    if (LastVisible()) {
      LandOnWalker(false);
      CopyOut(KURA_NONE, recordBuffer);
    } else {
      MarkEmpty();
    }
    return false;
  }
  const bool matches = partial ? FComparer.ComparePrefix(FWalker->Key().data(), key.data(), prefix) == 0
                               : FComparer.Compare(FWalker->Key().data(), key.data()) == 0;
  if (!partial && !matches && !nearest) return false;
  LandOnWalker(true);
  CopyOut(KURA_NONE, recordBuffer);
  return matches;
}

}  // namespace kura
