#pragma once

// The engine's field type codes and subtypes, as stored in the FieldType and SubType
// bytes of a field definition, and the number of record bytes each type's value takes.
//
// Value encodings in a record (all little-endian):
//
// | code | type             | DataSize | encoding                                               |
// |------|------------------|----------|--------------------------------------------------------|
// |  1   | String           | Size + 1 | zero-terminated characters (Windows ANSI code page)    |
// |  2   | Date             | 4        | int32 day number, 1 = 0001-01-01                       |
// |  3   | Blob             | 8        | int32 first block number (0 = empty), int32 BLOB id    |
// |  4   | Boolean          | 2        | uint16, 1 true, 0 false                                |
// |  5   | SmallInt         | 2        | int16                                                  |
// |  6   | Integer          | 4        | int32 (subtype AutoInc: the record's unique id)        |
// |  7   | Float            | 8        | IEEE double (subtype Money)                            |
// |  8   | Bcd              | 34       | packed BCD (layout in bcd.h)                           |
// |  9   | Bytes            | Size     | raw bytes                                              |
// | 10   | Time             | 4        | int32 milliseconds since midnight                      |
// | 11   | Timestamp        | 8        | IEEE double: day number * 86400000 + milliseconds      |
// | 12   | Word             | 2        | uint16                                                 |
// | 13   | LongWord         | 4        | uint32                                                 |
// | 14   | Extended         | 10       | 80-bit IEEE extended                                   |
// | 15   | VarBytes         | Size     | raw bytes                                              |
// | 18   | LargeInt         | 8        | int64                                                  |
//
// Codes 0, 16, 17 and anything above 18 are not field types.

#include <cstdint>

namespace kura {

enum class TFieldType : uint8_t {
  Unknown = 0,
  String = 1,
  Date = 2,
  Blob = 3,
  Boolean = 4,
  SmallInt = 5,   // 16-bit signed integer
  Integer = 6,    // 32-bit signed integer
  Float = 7,      // IEEE double
  Bcd = 8,        // packed decimal
  Bytes = 9,      // fixed-length raw bytes
  Time = 10,
  Timestamp = 11,
  Word = 12,      // 16-bit unsigned integer
  LongWord = 13,  // 32-bit unsigned integer
  Extended = 14,  // 80-bit extended float
  VarBytes = 15,  // variable-length raw bytes
  LargeInt = 18,  // 64-bit signed integer
};

enum class TFieldSubType : uint8_t {
  None = 0,      // also the plain BLOB
  Money = 21,    // Float only
  Memo = 22,     // Blob only: text
  Binary = 23,   // Blob only: binary data
  Graphic = 26,  // Blob only: a picture
  AutoInc = 29,  // Integer only: the record's unique id, stored at record offset 5
};

// Largest declared Size of String, Bytes and VarBytes fields.
constexpr int kMaxFieldSize = 250;
// Bytes of a BCD value in a record.
constexpr int kBcdDataSize = 34;
// Size of the buffer that holds any single field value (the largest DataSize is 251).
constexpr int kMaxDataSize = kMaxFieldSize + 1;

// True for the codes of the table above.
constexpr bool IsValidFieldType(TFieldType type) {
  const auto code = static_cast<uint8_t>(type);
  return (code >= 1 && code <= 15) || code == 18;
}

// True for the types whose definition carries a declared Size (String, Bytes,
// VarBytes); every other type has Size 0.
constexpr bool HasDeclaredSize(TFieldType type) {
  return type == TFieldType::String || type == TFieldType::Bytes || type == TFieldType::VarBytes;
}

// Bytes of the value of a field of this type and declared size in a record (without
// its null-flag byte); 0 for a code that is not a field type.
constexpr int DataSize(TFieldType type, int size) {
  switch (type) {
    case TFieldType::String: return size + 1;
    case TFieldType::Bytes:
    case TFieldType::VarBytes: return size;
    case TFieldType::Boolean:
    case TFieldType::SmallInt:
    case TFieldType::Word: return 2;
    case TFieldType::Date:
    case TFieldType::Integer:
    case TFieldType::Time:
    case TFieldType::LongWord: return 4;
    case TFieldType::Blob:
    case TFieldType::Float:
    case TFieldType::Timestamp:
    case TFieldType::LargeInt: return 8;
    case TFieldType::Extended: return 10;
    case TFieldType::Bcd: return kBcdDataSize;
    case TFieldType::Unknown: break;
  }
  return 0;
}

// The field that holds the record's unique id (stored at record offset 5, no null flag).
constexpr bool IsAutoIncField(TFieldType type, TFieldSubType subType) {
  return type == TFieldType::Integer && subType == TFieldSubType::AutoInc;
}

}  // namespace kura
