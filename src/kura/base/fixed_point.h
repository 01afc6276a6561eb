#pragma once

// The engine's fixed-point numbers and its rounding rules.
//
// A fixed-point value is a signed 64-bit integer counting units of 1/10000, so it holds
// every number with at most four decimals from -922337203685477.5808 to
// 922337203685477.5807. All BCD arithmetic and every conversion of a BCD value goes
// through this form.
//
// Operations that can leave the range, or divide by zero, return an empty optional
// instead of a wrong value; nothing here allocates or raises.

#include <cstdint>
#include <optional>

namespace kura {

constexpr int kFixedPlaces = 4;
constexpr int64_t kFixedUnit = 10000;  // the fixed-point value of 1

// Arithmetic. Sums and differences are exact; a product or a quotient is rounded to
// the nearest unit, ties to even. Empty on overflow and for a zero divisor.
std::optional<int64_t> FixedAdd(int64_t a, int64_t b);
std::optional<int64_t> FixedSubtract(int64_t a, int64_t b);
std::optional<int64_t> FixedMultiply(int64_t a, int64_t b);
std::optional<int64_t> FixedDivide(int64_t a, int64_t b);
std::optional<int64_t> FixedNegate(int64_t a);
// -1, 0 or 1; the engine compares fixed-point values as plain integers.
constexpr int FixedCompare(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// An integer as fixed-point (value * 10000); empty beyond the range.
std::optional<int64_t> IntegerToFixed(int64_t value);
// The whole part, truncated toward zero.
constexpr int64_t FixedToInteger(int64_t value) { return value / kFixedUnit; }
// The nearest double to value / 10000.
double FixedToDouble(int64_t value);
// value * 10000 rounded to the nearest integer, ties to even; empty for NaN, infinity
// and anything beyond the range.
std::optional<int64_t> DoubleToFixed(double value);

// Rounds half away from zero at `places` decimals. Places above 4 are capped at 4
// (the value is returned unchanged); negative places round to tens, hundreds, ...
// Empty when the rounded value leaves the range.
std::optional<int64_t> RoundFixed(int64_t value, int places);
// Rounds half away from zero at `places` decimals: the whole part of
// value / 0.1^places + 0.5 (- 0.5 for a negative value), times 0.1^places, where
// 0.1^places is formed by repeated multiplication (negative places use 10^-places).
// Zero, NaN and infinities come back unchanged, and so does a value whose scaled
// magnitude is already a whole number too large for a half to be represented.
double RoundFloat(double value, int places);

}  // namespace kura
