#pragma once

// The definition of one field of a table, as the data file stores it after its header
// (one 768-byte block per field, in field-number order) and as every layer above reads
// it. All integers little-endian; a short string[n] is a length byte followed by n
// character bytes (Windows ANSI code page), unused bytes zero.
//
// | offset | size | field          | meaning                                                     |
// |--------|------|----------------|-------------------------------------------------------------|
// |      0 |    2 | FieldNo        | uint16, equal to the block's 1-based position               |
// |      2 |   31 | Name           | short string[30]                                            |
// |     33 |   51 | Description    | short string[50]                                            |
// |     84 |    1 | FieldType      | type code (field_types.h)                                   |
// |     85 |    1 | SubType        | subtype code                                                |
// |     86 |    1 | Size           | declared size (String, Bytes, VarBytes), else 0             |
// |     87 |    1 | Scale          | decimal places (BCD only), else 0                           |
// |     88 |    1 | DataSize       | bytes of the value in the record                            |
// |     89 |    1 | DataScale      | copy of Scale                                               |
// |     90 |    2 | Offset         | uint16 offset of the null-flag byte in the record           |
// |     92 |    1 | Required       | a value must be given                                       |
// |     93 |    1 | CharCase       | strings: 0 keep, 1 lower case, 2 upper case                 |
// |     94 |   51 | MinValue       | short string[50], text of the minimum (empty = none)        |
// |    145 |   51 | MaxValue       | short string[50], text of the maximum                       |
// |    196 |   51 | DefaultValue   | short string[50], text of the default                       |
// |    247 |    1 | Computed       | 1: computed column of a result table, no bytes in records   |
// |    248 |  520 | reserved       | zero on disk                                                |

#include <cstdint>
#include <memory>
#include <string>

#include "kura/base/field_types.h"

namespace kura {

constexpr int kFieldDefinitionSize = 768;
constexpr int kMaxFieldNameLength = 30;
constexpr int kMaxFieldDescriptionLength = 50;
constexpr int kMaxCheckTextLength = 50;

enum class TCharCase : uint8_t { Keep = 0, Lower = 1, Upper = 2 };

struct TFieldDefinition {
  uint16_t FieldNo = 0;
  std::string Name;
  std::string Description;
  TFieldType FieldType = TFieldType::Unknown;
  TFieldSubType SubType = TFieldSubType::None;
  uint8_t Size = 0;
  uint8_t Scale = 0;
  uint8_t DataSize = 0;
  uint8_t DataScale = 0;
  uint16_t Offset = 0;
  bool Required = false;
  TCharCase CharCase = TCharCase::Keep;
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
  bool Computed = false;
  // The parsed expression of a computed column, owned by the expression layer and
  // opaque here; never written to the file.
  std::shared_ptr<void> Expression;

  bool IsAutoInc() const { return IsAutoIncField(FieldType, SubType); }
  // True when the field occupies a null-flag byte and DataSize bytes after offset 9.
  bool IsStored() const { return !Computed && !IsAutoInc(); }
};

// Reads a 768-byte block. Texts longer than their capacity are cut at the capacity,
// so a damaged length byte never reads outside the block.
void ReadFieldDefinition(const uint8_t* block, TFieldDefinition& definition);
// Writes a 768-byte block; reserved bytes are zero, texts are cut to their capacity.
void WriteFieldDefinition(const TFieldDefinition& definition, uint8_t* block);

// Short strings: a length byte and `capacity` character bytes, unused bytes zero.
std::string ReadShortString(const uint8_t* p, int capacity);
void WriteShortString(uint8_t* p, int capacity, const std::string& text);

}  // namespace kura
