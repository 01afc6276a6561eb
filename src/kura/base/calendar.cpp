#include "kura/base/calendar.h"

#include <cmath>
#include <ctime>

namespace kura {

namespace {

// Day number of 1970-01-01: the civil-day arithmetic below counts from there.
constexpr int32_t kUnixEpochDay = 719163;

// Days from 1970-01-01 to a proleptic Gregorian date (any year >= 1), by eras of
// 400 years so that no loop and no table are needed.
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct TCivil {
  int64_t Year;
  int Month;
  int Day;
};

constexpr TCivil CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

static_assert(DaysFromCivil(1, 1, 1) + kUnixEpochDay == 1);
static_assert(DaysFromCivil(1899, 12, 30) + kUnixEpochDay == kTimeBaseDate);
static_assert(DaysFromCivil(9999, 12, 31) + kUnixEpochDay == kMaxDate);

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

std::optional<int32_t> EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    return std::nullopt;
  }
  return static_cast<int32_t>(DaysFromCivil(year, month, day) + kUnixEpochDay);
}

std::optional<TDateParts> DecodeDate(int32_t dayNumber) {
  if (!IsValidDate(dayNumber)) return std::nullopt;
  const TCivil c = CivilFromDays(static_cast<int64_t>(dayNumber) - kUnixEpochDay);
  return TDateParts{static_cast<int>(c.Year), c.Month, c.Day};
}

std::optional<int32_t> EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 || millisecond < 0 ||
      millisecond >= 1000) {
    return std::nullopt;
  }
  return ((hour * 60 + minute) * 60 + second) * 1000 + millisecond;
}

std::optional<TTimeParts> DecodeTime(int32_t milliseconds) {
  if (!IsValidTime(milliseconds)) return std::nullopt;
  return TTimeParts{milliseconds / 3600000, milliseconds / 60000 % 60, milliseconds / 1000 % 60,
                    milliseconds % 1000};
}

std::optional<TTimestampParts> SplitTimestamp(double timestamp) {
  if (!std::isfinite(timestamp)) return std::nullopt;
  const double rounded = std::round(timestamp);
  // Checked in double before converting, so the integer conversion cannot overflow.
  if (rounded < static_cast<double>(kMinDate) * kMillisecondsPerDay ||
      rounded >= (static_cast<double>(kMaxDate) + 1) * kMillisecondsPerDay) {
    return std::nullopt;
  }
  const auto whole = static_cast<int64_t>(rounded);
  return TTimestampParts{static_cast<int32_t>(whole / kMillisecondsPerDay),
                         static_cast<int32_t>(whole % kMillisecondsPerDay)};
}

int DayOfWeek(int32_t dayNumber) {
  // Day 1 (0001-01-01) was a Monday.
  const int64_t r = (static_cast<int64_t>(dayNumber) - 1) % 7;
  return static_cast<int>(r < 0 ? r + 7 : r) + 1;
}

int DayOfYear(int32_t dayNumber) {
  const auto parts = DecodeDate(dayNumber);
  if (!parts) return 0;
  return dayNumber - *EncodeDate(parts->Year, 1, 1) + 1;
}

int IsoWeekNumber(int32_t dayNumber) {
  const auto parts = DecodeDate(dayNumber);
  if (!parts) return 0;
  // The week belongs to the year of its Thursday.
  const int64_t thursday = static_cast<int64_t>(dayNumber) + 4 - DayOfWeek(dayNumber);
  const TCivil t = CivilFromDays(thursday - kUnixEpochDay);
  const int64_t firstOfYear = DaysFromCivil(t.Year, 1, 1) + kUnixEpochDay;
  return static_cast<int>((thursday - firstOfYear) / 7 + 1);
}

namespace {

struct TLocalClock {
  int32_t Date;
  int32_t Time;
};

TLocalClock ReadLocalClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const int32_t date = *EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  // A leap second (tm_sec 60) is shown as the last second of the minute.
  const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
  const int32_t time = *EncodeTime(local.tm_hour, local.tm_min, second, static_cast<int>(now.tv_nsec / 1000000));
  return {date, time};
}

}  // namespace

int32_t CurrentDate() { return ReadLocalClock().Date; }
int32_t CurrentTime() { return ReadLocalClock().Time; }
double CurrentTimestamp() {
  const TLocalClock clock = ReadLocalClock();
  return MakeTimestamp(clock.Date, clock.Time);
}

}  // namespace kura
