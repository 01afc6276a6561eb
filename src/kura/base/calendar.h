#pragma once

// Calendar encodings of the engine's date, time and timestamp values.
//
// - A date is an int32 day number in the proleptic Gregorian calendar: day 1 is
//   0001-01-01; valid dates run from 0001-01-01 (1) to 9999-12-31 (3652059).
// - A time is an int32 count of milliseconds since midnight, 0 to 86,399,999.
// - A timestamp is a double: day number * 86,400,000 + milliseconds since midnight.
//   It is rounded to the nearest whole millisecond before it is split.
// - A time that has to become a timestamp takes the day 1899-12-30 (day 693594).
//
// Nothing here allocates; invalid input gives an empty optional or false, never an
// exception.

#include <cstdint>
#include <optional>

namespace kura {

constexpr int32_t kMinDate = 1;          // 0001-01-01
constexpr int32_t kMaxDate = 3652059;    // 9999-12-31
constexpr int32_t kTimeBaseDate = 693594;  // 1899-12-30: the day of a time-only timestamp
constexpr int32_t kMillisecondsPerDay = 86400000;

struct TDateParts {
  int Year;
  int Month;
  int Day;
};

struct TTimeParts {
  int Hour;
  int Minute;
  int Second;
  int Millisecond;
};

struct TTimestampParts {
  int32_t Date;  // day number
  int32_t Time;  // milliseconds since midnight
};

bool IsLeapYear(int year);
// Days of the month (1-12) of the year; 0 for a month out of range.
int DaysInMonth(int year, int month);

constexpr bool IsValidDate(int32_t dayNumber) { return dayNumber >= kMinDate && dayNumber <= kMaxDate; }
constexpr bool IsValidTime(int32_t milliseconds) { return milliseconds >= 0 && milliseconds < kMillisecondsPerDay; }

// The day number of a date of the years 1 to 9999; empty for an invalid date.
std::optional<int32_t> EncodeDate(int year, int month, int day);
// Year, month and day of a valid day number; empty outside 1..kMaxDate.
std::optional<TDateParts> DecodeDate(int32_t dayNumber);

// Milliseconds since midnight; empty unless hour < 24, minute < 60, second < 60 and
// millisecond < 1000, none negative.
std::optional<int32_t> EncodeTime(int hour, int minute, int second, int millisecond);
// The parts of a valid time; empty outside 0..86,399,999.
std::optional<TTimeParts> DecodeTime(int32_t milliseconds);

// day * 86,400,000 + milliseconds, exact for every valid date and time.
constexpr double MakeTimestamp(int32_t dayNumber, int32_t milliseconds) {
  return static_cast<double>(dayNumber) * kMillisecondsPerDay + milliseconds;
}
// Rounds to the nearest millisecond (halves away from zero) and splits into day and
// time; empty when the day is not a valid date or the value is not finite.
std::optional<TTimestampParts> SplitTimestamp(double timestamp);

// 1 for Monday to 7 for Sunday.
int DayOfWeek(int32_t dayNumber);
// 1 for January 1; 0 for an invalid day number.
int DayOfYear(int32_t dayNumber);
// ISO 8601 week number (weeks start on Monday, week 1 holds January 4); 0 for an
// invalid day number.
int IsoWeekNumber(int32_t dayNumber);

// The local date, time of day and timestamp of the machine's clock.
int32_t CurrentDate();
int32_t CurrentTime();
double CurrentTimestamp();

}  // namespace kura
