#include "kura/expr/expression_type_rules.h"

#include <algorithm>

#include "kura/base/byte_order.h"
#include "kura/base/text_forms.h"
#include "kura/expr/exp_token.h"

namespace kura {

namespace {

// SmallInt, Integer, Word: the integers whose sums stay 32-bit.
constexpr bool IsShortInteger(TFieldType type) {
  return type == TFieldType::SmallInt || type == TFieldType::Integer || type == TFieldType::Word;
}

bool EqualityAllowed(const TExpType& left, const TExpType& right) {
  const TFieldType l = left.DataType;
  const TFieldType r = right.DataType;
  if (l == TFieldType::Date || l == TFieldType::Timestamp) return r == TFieldType::Date || r == TFieldType::Timestamp;
  if (IsTextType(left)) return IsTextType(right);
  if (l == TFieldType::Blob) return false;  // only the NULL constant, handled by the caller
  if (l == TFieldType::Boolean) return r == TFieldType::Boolean;
  if (IsNumericType(l)) return IsNumericType(r);
  if (l == TFieldType::Bytes) return r == TFieldType::Bytes;
  if (l == TFieldType::Time) return r == TFieldType::Time;
  return false;
}

bool AdditionAllowed(const TExpType& left, const TExpType& right) {
  const TFieldType l = left.DataType;
  const TFieldType r = right.DataType;
  if (IsTemporalType(l)) return IsIntegerType(r);
  if (IsTextType(left)) return IsTextType(right);
  if (IsIntegerType(l)) return IsNumericType(r) || IsTemporalType(r);
  if (l == TFieldType::Float || l == TFieldType::Bcd) return IsNumericType(r);
  return false;
}

bool SubtractionAllowed(const TExpType& left, const TExpType& right) {
  const TFieldType l = left.DataType;
  const TFieldType r = right.DataType;
  switch (l) {
    case TFieldType::Date: return r == TFieldType::Date || IsIntegerType(r);
    case TFieldType::Time: return r == TFieldType::Time || IsIntegerType(r);
    case TFieldType::Timestamp: return IsTemporalType(r) || IsIntegerType(r);
    default: return IsNumericType(l) && IsNumericType(r);
  }
}

// The result of +, -, * over two numeric types: float wins, then BCD (with the larger
// scale), then a 64-bit integer; the short integers give a 32-bit integer.
TExpType NumericResult(const TExpType& left, const TExpType& right) {
  const TFieldType l = left.DataType;
  const TFieldType r = right.DataType;
  if (l == TFieldType::Float || r == TFieldType::Float) return MakeExpType(TFieldType::Float);
  if (l == TFieldType::Bcd || r == TFieldType::Bcd) {
    TExpType result = MakeExpType(TFieldType::Bcd);
    result.DataScale = std::max(l == TFieldType::Bcd ? left.DataScale : uint8_t{0},
                                r == TFieldType::Bcd ? right.DataScale : uint8_t{0});
    return result;
  }
  if (l == TFieldType::LargeInt || r == TFieldType::LargeInt) return MakeExpType(TFieldType::LargeInt);
  return MakeExpType(TFieldType::Integer);
}

// The type kept by an arithmetic result that is one of its operands' own (a date, a
// string, a memo): the operand's type without an auto-increment mark.
TExpType KeepType(const TExpType& type) {
  TExpType result = type;
  if (result.SubType == TFieldSubType::AutoInc) result.SubType = TFieldSubType::None;
  return result;
}

TExpType AdditionResult(const TExpType& left, const TExpType& right) {
  const TFieldType l = left.DataType;
  const TFieldType r = right.DataType;
  if (IsTextType(left) && IsTextType(right)) {
    if (IsMemoType(l, left.SubType)) return left;
    if (IsMemoType(r, right.SubType)) return right;
    TExpType result = left;
    // Both lengths count a terminator; the joined text needs only one.
    result.DataLength = std::max(left.DataLength, 1) + std::max(right.DataLength, 1) - 1;
    result.DataScale = std::max(left.DataScale, right.DataScale);
    return result;
  }
  if (IsTemporalType(l)) return KeepType(left);
  if (IsTemporalType(r)) return KeepType(right);
  return NumericResult(left, right);
}

TExpType SubtractionResult(const TExpType& left, const TExpType& right) {
  const TFieldType l = left.DataType;
  const TFieldType r = right.DataType;
  if (IsTemporalType(l)) {
    if (IsIntegerType(r)) return KeepType(left);
    if (l == TFieldType::Timestamp && r == TFieldType::Timestamp) return MakeExpType(TFieldType::Float);
    return MakeExpType(TFieldType::Integer);  // days, milliseconds, or the difference of the two
  }
  if (IsTemporalType(r)) return KeepType(right);  // only reached with an untyped left side
  return NumericResult(left, right);
}

TExpType DivisionResult(const TExpType& left, const TExpType& right) {
  if (IsIntegerType(left.DataType) && IsIntegerType(right.DataType)) return MakeExpType(TFieldType::Float);
  return NumericResult(left, right);
}

// The stand-in type of an untyped operand: the other side's, an integer beside a
// temporal value (date + NULL stays a date), the empty text beside a text.
TExpType StandInFor(const TExpType& other) {
  if (IsTemporalType(other.DataType)) return MakeExpType(TFieldType::Integer);
  // In a concatenation a NULL text counts as the empty text.
  if (other.DataType == TFieldType::String) return TExpType{TFieldType::String, TFieldSubType::None, 1, 0};
  return other;
}

}  // namespace

int FixedValueLength(TFieldType type) {
  if (type == TFieldType::String || type == TFieldType::Blob || HasDeclaredSize(type)) return 0;
  return DataSize(type, 0);
}

TExpType MakeExpType(TFieldType type, TFieldSubType subType) {
  TExpType result;
  result.DataType = type;
  result.SubType = subType;
  result.DataLength = FixedValueLength(type);
  return result;
}

bool BinaryOperandsAllowed(uint8_t opCode, const TExpType& left, const TExpType& right) {
  if (left.DataType == TFieldType::Unknown || right.DataType == TFieldType::Unknown) {
    switch (opCode) {
      case kOpEqual:
      case kOpNotEqual:
      case kOpGreater:
      case kOpLess:
      case kOpGreaterEqual:
      case kOpLessEqual:
      case kOpAnd:
      case kOpOr:
      case kOpAdd:
      case kOpSubtract:
      case kOpMultiply:
      case kOpDivide: return true;
      default: return false;
    }
  }
  switch (opCode) {
    case kOpEqual:
    case kOpNotEqual: return EqualityAllowed(left, right);
    case kOpGreater:
    case kOpLess:
    case kOpGreaterEqual:
    case kOpLessEqual:
      if (left.DataType == TFieldType::Boolean || left.DataType == TFieldType::Bytes) return false;
      return EqualityAllowed(left, right);
    case kOpAnd:
    case kOpOr: return left.DataType == TFieldType::Boolean && right.DataType == TFieldType::Boolean;
    case kOpAdd: return AdditionAllowed(left, right);
    case kOpSubtract: return SubtractionAllowed(left, right);
    case kOpMultiply:
    case kOpDivide: return IsNumericType(left.DataType) && IsNumericType(right.DataType);
    default: return false;
  }
}

TExpType BinaryResultType(uint8_t opCode, const TExpType& left, const TExpType& right) {
  switch (opCode) {
    case kOpEqual:
    case kOpNotEqual:
    case kOpGreater:
    case kOpLess:
    case kOpGreaterEqual:
    case kOpLessEqual:
    case kOpAnd:
    case kOpOr: return MakeExpType(TFieldType::Boolean);
    default: break;
  }
  const bool leftUntyped = left.DataType == TFieldType::Unknown;
  const bool rightUntyped = right.DataType == TFieldType::Unknown;
  if (leftUntyped && rightUntyped) return TExpType{};
  const TExpType l = leftUntyped ? StandInFor(right) : left;
  const TExpType r = rightUntyped ? StandInFor(left) : right;
  switch (opCode) {
    case kOpAdd: return AdditionResult(l, r);
    case kOpSubtract: return SubtractionResult(l, r);
    case kOpMultiply: return NumericResult(l, r);
    case kOpDivide: return DivisionResult(l, r);
    default: return TExpType{};
  }
}

bool UnaryOperandAllowed(uint8_t opCode, TFieldType operand) {
  switch (opCode) {
    case kOpNot: return operand == TFieldType::Boolean;
    case kOpUnaryPlus:
      if (operand == TFieldType::Word) return true;
      [[fallthrough]];
    case kOpUnaryMinus:
      switch (operand) {
        case TFieldType::Unknown:
        case TFieldType::Date:
        case TFieldType::SmallInt:
        case TFieldType::Integer:
        case TFieldType::Float:
        case TFieldType::Bcd:
        case TFieldType::Time:
        case TFieldType::Timestamp:
        case TFieldType::LargeInt: return true;
        default: return false;
      }
    default: return false;
  }
}

bool CastAllowed(TFieldType source, TFieldType target) {
  // Every source may become text or raw bytes.
  const bool toTextOrBytes =
      target == TFieldType::String || target == TFieldType::Bytes || target == TFieldType::VarBytes;
  switch (source) {
    case TFieldType::Unknown:
    case TFieldType::String:
    case TFieldType::Blob:
    case TFieldType::Bytes:
    case TFieldType::VarBytes: return true;
    case TFieldType::Date: return toTextOrBytes || target == TFieldType::Date || target == TFieldType::Timestamp;
    case TFieldType::Time: return toTextOrBytes || target == TFieldType::Time || target == TFieldType::Timestamp;
    case TFieldType::Timestamp: return toTextOrBytes || IsTemporalType(target);
    case TFieldType::SmallInt:
    case TFieldType::Word: return toTextOrBytes || target == TFieldType::Boolean || IsNumericType(target);
    case TFieldType::Integer:
    case TFieldType::Float:
    case TFieldType::Bcd:
    case TFieldType::LargeInt: return toTextOrBytes || IsNumericType(target);
    case TFieldType::Boolean:
      return toTextOrBytes || target == TFieldType::Boolean || IsIntegerType(target) || target == TFieldType::Bcd;
    default: return false;
  }
}

bool EncodeTemporalLiteral(std::string_view text, TFieldType type, uint8_t* out) {
  switch (type) {
    case TFieldType::Date:
      if (auto date = TryTextToDate(text)) {
        WriteI32(out, *date);
        return true;
      }
      return false;
    case TFieldType::Time:
      if (auto time = TryTextToTime(text)) {
        WriteI32(out, *time);
        return true;
      }
      return false;
    case TFieldType::Timestamp:
      if (auto timestamp = TryTextToTimestamp(text)) {
        WriteF64(out, *timestamp);
        return true;
      }
      return false;
    default: return false;
  }
}

}  // namespace kura
