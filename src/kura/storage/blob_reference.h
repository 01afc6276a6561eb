#pragma once

// The value of a BLOB field in a record image: 8 bytes that name the field's chain in
// the table's BLOB file. All integers little-endian.
//
// | offset | size | meaning                                                                |
// |--------|------|------------------------------------------------------------------------|
// |      0 |    4 | int32 first block of the value's chain (> 0); 0 when there is no value; |
// |        |      | negative only in a cursor's record buffer while the field is open      |
// |        |      | there: the handle of its buffer (never written to the file)            |
// |      4 |    4 | int32 BLOB id of the chain (0 when there is no value)                  |
//
// The field's null flag is set exactly when the field holds a value: a chain, or an open
// buffer that is not empty. A NULL field has all eight bytes zero.

#include <cstdint>

#include "kura/storage/field_definition.h"

namespace kura {

constexpr int kBlobReferenceSize = 8;
constexpr int kBlobReferenceFirstBlockOffset = 0;
constexpr int kBlobReferenceIdOffset = 4;

struct TBlobReference {
  int32_t FirstBlock = 0;
  int32_t BlobId = 0;

  // The reference names a stored chain (not NULL, not an open buffer's handle).
  bool IsStored() const { return FirstBlock > 0; }
  // The first block is an open buffer's handle.
  bool IsHandle() const { return FirstBlock < 0; }
};

// The 8 value bytes of a BLOB field (FieldValue of the record image).
TBlobReference ReadBlobReference(const uint8_t* value);
void WriteBlobReference(uint8_t* value, const TBlobReference& reference);

// The reference a BLOB field of a record image holds (its null flag is not consulted:
// a NULL field reads as the zero reference).
TBlobReference BlobReferenceOf(const uint8_t* record, const TFieldDefinition& field);
// Stores a chain's reference in a BLOB field of a record image, the null flag set when
// it names a chain.
void PutBlobReference(uint8_t* record, const TFieldDefinition& field, const TBlobReference& reference);
// Puts an open buffer's handle in place of the first block (the BLOB id bytes stay, so
// that the stored reference can be put back); the null flag says whether the open value
// is non-empty.
void PutBlobHandle(uint8_t* record, const TFieldDefinition& field, int32_t handle, bool hasValue);

}  // namespace kura
