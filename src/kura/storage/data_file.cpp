#include "kura/storage/data_file.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/base/text_forms.h"
#include "kura/storage/scramble.h"
#include "kura/storage/table_files.h"

namespace kura {

namespace {

// TDateTime of the Unix epoch (days since 1899-12-30).
constexpr double kUnixEpochDays = 25569.0;
constexpr double kLastUpdatedBias = 693594.0;

double LocalNowForHeader() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const double localSeconds = static_cast<double>(now) + static_cast<double>(local.tm_gmtoff);
  return localSeconds / 86400.0 + kUnixEpochDays - kLastUpdatedBias;
}

void ReadTextBlock(const uint8_t* p, int capacity, bool encrypted, std::string& text) {
  uint8_t block[64];
  std::memcpy(block, p, static_cast<size_t>(capacity) + 1);
  if (encrypted) Scramble(block, static_cast<size_t>(capacity) + 1, kHeaderTextKey);
  text = ReadShortString(block, capacity);
}

void WriteTextBlock(uint8_t* p, int capacity, bool encrypted, const std::string& text) {
  WriteShortString(p, capacity, text);
  if (encrypted) Scramble(p, static_cast<size_t>(capacity) + 1, kHeaderTextKey);
}

}  // namespace

void ReadDataFileHeader(const uint8_t* b, TDataFileHeader& h) {
  h.ChangeCount = ReadI32(b + 0);
  h.BlobBlockSize = ReadI32(b + 4);
  h.FormatVersion = b[8];
  h.FirstFreeRecord = ReadI32(b + 9);
  h.NextRecordNo = ReadI32(b + 13);
  h.LastAutoIncValue = ReadI32(b + 17);
  h.RecordSize = ReadU16(b + 21);
  h.FieldCount = ReadU16(b + 23);
  h.BlobFieldCount = ReadU16(b + 25);
  h.LastUpdated = ReadF64(b + 27);
  h.Encrypted = b[86] != 0;
  ReadTextBlock(b + 35, kMaxDescriptionLength, h.Encrypted, h.Description);
  ReadTextBlock(b + 87, kMaxPasswordLength, h.Encrypted, h.Password);
  h.LocaleId = ReadU16(b + 103);
  h.SortId = ReadU16(b + 105);
  h.UserMajorVersion = ReadU16(b + 107);
  h.UserMinorVersion = ReadU16(b + 109);
  h.HeaderChanged = false;  // the writer's flag means nothing to a reader
  h.LastBlobId = ReadI32(b + 112);
  h.EngineVersion = ReadI64(b + 116);
}

void WriteDataFileHeader(const TDataFileHeader& h, uint8_t* b) {
  std::memset(b, 0, kDataFileHeaderSize);
  WriteI32(b + 0, h.ChangeCount);
  WriteI32(b + 4, h.BlobBlockSize);
  b[8] = h.FormatVersion;
  WriteI32(b + 9, h.FirstFreeRecord);
  WriteI32(b + 13, h.NextRecordNo);
  WriteI32(b + 17, h.LastAutoIncValue);
  WriteU16(b + 21, h.RecordSize);
  WriteU16(b + 23, h.FieldCount);
  WriteU16(b + 25, h.BlobFieldCount);
  WriteF64(b + 27, h.LastUpdated);
  WriteTextBlock(b + 35, kMaxDescriptionLength, h.Encrypted, h.Description);
  b[86] = h.Encrypted ? 1 : 0;
  WriteTextBlock(b + 87, kMaxPasswordLength, h.Encrypted, h.Encrypted ? h.Password : std::string());
  WriteU16(b + 103, h.LocaleId);
  WriteU16(b + 105, h.SortId);
  WriteU16(b + 107, h.UserMajorVersion);
  WriteU16(b + 109, h.UserMinorVersion);
  b[111] = h.HeaderChanged ? 1 : 0;
  WriteI32(b + 112, h.LastBlobId);
  WriteI64(b + 116, h.EngineVersion);
}

std::string TDataFileOwner::PrivateDir() const {
  std::error_code error;
  auto path = std::filesystem::temp_directory_path(error);
  return error ? std::string("/tmp/") : (path / "").string();
}

TDataFile::TDataFile(std::string fileName, bool inMemory, TDataFileOwner* owner)
    : TTableFile(std::move(fileName), inMemory, kDataFileExtension), FOwner(owner) {}

TDataFile::~TDataFile() {
  // Record locks live in the shared file object, which may outlive this opener.
  UnlockAllRecords();
  FCache.Clear(nullptr);
}

// ---------------------------------------------------------------------------------------
// Errors

void TDataFile::RaiseDataFileError(TErrorCode code) const { RaiseEngineError(code, ErrorNames()); }

void TDataFile::RaiseDataFileCorrupt(TErrorCode code, const TDamagePlace& place) const { RaiseDamaged(code, place); }

TDamagePlace TDataFile::SlotPlace(int32_t recNo) const {
  return {"record slot", recNo, recNo > 0 ? SlotOffset(recNo) : -1};
}

namespace {

// Field definition n (from 1), for reports of damage.
TDamagePlace DefinitionPlace(size_t n) {
  return {"field definition", static_cast<int64_t>(n),
          kDataFileHeaderSize + int64_t{kFieldDefinitionSize} * (static_cast<int64_t>(n) - 1)};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Opening, creating, header

void TDataFile::OpenDataFile() {
  auto close = OnScopeFail([this] { CloseDataFile(); });
  Open();
  ReadHeader();
  if (FHeader.FormatVersion != kDataFileFormatVersion) RaiseDataFileError(KURA_OLDVERSION);
  if (FHeader.FieldCount > kMaxFieldCount)
    RaiseDataFileCorrupt(KURA_HEADERCORRUPT, {"header: field count", FHeader.FieldCount, 23});
  ReadFieldDefinitions();
  CheckRecordLayout();
  PrepareCache();
}

void TDataFile::ReadFieldDefinitions() {
  const size_t areaSize = size_t{kFieldDefinitionSize} * FHeader.FieldCount;
  std::vector<uint8_t> area(areaSize);
  if (areaSize > 0) {
    const int32_t got = ReadAt(kDataFileHeaderSize, area.data(), static_cast<int32_t>(areaSize), true);
    if (got != static_cast<int32_t>(areaSize)) {
      RaiseDataFileCorrupt(KURA_HEADERCORRUPT, {"field definitions cut short", -1, kDataFileHeaderSize + got});
    }
  }
  if (FHeader.Encrypted) Scramble(area.data(), areaSize, kRecordKey);
  FFieldDefinitions.assign(FHeader.FieldCount, TFieldDefinition{});
  for (size_t i = 0; i < FFieldDefinitions.size(); ++i) {
    ReadFieldDefinition(area.data() + i * kFieldDefinitionSize, FFieldDefinitions[i]);
  }
  FDefinitionsChanged = false;
}

void TDataFile::CheckRecordLayout() const {
  // The part of the consistency check that reading records relies on: every field lies
  // inside the record and the slot counters are in range. Without it, damaged
  // definitions would send record reads outside the record buffer.
  const auto corrupt = [this](const TDamagePlace& place) { RaiseDataFileCorrupt(KURA_HEADERCORRUPT, place); };
  if (FHeader.RecordSize < kRecordFieldsOffset) corrupt({"header: record size", FHeader.RecordSize, 21});
  if (FHeader.NextRecordNo < 1) corrupt({"header: next record number", FHeader.NextRecordNo, 13});
  if (FHeader.FirstFreeRecord < 0 || FHeader.FirstFreeRecord >= FHeader.NextRecordNo) {
    corrupt({"header: first free record", FHeader.FirstFreeRecord, 9});
  }
  for (size_t i = 0; i < FFieldDefinitions.size(); ++i) {
    const TFieldDefinition& d = FFieldDefinitions[i];
    if (!IsValidFieldType(d.FieldType) || d.DataSize != DataSize(d.FieldType, d.Size)) corrupt(DefinitionPlace(i + 1));
    if (d.IsAutoInc()) {
      if (d.Offset != kRecordIdOffset) corrupt(DefinitionPlace(i + 1));
    } else if (!d.Computed && int64_t{d.Offset} + static_cast<int64_t>(StoredFieldSize(d)) > FHeader.RecordSize) {
      corrupt(DefinitionPlace(i + 1));
    }
  }
}

void TDataFile::CloseDataFile() {
  FFieldDefinitions.clear();
  FCache.Clear(&FRecordStack);
  FDirtySlots.clear();
  FMru.Clear();
  UnlockAllRecords();
  Close();
}

void TDataFile::PrepareCache() {
  FStatistics = {};
  FRecordsPerRead = std::max(1, kReadAheadBytes / std::max<int>(1, FHeader.RecordSize));
  FCapacity = CacheLimit();
}

size_t TDataFile::CacheLimit() const {
  const int32_t bytes = FOwner ? FOwner->MaxDataBufferSize() : 16384;
  const int32_t records = FOwner ? FOwner->MaxDataBufferCount() : 8192;
  const int32_t bySize = bytes / std::max<int>(1, FHeader.RecordSize);
  return static_cast<size_t>(std::max(1, std::min(bySize, records)));
}

void TDataFile::CreateDataFile(uint16_t localeId, uint16_t sortId, std::vector<TFieldDefinition> definitions,
                               int32_t blobBlockSize, const std::string& description, const std::string& password,
                               bool encrypted, uint16_t userMajor, uint16_t userMinor) {
  if (definitions.size() > static_cast<size_t>(kMaxFieldCount)) RaiseDataFileError(KURA_FLDLIMIT);
  CheckLanguageDriver(localeId, sortId, ErrorNames());
  TDataFileHeader header;
  header.FormatVersion = kDataFileFormatVersion;
  header.LocaleId = localeId;
  header.SortId = sortId;
  header.BlobBlockSize = blobBlockSize;
  header.Description = description.substr(0, kMaxDescriptionLength);
  header.Encrypted = encrypted;
  header.Password = encrypted ? password.substr(0, kMaxPasswordLength) : std::string();
  header.UserMajorVersion = userMajor;
  header.UserMinorVersion = userMinor;
  header.FieldCount = static_cast<uint16_t>(definitions.size());

  int blobCount = 0;
  int64_t offset = kRecordFieldsOffset;
  for (size_t i = 0; i < definitions.size(); ++i) {
    TFieldDefinition& d = definitions[i];
    d.FieldNo = static_cast<uint16_t>(i + 1);
    if (!IsValidFieldType(d.FieldType) || (HasDeclaredSize(d.FieldType) && d.Size > kMaxFieldSize)) {
      TErrorNames names = ErrorNames();
      names.FieldName = d.Name;
      RaiseEngineError(KURA_INVALIDFLDTYPE, names);
    }
    if (d.FieldType == TFieldType::Blob && ++blobCount > kMaxBlobFieldCount) RaiseDataFileError(KURA_BLOBLIMIT);
    if (!HasDeclaredSize(d.FieldType)) d.Size = 0;
    if (d.FieldType != TFieldType::Bcd) d.Scale = 0;
    d.DataSize = static_cast<uint8_t>(DataSize(d.FieldType, d.Size));
    d.DataScale = d.Scale;
    if (d.IsAutoInc()) {
      d.Offset = kRecordIdOffset;
    } else {
      d.Offset = static_cast<uint16_t>(std::min<int64_t>(offset, 0xFFFF));
      offset += static_cast<int64_t>(StoredFieldSize(d));
    }
  }
  if (offset > kMaxRecordSize) RaiseDataFileError(KURA_RECTOOBIG);
  header.BlobFieldCount = static_cast<uint16_t>(blobCount);
  header.RecordSize = static_cast<uint16_t>(offset);

  CloseDataFile();
  FHeader = header;
  FFieldDefinitions = std::move(definitions);
  FHeader.HeaderChanged = true;
  FDefinitionsChanged = true;
  auto close = OnScopeFail([this] { CloseDataFile(); });
  Create();
  WriteHeader(true);
  WriteFieldDefinitions();
  PrepareCache();
}

void TDataFile::ReadHeader() {
  uint8_t bytes[kDataFileHeaderSize];
  const int32_t got = ReadAt(0, bytes, kDataFileHeaderSize, true);
  if (got != kDataFileHeaderSize) RaiseDataFileCorrupt(KURA_HEADERCORRUPT, {"header cut short", -1, got});
  ReadDataFileHeader(bytes, FHeader);
}

bool TDataFile::ReadHeaderIfChanged() {
  uint8_t bytes[kDataFileHeaderSize];
  const int32_t got = ReadAt(0, bytes, kDataFileHeaderSize, true);
  if (got != kDataFileHeaderSize) RaiseDataFileCorrupt(KURA_HEADERCORRUPT, {"header cut short", -1, got});
  if (ReadI32(bytes) == FHeader.ChangeCount) return false;
  ReadDataFileHeader(bytes, FHeader);
  return true;
}

bool TDataFile::WriteHeader(bool force) {
  if (!FHeader.HeaderChanged && !force) return false;
  ++FHeader.ChangeCount;
  FHeader.EngineVersion = kEngineVersion;
  FHeader.LastUpdated = LocalNowForHeader();
  uint8_t bytes[kDataFileHeaderSize];
  WriteDataFileHeader(FHeader, bytes);
  WriteAt(0, bytes, kDataFileHeaderSize);
  if (FOwner) FOwner->MarkTableModified();
  FHeader.HeaderChanged = false;
  return true;
}

void TDataFile::MarkChanged() {
  FHeader.HeaderChanged = true;
  if (FOwner) FOwner->MarkTableChanged();
}

void TDataFile::MarkHeaderChanged() {
  ++FHeader.ChangeCount;
  MarkChanged();
}

bool TDataFile::WriteFieldDefinitions() {
  if (!FDefinitionsChanged) return false;
  const size_t areaSize = size_t{kFieldDefinitionSize} * FFieldDefinitions.size();
  std::vector<uint8_t> area(areaSize);
  for (size_t i = 0; i < FFieldDefinitions.size(); ++i) {
    WriteFieldDefinition(FFieldDefinitions[i], area.data() + i * kFieldDefinitionSize);
  }
  if (FHeader.Encrypted) Scramble(area.data(), areaSize, kRecordKey);
  if (areaSize > 0) WriteAt(kDataFileHeaderSize, area.data(), static_cast<int32_t>(areaSize));
  if (FOwner) FOwner->MarkTableModified();
  if (FOwner && FOwner->ForceBufferFlush()) Flush();
  FDefinitionsChanged = false;
  return true;
}

void TDataFile::EmptyDataFile() {
  DiscardCache();
  {
    TFileAccess access(*this);
    Seek(soFromBeginning, DefinitionsEnd());
    WriteBuffer(nullptr, 0);
  }
  if (FOwner && FOwner->ForceBufferFlush()) Flush();
  FHeader.ChangeCount = 0;
  FHeader.FirstFreeRecord = 0;
  FHeader.NextRecordNo = 1;
  FHeader.LastAutoIncValue = 0;
  MarkChanged();
}

// ---------------------------------------------------------------------------------------
// Record cache

int64_t TDataFile::SlotOffset(int32_t recNo) const {
  return DefinitionsEnd() + static_cast<int64_t>(recNo - 1) * FHeader.RecordSize;
}

void TDataFile::RemoveFromCache(TRecord* r) {
  FMru.Unlink(r);
  FRecordStack.Push(FCache.Remove(r));
}

TRecord* TDataFile::AddRecord(int32_t recNo, int32_t excludeFirst, int32_t excludeLast) {
  const size_t recordSize = FHeader.RecordSize;
  // A pinned record can outlive a discard or a shrinking of the file under its old
  // number; a new slot of that number takes the object over instead of a second copy.
  if (TRecord* record = FCache.Find(recNo)) {
    std::memset(record->Bytes(), 0, record->Size());
    record->SetLink(recNo);
    record->Dirty = false;
    FMru.Touch(record);
    return record;
  }
  if (FCache.Size() >= FCapacity) {
    TRecord* victim = FMru.FindVictim();
    if (!victim && !(FOwner && FOwner->InTransaction())) {
      FlushRecordsExcept(excludeFirst, excludeLast);
      victim = FMru.FindVictim();
    }
    if (victim) {
      // Take the object over: out of the list under its old number, in under the new.
      FMru.Unlink(victim);
      FCache.Renumber(victim, recNo);
      victim->Reset(recordSize, recNo);
      victim->Owner = this;
      FMru.LinkNewest(victim);
      return victim;
    }
    FCapacity += kCacheGrowth;
  }
  std::unique_ptr<TRecord> record = FRecordStack.Pop(recordSize, recNo);
  record->Owner = this;
  TRecord* raw = FCache.Add(std::move(record));
  FMru.LinkNewest(raw);
  return raw;
}

bool TDataFile::HasUnwrittenChanges() const {
  if (FHeader.HeaderChanged || (FOwner && FOwner->InTransaction())) return true;
  for (const auto& record : FCache.Records()) {
    if (record->Dirty) return true;
  }
  return false;
}

void TDataFile::CheckSlotNumber(int32_t recNo) const {
  if (recNo <= 0) RaiseDataFileCorrupt(KURA_FILECORRUPT, SlotPlace(recNo));
  if (recNo >= FHeader.NextRecordNo) {
    RaiseDataFileCorrupt(KURA_FILECORRUPT, {"record slot beyond the header's count", recNo, SlotOffset(recNo)});
  }
}

TRecord* TDataFile::GetRecord(int32_t recNo, const TReadAhead& readAhead) {
  ++FStatistics.RecordsRequested;
  CheckSlotNumber(recNo);
  TRecord* record = FCache.Find(recNo);
  if (!record) {
    if (FDiskReadGate) FDiskReadGate->BeforeDiskRead();
    ReadRun(recNo, readAhead);
    record = FCache.Find(recNo);
    if (!record) RaiseDataFileCorrupt(KURA_FILECORRUPT, SlotPlace(recNo));
    // ReadRun pinned it so that the rest of the run could not evict it.
    FMru.Touch(record);
    return record;
  }
  FMru.Touch(record);
  ++record->PinCount;
  return record;
}

TRecord* TDataFile::AppendSlot() {
  ++FStatistics.RecordsRequested;
  const int32_t recNo = FHeader.NextRecordNo;
  if (recNo > kMaxRecordCount || SlotOffset(recNo) + FHeader.RecordSize > kMaxDataFileEnd) {
    RaiseDataFileError(KURA_TABLEFULL);
  }
  TRecord* record = AddRecord(recNo, 0, -1);
  // A new slot must reach the file even when the caller leaves it as it is, or the
  // file would hold fewer slots than the header counts.
  SetDirty(record);
  ++record->PinCount;
  ++FHeader.NextRecordNo;
  MarkChanged();
  return record;
}

void TDataFile::ReadRun(int32_t recNo, const TReadAhead& readAhead) {
  const int32_t last = FHeader.NextRecordNo - 1;
  const size_t recordSize = FHeader.RecordSize;
  int32_t first = recNo;
  int32_t count = 1;
  if (readAhead.Enabled) {
    int32_t run = FRecordsPerRead;
    if (readAhead.RunLength > 0) run = std::min(run, readAhead.RunLength);
    // More than the cache holds would only evict the front of the run again.
    run = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(run), std::max<size_t>(1, FCapacity)));
    if (readAhead.Backward) {
      first = std::max(1, recNo - run + 1);
      count = recNo - first + 1;
    } else {
      count = std::min(run, last - recNo + 1);
    }
  }
  if (count < 1) RaiseDataFileCorrupt(KURA_FILECORRUPT, SlotPlace(recNo));
  const size_t bytes = static_cast<size_t>(count) * recordSize;
  GrowBuffer(FReadBuffer, bytes);
  const int32_t got = ReadAt(SlotOffset(first), FReadBuffer.data(), static_cast<int32_t>(bytes), true);
  ++FStatistics.Reads;
  if (count > 1) ++FStatistics.RunsRead;
  if (static_cast<size_t>(got) != bytes && !HasUnwrittenChanges()) RaiseDataFileError(KURA_READERR);
  const int32_t slotsRead = static_cast<int32_t>(static_cast<size_t>(std::max(got, 0)) / recordSize);
  const int32_t runLast = first + count - 1;

  auto takeSlot = [&](int32_t slot) -> TRecord* {
    const uint8_t* source = FReadBuffer.data() + static_cast<size_t>(slot - first) * recordSize;
    TRecord* record = FCache.Find(slot);
    if (record) {
      // Changed or in-use records are newer than the file.
      if (record->Dirty || record->PinCount > 0) return record;
    } else {
      record = AddRecord(slot, first, runLast);
    }
    std::memcpy(record->Bytes(), source, recordSize);
    if (FHeader.Encrypted) Scramble(record->Bytes(), recordSize, kRecordKey);
    return record;
  };

  if (recNo - first >= slotsRead) {
    // The wanted slot is not in the file: only a cached copy can serve it.
    TRecord* found = FCache.Find(recNo);
    if (!found) RaiseDataFileCorrupt(KURA_FILECORRUPT, {"record slot missing from the file", recNo, SlotOffset(recNo)});
    ++found->PinCount;
    return;
  }
  TRecord* wanted = takeSlot(recNo);
  ++wanted->PinCount;
  auto unpin = OnScopeFail([wanted] { --wanted->PinCount; });
  for (int32_t slot = first; slot < first + slotsRead; ++slot) {
    if (slot != recNo) takeSlot(slot);
  }
}

void TDataFile::ReleaseRecord(TRecord* record) {
  if (record && record->PinCount > 0) --record->PinCount;
}

void TDataFile::MarkRecordDirty(TRecord* record) { SetDirty(record); }

void TDataFile::SetDirty(TRecord* record) {
  if (!record->Dirty) FDirtySlots.push_back(record->RecNo);
  record->Dirty = true;
}

TRecord* TDataFile::AllocateRecord() {
  const bool appendOnly = FOwner && FOwner->NoPrimaryIndex();
  const int32_t freeSlot = FHeader.FirstFreeRecord;
  if (appendOnly || freeSlot == 0) {
    // A new slot comes back zero-filled, dirty and numbered.
    return AppendSlot();
  }
  if (freeSlot < 0 || freeSlot >= FHeader.NextRecordNo) {
    RaiseDataFileCorrupt(KURA_FILECORRUPT, {"header: first free record", freeSlot, 9});
  }
  TRecordPin pinned(*this, GetRecord(freeSlot));
  FHeader.FirstFreeRecord = CheckedFreeLink(*pinned);
  TRecord* record = pinned.Release();
  std::memset(record->Bytes(), 0, record->Size());
  record->SetLink(freeSlot);
  SetDirty(record);
  MarkChanged();
  return record;
}

int32_t TDataFile::CheckedFreeLink(const TRecord& record) const {
  // A chain entry that is not a deleted slot, or that links out of the file, would hand
  // out a live record or loop forever.
  const int32_t next = record.Link();
  if (!record.IsDeleted() || next < 0 || next >= FHeader.NextRecordNo || next == record.RecNo) {
    RaiseDataFileCorrupt(KURA_FILECORRUPT, {"free chain at record slot", record.RecNo, SlotOffset(record.RecNo)});
  }
  return next;
}

void TDataFile::CheckFreeChain() {
  int32_t slot = FHeader.FirstFreeRecord;
  if (slot < 0 || slot >= FHeader.NextRecordNo) {
    RaiseDataFileCorrupt(KURA_FILECORRUPT, {"header: first free record", slot, 9});
  }
  // A chain longer than the file has slots loops.
  for (int32_t steps = 0; slot != 0; ++steps) {
    if (steps >= RecordCount())
      RaiseDataFileCorrupt(KURA_FILECORRUPT, {"free chain loops at record slot", slot, SlotOffset(slot)});
    TRecordPin record(*this, GetRecord(slot));
    slot = CheckedFreeLink(*record);
  }
}

void TDataFile::FreeRecord(TRecord* record) {
  record->SetState(kRecordDeleted);
  record->SetLink(FHeader.FirstFreeRecord);
  FHeader.FirstFreeRecord = record->RecNo;
  SetDirty(record);
  MarkChanged();
}

int32_t TDataFile::NextCounter(int32_t& counter) {
  counter = counter >= std::numeric_limits<int32_t>::max() ? 1 : counter + 1;
  MarkChanged();
  return counter;
}

int32_t TDataFile::NextAutoIncValue() { return NextCounter(FHeader.LastAutoIncValue); }
int32_t TDataFile::NextBlobId() { return NextCounter(FHeader.LastBlobId); }

void TDataFile::GrowBuffer(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() < size) buffer.resize((size + 4095) / 4096 * 4096);
}

bool TDataFile::FlushRecords() { return FlushRecordsExcept(0, -1); }

bool TDataFile::FlushRecordsExcept(int32_t excludeFirst, int32_t excludeLast) {
  // Only the slots marked since the last flush can be dirty: the cost follows the number
  // of changes, not the size of the cache (a write-through append would otherwise pay
  // for every record the cache holds). A slot may be listed twice, or no longer be cached
  // or dirty (discarded, or written with a run); such entries are dropped here.
  if (FDirtySlots.empty()) return false;
  // Appends list their slots in order; only edits elsewhere need the sort.
  if (!std::is_sorted(FDirtySlots.begin(), FDirtySlots.end())) std::sort(FDirtySlots.begin(), FDirtySlots.end());
  FDirtySlots.erase(std::unique(FDirtySlots.begin(), FDirtySlots.end()), FDirtySlots.end());
  std::vector<TRecord*> dirty;
  size_t kept = 0;
  for (const int32_t recNo : FDirtySlots) {
    TRecord* r = FCache.Find(recNo);
    if (!r || !r->Dirty) continue;
    if (r->PinCount == 0 && !(recNo >= excludeFirst && recNo <= excludeLast)) {
      dirty.push_back(r);
    } else {
      FDirtySlots[kept++] = recNo;  // still dirty after this flush
    }
  }
  FDirtySlots.resize(kept);
  if (dirty.empty()) return false;
  const size_t recordSize = FHeader.RecordSize;
  size_t runStart = 0;
  // Consecutive slots go out in one write, up to kMaxWriteBytes at a time: a long run
  // (a bulk load) needs no buffer the size of the whole run.
  const size_t maxRun = std::max<size_t>(1, kMaxWriteBytes / recordSize);
  while (runStart < dirty.size()) {
    size_t runEnd = runStart + 1;
    while (runEnd < dirty.size() && runEnd - runStart < maxRun && dirty[runEnd]->RecNo == dirty[runEnd - 1]->RecNo + 1)
      ++runEnd;
    const size_t count = runEnd - runStart;
    GrowBuffer(FWriteBuffer, count * recordSize);
    for (size_t i = 0; i < count; ++i) {
      uint8_t* target = FWriteBuffer.data() + i * recordSize;
      std::memcpy(target, dirty[runStart + i]->Bytes(), recordSize);
      if (FHeader.Encrypted) Scramble(target, recordSize, kRecordKey);
    }
    WriteAt(SlotOffset(dirty[runStart]->RecNo), FWriteBuffer.data(), static_cast<int32_t>(count * recordSize));
    for (size_t i = runStart; i < runEnd; ++i) dirty[i]->Dirty = false;
    ++FStatistics.Flushes;
    if (FOwner) FOwner->MarkTableModified();
    runStart = runEnd;
  }
  if (FOwner && FOwner->ForceBufferFlush()) Flush();
  return true;
}

void TDataFile::WriteSlots(int32_t firstRecNo, const uint8_t* data, size_t count) {
  const size_t recordSize = FHeader.RecordSize;
  if (FHeader.Encrypted) {
    GrowBuffer(FWriteBuffer, count * recordSize);
    std::memcpy(FWriteBuffer.data(), data, count * recordSize);
    for (size_t i = 0; i < count; ++i) Scramble(FWriteBuffer.data() + i * recordSize, recordSize, kRecordKey);
    data = FWriteBuffer.data();
  }
  WriteAt(SlotOffset(firstRecNo), data, static_cast<int32_t>(count * recordSize));
  if (FOwner) FOwner->MarkTableModified();
}

void TDataFile::TrimCache() {
  const size_t limit = CacheLimit();
  TRecord* r = FMru.Oldest();
  while (r && FCache.Size() > limit) {
    TRecord* newer = r->Newer;
    if (!r->Dirty && r->PinCount == 0) RemoveFromCache(r);
    r = newer;
  }
  FCapacity = std::max(limit, size_t{1});
}

void TDataFile::DiscardCache() {
  TRecord* r = FMru.Oldest();
  while (r) {
    TRecord* newer = r->Newer;
    if (r->PinCount == 0) RemoveFromCache(r);
    r = newer;
  }
}

// ---------------------------------------------------------------------------------------
// Definitions and header properties

const TFieldDefinition* TDataFile::FieldByPosition(int position) const {
  if (position < 1 || position > static_cast<int>(FFieldDefinitions.size())) return nullptr;
  return &FFieldDefinitions[static_cast<size_t>(position - 1)];
}

const TFieldDefinition* TDataFile::FieldByNumber(uint16_t fieldNo) const {
  for (const auto& d : FFieldDefinitions) {
    if (d.FieldNo == fieldNo) return &d;
  }
  return nullptr;
}

const TFieldDefinition* TDataFile::FieldByName(const std::string& name) const {
  for (const auto& d : FFieldDefinitions) {
    if (SameName(d.Name, name)) return &d;
  }
  return nullptr;
}

void TDataFile::UpdateFieldDefinition(int position, const std::string& name, const std::string& description,
                                      bool required, const std::string& minValue, const std::string& maxValue,
                                      const std::string& defaultValue) {
  if (position < 1 || position > static_cast<int>(FFieldDefinitions.size())) RaiseDataFileError(KURA_OUTOFRANGE);
  TFieldDefinition& d = FFieldDefinitions[static_cast<size_t>(position - 1)];
  d.Name = name.substr(0, kMaxFieldNameLength);
  d.Description = description.substr(0, kMaxFieldDescriptionLength);
  d.Required = required;
  d.MinValue = minValue.substr(0, kMaxCheckTextLength);
  d.MaxValue = maxValue.substr(0, kMaxCheckTextLength);
  d.DefaultValue = defaultValue.substr(0, kMaxCheckTextLength);
  FDefinitionsChanged = true;
  MarkChanged();
}

void TDataFile::SetLastAutoIncValue(int32_t value) {
  FHeader.LastAutoIncValue = value;
  MarkChanged();
}

void TDataFile::SetTableInfo(const std::string& password, const std::string& description, uint16_t userMajor,
                             uint16_t userMinor, int32_t lastAutoIncValue) {
  FHeader.Password = FHeader.Encrypted ? password.substr(0, kMaxPasswordLength) : std::string();
  FHeader.Description = description.substr(0, kMaxDescriptionLength);
  FHeader.UserMajorVersion = userMajor;
  FHeader.UserMinorVersion = userMinor;
  FHeader.LastAutoIncValue = lastAutoIncValue;
  MarkChanged();
}

// ---------------------------------------------------------------------------------------
// Locks

bool TDataFile::LockRecord(int32_t recNo) {
  // Room first: what may fail comes before the byte is taken.
  if (FLockedRecords.RecordCount() < recNo) FLockedRecords.SetRecordCount(recNo);
  if (!LockRange(true, 1, kRecordLockBase - static_cast<int64_t>(recNo))) return false;
  FLockedRecords.Include(recNo);
  return true;
}

bool TDataFile::UnlockRecord(int32_t recNo) {
  if (!LockRange(false, 1, kRecordLockBase - static_cast<int64_t>(recNo))) return false;
  FLockedRecords.Exclude(recNo);
  return true;
}

void TDataFile::UnlockAllRecords() {
  // Byte-range unlocks must name exactly the range that was locked, so one unlock of the
  // whole record-lock area would release nothing: release each byte this object took,
  // the highest record (the lowest byte) first, the order in which the system finds each
  // byte at once (see TDataTable::PerformDeferredUnlocks).
  for (int32_t recNo = FLockedRecords.PriorSet(INT32_MAX); recNo != 0; recNo = FLockedRecords.PriorSet(recNo)) {
    LockRange(false, 1, kRecordLockBase - static_cast<int64_t>(recNo));
  }
  FLockedRecords.ClearAll();
}

bool TDataFile::LockTableWrite() {
  return Retry([this] { return LockRange(true, 1, kTableWriteLockOffset); });
}

bool TDataFile::UnlockTableWrite() { return LockRange(false, 1, kTableWriteLockOffset); }

// ---------------------------------------------------------------------------------------
// Consistency check

void TDataFile::CheckHeader() {
  if (FHeader.FormatVersion != kDataFileFormatVersion) RaiseDataFileError(KURA_OLDVERSION);
  CheckLanguageDriver(FHeader.LocaleId, FHeader.SortId, ErrorNames());
  const auto corrupt = [this](const TDamagePlace& place) { RaiseDataFileCorrupt(KURA_HEADERCORRUPT, place); };
  if (FFieldDefinitions.size() != FHeader.FieldCount) corrupt({"header: field count", FHeader.FieldCount, 23});
  int64_t running = kRecordFieldsOffset;
  int blobCount = 0;
  for (size_t i = 0; i < FFieldDefinitions.size(); ++i) {
    const TFieldDefinition& d = FFieldDefinitions[i];
    const std::string_view name = TrimBlanks(d.Name);
    if (d.Name.empty() || name.empty() || d.Name.size() > kMaxFieldNameLength) corrupt(DefinitionPlace(i + 1));
    if (!IsNameStartChar(static_cast<uint8_t>(d.Name[0]))) corrupt(DefinitionPlace(i + 1));
    for (size_t j = 0; j < i; ++j) {
      if (SameName(FFieldDefinitions[j].Name, name)) corrupt(DefinitionPlace(i + 1));
      if (FFieldDefinitions[j].FieldNo == d.FieldNo) corrupt(DefinitionPlace(i + 1));
    }
    if (!IsValidFieldType(d.FieldType)) corrupt(DefinitionPlace(i + 1));
    if (HasDeclaredSize(d.FieldType) ? d.Size > kMaxFieldSize : d.Size != 0) corrupt(DefinitionPlace(i + 1));
    if (d.DataSize != DataSize(d.FieldType, d.Size)) corrupt(DefinitionPlace(i + 1));
    if (!IsValidValueText(d.MinValue, d.FieldType) || !IsValidValueText(d.MaxValue, d.FieldType) ||
        !IsValidValueText(d.DefaultValue, d.FieldType)) {
      corrupt(DefinitionPlace(i + 1));
    }
    if (d.FieldType != TFieldType::Bcd && d.Scale != 0) corrupt(DefinitionPlace(i + 1));
    if (d.FieldType == TFieldType::Blob) ++blobCount;
    if (d.IsAutoInc()) {
      if (d.Offset != kRecordIdOffset) corrupt(DefinitionPlace(i + 1));
    } else {
      if (d.Offset != running) corrupt(DefinitionPlace(i + 1));
      running += static_cast<int64_t>(StoredFieldSize(d));
    }
    if (d.FieldNo != i + 1) corrupt(DefinitionPlace(i + 1));
  }
  if (blobCount != FHeader.BlobFieldCount) corrupt({"header: BLOB field count", FHeader.BlobFieldCount, 25});
  if (running != FHeader.RecordSize || FHeader.RecordSize == 0)
    corrupt({"header: record size", FHeader.RecordSize, 21});
  // The slots the header counts must all be in the file; what lies beyond them is surplus.
  const int64_t fileSize = GetFileSize();
  const int64_t slots = int64_t{FHeader.NextRecordNo} - 1;
  if (slots < 0 || fileSize < DefinitionsEnd() + slots * FHeader.RecordSize) {
    corrupt({"header: next record number", FHeader.NextRecordNo, 13});
  }
  if (FHeader.FirstFreeRecord < 0 || FHeader.FirstFreeRecord > slots) {
    corrupt({"header: first free record", FHeader.FirstFreeRecord, 9});
  }
}

// ---------------------------------------------------------------------------------------
// What a flush will write

bool TDataFile::PendingWrites() const { return FHeader.HeaderChanged || FDefinitionsChanged || !FDirtySlots.empty(); }

void TDataFile::FlushRanges(int64_t below, std::vector<TByteRange>& ranges) const {
  ranges.push_back({0, kDataFileHeaderSize});
  if (FDefinitionsChanged) ranges.push_back({kDataFileHeaderSize, DefinitionsEnd() - kDataFileHeaderSize});
  for (const int32_t recNo : FDirtySlots) {
    const int64_t offset = SlotOffset(recNo);
    if (offset < below) ranges.push_back({offset, FHeader.RecordSize});
  }
}

}  // namespace kura
