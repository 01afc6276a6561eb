#include "testing/record_image.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"

namespace testing_support {

using namespace kura;

TRecordImage::TRecordImage(const TDataFile& data) : FData(data), Bytes(static_cast<size_t>(data.RecordSize()), 0) {}

void TRecordImage::SetInt(int fieldNo, int32_t value) {
  const TFieldDefinition& f = Def(fieldNo);
  Bytes[f.Offset] = 1;
  WriteI32(Bytes.data() + f.Offset + 1, value);
}

void TRecordImage::SetText(int fieldNo, const std::string& value) {
  const TFieldDefinition& f = Def(fieldNo);
  Bytes[f.Offset] = 1;
  std::memset(Bytes.data() + f.Offset + 1, 0, f.DataSize);
  std::memcpy(Bytes.data() + f.Offset + 1, value.data(), std::min<size_t>(value.size(), f.DataSize - 1U));
}

int32_t TRecordImage::Int(const TDataFile& data, const uint8_t* record, int fieldNo) {
  return ReadI32(record + data.FieldByPosition(fieldNo)->Offset + 1);
}

std::string TRecordImage::Text(const TDataFile& data, const uint8_t* record, int fieldNo) {
  const TFieldDefinition& f = *data.FieldByPosition(fieldNo);
  const char* p = reinterpret_cast<const char*>(record + f.Offset + 1);
  return std::string(p, strnlen(p, f.DataSize));
}

}  // namespace testing_support
