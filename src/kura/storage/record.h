#pragma once

// A record slot of a data file, which is also the engine's record buffer. All integers
// little-endian.
//
// | offset | size     | meaning                                                            |
// |--------|----------|--------------------------------------------------------------------|
// |      0 |        1 | state: 0 active, 1 deleted                                         |
// |      1 |        4 | int32: the slot's own number while active; while deleted the next  |
// |        |          | free slot of the chain (0 = end of chain)                          |
// |      5 |        4 | int32 unique record id; the auto-increment field (Integer,         |
// |        |          | subtype AutoInc, Offset 5) is exactly this value, no null flag     |
// |      9 |        … | each stored field in field-number order: a null-flag byte          |
// |        |          | (1 = value, 0 = NULL) followed by DataSize bytes                   |
//
// Computed fields and the auto-increment field take no bytes after offset 9. A NULL field
// has all its data bytes zero.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kura/storage/field_definition.h"
#include "kura/storage/number_map.h"

namespace kura {

class TDataFile;

constexpr int kRecordStateOffset = 0;
constexpr int kRecordLinkOffset = 1;
constexpr int kRecordIdOffset = 5;
constexpr int kRecordFieldsOffset = 9;
constexpr uint8_t kRecordActive = 0;
constexpr uint8_t kRecordDeleted = 1;

// The field codec: where a field's null flag and value bytes lie in a record image (a
// TRecord's Data, or any buffer of the table's RecordSize bytes such as a cursor's
// record buffers). Every reader and writer of field values goes through these.
// - The auto-increment field is the unique id at offset 5: 4 value bytes, never NULL.
// - A computed field has no bytes in the image and must not be passed (callers treat it
//   as NULL, or skip it with IsStored).
// - Every other field: the null-flag byte at Offset, then DataSize value bytes.

// The bytes a field takes after offset 9: the null flag and the value of a stored field,
// nothing for the auto-increment field and computed fields.
inline size_t StoredFieldSize(const TFieldDefinition& field) {
  return field.IsStored() ? 1 + static_cast<size_t>(field.DataSize) : 0;
}
// The null flag says NULL; never for the auto-increment field.
inline bool FieldIsNull(const uint8_t* record, const TFieldDefinition& field) {
  return !field.IsAutoInc() && record[field.Offset] == 0;
}
// The first value byte (a NULL field's value bytes are all zero).
inline const uint8_t* FieldValue(const uint8_t* record, const TFieldDefinition& field) {
  return record + (field.IsAutoInc() ? kRecordIdOffset : field.Offset + 1);
}
inline uint8_t* FieldValue(uint8_t* record, const TFieldDefinition& field) {
  return record + (field.IsAutoInc() ? kRecordIdOffset : field.Offset + 1);
}
// Sets (true) or clears the null flag of a stored field alone; the value bytes stay.
inline void SetFieldHasValue(uint8_t* record, const TFieldDefinition& field, bool hasValue) {
  record[field.Offset] = hasValue ? 1 : 0;
}
// Clears the null flag and zero-fills the value. The auto-increment field is left alone.
void SetFieldNull(uint8_t* record, const TFieldDefinition& field);
// Copies the value's bytes (DataSize; 4 for the auto-increment field) and sets the null
// flag. `value` may lie in the same record.
void SetFieldValue(uint8_t* record, const TFieldDefinition& field, const uint8_t* value);

// One cached record of a data file (or a free-standing record buffer). The cache links
// records into its most-recently-used chain through Older/Newer; a record with a
// non-zero PinCount is in use by a caller and is never evicted or refreshed.
class TRecord {
public:
  TDataFile* Owner = nullptr;
  bool Dirty = false;
  int PinCount = 0;
  int32_t RecNo = 0;
  std::vector<uint8_t> Data;
  TRecord* Older = nullptr;
  TRecord* Newer = nullptr;
  std::vector<uint8_t> SortKey;
  // Position in the owning TRecordCache's list while cached.
  size_t CacheIndex = 0;

  // Zero-fills the slot to `recordSize` bytes and gives it the number `recNo` (also
  // written as the slot's own number). Keeps the allocated buffers.
  void Reset(size_t recordSize, int32_t recNo);

  uint8_t* Bytes() { return Data.data(); }
  const uint8_t* Bytes() const { return Data.data(); }
  size_t Size() const { return Data.size(); }

  uint8_t State() const { return Data[kRecordStateOffset]; }
  void SetState(uint8_t state) { Data[kRecordStateOffset] = state; }
  bool IsDeleted() const { return State() == kRecordDeleted; }
  // The slot's own number while active, the next free slot while deleted.
  int32_t Link() const;
  void SetLink(int32_t link);
  int32_t UniqueId() const;
  void SetUniqueId(int32_t id);

  // Field access by definition, through the field codec above. The auto-increment field
  // reads the unique id and is never NULL; computed fields have no bytes here and must
  // not be passed.
  bool IsNull(const TFieldDefinition& field) const;
  const uint8_t* FieldData(const TFieldDefinition& field) const;
  uint8_t* FieldData(const TFieldDefinition& field);
  // Clears the null flag and zero-fills the value.
  void SetNull(const TFieldDefinition& field);
  // Copies DataSize bytes and sets the null flag.
  void SetFieldData(const TFieldDefinition& field, const uint8_t* data);

  // String fields: the stored characters, or nullopt for NULL.
  std::optional<std::string> GetString(const TFieldDefinition& field) const;
  // Stores at most Size characters with trailing blanks removed; what is empty then is
  // stored as NULL. The caller applies the field's CharCase with the table's language
  // before storing.
  void SetString(const TFieldDefinition& field, std::string_view text);
};

// Pool of free record objects so that the cache does not allocate per record. Keeps at
// most kCapacity objects; their buffers are reused.
class TRecordStack {
public:
  static constexpr size_t kCapacity = 64;

  // A free record (pooled when one is available) reset to `recordSize` zero bytes.
  std::unique_ptr<TRecord> Pop(size_t recordSize, int32_t recNo);
  // Returns a record to the pool, or frees it when the pool is full.
  void Push(std::unique_ptr<TRecord> record);
  size_t Count() const { return FFree.size(); }

private:
  std::vector<std::unique_ptr<TRecord>> FFree;
};

// The records a data file holds in memory, by slot number: owned in one list (removal
// swaps the last one into the gap) and found through an open-addressing map, so that
// caching a record costs no allocation beyond the record itself.
class TRecordCache {
public:
  TRecord* Find(int32_t recNo) const { return FByNumber.Find(recNo); }
  bool Contains(int32_t recNo) const { return FByNumber.Find(recNo) != nullptr; }
  size_t Size() const { return FRecords.size(); }
  // Every cached record, in no particular order.
  const std::vector<std::unique_ptr<TRecord>>& Records() const { return FRecords; }

  // Takes a record whose RecNo is not cached yet.
  TRecord* Add(std::unique_ptr<TRecord> record);
  // Gives a cached record back to the caller.
  std::unique_ptr<TRecord> Remove(TRecord* record);
  // Files a cached record under another slot number (the caller resets its contents).
  void Renumber(TRecord* record, int32_t recNo);
  // Empties the cache, handing every record to `keep` (a record stack) or freeing it.
  void Clear(TRecordStack* keep);

private:
  std::vector<std::unique_ptr<TRecord>> FRecords;
  TNumberMap<TRecord> FByNumber;
};

}  // namespace kura
