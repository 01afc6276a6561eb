#include "kura/expr/expression_values.h"

#include <cmath>
#include <limits>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/fixed_point.h"

namespace kura {

namespace {

using enum TFieldType;

constexpr double kTwoTo63 = 9223372036854775808.0;

int Sign(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// NaN sorts below every number and equal to itself, so that ordering stays total.
int CompareDoubles(double a, double b) {
  const bool nanA = std::isnan(a);
  const bool nanB = std::isnan(b);
  if (nanA || nanB) return nanA == nanB ? 0 : (nanA ? -1 : 1);
  return a < b ? -1 : (a > b ? 1 : 0);
}

// An int64 against a double without rounding the integer.
int CompareIntegerWithFloat(int64_t i, double d) {
  if (std::isnan(d)) return 1;
  if (d >= kTwoTo63) return -1;
  if (d < -kTwoTo63) return 1;
  const double whole = std::trunc(d);
  const auto wholeInteger = static_cast<int64_t>(whole);
  if (i != wholeInteger) return i < wholeInteger ? -1 : 1;
  const double fraction = d - whole;
  return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

double ToDouble(const TNumber& n) {
  switch (n.Kind) {
    case TNumberKind::Integer: return static_cast<double>(n.Integer);
    case TNumberKind::Fixed: return FixedToDouble(n.Integer);
    case TNumberKind::Float: return n.Float;
  }
  return 0.0;
}

std::optional<int64_t> ToFixed(const TNumber& n) {
  switch (n.Kind) {
    case TNumberKind::Integer: return IntegerToFixed(n.Integer);
    case TNumberKind::Fixed: return n.Integer;
    case TNumberKind::Float: return DoubleToFixed(n.Float);
  }
  return std::nullopt;
}

// Truncated toward zero; empty for NaN and beyond the 64-bit range.
std::optional<int64_t> ToInteger(const TNumber& n) {
  switch (n.Kind) {
    case TNumberKind::Integer: return n.Integer;
    case TNumberKind::Fixed: return FixedToInteger(n.Integer);
    case TNumberKind::Float: {
      const double whole = std::trunc(n.Float);
      if (!(whole >= -kTwoTo63 && whole < kTwoTo63)) return std::nullopt;
      return static_cast<int64_t>(whole);
    }
  }
  return std::nullopt;
}

// Wrapping 64-bit integer arithmetic (through unsigned, where overflow is defined).
std::optional<int64_t> IntegerArithmetic(TArithmetic op, int64_t a, int64_t b) {
  const auto ua = static_cast<uint64_t>(a);
  const auto ub = static_cast<uint64_t>(b);
  switch (op) {
    case TArithmetic::Add: return static_cast<int64_t>(ua + ub);
    case TArithmetic::Subtract: return static_cast<int64_t>(ua - ub);
    case TArithmetic::Multiply: return static_cast<int64_t>(ua * ub);
    case TArithmetic::Divide:
      if (b == 0) return std::nullopt;
      if (b == -1) return static_cast<int64_t>(0 - ua);
      return a / b;
  }
  return std::nullopt;
}

std::optional<double> FloatArithmetic(TArithmetic op, double a, double b) {
  double result = 0.0;
  switch (op) {
    case TArithmetic::Add: result = a + b; break;
    case TArithmetic::Subtract: result = a - b; break;
    case TArithmetic::Multiply: result = a * b; break;
    case TArithmetic::Divide:
      if (b == 0.0) return std::nullopt;
      result = a / b;
      break;
  }
  if (!std::isfinite(result)) return std::nullopt;
  return result;
}

std::optional<int64_t> FixedArithmetic(TArithmetic op, int64_t a, int64_t b) {
  switch (op) {
    case TArithmetic::Add: return FixedAdd(a, b);
    case TArithmetic::Subtract: return FixedSubtract(a, b);
    case TArithmetic::Multiply: return FixedMultiply(a, b);
    case TArithmetic::Divide: return FixedDivide(a, b);
  }
  return std::nullopt;
}

}  // namespace

std::optional<TNumber> ReadNumber(TFieldType type, const uint8_t* data) {
  switch (type) {
    case SmallInt: return TNumber::OfInteger(ReadI16(data));
    case Word: return TNumber::OfInteger(ReadU16(data));
    case Integer: return TNumber::OfInteger(ReadI32(data));
    case LongWord: return TNumber::OfInteger(ReadU32(data));
    case LargeInt: return TNumber::OfInteger(ReadI64(data));
    case Boolean: return TNumber::OfInteger(ReadU16(data) != 0 ? 1 : 0);
    case Float: return TNumber::OfFloat(ReadF64(data));
    case Bcd: {
      const auto fixed = BcdToFixed(data);
      if (!fixed) return std::nullopt;
      return TNumber::OfFixed(*fixed);
    }
    default: return std::nullopt;
  }
}

bool WriteNumber(const TNumber& value, TFieldType type, int scale, uint8_t* out) {
  switch (type) {
    case SmallInt:
    case Word:
    case Integer:
    case LongWord:
    case LargeInt: {
      const auto integer = ToInteger(value);
      if (!integer) return false;
      const auto bits = static_cast<uint64_t>(*integer);
      if (type == LargeInt)
        WriteU64(out, bits);
      else if (type == Integer || type == LongWord)
        WriteU32(out, static_cast<uint32_t>(bits));
      else
        WriteU16(out, static_cast<uint16_t>(bits));
      return true;
    }
    case Boolean: {
      const auto integer = ToInteger(value);
      if (!integer) return false;
      WriteU16(out, *integer != 0 ? 1 : 0);
      return true;
    }
    case Float: {
      const double d = ToDouble(value);
      if (!std::isfinite(d)) return false;
      WriteF64(out, d);
      return true;
    }
    case Bcd: {
      const auto fixed = ToFixed(value);
      return fixed && FixedToBcd(*fixed, scale, out);
    }
    default: return false;
  }
}

int CompareNumbers(const TNumber& a, const TNumber& b) {
  if (a.Kind == TNumberKind::Float || b.Kind == TNumberKind::Float) {
    if (a.Kind == TNumberKind::Integer) return CompareIntegerWithFloat(a.Integer, b.Float);
    if (b.Kind == TNumberKind::Integer) return -CompareIntegerWithFloat(b.Integer, a.Float);
    return CompareDoubles(ToDouble(a), ToDouble(b));
  }
  if (a.Kind == b.Kind) return Sign(a.Integer, b.Integer);
  // One integer, one fixed-point value: the integer on the fixed-point scale, in 128
  // bits so that no integer overflows.
  const __int128 left = a.Kind == TNumberKind::Integer ? static_cast<__int128>(a.Integer) * kFixedUnit : a.Integer;
  const __int128 right = b.Kind == TNumberKind::Integer ? static_cast<__int128>(b.Integer) * kFixedUnit : b.Integer;
  return left < right ? -1 : (left > right ? 1 : 0);
}

bool ComputeNumber(TArithmetic op, const TNumber& a, const TNumber& b, TFieldType resultType, int resultScale,
                   uint8_t* out) {
  const bool anyFloat = a.Kind == TNumberKind::Float || b.Kind == TNumberKind::Float;
  const bool anyFixed = a.Kind == TNumberKind::Fixed || b.Kind == TNumberKind::Fixed;
  if (resultType == Float || (anyFloat && resultType != Bcd)) {
    const auto result = FloatArithmetic(op, ToDouble(a), ToDouble(b));
    return result && WriteNumber(TNumber::OfFloat(*result), resultType, resultScale, out);
  }
  if (resultType == Bcd || anyFixed) {
    const auto x = ToFixed(a);
    const auto y = ToFixed(b);
    if (!x || !y) return false;
    const auto result = FixedArithmetic(op, *x, *y);
    return result && WriteNumber(TNumber::OfFixed(*result), resultType, resultScale, out);
  }
  const auto result = IntegerArithmetic(op, a.Integer, b.Integer);
  return result && WriteNumber(TNumber::OfInteger(*result), resultType, resultScale, out);
}

TNumber NegateNumber(const TNumber& a) {
  switch (a.Kind) {
    case TNumberKind::Float: return TNumber::OfFloat(-a.Float);
    case TNumberKind::Fixed:
    case TNumberKind::Integer: break;
  }
  TNumber result = a;
  result.Integer = static_cast<int64_t>(0 - static_cast<uint64_t>(a.Integer));
  return result;
}

TNumber AbsNumber(const TNumber& a) {
  if (a.Kind == TNumberKind::Float) return TNumber::OfFloat(std::fabs(a.Float));
  return a.Integer < 0 ? NegateNumber(a) : a;
}

std::optional<TNumber> RoundNumber(const TNumber& a, int places) {
  switch (a.Kind) {
    case TNumberKind::Float: return TNumber::OfFloat(RoundFloat(a.Float, places));
    case TNumberKind::Fixed: {
      const auto rounded = RoundFixed(a.Integer, places < kFixedPlaces ? places : kFixedPlaces);
      if (!rounded) return std::nullopt;
      return TNumber::OfFixed(*rounded);
    }
    case TNumberKind::Integer: return a;
  }
  return std::nullopt;
}

std::optional<double> ReadAsTimestamp(TFieldType type, const uint8_t* data) {
  switch (type) {
    case Date: {
      const int32_t date = ReadI32(data);
      if (!IsValidDate(date)) return std::nullopt;
      return MakeTimestamp(date, 0);
    }
    case Time: {
      const int32_t time = ReadI32(data);
      if (!IsValidTime(time)) return std::nullopt;
      return MakeTimestamp(kTimeBaseDate, time);
    }
    case Timestamp: {
      const double timestamp = ReadF64(data);
      if (!std::isfinite(timestamp)) return std::nullopt;
      return timestamp;
    }
    default: return std::nullopt;
  }
}

int CompareTemporal(TFieldType typeA, const uint8_t* a, TFieldType typeB, const uint8_t* b) {
  if (typeA == typeB && typeA != Timestamp) return Sign(ReadI32(a), ReadI32(b));
  const auto x = ReadAsTimestamp(typeA, a);
  const auto y = ReadAsTimestamp(typeB, b);
  return CompareDoubles(x.value_or(std::numeric_limits<double>::quiet_NaN()),
                        y.value_or(std::numeric_limits<double>::quiet_NaN()));
}

std::optional<int32_t> AddDays(int32_t date, int64_t days) {
  if (days > kMaxDate || days < -kMaxDate) return std::nullopt;
  const int64_t result = static_cast<int64_t>(date) + days;
  if (result < kMinDate || result > kMaxDate) return std::nullopt;
  return static_cast<int32_t>(result);
}

int32_t AddMilliseconds(int32_t time, int64_t milliseconds) {
  int64_t result = (static_cast<int64_t>(time) + milliseconds % kMillisecondsPerDay) % kMillisecondsPerDay;
  if (result < 0) result += kMillisecondsPerDay;
  return static_cast<int32_t>(result);
}

std::optional<double> AddTimestampDays(double timestamp, int64_t days) {
  const auto parts = SplitTimestamp(timestamp);
  if (!parts) return std::nullopt;
  const auto date = AddDays(parts->Date, days);
  if (!date) return std::nullopt;
  return MakeTimestamp(*date, parts->Time);
}

int32_t ExtractPart(TExtractPart part, TFieldType type, const uint8_t* data) {
  int32_t date = 0;
  int32_t time = 0;
  bool hasDate = false;
  bool hasTime = false;
  switch (type) {
    case Date:
      date = ReadI32(data);
      hasDate = IsValidDate(date);
      if (!hasDate) return 0;
      break;
    case Time:
      time = ReadI32(data);
      hasTime = IsValidTime(time);
      if (!hasTime) return 0;
      date = kTimeBaseDate;
      break;
    case Timestamp: {
      const auto parts = SplitTimestamp(ReadF64(data));
      if (!parts) return 0;
      date = parts->Date;
      time = parts->Time;
      hasDate = hasTime = true;
      break;
    }
    default: return 0;
  }
  switch (part) {
    case TExtractPart::Year:
    case TExtractPart::Month:
    case TExtractPart::Day: {
      if (!hasDate) return 0;
      const auto parts = DecodeDate(date);
      if (!parts) return 0;
      return part == TExtractPart::Year ? parts->Year : (part == TExtractPart::Month ? parts->Month : parts->Day);
    }
    case TExtractPart::Week: return IsoWeekNumber(date);
    case TExtractPart::DayOfWeek: return DayOfWeek(date);
    case TExtractPart::DayOfYear: return DayOfYear(date);
    case TExtractPart::Hour:
    case TExtractPart::Minute:
    case TExtractPart::Second: {
      if (!hasTime) return 0;
      const auto parts = DecodeTime(time);
      if (!parts) return 0;
      return part == TExtractPart::Hour ? parts->Hour : (part == TExtractPart::Minute ? parts->Minute : parts->Second);
    }
  }
  return 0;
}

}  // namespace kura
