#include "kura/engine/column_reader.h"

#include <cstring>

#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/expr/exp_token.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/blob_reference.h"
#include "kura/storage/record.h"

namespace kura {

namespace {

void StoreText(const char* chars, size_t capacity, TExpToken& node) {
  const size_t length = strnlen(chars, capacity);
  node.ReserveData(static_cast<int32_t>(length + 1));
  std::memcpy(node.Data.data(), chars, length);
  node.Data[length] = 0;
  node.DataLength = static_cast<int32_t>(length + 1);
  node.IsNull = length == 0 ? 1 : 0;
}

}  // namespace

void TColumnReader::Read(const TFieldDefinition& field, const uint8_t* record, TExpToken& node) {
  if (field.IsAutoInc()) {
    node.IsNull = 0;
    node.SetData(FieldValue(record, field), 4);
    return;
  }
  if (field.Computed || FieldIsNull(record, field)) {
    node.IsNull = 1;
    node.DataLength = 0;
    return;
  }
  node.IsNull = 0;
  const uint8_t* value = FieldValue(record, field);
  switch (field.FieldType) {
    case TFieldType::String: StoreText(reinterpret_cast<const char*>(value), field.DataSize, node); return;
    case TFieldType::Blob:
      if (field.SubType == TFieldSubType::Memo) {
        ReadMemo(field, value, node);
        return;
      }
      node.SetData(value, field.DataSize);
      return;
    default: node.SetData(value, field.DataSize); return;
  }
}

void TColumnReader::ReadMemo(const TFieldDefinition& field, const uint8_t* reference, TExpToken& node) {
  const TBlobReference stored = ReadBlobReference(reference);
  TBlobFile* file = TCursorInternals::Table(FCursor).BlobFile();
  if (!stored.IsStored() || file == nullptr) {
    node.IsNull = 1;
    node.DataLength = 0;
    return;
  }
  FBlob.FieldNo = field.FieldNo;
  FBlob.FirstBlock = stored.FirstBlock;
  FBlob.BlobId = stored.BlobId;
  file->ReadBlob(FBlob);
  StoreText(reinterpret_cast<const char*>(FBlob.Data.data()), FBlob.Data.size(), node);
}

}  // namespace kura
