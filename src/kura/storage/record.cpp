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

void SetFieldNull(uint8_t* record, const TFieldDefinition& field) {
  if (field.IsAutoInc()) return;
  SetFieldHasValue(record, field, false);
  std::memset(FieldValue(record, field), 0, field.DataSize);
}

void SetFieldValue(uint8_t* record, const TFieldDefinition& field, const uint8_t* value) {
  if (field.IsAutoInc()) {
    std::memmove(FieldValue(record, field), value, 4);
    return;
  }
  std::memmove(FieldValue(record, field), value, field.DataSize);
  SetFieldHasValue(record, field, true);
}

bool TRecord::IsNull(const TFieldDefinition& field) const { return FieldIsNull(Data.data(), field); }
const uint8_t* TRecord::FieldData(const TFieldDefinition& field) const { return FieldValue(Data.data(), field); }
uint8_t* TRecord::FieldData(const TFieldDefinition& field) { return FieldValue(Data.data(), field); }
void TRecord::SetNull(const TFieldDefinition& field) { SetFieldNull(Data.data(), field); }
void TRecord::SetFieldData(const TFieldDefinition& field, const uint8_t* data) {
  SetFieldValue(Data.data(), field, data);
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
  SetFieldHasValue(Data.data(), field, true);
  std::memcpy(FieldData(field), text.data(), text.size());
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

