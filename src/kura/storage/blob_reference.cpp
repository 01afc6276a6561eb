#include "kura/storage/blob_reference.h"

#include "kura/base/byte_order.h"
#include "kura/storage/record.h"

namespace kura {

TBlobReference ReadBlobReference(const uint8_t* value) {
  return TBlobReference{ReadI32(value + kBlobReferenceFirstBlockOffset), ReadI32(value + kBlobReferenceIdOffset)};
}

void WriteBlobReference(uint8_t* value, const TBlobReference& reference) {
  WriteI32(value + kBlobReferenceFirstBlockOffset, reference.FirstBlock);
  WriteI32(value + kBlobReferenceIdOffset, reference.BlobId);
}

TBlobReference BlobReferenceOf(const uint8_t* record, const TFieldDefinition& field) {
  return ReadBlobReference(FieldValue(record, field));
}

void PutBlobReference(uint8_t* record, const TFieldDefinition& field, const TBlobReference& reference) {
  WriteBlobReference(FieldValue(record, field), reference);
  SetFieldHasValue(record, field, reference.IsStored());
}

void PutBlobHandle(uint8_t* record, const TFieldDefinition& field, int32_t handle, bool hasValue) {
  WriteI32(FieldValue(record, field) + kBlobReferenceFirstBlockOffset, handle);
  SetFieldHasValue(record, field, hasValue);
}

}  // namespace kura
