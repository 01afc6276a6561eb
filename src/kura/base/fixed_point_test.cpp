#include "kura/base/fixed_point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace kura {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr std::optional<int64_t> kFails = std::nullopt;

struct TBinaryCase {
  int64_t A;
  int64_t B;
  std::optional<int64_t> Expected;
};

TEST(FixedPoint, AddAndSubtractAreExactAndDetectOverflow) {
  const TBinaryCase sums[] = {
      {12345, 10000, 22345}, {-5000, 5000, 0},  {kMax, 0, kMax},     {kMax, 1, kFails},
      {kMin, -1, kFails},    {kMin, kMax, -1},  {-1, -2, -3},
  };
  for (const auto& c : sums) EXPECT_EQ(FixedAdd(c.A, c.B), c.Expected) << c.A << " + " << c.B;
  const TBinaryCase differences[] = {
      {12345, 10000, 2345}, {0, kMin, kFails}, {kMin, 1, kFails}, {-1, kMax, kMin}, {5, 7, -2},
  };
  for (const auto& c : differences) EXPECT_EQ(FixedSubtract(c.A, c.B), c.Expected) << c.A << " - " << c.B;
  EXPECT_EQ(FixedNegate(12345), -12345);
  EXPECT_EQ(FixedNegate(kMax), kMin + 1);
  EXPECT_EQ(FixedNegate(kMin), kFails);
}

TEST(FixedPoint, MultiplyRoundsToNearestTiesToEven) {
  const TBinaryCase cases[] = {
      {15000, 20000, 30000},          // 1.5 * 2 = 3
      {-15000, 20000, -30000},        // signs
      {-15000, -20000, 30000},
      {1, 1, 0},                      // 0.0001 * 0.0001 underflows to 0
      {5000, 1, 0},                   // 0.00005: tie, to even 0
      {15000, 1, 2},                  // 0.00015: tie, to even 0.0002
      {25000, 1, 2},                  // 0.00025: tie, to even 0.0002
      {-15000, 1, -2},
      {12345, 12345, 15240},          // 1.2345^2 = 1.52399025
      {11000, 11005, 12106},          // 1.21055: tie, to even 1.2106
      {11000, 11015, 12116},          // 1.21165: tie, to even 1.2116
      {kMax, 10000, kMax},            // times one
      {kMax, 20000, kFails},          // overflow
      {kMin, 10000, kMin},
      {kMin, -10000, kFails},
      {100000000000000, 100000000000000, kFails},  // 10^10 * 10^10
  };
  for (const auto& c : cases) EXPECT_EQ(FixedMultiply(c.A, c.B), c.Expected) << c.A << " * " << c.B;
}

TEST(FixedPoint, DivideRoundsToNearestAndRejectsZero) {
  const TBinaryCase cases[] = {
      {10000, 30000, 3333},           // 1/3
      {20000, 30000, 6667},           // 2/3
      {-20000, 30000, -6667},
      {20000, -30000, -6667},
      {-20000, -30000, 6667},
      {1, 20000, 0},                  // 0.00005: tie to even 0
      {3, 20000, 2},                  // 0.00015: tie to even 0.0002
      {10000, 0, kFails},
      {0, 0, kFails},
      {kMax, 10000, kMax},
      {kMax, 5000, kFails},           // * 2 overflows
      {kMin, -10000, kFails},
      {70000, 20000, 35000},
  };
  for (const auto& c : cases) EXPECT_EQ(FixedDivide(c.A, c.B), c.Expected) << c.A << " / " << c.B;
}

TEST(FixedPoint, ConversionsWithIntegersAndDoubles) {
  EXPECT_EQ(IntegerToFixed(123), 1230000);
  EXPECT_EQ(IntegerToFixed(-123), -1230000);
  EXPECT_EQ(IntegerToFixed(922337203685477), 9223372036854770000);
  EXPECT_EQ(IntegerToFixed(922337203685478), kFails);
  EXPECT_EQ(IntegerToFixed(-922337203685478), kFails);
  EXPECT_EQ(FixedToInteger(37000), 3);
  EXPECT_EQ(FixedToInteger(-37000), -3);
  EXPECT_EQ(FixedToInteger(9999), 0);
  EXPECT_EQ(FixedToDouble(12345), 1.2345);
  EXPECT_EQ(FixedToDouble(-5), -0.0005);

  struct TCase {
    double Value;
    std::optional<int64_t> Expected;
  };
  const TCase cases[] = {
      // The scaled value's ties (0.5, 2.5, 20001.5) go to even; 0.00015 * 10000 is
      // 1.4999999999999998 in doubles and rounds down.
      {1.2345, 12345},     {-1.2345, -12345},  {3.7, 37000},           {0.00005, 0},
      {0.00025, 2},        {2.00015, 20002},   {-2.00015, -20002},     {0.00015, 1},
      {0.000051, 1},       {1e14, 1000000000000000000}, {-1e14, -1000000000000000000},
      {1e15, kFails},      {-1e15, kFails},
      {std::numeric_limits<double>::quiet_NaN(), kFails},
      {std::numeric_limits<double>::infinity(), kFails},
  };
  for (const auto& c : cases) EXPECT_EQ(DoubleToFixed(c.Value), c.Expected) << c.Value;
}

TEST(FixedPoint, RoundFixedRoundsHalfAwayFromZero) {
  struct TCase {
    int64_t Value;
    int Places;
    std::optional<int64_t> Expected;
  };
  const TCase cases[] = {
      {12345, 2, 12300},   {12350, 2, 12400},   {-12350, 2, -12400},  {-12349, 2, -12300},
      {12345, 3, 12350},   {12345, 4, 12345},   {12345, 7, 12345},    {25000, 0, 30000},
      {-25000, 0, -30000}, {24999, 0, 20000},   {0, 0, 0},            {150000, -1, 200000},
      {149999, -1, 100000}, {12345, -40, 0},    {kMax, 4, kMax},      {kMax, 0, kFails},
      {kMin, 0, kFails},    {kMax, -30, 0},     {kMax, -15, kFails},
  };
  for (const auto& c : cases) EXPECT_EQ(RoundFixed(c.Value, c.Places), c.Expected) << c.Value << " @" << c.Places;
}

TEST(FixedPoint, RoundFloatRoundsHalfAwayFromZero) {
  struct TCase {
    double Value;
    int Places;
    double Expected;
  };
  const TCase cases[] = {
      {2.5, 0, 3.0},        {-2.5, 0, -3.0},      {2.4, 0, 2.0},        {-2.4, 0, -2.0},
      {1.25, 1, 1.3},       {-1.25, 1, -1.3},     {1234.5678, 2, 1234.57}, {0.0, 3, 0.0},
      {1250.0, -2, 1300.0}, {-1249.0, -2, -1200.0}, {0.5, 0, 1.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(RoundFloat(c.Value, c.Places), c.Expected) << c.Value << " @" << c.Places;
  }
  // A whole number beyond 2^52 has no half to add: it comes back as it was rather than
  // as a neighbouring even number.
  const double big = 4503599627370497.0;  // 2^52 + 1
  EXPECT_EQ(RoundFloat(big, 0), big);
  EXPECT_EQ(RoundFloat(-big, 0), -big);
  EXPECT_EQ(RoundFloat(1e300, 5), 1e300);
  // Places so large that 0.1^places underflows leave the value alone.
  EXPECT_EQ(RoundFloat(1.5, 400), 1.5);
  EXPECT_TRUE(std::isnan(RoundFloat(std::numeric_limits<double>::quiet_NaN(), 2)));
}

}  // namespace
}  // namespace kura
