#pragma once

// The type rules of the expression language, as pure functions over field type codes
// (field_types.h). The binder applies them to the nodes of a parsed tree; the SQL layer
// may ask them directly (for instance when it checks a value against a column).
//
// Type families:
//   numeric   SmallInt, Integer, Float, Bcd, Word, LargeInt
//   integer   SmallInt, Integer, Word, LargeInt
//   text      String, and Blob with the Memo subtype
//   temporal  Date, Time, Timestamp
// Type code 0 (Unknown) is "untyped": the type of the NULL constant.
//
// Lengths follow the value encodings: a string's length counts its terminator; dates,
// times and 32-bit integers are 4 bytes, booleans and 16-bit integers 2, floats,
// timestamps and 64-bit integers 8, BCD 34.
//
// Nothing here allocates or raises.

#include <cstdint>
#include <string_view>

#include "kura/base/field_types.h"

namespace kura {

// The type of an expression value: what a node carries in DataType, SubType,
// DataLength and DataScale.
struct TExpType {
  TFieldType DataType = TFieldType::Unknown;
  TFieldSubType SubType = TFieldSubType::None;
  int32_t DataLength = 0;
  uint8_t DataScale = 0;

  friend bool operator==(const TExpType&, const TExpType&) = default;
};

constexpr bool IsNumericType(TFieldType type) {
  switch (type) {
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Float:
    case TFieldType::Bcd:
    case TFieldType::Word:
    case TFieldType::LargeInt: return true;
    default: return false;
  }
}

constexpr bool IsIntegerType(TFieldType type) {
  return type == TFieldType::SmallInt || type == TFieldType::Integer || type == TFieldType::Word ||
         type == TFieldType::LargeInt;
}

constexpr bool IsTemporalType(TFieldType type) {
  return type == TFieldType::Date || type == TFieldType::Time || type == TFieldType::Timestamp;
}

constexpr bool IsMemoType(TFieldType type, TFieldSubType subType) {
  return type == TFieldType::Blob && subType == TFieldSubType::Memo;
}

constexpr bool IsTextType(TFieldType type, TFieldSubType subType) {
  return type == TFieldType::String || IsMemoType(type, subType);
}

constexpr bool IsTextType(const TExpType& type) { return IsTextType(type.DataType, type.SubType); }

// Bytes of a value of a type whose length does not vary (4 for a date, 34 for a BCD);
// 0 for String, Bytes, VarBytes, Blob and Unknown.
int FixedValueLength(TFieldType type);

// The type of a fixed-length value with default length and no scale.
TExpType MakeExpType(TFieldType type, TFieldSubType subType = TFieldSubType::None);

// Whether the operand types are allowed for the binary operator with this code (=, <>,
// >, <, >=, <=, AND, OR, +, -, *, /). An untyped operand is always allowed. An unknown
// operator code allows nothing.
bool BinaryOperandsAllowed(uint8_t opCode, const TExpType& left, const TExpType& right);

// The result type of the binary operator for operands that BinaryOperandsAllowed
// accepts: boolean for comparisons, AND and OR; for arithmetic the result table of the
// language (7 / 2 is a float, date - date a 32-bit integer, ...). A string
// concatenation is as long as both texts together; a BCD result takes the larger scale
// of its operands. An untyped operand takes the type of the other side (an integer
// beside a temporal value); two untyped operands give an untyped result.
TExpType BinaryResultType(uint8_t opCode, const TExpType& left, const TExpType& right);

// Whether the unary operator with this code (NOT, -, +) accepts an operand of the type.
// NOT needs a boolean; the signs accept untyped, numeric (+ also the 16-bit unsigned)
// and temporal values.
bool UnaryOperandAllowed(uint8_t opCode, TFieldType operand);

// Whether CAST may convert a value of type source into type target. Untyped sources go
// anywhere; strings, BLOBs and byte values go anywhere; the rest as the language's
// table says (no number becomes a date, no date a number, ...).
bool CastAllowed(TFieldType source, TFieldType target);

// Reads text as a literal of a temporal type (date "yyyy-mm-dd", time "hh:nn[:ss[.z]]",
// timestamp "date time", a lone date or a lone time) and writes its value encoding
// (4 bytes for date and time, 8 for a timestamp) to out. False, with out untouched, when
// the text is no such literal or type is not temporal.
bool EncodeTemporalLiteral(std::string_view text, TFieldType type, uint8_t* out);

}  // namespace kura
