#pragma once

// Builders of the definitions tests hand to the engine: a field by name, type and size,
// an index by name and field numbers. Everything not named keeps its default.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kura/storage/field_definition.h"
#include "kura/storage/index_file.h"

namespace testing_support {

inline kura::TFieldDefinition Field(const std::string& name, kura::TFieldType type, uint8_t size = 0,
                                    kura::TFieldSubType subType = kura::TFieldSubType::None) {
  kura::TFieldDefinition d;
  d.Name = name;
  d.FieldType = type;
  d.Size = size;
  d.SubType = subType;
  return d;
}

// `fields` are 1-based field numbers, in key order.
inline kura::TIndexDefinition Index(const std::string& name, std::vector<uint16_t> fields, bool unique = false,
                                    bool descending = false) {
  kura::TIndexDefinition d;
  d.Name = name;
  d.Fields = std::move(fields);
  d.Unique = unique;
  d.Descending = descending;
  return d;
}

}  // namespace testing_support
