#include "kura/storage/field_definition.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"

namespace kura {

std::string ReadShortString(const uint8_t* p, int capacity) {
  const int length = std::min<int>(p[0], capacity);
  return std::string(reinterpret_cast<const char*>(p + 1), static_cast<size_t>(length));
}

void WriteShortString(uint8_t* p, int capacity, const std::string& text) {
  const size_t length = std::min(text.size(), static_cast<size_t>(capacity));
  std::memset(p, 0, static_cast<size_t>(capacity) + 1);
  p[0] = static_cast<uint8_t>(length);
  std::memcpy(p + 1, text.data(), length);
}

void ReadFieldDefinition(const uint8_t* block, TFieldDefinition& d) {
  d.FieldNo = ReadU16(block + 0);
  d.Name = ReadShortString(block + 2, kMaxFieldNameLength);
  d.Description = ReadShortString(block + 33, kMaxFieldDescriptionLength);
  d.FieldType = static_cast<TFieldType>(block[84]);
  d.SubType = static_cast<TFieldSubType>(block[85]);
  d.Size = block[86];
  d.Scale = block[87];
  d.DataSize = block[88];
  d.DataScale = block[89];
  d.Offset = ReadU16(block + 90);
  d.Required = block[92] != 0;
  d.CharCase = static_cast<TCharCase>(block[93]);
  d.MinValue = ReadShortString(block + 94, kMaxCheckTextLength);
  d.MaxValue = ReadShortString(block + 145, kMaxCheckTextLength);
  d.DefaultValue = ReadShortString(block + 196, kMaxCheckTextLength);
  d.Computed = block[247] != 0;
  d.Expression.reset();
}

void WriteFieldDefinition(const TFieldDefinition& d, uint8_t* block) {
  std::memset(block, 0, kFieldDefinitionSize);
  WriteU16(block + 0, d.FieldNo);
  WriteShortString(block + 2, kMaxFieldNameLength, d.Name);
  WriteShortString(block + 33, kMaxFieldDescriptionLength, d.Description);
  block[84] = static_cast<uint8_t>(d.FieldType);
  block[85] = static_cast<uint8_t>(d.SubType);
  block[86] = d.Size;
  block[87] = d.Scale;
  block[88] = d.DataSize;
  block[89] = d.DataScale;
  WriteU16(block + 90, d.Offset);
  block[92] = d.Required ? 1 : 0;
  block[93] = static_cast<uint8_t>(d.CharCase);
  WriteShortString(block + 94, kMaxCheckTextLength, d.MinValue);
  WriteShortString(block + 145, kMaxCheckTextLength, d.MaxValue);
  WriteShortString(block + 196, kMaxCheckTextLength, d.DefaultValue);
  block[247] = d.Computed ? 1 : 0;
}

}  // namespace kura
