#include "kura/base/calendar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace kura {
namespace {

struct TDateCase {
  int Year;
  int Month;
  int Day;
  int32_t DayNumber;
};

TEST(Calendar, KnownDayNumbers) {
  const TDateCase cases[] = {
      {1, 1, 1, 1},            {1, 1, 31, 31},          {1, 2, 1, 32},           {1, 12, 31, 365},
      {2, 1, 1, 366},          {4, 12, 31, 1461},       {5, 1, 1, 1462},         {100, 3, 1, 36219},
      {1899, 12, 30, 693594},  {1899, 12, 31, 693595},  {1900, 1, 1, 693596},    {1970, 1, 1, 719163},
      {2000, 2, 29, 730179},   {2004, 2, 5, 731616},    {9999, 12, 31, 3652059},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeDate(c.Year, c.Month, c.Day), c.DayNumber) << c.Year << "-" << c.Month << "-" << c.Day;
    const auto parts = DecodeDate(c.DayNumber);
    ASSERT_TRUE(parts) << c.DayNumber;
    EXPECT_EQ(parts->Year, c.Year);
    EXPECT_EQ(parts->Month, c.Month);
    EXPECT_EQ(parts->Day, c.Day);
  }
  EXPECT_EQ(kTimeBaseDate, 693594);
}

TEST(Calendar, InvalidDatesAreRejected) {
  const TDateCase cases[] = {
      {0, 1, 1, 0},     {10000, 1, 1, 0}, {2004, 0, 1, 0},  {2004, 13, 1, 0}, {2004, 1, 0, 0},
      {2004, 1, 32, 0}, {2004, 2, 30, 0}, {2003, 2, 29, 0}, {1900, 2, 29, 0}, {2100, 2, 29, 0},
      {2004, 4, 31, 0}, {-1, 1, 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(EncodeDate(c.Year, c.Month, c.Day)) << c.Year << "-" << c.Month << "-" << c.Day;
  }
  for (int32_t day : {0, -1, kMaxDate + 1, INT32_MIN, INT32_MAX}) {
    EXPECT_FALSE(DecodeDate(day)) << day;
    EXPECT_FALSE(IsValidDate(day)) << day;
  }
}

TEST(Calendar, LeapYearsFollowTheGregorianRule) {
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_TRUE(IsLeapYear(2004));
  EXPECT_TRUE(IsLeapYear(4));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_FALSE(IsLeapYear(2100));
  EXPECT_FALSE(IsLeapYear(2003));
  EXPECT_EQ(DaysInMonth(2004, 2), 29);
  EXPECT_EQ(DaysInMonth(1900, 2), 28);
  EXPECT_EQ(DaysInMonth(2004, 12), 31);
  EXPECT_EQ(DaysInMonth(2004, 13), 0);
  EXPECT_EQ(*EncodeDate(2004, 3, 1) - *EncodeDate(2004, 2, 28), 2);
  EXPECT_EQ(*EncodeDate(2003, 3, 1) - *EncodeDate(2003, 2, 28), 1);
}

TEST(Calendar, EveryDayRoundTripsAndFollowsItsPredecessor) {
  auto previous = *DecodeDate(kMinDate);
  for (int32_t day = kMinDate + 1; day <= kMaxDate; ++day) {
    const auto parts = DecodeDate(day);
    ASSERT_TRUE(parts);
    ASSERT_EQ(EncodeDate(parts->Year, parts->Month, parts->Day), day);
    const bool nextDay = parts->Year == previous.Year && parts->Month == previous.Month &&
                         parts->Day == previous.Day + 1;
    const bool nextMonth = parts->Day == 1 && previous.Day == DaysInMonth(previous.Year, previous.Month) &&
                           ((parts->Month == previous.Month + 1 && parts->Year == previous.Year) ||
                            (parts->Month == 1 && previous.Month == 12 && parts->Year == previous.Year + 1));
    ASSERT_TRUE(nextDay || nextMonth) << day;
    previous = *parts;
  }
}

struct TTimeCase {
  int Hour, Minute, Second, Millisecond;
  int32_t Value;
};

TEST(Calendar, TimesCountMillisecondsSinceMidnight) {
  const TTimeCase cases[] = {
      {0, 0, 0, 0, 0},
      {0, 0, 0, 1, 1},
      {10, 30, 5, 5, 37805005},
      {12, 0, 0, 0, 43200000},
      {23, 59, 59, 999, 86399999},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeTime(c.Hour, c.Minute, c.Second, c.Millisecond), c.Value);
    const auto parts = DecodeTime(c.Value);
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->Hour, c.Hour);
    EXPECT_EQ(parts->Minute, c.Minute);
    EXPECT_EQ(parts->Second, c.Second);
    EXPECT_EQ(parts->Millisecond, c.Millisecond);
  }
  const TTimeCase invalid[] = {
      {24, 0, 0, 0, 0}, {0, 60, 0, 0, 0}, {0, 0, 60, 0, 0}, {0, 0, 0, 1000, 0}, {-1, 0, 0, 0, 0}, {0, -1, 0, 0, 0},
  };
  for (const auto& c : invalid) {
    EXPECT_FALSE(EncodeTime(c.Hour, c.Minute, c.Second, c.Millisecond)) << c.Hour << ":" << c.Minute;
  }
  EXPECT_FALSE(DecodeTime(-1));
  EXPECT_FALSE(DecodeTime(kMillisecondsPerDay));
}

TEST(Calendar, TimestampsSplitIntoDayAndTime) {
  const int32_t day = *EncodeDate(2004, 1, 5);
  const int32_t time = *EncodeTime(10, 30, 0, 0);
  const double stamp = MakeTimestamp(day, time);
  EXPECT_EQ(stamp, 731585.0 * 86400000.0 + 37800000.0);
  auto parts = SplitTimestamp(stamp);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->Date, day);
  EXPECT_EQ(parts->Time, time);

  // Rounded to the nearest millisecond before the split, also across midnight.
  parts = SplitTimestamp(MakeTimestamp(day, 0) - 0.4);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->Date, day);
  EXPECT_EQ(parts->Time, 0);
  parts = SplitTimestamp(MakeTimestamp(day, kMillisecondsPerDay - 1) + 0.6);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->Date, day + 1);
  EXPECT_EQ(parts->Time, 0);
  parts = SplitTimestamp(MakeTimestamp(day, 5) + 0.49);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->Time, 5);

  // The last millisecond of 9999-12-31 is exact in a double.
  parts = SplitTimestamp(MakeTimestamp(kMaxDate, kMillisecondsPerDay - 1));
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->Date, kMaxDate);
  EXPECT_EQ(parts->Time, kMillisecondsPerDay - 1);

  for (double bad : {0.0, -1.0, MakeTimestamp(kMaxDate + 1, 0), 1e300, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(SplitTimestamp(bad)) << bad;
  }
}

TEST(Calendar, DayOfWeekYearAndIsoWeek) {
  struct TCase {
    int Year, Month, Day;
    int Weekday, YearDay, Week;
  };
  const TCase cases[] = {
      {1, 1, 1, 1, 1, 1},          {1899, 12, 30, 6, 364, 52}, {2004, 1, 1, 4, 1, 1},
      {2005, 1, 1, 6, 1, 53},      {2005, 1, 2, 7, 2, 53},     {2005, 1, 3, 1, 3, 1},
      {2008, 12, 29, 1, 364, 1},   {2004, 12, 31, 5, 366, 53}, {2010, 1, 3, 7, 3, 53},
      {2026, 12, 10, 4, 344, 50},
  };
  for (const auto& c : cases) {
    const int32_t day = *EncodeDate(c.Year, c.Month, c.Day);
    EXPECT_EQ(DayOfWeek(day), c.Weekday) << c.Year << "-" << c.Month << "-" << c.Day;
    EXPECT_EQ(DayOfYear(day), c.YearDay) << c.Year << "-" << c.Month << "-" << c.Day;
    EXPECT_EQ(IsoWeekNumber(day), c.Week) << c.Year << "-" << c.Month << "-" << c.Day;
  }
  EXPECT_EQ(DayOfYear(0), 0);
  EXPECT_EQ(IsoWeekNumber(0), 0);
}

TEST(Calendar, TheClockGivesAValidDateAndTime) {
  const int32_t before = CurrentDate();
  const double stamp = CurrentTimestamp();
  const int32_t after = CurrentDate();
  ASSERT_TRUE(IsValidDate(before));
  EXPECT_TRUE(IsValidTime(CurrentTime()));
  const auto parts = SplitTimestamp(stamp);
  ASSERT_TRUE(parts);
  EXPECT_GE(parts->Date, before);
  EXPECT_LE(parts->Date, after);
}

}  // namespace
}  // namespace kura
