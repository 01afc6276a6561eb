// Sorting the records of a data file in place: sort keys, the in-memory path, sorted
// runs in temporary files merged through a heap, and the output stage that applies
// distinct, grouping, the filter and the limit before writing slots back from slot 1.

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <queue>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/base/file_list.h"
#include "kura/base/names_paths.h"
#include "kura/storage/data_file.h"
#include "kura/storage/scramble.h"

namespace kura {

namespace {

constexpr size_t kRunBytes = 1048576;
constexpr size_t kOutputBytes = 262144;
constexpr size_t kRunIoBytes = 65536;
constexpr size_t kMergeBufferBudget = 4 * 1048576;

// Text comparison with the collation of a table's language driver.
class TLanguageKeyCollator final : public TKeyCollator {
public:
  TLanguageKeyCollator(uint16_t localeId, uint16_t sortId, bool caseInsensitive)
      : FLocaleId(localeId), FSortId(sortId), FCaseInsensitive(caseInsensitive) {}
  int CompareText(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength) const override {
    return CollateCompare(FLocaleId, FSortId, std::string_view(reinterpret_cast<const char*>(a), aLength),
                          std::string_view(reinterpret_cast<const char*>(b), bLength), FCaseInsensitive);
  }

private:
  uint16_t FLocaleId;
  uint16_t FSortId;
  bool FCaseInsensitive;
};

struct TSortKeyField {
  const TFieldDefinition* Field;
  size_t Offset;  // of the null flag in the key
  size_t Size;    // null flag + key data
  bool Descending;
  bool IsString;
};

// A temporary run file, closed (and so removed) when the object goes, also when the
// sort fails.
struct TRunFile {
  std::unique_ptr<TFileHandler> File;
  int64_t Entries = 0;
  // Merge state.
  int64_t NextEntry = 0;  // next entry to load from the file
  std::vector<uint8_t> Buffer;
  size_t BufferEntries = 0;
  size_t Position = 0;
};

}  // namespace

class TDataFileSorter {
public:
  TDataFileSorter(TDataFile& file, const TSortRequest& request) : F(file), R(request) {}

  void Run();

private:
  void BuildLayout();
  void MakeKey(const uint8_t* record, uint8_t* key) const;
  int Compare(const uint8_t* a, const uint8_t* b, bool withId) const;
  void SortInMemory();
  void SortExternal();
  void MergeRuns(std::vector<TRunFile>& runs);
  bool LoadRunBuffer(TRunFile& run, size_t entries);

  // Output stage. Add returns false once the limit is reached.
  bool Add(const uint8_t* record, const uint8_t* key);
  bool Emit(TRecord& record);
  void FinishOutput();
  void WriteBatch();

  TDataFile& F;
  const TSortRequest& R;
  std::vector<TSortKeyField> FFields;
  size_t FKeySize = 0;
  size_t FRecordSize = 0;
  bool FByteOrder = true;
  TKeyFieldOptions FKeyOptions;
  std::unique_ptr<TLanguageKeyTextMapper> FOwnMapper;
  std::unique_ptr<TLanguageKeyCollator> FOwnCollator;
  const TKeyCollator* FCollator = nullptr;

  // Output state.
  bool FStopped = false;
  int64_t FOutputCount = 0;
  std::vector<uint8_t> FBatch;
  size_t FBatchRecords = 0;
  size_t FBatchCapacity = 1;
  int32_t FBatchFirst = 1;
  TRecord FScratch;
  TRecord FGroup;
  bool FHaveGroup = false;
  std::vector<uint8_t> FGroupKey;
  std::vector<uint8_t> FLastKey;
  bool FHaveLastKey = false;
};

void TDataFileSorter::BuildLayout() {
  FRecordSize = F.FHeader.RecordSize;
  FByteOrder = F.FHeader.LocaleId == 0;
  const TErrorNames names = F.ErrorNames();
  if (!FByteOrder) {
    FCollator = R.Collator;
    if (!FCollator) {
      CheckLanguageDriver(F.FHeader.LocaleId, F.FHeader.SortId, names);
      FOwnCollator = std::make_unique<TLanguageKeyCollator>(F.FHeader.LocaleId, F.FHeader.SortId, R.CaseInsensitive);
      FCollator = FOwnCollator.get();
    }
  }
  FKeyOptions.CaseInsensitive = R.CaseInsensitive;
  FKeyOptions.KeepStringTerminator = false;
  FKeyOptions.Mapper = R.Mapper;
  if (R.CaseInsensitive && !R.Mapper) {
    FOwnMapper = std::make_unique<TLanguageKeyTextMapper>(F.FHeader.LocaleId, F.FHeader.SortId);
    FKeyOptions.Mapper = FOwnMapper.get();
  }
  size_t offset = 0;
  for (const TSortField& sortField : R.Fields) {
    const TFieldDefinition* field = F.FieldByNumber(sortField.FieldNo);
    if (!field || field->Computed || field->FieldType == TFieldType::Blob) {
      TErrorNames fieldNames = names;
      fieldNames.FieldName = field ? field->Name : std::to_string(sortField.FieldNo);
      RaiseEngineError(KURA_OUTOFRANGE, fieldNames);
    }
    const size_t size = static_cast<size_t>(KeyDataSize(*field)) + 1;
    FFields.push_back({field, offset, size, sortField.Descending, field->FieldType == TFieldType::String});
    offset += size;
  }
  FKeySize = offset + 4;
}

void TDataFileSorter::MakeKey(const uint8_t* record, uint8_t* key) const {
  TKeyFieldOptions options = FKeyOptions;
  for (const TSortKeyField& f : FFields) {
    options.Invert = f.Descending && FByteOrder;
    EncodeKeyField(*f.Field, record, options, key + f.Offset);
  }
  EncodeInt32Key(ReadI32(record + kRecordIdOffset), key + FKeySize - 4);
}

int TDataFileSorter::Compare(const uint8_t* a, const uint8_t* b, bool withId) const {
  if (FByteOrder) {
    const int c = std::memcmp(a, b, withId ? FKeySize : FKeySize - 4);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  for (const TSortKeyField& f : FFields) {
    const uint8_t* x = a + f.Offset;
    const uint8_t* y = b + f.Offset;
    int c;
    if (f.IsString && x[0] != 0 && y[0] != 0) {
      const size_t dataSize = f.Size - 1;
      c = FCollator->CompareText(x + 1, strnlen(reinterpret_cast<const char*>(x + 1), dataSize), y + 1,
                                 strnlen(reinterpret_cast<const char*>(y + 1), dataSize));
    } else {
      c = std::memcmp(x, y, f.Size);
    }
    if (c != 0) {
      c = c < 0 ? -1 : 1;
      return f.Descending ? -c : c;
    }
  }
  if (!withId) return 0;
  const int c = std::memcmp(a + FKeySize - 4, b + FKeySize - 4, 4);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void TDataFileSorter::Run() {
  for (const auto& record : F.FCache.Records()) {
    if (record->PinCount > 0) F.RaiseDataFileCorrupt(KURA_FILECORRUPT, F.SlotPlace(record->RecNo));
  }
  BuildLayout();
  FScratch.Reset(FRecordSize, 0);
  FGroup.Reset(FRecordSize, 0);
  FGroupKey.resize(FKeySize);
  FLastKey.resize(FKeySize);
  FBatchCapacity = std::max<size_t>(1, kOutputBytes / FRecordSize);
  FBatch.resize(FBatchCapacity * FRecordSize);

  const int32_t slots = F.FHeader.NextRecordNo - 1;
  if (static_cast<size_t>(slots) == F.FCache.Size()) {
    SortInMemory();
  } else {
    SortExternal();
  }
  FinishOutput();

  // Every old slot has been replaced by the output; the cache holds the old contents.
  F.DiscardCache();
  const int32_t count = static_cast<int32_t>(FOutputCount);
  {
    TFileAccess access(F);
    F.Seek(soFromBeginning, F.SlotOffset(count + 1));
    F.WriteBuffer(nullptr, 0);
  }
  F.FHeader.NextRecordNo = count + 1;
  F.FHeader.FirstFreeRecord = 0;
  F.MarkChanged();
  if (F.FOwner) F.FOwner->MarkTableModified();
}

void TDataFileSorter::SortInMemory() {
  std::vector<TRecord*> records;
  records.reserve(F.FCache.Size());
  for (const auto& owned : F.FCache.Records()) {
    TRecord* record = owned.get();
    if (record->IsDeleted()) continue;
    record->SortKey.resize(FKeySize);
    MakeKey(record->Bytes(), record->SortKey.data());
    records.push_back(record);
  }
  const auto less = [this](const TRecord* a, const TRecord* b) {
    return Compare(a->SortKey.data(), b->SortKey.data(), true) < 0;
  };
  // With a limit and every sorted record an output record, only the first `Limit` need
  // their order (the keys end in the record id: the order is total, so these are the
  // same records a full sort puts first).
  const bool eachOutput = !R.Distinct && !R.Aggregate && !R.Filter;
  if (eachOutput && R.Limit >= 0 && static_cast<size_t>(R.Limit) < records.size()) {
    const auto end = records.begin() + static_cast<std::ptrdiff_t>(R.Limit);
    std::partial_sort(records.begin(), end, records.end(), less);
    records.erase(end, records.end());
  } else {
    std::sort(records.begin(), records.end(), less);
  }
  for (TRecord* record : records) {
    if (!Add(record->Bytes(), record->SortKey.data())) break;
  }
}

void TDataFileSorter::SortExternal() {
  // The runs read the file directly: changed records must be there first.
  F.FlushRecords();
  const int32_t slots = F.FHeader.NextRecordNo - 1;
  const int32_t maxRecords = F.FOwner ? F.FOwner->MaxDataBufferCount() : 8192;
  const size_t runSlots = std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(std::max(1, maxRecords)),
                                                               kRunBytes / FRecordSize));
  const size_t entrySize = FKeySize + FRecordSize;
  std::vector<uint8_t> records(runSlots * FRecordSize);
  std::vector<uint8_t> keys(runSlots * FKeySize);
  std::vector<uint32_t> order(runSlots);
  std::vector<uint8_t> out(std::max(entrySize, kRunIoBytes / entrySize * entrySize));
  std::vector<TRunFile> runs;
  const std::string privateDir = F.FOwner ? F.FOwner->PrivateDir() : TDataFileOwner().PrivateDir();

  for (int32_t first = 1; first <= slots;) {
    const size_t count = std::min<size_t>(runSlots, static_cast<size_t>(slots - first + 1));
    F.ReadAt(F.SlotOffset(first), records.data(), static_cast<int32_t>(count * FRecordSize));
    ++F.FStatistics.Reads;
    size_t active = 0;
    for (size_t i = 0; i < count; ++i) {
      uint8_t* record = records.data() + i * FRecordSize;
      if (F.FHeader.Encrypted) Scramble(record, FRecordSize, kRecordKey);
      if (record[kRecordStateOffset] == kRecordDeleted) continue;
      if (active != i) std::memcpy(records.data() + active * FRecordSize, record, FRecordSize);
      MakeKey(records.data() + active * FRecordSize, keys.data() + active * FKeySize);
      ++active;
    }
    first += static_cast<int32_t>(count);
    if (active == 0) continue;
    std::iota(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(active), 0u);
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(active), [&](uint32_t a, uint32_t b) {
      return Compare(keys.data() + size_t{a} * FKeySize, keys.data() + size_t{b} * FKeySize, true) < 0;
    });

    TRunFile run;
    run.File = std::make_unique<TFileHandler>(
        MakeTempFileName(privateDir, ".TMP",
                         [](const std::string& name) { return TFileList::Instance().FileExists(name, false); }),
        false);
    run.File->Temporary = true;
    runs.push_back(std::move(run));
    TRunFile& current = runs.back();
    current.File->Create();
    size_t used = 0;
    int64_t position = 0;
    for (size_t i = 0; i < active; ++i) {
      const uint32_t index = order[i];
      std::memcpy(out.data() + used, keys.data() + size_t{index} * FKeySize, FKeySize);
      std::memcpy(out.data() + used + FKeySize, records.data() + size_t{index} * FRecordSize, FRecordSize);
      used += entrySize;
      if (used + entrySize > out.size() || i + 1 == active) {
        current.File->WriteAt(position, out.data(), static_cast<int32_t>(used));
        position += static_cast<int64_t>(used);
        used = 0;
      }
    }
    current.Entries = static_cast<int64_t>(active);
  }
  MergeRuns(runs);
  // Closing a temporary file removes it.
  runs.clear();
}

bool TDataFileSorter::LoadRunBuffer(TRunFile& run, size_t entries) {
  const size_t entrySize = FKeySize + FRecordSize;
  const size_t count =
      static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(entries), run.Entries - run.NextEntry));
  if (count == 0) return false;
  run.File->ReadAt(run.NextEntry * static_cast<int64_t>(entrySize), run.Buffer.data(),
                   static_cast<int32_t>(count * entrySize));
  run.NextEntry += static_cast<int64_t>(count);
  run.BufferEntries = count;
  run.Position = 0;
  return true;
}

void TDataFileSorter::MergeRuns(std::vector<TRunFile>& runs) {
  if (runs.empty()) return;
  const size_t entrySize = FKeySize + FRecordSize;
  const size_t perRun =
      std::max<size_t>(1, std::min(kRunIoBytes, kMergeBufferBudget / runs.size()) / entrySize);
  for (TRunFile& run : runs) {
    run.Buffer.resize(perRun * entrySize);
    LoadRunBuffer(run, perRun);
  }
  auto head = [&](size_t i) { return runs[i].Buffer.data() + runs[i].Position * entrySize; };
  // Smallest head key on top.
  auto greater = [&](size_t a, size_t b) { return Compare(head(a), head(b), true) > 0; };
  std::priority_queue<size_t, std::vector<size_t>, decltype(greater)> heap(greater);
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].BufferEntries > 0) heap.push(i);
  }
  while (!heap.empty()) {
    const size_t i = heap.top();
    heap.pop();
    const uint8_t* entry = head(i);
    if (!Add(entry + FKeySize, entry)) return;
    TRunFile& run = runs[i];
    if (++run.Position < run.BufferEntries || LoadRunBuffer(run, perRun)) heap.push(i);
  }
}

bool TDataFileSorter::Add(const uint8_t* record, const uint8_t* key) {
  if (R.Limit >= 0 && FOutputCount >= R.Limit) FStopped = true;
  if (FStopped) return false;
  if (R.Aggregate) {
    if (FHaveGroup && Compare(FGroupKey.data(), key, false) == 0) {
      std::memcpy(FScratch.Bytes(), record, FRecordSize);
      R.Aggregate(FGroup, FScratch);
      return true;
    }
    if (FHaveGroup && !Emit(FGroup)) return false;
    std::memcpy(FGroup.Bytes(), record, FRecordSize);
    std::memcpy(FGroupKey.data(), key, FKeySize);
    FHaveGroup = true;
    return true;
  }
  if (R.Distinct) {
    if (FHaveLastKey && Compare(FLastKey.data(), key, false) == 0) return true;
    std::memcpy(FLastKey.data(), key, FKeySize);
    FHaveLastKey = true;
  }
  std::memcpy(FScratch.Bytes(), record, FRecordSize);
  return Emit(FScratch);
}

bool TDataFileSorter::Emit(TRecord& record) {
  if (R.Filter && !R.Filter(record)) return true;
  const int32_t slot = static_cast<int32_t>(FOutputCount + 1);
  uint8_t* target = FBatch.data() + FBatchRecords * FRecordSize;
  std::memcpy(target, record.Bytes(), FRecordSize);
  target[kRecordStateOffset] = kRecordActive;
  WriteI32(target + kRecordLinkOffset, slot);
  if (FBatchRecords == 0) FBatchFirst = slot;
  ++FBatchRecords;
  ++FOutputCount;
  if (FBatchRecords == FBatchCapacity) WriteBatch();
  if (R.Limit >= 0 && FOutputCount >= R.Limit) {
    FStopped = true;
    return false;
  }
  return true;
}

void TDataFileSorter::WriteBatch() {
  if (FBatchRecords == 0) return;
  F.WriteSlots(FBatchFirst, FBatch.data(), FBatchRecords);
  FBatchRecords = 0;
}

void TDataFileSorter::FinishOutput() {
  if (FHaveGroup && !FStopped) Emit(FGroup);
  FHaveGroup = false;
  WriteBatch();
}

void TDataFile::SortRecords(const TSortRequest& request) {
  TDataFileSorter sorter(*this, request);
  sorter.Run();
}

}  // namespace kura
