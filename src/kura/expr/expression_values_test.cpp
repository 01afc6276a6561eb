#include "kura/expr/expression_values.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"

namespace kura {
namespace {

int32_t Day(int year, int month, int day) { return *EncodeDate(year, month, day); }

TNumber Int(int64_t v) { return TNumber::OfInteger(v); }
TNumber Fixed(int64_t units) { return TNumber::OfFixed(units); }
TNumber Flt(double v) { return TNumber::OfFloat(v); }

struct TCompareCase {
  TNumber A;
  TNumber B;
  int Expected;
};

TEST(ExpressionValuesTest, NumbersOfDifferentKindsCompareExactly) {
  const TCompareCase cases[] = {
      {Int(1), Int(2), -1},
      {Int(5), Fixed(50000), 0},
      {Int(5), Fixed(50001), -1},
      {Fixed(-1), Int(0), -1},
      {Int(INT64_MAX), Fixed(INT64_MAX), 1},  // the integer side does not overflow
      {Int(3), Flt(3.5), -1},
      {Int(4), Flt(3.5), 1},
      {Int(-3), Flt(-3.5), 1},
      {Int(3), Flt(3.0), 0},
      // 2^53 + 1 is not a double: compared exactly it is above 2^53.
      {Int(9007199254740993), Flt(9007199254740992.0), 1},
      {Int(INT64_MAX), Flt(9223372036854775808.0), -1},
      {Fixed(3000), Flt(0.3), 0},  // BCD 0.3 against the float 0.3: as floats
      {Flt(1.5), Flt(1.25), 1},
  };
  for (const TCompareCase& c : cases) {
    EXPECT_EQ(CompareNumbers(c.A, c.B), c.Expected);
    EXPECT_EQ(CompareNumbers(c.B, c.A), -c.Expected);
  }
}

TEST(ExpressionValuesTest, IntegerArithmeticWrapsInTheResultWidth) {
  uint8_t out[8] = {};
  ASSERT_TRUE(ComputeNumber(TArithmetic::Add, Int(INT32_MAX), Int(1), TFieldType::Integer, 0, out));
  EXPECT_EQ(ReadI32(out), INT32_MIN);
  ASSERT_TRUE(ComputeNumber(TArithmetic::Multiply, Int(65536), Int(65536), TFieldType::Integer, 0, out));
  EXPECT_EQ(ReadI32(out), 0);
  ASSERT_TRUE(ComputeNumber(TArithmetic::Multiply, Int(65536), Int(65536), TFieldType::LargeInt, 0, out));
  EXPECT_EQ(ReadI64(out), int64_t{1} << 32);
  ASSERT_TRUE(ComputeNumber(TArithmetic::Divide, Int(7), Int(2), TFieldType::Float, 0, out));
  EXPECT_DOUBLE_EQ(ReadF64(out), 3.5);
  EXPECT_FALSE(ComputeNumber(TArithmetic::Divide, Int(5), Int(0), TFieldType::Float, 0, out));
  EXPECT_FALSE(ComputeNumber(TArithmetic::Divide, Flt(5), Flt(0.0), TFieldType::Float, 0, out));
  EXPECT_FALSE(ComputeNumber(TArithmetic::Divide, Int(5), Int(0), TFieldType::Integer, 0, out));
}

TEST(ExpressionValuesTest, BcdArithmeticIsFixedPointWithTheResultScale) {
  uint8_t out[kBcdDataSize] = {};
  // 1.25 * 3 = 3.75, written with 1 place rounds half to even: 3.8.
  ASSERT_TRUE(ComputeNumber(TArithmetic::Multiply, Fixed(12500), Int(3), TFieldType::Bcd, 1, out));
  EXPECT_EQ(*BcdToFixed(out), 38000);
  ASSERT_TRUE(ComputeNumber(TArithmetic::Divide, Fixed(10000), Int(3), TFieldType::Bcd, 4, out));
  EXPECT_EQ(*BcdToFixed(out), 3333);
  ASSERT_TRUE(ComputeNumber(TArithmetic::Subtract, Fixed(5), Fixed(10), TFieldType::Bcd, 4, out));
  EXPECT_EQ(*BcdToFixed(out), -5);
  EXPECT_FALSE(ComputeNumber(TArithmetic::Divide, Fixed(10000), Fixed(0), TFieldType::Bcd, 2, out));
  EXPECT_FALSE(ComputeNumber(TArithmetic::Multiply, Fixed(INT64_MAX), Int(2), TFieldType::Bcd, 2, out));
  // A float operand makes the result a float.
  ASSERT_TRUE(ComputeNumber(TArithmetic::Add, Fixed(15000), Flt(0.25), TFieldType::Float, 0, out));
  EXPECT_DOUBLE_EQ(ReadF64(out), 1.75);
}

TEST(ExpressionValuesTest, RoundIsHalfAwayFromZero) {
  EXPECT_DOUBLE_EQ(RoundNumber(Flt(2.5), 0)->Float, 3.0);
  EXPECT_DOUBLE_EQ(RoundNumber(Flt(-2.5), 0)->Float, -3.0);
  EXPECT_DOUBLE_EQ(RoundNumber(Flt(1.005), 1)->Float, 1.0);
  EXPECT_EQ(RoundNumber(Fixed(12350), 2)->Integer, 12400);
  EXPECT_EQ(RoundNumber(Fixed(-12350), 2)->Integer, -12400);
  EXPECT_EQ(RoundNumber(Fixed(12345), 10)->Integer, 12345);  // more than four places: unchanged
  EXPECT_EQ(RoundNumber(Fixed(25000), 0)->Integer, 30000);
}

TEST(ExpressionValuesTest, NegateAndAbsKeepTheirKind) {
  EXPECT_EQ(NegateNumber(Int(5)).Integer, -5);
  EXPECT_EQ(NegateNumber(Fixed(5)).Kind, TNumberKind::Fixed);
  EXPECT_EQ(AbsNumber(Int(-7)).Integer, 7);
  EXPECT_DOUBLE_EQ(AbsNumber(Flt(-1.5)).Float, 1.5);
  uint8_t out[2] = {};
  ASSERT_TRUE(WriteNumber(AbsNumber(Int(-32768)), TFieldType::SmallInt, 0, out));
  EXPECT_EQ(ReadI16(out), -32768);  // wraps in its width
}

TEST(ExpressionValuesTest, WriteNumberTruncatesFloatsForIntegerTargets) {
  uint8_t out[8] = {};
  ASSERT_TRUE(WriteNumber(Flt(-3.7), TFieldType::Integer, 0, out));
  EXPECT_EQ(ReadI32(out), -3);
  EXPECT_FALSE(WriteNumber(Flt(1e30), TFieldType::Integer, 0, out));
  ASSERT_TRUE(WriteNumber(Int(70000), TFieldType::SmallInt, 0, out));
  EXPECT_EQ(ReadI16(out), 4464);
}

TEST(ExpressionValuesTest, CalendarArithmetic) {
  EXPECT_EQ(AddDays(Day(2004, 2, 28), 1), Day(2004, 2, 29));
  EXPECT_EQ(AddDays(Day(2004, 3, 1), -1), Day(2004, 2, 29));
  EXPECT_FALSE(AddDays(Day(9999, 12, 31), 1).has_value());
  EXPECT_FALSE(AddDays(1, INT64_MIN).has_value());
  EXPECT_EQ(AddMilliseconds(1000, 500), 1500);
  EXPECT_EQ(AddMilliseconds(kMillisecondsPerDay - 1, 2), 1);
  EXPECT_EQ(AddMilliseconds(0, -1), kMillisecondsPerDay - 1);
  const double noon = MakeTimestamp(Day(2004, 1, 5), 12 * 3600000);
  EXPECT_EQ(*AddTimestampDays(noon, 1), MakeTimestamp(Day(2004, 1, 6), 12 * 3600000));
}

TEST(ExpressionValuesTest, DatesCompareWithTimestampsAsTheirMidnight) {
  uint8_t date[4];
  uint8_t midnight[8];
  uint8_t morning[8];
  WriteI32(date, Day(2001, 2, 3));
  WriteF64(midnight, MakeTimestamp(Day(2001, 2, 3), 0));
  WriteF64(morning, MakeTimestamp(Day(2001, 2, 3), 1));
  EXPECT_EQ(CompareTemporal(TFieldType::Date, date, TFieldType::Timestamp, midnight), 0);
  EXPECT_LT(CompareTemporal(TFieldType::Date, date, TFieldType::Timestamp, morning), 0);
  EXPECT_GT(CompareTemporal(TFieldType::Timestamp, morning, TFieldType::Date, date), 0);
}

struct TExtractCase {
  TExtractPart Part;
  TFieldType Type;
  int32_t Date;
  int32_t Time;
  int32_t Expected;
};

TEST(ExpressionValuesTest, ExtractTakesThePartsOfEachType) {
  const int32_t tenThirty = *EncodeTime(10, 30, 5, 250);
  const TExtractCase cases[] = {
      {TExtractPart::Week, TFieldType::Date, Day(2004, 1, 1), 0, 1},
      {TExtractPart::Week, TFieldType::Date, Day(2005, 1, 1), 0, 53},
      {TExtractPart::Week, TFieldType::Date, Day(2008, 12, 29), 0, 1},
      {TExtractPart::Year, TFieldType::Date, Day(2004, 2, 5), 0, 2004},
      {TExtractPart::Month, TFieldType::Date, Day(2004, 2, 5), 0, 2},
      {TExtractPart::Day, TFieldType::Date, Day(2004, 2, 5), 0, 5},
      {TExtractPart::DayOfWeek, TFieldType::Date, Day(2004, 1, 5), 0, 1},  // a Monday
      {TExtractPart::DayOfWeek, TFieldType::Date, Day(2004, 1, 4), 0, 7},  // a Sunday
      {TExtractPart::DayOfYear, TFieldType::Date, Day(2004, 1, 1), 0, 1},
      {TExtractPart::DayOfYear, TFieldType::Date, Day(2004, 12, 31), 0, 366},
      {TExtractPart::Hour, TFieldType::Date, Day(2004, 2, 5), 0, 0},
      {TExtractPart::Hour, TFieldType::Time, 0, tenThirty, 10},
      {TExtractPart::Minute, TFieldType::Time, 0, tenThirty, 30},
      {TExtractPart::Second, TFieldType::Time, 0, tenThirty, 5},
      {TExtractPart::Year, TFieldType::Time, 0, tenThirty, 0},
      {TExtractPart::DayOfWeek, TFieldType::Time, 0, tenThirty, 6},  // 1899-12-30, a Saturday
      {TExtractPart::DayOfYear, TFieldType::Time, 0, tenThirty, 364},
      {TExtractPart::Week, TFieldType::Time, 0, tenThirty, 52},
      {TExtractPart::Year, TFieldType::Timestamp, Day(2004, 2, 5), tenThirty, 2004},
      {TExtractPart::Second, TFieldType::Timestamp, Day(2004, 2, 5), tenThirty, 5},
      {TExtractPart::Year, TFieldType::Integer, 2004, 0, 0},
  };
  for (const TExtractCase& c : cases) {
    std::array<uint8_t, 8> data{};
    if (c.Type == TFieldType::Timestamp)
      WriteF64(data.data(), MakeTimestamp(c.Date, c.Time));
    else
      WriteI32(data.data(), c.Type == TFieldType::Time ? c.Time : c.Date);
    EXPECT_EQ(ExtractPart(c.Part, c.Type, data.data()), c.Expected)
        << static_cast<int>(c.Part) << " of type " << static_cast<int>(c.Type);
  }
}

}  // namespace
}  // namespace kura
