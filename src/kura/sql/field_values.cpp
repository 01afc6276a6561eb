#include "kura/sql/field_values.h"

#include <algorithm>
#include <cstring>

#include "kura/base/engine_error.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/data_cursor.h"
#include "kura/storage/record.h"

namespace kura {

void RaiseBlobError(int code, const TDataCursor& cursor) {
  TErrorNames names;
  names.TableName = cursor.TableName();
  RaiseEngineError(static_cast<TErrorCode>(code), names);
}

void PutBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* record, const uint8_t* bytes, int32_t length) {
  length = std::max(length, 0);
  const TFieldDefinition& field = cursor.FieldDefinitions()[static_cast<size_t>(fieldNo - 1)];
  if (length == 0 && FieldIsNull(record, field)) return;
  int32_t size = 0;
  int code = cursor.OpenBlob(fieldNo, record, TBlobOpenMode::ReadWrite, size);
  if (code == KURA_NONE && size > 0) code = cursor.TruncateBlob(fieldNo, record, 0);
  if (code == KURA_NONE && length > 0) code = cursor.PutBlob(fieldNo, record, 0, length, bytes);
  if (code != KURA_NONE) RaiseBlobError(code, cursor);
}

void CopyBlob(TDataCursor& from, int fromFieldNo, uint8_t* fromRecord, TDataCursor& to, int toFieldNo,
              uint8_t* toRecord, std::vector<uint8_t>& buffer) {
  if (FieldIsNull(fromRecord, from.FieldDefinitions()[static_cast<size_t>(fromFieldNo - 1)])) return;
  int32_t size = 0;
  int code = from.OpenBlob(fromFieldNo, fromRecord, TBlobOpenMode::Read, size);
  if (code != KURA_NONE) RaiseBlobError(code, from);
  buffer.resize(static_cast<size_t>(std::max(size, 1)));
  int32_t count = 0;
  code = from.GetBlob(fromFieldNo, fromRecord, 0, size, buffer.data(), count);
  const int freed = from.FreeBlob(fromFieldNo, fromRecord);
  if (code != KURA_NONE) RaiseBlobError(code, from);
  if (freed != KURA_NONE) RaiseBlobError(freed, from);
  PutBlobValue(to, toFieldNo, toRecord, buffer.data(), count);
}

int32_t BlobLengthOf(const TExpToken& value) {
  int32_t length = std::max(value.DataLength, 0);
  const bool text = value.DataType == TFieldType::String ||
                    (value.DataType == TFieldType::Blob && value.SubType == TFieldSubType::Memo);
  if (text && length > 0 && value.Data[static_cast<size_t>(length - 1)] == 0) --length;
  return length;
}

bool PutConvertedValue(TDataCursor& cursor, const TFieldDefinition& field, uint8_t* record, TFieldType type,
                       TFieldSubType subType, uint8_t scale, const uint8_t* bytes, size_t length) {
  uint8_t buffer[kValueBufferSize + 1] = {};
  const bool memoText = type == TFieldType::Blob && subType == TFieldSubType::Memo;
  if (memoText) type = TFieldType::String;
  length = std::min<size_t>(length, kValueBufferSize);
  std::memcpy(buffer, bytes, length);
  const bool same = type == field.FieldType && (type != TFieldType::Bcd || scale == field.DataScale);
  if (!same &&
      !ConvertValue(type, static_cast<int>(length), scale, buffer, field.DataScale, field.DataSize, field.FieldType)) {
    return false;
  }
  cursor.SetField(field.FieldNo, record, buffer);
  return true;
}

}  // namespace kura
