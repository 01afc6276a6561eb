#include "kura/base/fixed_point.h"

#include <cmath>
#include <limits>

namespace kura {

namespace {

using TWide = __int128;

constexpr TWide kMinFixed = std::numeric_limits<int64_t>::min();
constexpr TWide kMaxFixed = std::numeric_limits<int64_t>::max();

std::optional<int64_t> Narrow(TWide value) {
  if (value < kMinFixed || value > kMaxFixed) return std::nullopt;
  return static_cast<int64_t>(value);
}

// numerator / denominator rounded to the nearest integer, ties to even.
TWide DivideHalfEven(TWide numerator, TWide denominator) {
  TWide quotient = numerator / denominator;
  const TWide remainder = numerator % denominator;
  if (remainder != 0) {
    const TWide twice = 2 * (remainder < 0 ? -remainder : remainder);
    const TWide divisor = denominator < 0 ? -denominator : denominator;
    const bool negative = (numerator < 0) != (denominator < 0);
    if (twice > divisor || (twice == divisor && quotient % 2 != 0)) quotient += negative ? -1 : 1;
  }
  return quotient;
}

TWide PowerOfTen(int exponent) {
  TWide result = 1;
  for (int i = 0; i < exponent; ++i) result *= 10;
  return result;
}

// Two to the 63rd: the first double beyond the int64 range on the positive side.
constexpr double kTwoTo63 = 9223372036854775808.0;

}  // namespace

std::optional<int64_t> FixedAdd(int64_t a, int64_t b) { return Narrow(static_cast<TWide>(a) + b); }
std::optional<int64_t> FixedSubtract(int64_t a, int64_t b) { return Narrow(static_cast<TWide>(a) - b); }
std::optional<int64_t> FixedNegate(int64_t a) { return Narrow(-static_cast<TWide>(a)); }

std::optional<int64_t> FixedMultiply(int64_t a, int64_t b) {
  return Narrow(DivideHalfEven(static_cast<TWide>(a) * b, kFixedUnit));
}

std::optional<int64_t> FixedDivide(int64_t a, int64_t b) {
  if (b == 0) return std::nullopt;
  return Narrow(DivideHalfEven(static_cast<TWide>(a) * kFixedUnit, b));
}

std::optional<int64_t> IntegerToFixed(int64_t value) { return Narrow(static_cast<TWide>(value) * kFixedUnit); }

double FixedToDouble(int64_t value) { return static_cast<double>(value) / static_cast<double>(kFixedUnit); }

std::optional<int64_t> DoubleToFixed(double value) {
  const double scaled = value * static_cast<double>(kFixedUnit);
  if (!std::isfinite(scaled)) return std::nullopt;
  // floor and the difference are exact for every double, so the tie test is exact.
  double rounded = std::floor(scaled);
  const double fraction = scaled - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  if (rounded < -kTwoTo63 || rounded >= kTwoTo63) return std::nullopt;
  return static_cast<int64_t>(rounded);
}

std::optional<int64_t> RoundFixed(int64_t value, int places) {
  if (places >= kFixedPlaces) return value;
  // |value| < 10^19, so rounding at 10^31 or coarser always gives 0.
  if (kFixedPlaces - places > 30) return 0;
  const TWide unit = PowerOfTen(kFixedPlaces - places);
  TWide quotient = value / unit;
  const TWide remainder = value % unit;
  const TWide twice = 2 * (remainder < 0 ? -remainder : remainder);
  if (twice >= unit) quotient += value < 0 ? -1 : 1;
  return Narrow(quotient * unit);
}

double RoundFloat(double value, int places) {
  if (value == 0.0 || !std::isfinite(value)) return value;
  double factor = 1.0;
  if (places >= 0) {
    for (int i = 0; i < places; ++i) factor *= 0.1;
  } else {
    for (int i = 0; i < -places; ++i) factor *= 10.0;
  }
  if (factor == 0.0 || !std::isfinite(factor)) return value;
  const double scaled = value / factor;
  // From 2^52 on every double is a whole number and adding a half would round to a
  // neighbouring even number instead: such a value is already rounded.
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 4503599627370496.0) return value;
  const double whole = value > 0 ? std::trunc(scaled + 0.5) : std::trunc(scaled - 0.5);
  return whole * factor;
}

}  // namespace kura
