#include "kura/storage/record.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"

namespace kura {

void TRecord::Reset(size_t recordSize, int32_t recNo) {
  Data.assign(recordSize, 0);
  RecNo = recNo;
  if (recordSize >= kRecordFieldsOffset) SetLink(recNo);
  Dirty = false;
  PinCount = 0;
  Older = nullptr;
  Newer = nullptr;
}

int32_t TRecord::Link() const { return ReadI32(Data.data() + kRecordLinkOffset); }
void TRecord::SetLink(int32_t link) { WriteI32(Data.data() + kRecordLinkOffset, link); }
int32_t TRecord::UniqueId() const { return ReadI32(Data.data() + kRecordIdOffset); }
void TRecord::SetUniqueId(int32_t id) { WriteI32(Data.data() + kRecordIdOffset, id); }

bool TRecord::IsNull(const TFieldDefinition& field) const {
  if (field.IsAutoInc()) return false;
  return Data[field.Offset] == 0;
}

const uint8_t* TRecord::FieldData(const TFieldDefinition& field) const {
  return Data.data() + (field.IsAutoInc() ? kRecordIdOffset : field.Offset + 1);
}

uint8_t* TRecord::FieldData(const TFieldDefinition& field) {
  return Data.data() + (field.IsAutoInc() ? kRecordIdOffset : field.Offset + 1);
}

void TRecord::SetNull(const TFieldDefinition& field) {
  if (field.IsAutoInc()) return;
  Data[field.Offset] = 0;
  std::memset(Data.data() + field.Offset + 1, 0, field.DataSize);
}

void TRecord::SetFieldData(const TFieldDefinition& field, const uint8_t* data) {
  if (field.IsAutoInc()) {
    std::memcpy(Data.data() + kRecordIdOffset, data, 4);
    return;
  }
  Data[field.Offset] = 1;
  std::memcpy(Data.data() + field.Offset + 1, data, field.DataSize);
}

std::optional<std::string> TRecord::GetString(const TFieldDefinition& field) const {
  if (IsNull(field)) return std::nullopt;
  const char* p = reinterpret_cast<const char*>(FieldData(field));
  const size_t length = strnlen(p, field.DataSize);
  return std::string(p, length);
}

void TRecord::SetString(const TFieldDefinition& field, std::string_view text) {
  // Only Size characters fit before the terminator; an embedded zero ends the text.
  text = text.substr(0, std::min<size_t>(text.size(), field.Size));
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  SetNull(field);
  if (text.empty()) return;
  Data[field.Offset] = 1;
  std::memcpy(Data.data() + field.Offset + 1, text.data(), text.size());
}

std::unique_ptr<TRecord> TRecordStack::Pop(size_t recordSize, int32_t recNo) {
  std::unique_ptr<TRecord> record;
  if (!FFree.empty()) {
    record = std::move(FFree.back());
    FFree.pop_back();
  } else {
    record = std::make_unique<TRecord>();
  }
  record->Reset(recordSize, recNo);
  record->Owner = nullptr;
  record->SortKey.clear();
  return record;
}

void TRecordStack::Push(std::unique_ptr<TRecord> record) {
  if (record && FFree.size() < kCapacity) FFree.push_back(std::move(record));
}

TRecord* TRecordCache::Add(std::unique_ptr<TRecord> record) {
  TRecord* raw = record.get();
  raw->CacheIndex = FRecords.size();
  FRecords.push_back(std::move(record));
  FByNumber.Insert(raw->RecNo, raw);
  return raw;
}

std::unique_ptr<TRecord> TRecordCache::Remove(TRecord* record) {
  FByNumber.Erase(record->RecNo);
  const size_t at = record->CacheIndex;
  std::unique_ptr<TRecord> taken = std::move(FRecords[at]);
  if (at + 1 != FRecords.size()) {
    FRecords[at] = std::move(FRecords.back());
    FRecords[at]->CacheIndex = at;
  }
  FRecords.pop_back();
  return taken;
}

void TRecordCache::Renumber(TRecord* record, int32_t recNo) {
  FByNumber.Erase(record->RecNo);
  record->RecNo = recNo;
  FByNumber.Insert(recNo, record);
}

void TRecordCache::Clear(TRecordStack* keep) {
  if (keep)
    for (auto& record : FRecords) keep->Push(std::move(record));
  FRecords.clear();
  FByNumber.Clear();
}

}  // namespace kura

