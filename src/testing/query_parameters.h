#pragma once

// Parameter values as TQueryStatement::Execute takes them, built value by value: per
// value a field definition (type, size and the value's offset) and, at that offset, a
// null-flag byte (1: has a value) followed by the value in the record encoding.

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/storage/field_definition.h"

namespace testing_support {

class TQueryParameters {
public:
  TQueryParameters& Integer(int32_t value) {
    kura::WriteI32(Add(kura::TFieldType::Integer, 4), value);
    return *this;
  }
  TQueryParameters& Float(double value) {
    kura::WriteF64(Add(kura::TFieldType::Float, 8), value);
    return *this;
  }
  // A string value of `size` bytes, its terminating zero counted (0: the text's length
  // and the zero); a longer text is cut.
  TQueryParameters& Text(std::string_view text, uint16_t size = 0) {
    if (size == 0) size = static_cast<uint16_t>(text.size() + 1);
    uint8_t* at = Add(kura::TFieldType::String, size);
    std::copy_n(text.begin(), std::min<size_t>(text.size(), size - 1u), at);
    return *this;
  }

  // The bytes of value i after its null flag, to change it between executions.
  uint8_t* Value(size_t i) { return FValues.data() + FDefinitions[i].Offset + 1; }
  const std::vector<kura::TFieldDefinition>& Definitions() const { return FDefinitions; }
  const uint8_t* Values() const { return FValues.data(); }

private:
  uint8_t* Add(kura::TFieldType type, uint16_t size) {
    kura::TFieldDefinition definition;
    definition.FieldNo = static_cast<uint16_t>(FDefinitions.size() + 1);
    definition.FieldType = type;
    definition.Size = definition.DataSize = size;
    definition.Offset = static_cast<uint16_t>(FValues.size());
    FDefinitions.push_back(definition);
    FValues.push_back(1);
    FValues.resize(FValues.size() + size, 0);
    return FValues.data() + definition.Offset + 1;
  }

  std::vector<kura::TFieldDefinition> FDefinitions;
  std::vector<uint8_t> FValues;
};

}  // namespace testing_support
