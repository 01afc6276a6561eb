#pragma once

// The value semantics of expressions over numbers, dates and times: exact comparison
// of numbers of different types, arithmetic in the result type, date and time
// arithmetic, EXTRACT, ROUND and ABS.
//
// Values are in their record encoding (field_types.h). Numbers cross into arithmetic as
// a TNumber: integers as int64, BCD as its fixed-point value (units of 1/10000), floats
// as double. Nothing here allocates or raises; a result that does not exist (division by
// zero, a value out of range) is reported as false / empty and becomes NULL.

#include <cstdint>
#include <optional>

#include "kura/base/field_types.h"
#include "kura/expr/expression_type_rules.h"

namespace kura {

enum class TNumberKind : uint8_t { Integer, Fixed, Float };

struct TNumber {
  TNumberKind Kind = TNumberKind::Integer;
  int64_t Integer = 0;  // the integer, or the fixed-point units of a BCD
  double Float = 0.0;

  static TNumber OfInteger(int64_t value) { return {TNumberKind::Integer, value, 0.0}; }
  static TNumber OfFixed(int64_t value) { return {TNumberKind::Fixed, value, 0.0}; }
  static TNumber OfFloat(double value) { return {TNumberKind::Float, 0, value}; }
};

// The number held in `data` (the encoding of a numeric type, or a boolean as 1 or 0).
// Empty for a type that is not a number and for a malformed BCD.
std::optional<TNumber> ReadNumber(TFieldType type, const uint8_t* data);

// Writes a number into the encoding of `type` (BCD with `scale` places). Integers keep
// the low-order bits of the target width; floats and BCD values go to integer targets
// truncated toward zero. False when the value cannot be represented (a float beyond
// the 64-bit range or NaN for an integer target, a value beyond the fixed-point range
// or the BCD digits).
bool WriteNumber(const TNumber& value, TFieldType type, int scale, uint8_t* out);

// Negative, 0 or positive. Numbers of different kinds are compared exactly: integers
// with BCD on the fixed-point scale (the integer times 10000, without overflow), any
// number with a float as floats (an integer exactly, even beyond 2^53).
int CompareNumbers(const TNumber& a, const TNumber& b);

enum class TArithmetic : uint8_t { Add, Subtract, Multiply, Divide };

// a op b computed in the result type and written in its encoding: integer results in
// 64-bit arithmetic keeping the low bits of the result width (so 32-bit results wrap),
// float results in double precision, BCD results in fixed point (rounded to the
// nearest unit) written with `resultScale` places. False for a zero divisor and for a
// BCD result outside the fixed-point range.
bool ComputeNumber(TArithmetic op, const TNumber& a, const TNumber& b, TFieldType resultType, int resultScale,
                   uint8_t* out);

// -a in the kind of a; integers wrap.
TNumber NegateNumber(const TNumber& a);
// |a| in the kind of a; integers wrap (the most negative value stays as it is once
// written to its width).
TNumber AbsNumber(const TNumber& a);

// ROUND: floats half away from zero at `places` decimals; BCD half away from zero at
// min(places, 4) decimals. Empty when the rounded value leaves the fixed-point range.
std::optional<TNumber> RoundNumber(const TNumber& a, int places);

// Date, time and timestamp values as timestamps (milliseconds since day 0): a date at
// its midnight, a time on 1899-12-30. Empty for other types and invalid values.
std::optional<double> ReadAsTimestamp(TFieldType type, const uint8_t* data);

// Dates compared with timestamps as their midnight; times only with times. Negative, 0
// or positive; both values must be of these types and valid.
int CompareTemporal(TFieldType typeA, const uint8_t* a, TFieldType typeB, const uint8_t* b);

// date + days; empty outside 0001-01-01 .. 9999-12-31.
std::optional<int32_t> AddDays(int32_t date, int64_t days);
// time + milliseconds, wrapping around midnight as a clock does.
int32_t AddMilliseconds(int32_t time, int64_t milliseconds);
// timestamp + days, keeping its time of day; empty when the day leaves the calendar.
std::optional<double> AddTimestampDays(double timestamp, int64_t days);

enum class TExtractPart : uint8_t { Year, Month, Week, Day, DayOfWeek, DayOfYear, Hour, Minute, Second };

// EXTRACT of a value of `type`. YEAR, MONTH, DAY of a date or timestamp; HOUR, MINUTE,
// SECOND of a time or timestamp (SECOND without the milliseconds); DAYOFWEEK 1 (Monday)
// to 7; DAYOFYEAR 1 for January 1; WEEK the ISO 8601 week. The date parts of a time are
// 0, except DAYOFWEEK, DAYOFYEAR and WEEK, which are those of 1899-12-30; the time parts
// of a date are 0; any other type, or an invalid value, gives 0.
int32_t ExtractPart(TExtractPart part, TFieldType type, const uint8_t* data);

}  // namespace kura
