#include "kura/base/text_forms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "kura/base/calendar.h"

namespace kura {
namespace {

int32_t Day(int year, int month, int day) { return *EncodeDate(year, month, day); }
int32_t Clock(int hour, int minute, int second = 0, int millisecond = 0) {
  return *EncodeTime(hour, minute, second, millisecond);
}

// The message of the EConvertError a call raises, or "" when it raises none.
template <typename TCall>
std::string ConvertMessage(TCall call) {
  try {
    call();
  } catch (const EConvertError& error) {
    return error.what();
  }
  return "";
}

TEST(TextForms, DateText) {
  EXPECT_EQ(DateToText(Day(99, 1, 5)), "0099-01-05");
  EXPECT_EQ(DateToText(Day(2004, 2, 5)), "2004-02-05");
  EXPECT_EQ(DateToText(kMinDate), "0001-01-01");
  EXPECT_EQ(DateToText(kMaxDate), "9999-12-31");
  EXPECT_EQ(DateToText(kTimeBaseDate), "1899-12-30");
  EXPECT_EQ(DateToText(0), "");
  EXPECT_EQ(DateToText(kMaxDate + 1), "");
}

TEST(TextForms, TimeTextShowsSecondsAndMillisecondsOnlyWhenPresent) {
  struct TCase {
    int32_t Time;
    const char* Text;
  };
  const TCase cases[] = {
      {Clock(10, 30), "10:30"},
      {Clock(10, 30, 5), "10:30:05"},
      {Clock(10, 30, 5, 5), "10:30:05.5"},
      {Clock(10, 30, 5, 250), "10:30:05.250"},
      {Clock(10, 30, 0, 250), "10:30"},
      {Clock(0, 0), "00:00"},
      {Clock(23, 59, 59, 999), "23:59:59.999"},
      {Clock(9, 5, 1, 40), "09:05:01.40"},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeToText(c.Time), c.Text);
  EXPECT_EQ(TimeToText(-1), "");
  EXPECT_EQ(TimeToText(kMillisecondsPerDay), "");
}

TEST(TextForms, TimestampText) {
  EXPECT_EQ(TimestampToText(MakeTimestamp(Day(2004, 1, 5), Clock(10, 30))), "2004-01-05 10:30");
  EXPECT_EQ(TimestampToText(MakeTimestamp(Day(2004, 1, 5), 0)), "2004-01-05 00:00");
  EXPECT_EQ(TimestampToText(MakeTimestamp(kMaxDate, Clock(23, 59, 59, 999))), "9999-12-31 23:59:59.999");
  EXPECT_EQ(TimestampToText(0.0), "");
  EXPECT_EQ(TimestampToText(std::numeric_limits<double>::quiet_NaN()), "");
}

TEST(TextForms, BooleanText) {
  EXPECT_EQ(BooleanToText(1), "True");
  EXPECT_EQ(BooleanToText(2), "True");
  EXPECT_EQ(BooleanToText(-1), "True");
  EXPECT_EQ(BooleanToText(0), "False");
}

TEST(TextForms, FloatTextGeneralForm) {
  struct TCase {
    double Value;
    const char* Text;
  };
  const TCase cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {1.0, "1"},
      {-1.5, "-1.5"},
      {3.7, "3.7"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.333333333333333"},
      {2.0 / 3.0, "0.666666666666667"},
      {100.0, "100"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {1e15, "1E15"},
      {1e20, "1E20"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {0.00001, "1E-5"},
      {-1.5e-7, "-1.5E-7"},
      {1.7976931348623157e308, "1.79769313486232E308"},
      {5e-324, "4.94065645841247E-324"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatToText(c.Value), c.Text) << c.Text;
}

TEST(TextForms, FixedText) {
  struct TCase {
    int64_t Value;
    const char* Text;
  };
  const TCase cases[] = {
      {0, "0"},          {10000, "1"},       {12345, "1.2345"},  {12300, "1.23"}, {-5000, "-0.5"},
      {-1, "-0.0001"},   {100, "0.01"},      {1230000, "123"},
      {std::numeric_limits<int64_t>::max(), "922337203685477.5807"},
      {std::numeric_limits<int64_t>::min(), "-922337203685477.5808"},
  };
  for (const auto& c : cases) EXPECT_EQ(FixedToText(c.Value), c.Text);
}

TEST(TextForms, CharFormattersReportTooLittleRoom) {
  char buffer[10];
  EXPECT_EQ(DateToChars(Day(2004, 1, 5), buffer, buffer + 10), buffer + 10);
  EXPECT_EQ(DateToChars(Day(2004, 1, 5), buffer, buffer + 9), nullptr);
  EXPECT_EQ(FixedToChars(12345, buffer, buffer + 5), nullptr);
  EXPECT_EQ(FloatToChars(1.5, buffer, buffer + 3), buffer + 3);
  EXPECT_EQ(std::string(buffer, 3), "1.5");
}

TEST(TextForms, IntegerTexts) {
  EXPECT_EQ(TryTextToInt32("123"), 123);
  EXPECT_EQ(TryTextToInt32(" -123 "), -123);
  EXPECT_EQ(TryTextToInt32("+7"), 7);
  EXPECT_EQ(TryTextToInt32("2147483647"), 2147483647);
  EXPECT_EQ(TryTextToInt32("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(TryTextToInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(TryTextToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  for (const char* bad : {"", " ", "-", "+", "2147483648", "-2147483649", "1.0", "1e3", "12a", "0x10", "1 2",
                          "99999999999999999999"}) {
    EXPECT_FALSE(TryTextToInt32(bad)) << bad;
  }
  for (const char* bad : {"9223372036854775808", "-9223372036854775809", "abc"}) {
    EXPECT_FALSE(TryTextToInt64(bad)) << bad;
  }
}

TEST(TextForms, TextToDate) {
  struct TCase {
    const char* Text;
    std::optional<int32_t> Expected;
  };
  const TCase cases[] = {
      {"2004-2-5", Day(2004, 2, 5)},
      {"2004-02-05", Day(2004, 2, 5)},
      {"0001-01-01", kMinDate},
      {"9999-12-31", kMaxDate},
      {"99-1-5", Day(99, 1, 5)},
      {"2000-02-29", Day(2000, 2, 29)},
      {"2004-02-30", std::nullopt},
      {"1900-02-29", std::nullopt},
      {"2004/02/05", std::nullopt},
      {"2004-02", std::nullopt},
      {"2004", std::nullopt},
      {"", std::nullopt},
      {"0-1-1", std::nullopt},
      {"10000-1-1", std::nullopt},
      {"2004-x-05", std::nullopt},
      {"2004-02-05 10:30", std::nullopt},
      {"-2004-02-05", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TryTextToDate(c.Text), c.Expected) << c.Text;
  EXPECT_EQ(TextToDate("2004-2-5"), Day(2004, 2, 5));
  EXPECT_EQ(ConvertMessage([] { TextToDate("2004-02-30"); }), "'2004-02-30' is not a valid date");
  EXPECT_EQ(ConvertMessage([] { TextToDate("2004/02/05"); }), "'2004/02/05' is not a valid date");
}

TEST(TextForms, TextToTime) {
  struct TCase {
    const char* Text;
    std::optional<int32_t> Expected;
  };
  const TCase cases[] = {
      {"10:30", Clock(10, 30)},
      {"10:30 PM", Clock(22, 30)},
      {"10:30pm", Clock(22, 30)},
      {"12:15 am", Clock(0, 15)},
      {"12:15 PM", Clock(12, 15)},
      {"1:05 AM", Clock(1, 5)},
      {"10:30:05", Clock(10, 30, 5)},
      {"10:30:05.5", Clock(10, 30, 5, 5)},
      {"10:30:05.500", Clock(10, 30, 5, 500)},
      {"0:0", 0},
      {"23:59:59.999", Clock(23, 59, 59, 999)},
      {" 7:08 ", Clock(7, 8)},
      {"11:59:59 PM", Clock(23, 59, 59)},
      {"10", std::nullopt},
      {"24:00", std::nullopt},
      {"10:60", std::nullopt},
      {"10:30:60", std::nullopt},
      {"10:30:05.1000", std::nullopt},
      {"12:00 PM PM", std::nullopt},
      {"13:00 PM", std::nullopt},
      {"", std::nullopt},
      {"10:", std::nullopt},
      {"10:30:", std::nullopt},
      {"10:30:05.", std::nullopt},
      {"ab:cd", std::nullopt},
      {"-1:30", std::nullopt},
      {"10.30", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TryTextToTime(c.Text), c.Expected) << c.Text;
  EXPECT_EQ(ConvertMessage([] { TextToTime("10"); }), "'10' is not a valid time");
  EXPECT_EQ(ConvertMessage([] { TextToTime("24:00"); }), "'24:00' is not a valid time");
}

TEST(TextForms, TextToTimestamp) {
  struct TCase {
    const char* Text;
    std::optional<double> Expected;
  };
  const TCase cases[] = {
      {"2004-01-05 10:30", MakeTimestamp(Day(2004, 1, 5), Clock(10, 30))},
      {"2004-01-05 10:30:05.5", MakeTimestamp(Day(2004, 1, 5), Clock(10, 30, 5, 5))},
      {"2004-01-05 10:30 PM", MakeTimestamp(Day(2004, 1, 5), Clock(22, 30))},
      {"10:30", MakeTimestamp(kTimeBaseDate, Clock(10, 30))},
      {"10:30 PM", MakeTimestamp(kTimeBaseDate, Clock(22, 30))},
      {"2004-01-05", MakeTimestamp(Day(2004, 1, 5), 0)},
      {" 2004-01-05 ", MakeTimestamp(Day(2004, 1, 5), 0)},
      {"2004-01-05 25:00", std::nullopt},
      {"2004-02-30 10:30", std::nullopt},
      {"2004-01-05 x", std::nullopt},
      {"yesterday", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TryTextToTimestamp(c.Text), c.Expected) << c.Text;
  EXPECT_EQ(ConvertMessage([] { TextToTimestamp("2004-01-05 25:00"); }),
            "'2004-01-05 25:00' is not a valid date and time");
}

TEST(TextForms, TextToBoolean) {
  EXPECT_EQ(TryTextToBoolean("true"), true);
  EXPECT_EQ(TryTextToBoolean("TRUE"), true);
  EXPECT_EQ(TryTextToBoolean("False"), false);
  EXPECT_FALSE(TryTextToBoolean("yes"));
  EXPECT_FALSE(TryTextToBoolean("1"));
  EXPECT_FALSE(TryTextToBoolean(" true"));
  EXPECT_TRUE(TextToBoolean("tRuE"));
  EXPECT_EQ(ConvertMessage([] { TextToBoolean("yes"); }), "'yes' is not a valid boolean");
}

TEST(TextForms, TextToFloat) {
  struct TCase {
    const char* Text;
    std::optional<double> Expected;
  };
  const TCase cases[] = {
      {"3.7", 3.7},          {"-3.7", -3.7},      {"+2", 2.0},          {" 1.5 ", 1.5},
      {".5", 0.5},           {"5.", 5.0},         {"1e3", 1000.0},      {"1.5E-3", 0.0015},
      {"-2E+2", -200.0},     {"0", 0.0},          {"1e400", std::nullopt}, {"-1e400", std::nullopt},
      {"1e-400", 0.0},       {"", std::nullopt},  {".", std::nullopt}, {"1,5", std::nullopt},
      {"1e", std::nullopt},  {"e5", std::nullopt}, {"inf", std::nullopt}, {"nan", std::nullopt},
      {"0x10", std::nullopt}, {"1.5.2", std::nullopt}, {"--1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TryTextToFloat(c.Text), c.Expected) << c.Text;
  EXPECT_EQ(ConvertMessage([] { TextToFloat("abc"); }), "'abc' is not a valid floating point value");
}

TEST(TextForms, TextToFixedReadsExactly) {
  struct TCase {
    const char* Text;
    std::optional<int64_t> Expected;
  };
  const TCase cases[] = {
      {"1.2345", 12345},
      {"-1.2345", -12345},
      {"1.23", 12300},
      {"12", 120000},
      {"0.00005", 0},        // tie, to even
      {"0.00015", 2},        // tie, to even (exact, unlike a double)
      {"0.000150001", 2},
      {"0.00025", 2},
      {"0.000250001", 3},
      {"-0.00015", -2},
      {"1.5e2", 1500000},
      {"15E-5", 2},
      {"0.00000000000000000000000001", 0},
      {"922337203685477.5807", std::numeric_limits<int64_t>::max()},
      {"-922337203685477.5808", std::numeric_limits<int64_t>::min()},
      {"922337203685477.5808", std::nullopt},
      {"922337203685477.58075", std::nullopt},  // rounds beyond the range
      {"1e15", std::nullopt},
      {"1e999999999999", std::nullopt},
      {"0e999999999999", 0},
      {"000000000000000000000000000001", 10000},
      {"abc", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TryTextToFixed(c.Text), c.Expected) << c.Text;
  EXPECT_EQ(ConvertMessage([] { TextToFixed("1,5"); }), "'1,5' is not a valid floating point value");
}

TEST(TextForms, TextsRoundTrip) {
  for (int32_t date : {kMinDate, kTimeBaseDate, Day(2000, 2, 29), Day(2004, 2, 5), kMaxDate}) {
    EXPECT_EQ(TryTextToDate(DateToText(date)), date);
  }
  for (int32_t time : {0, 1, Clock(10, 30, 5, 5), Clock(12, 0), Clock(23, 59, 59, 999), Clock(10, 30, 0, 250)}) {
    // A time with milliseconds but no seconds drops them in its text.
    const int32_t expected = time % 60000 < 1000 ? time - time % 1000 : time;
    EXPECT_EQ(TryTextToTime(TimeToText(time)), expected) << time;
  }
  for (double stamp : {MakeTimestamp(Day(2004, 1, 5), Clock(10, 30, 5, 5)), MakeTimestamp(kMaxDate, 0),
                       MakeTimestamp(kTimeBaseDate, Clock(1, 2, 3, 4))}) {
    EXPECT_EQ(TryTextToTimestamp(TimestampToText(stamp)), stamp);
  }
  for (double value : {3.7, -1.5e-7, 1e20, 0.1, 123456789012345.0, 1e-300, 0.0001}) {
    EXPECT_EQ(TryTextToFloat(FloatToText(value)), value) << value;
  }
  for (int64_t value : {int64_t{0}, int64_t{1}, int64_t{-12345}, int64_t{1230000}, std::numeric_limits<int64_t>::max(),
                        std::numeric_limits<int64_t>::min()}) {
    EXPECT_EQ(TryTextToFixed(FixedToText(value)), value) << value;
  }
  for (bool value : {true, false}) EXPECT_EQ(TryTextToBoolean(BooleanToText(value)), value);
}

TEST(TextForms, IsValidValueText) {
  struct TCase {
    const char* Text;
    TFieldType Type;
    bool Valid;
  };
  const TCase cases[] = {
      {"", TFieldType::Date, true},
      {"", TFieldType::SmallInt, true},
      {"anything", TFieldType::String, true},
      {"anything", TFieldType::Bytes, true},
      {"anything", TFieldType::VarBytes, true},
      {"anything", TFieldType::Blob, true},
      {"anything", TFieldType::LongWord, true},
      {"CURRENT_DATE", TFieldType::Date, true},
      {"current_date", TFieldType::Date, true},
      {"CURRENT_TIME", TFieldType::Date, false},
      {"2004-2-5", TFieldType::Date, true},
      {"2004-02-30", TFieldType::Date, false},
      {"CURRENT_TIME", TFieldType::Time, true},
      {"CURRENT_DATE", TFieldType::Time, false},
      {"10:30 PM", TFieldType::Time, true},
      {"24:00", TFieldType::Time, false},
      {"CURRENT_TIMESTAMP", TFieldType::Timestamp, true},
      {"Current_Date", TFieldType::Timestamp, true},
      {"current_time", TFieldType::Timestamp, true},
      {"2004-01-05 10:30", TFieldType::Timestamp, true},
      {"2004-01-05", TFieldType::Timestamp, true},
      {"10:30", TFieldType::Timestamp, true},
      {"10:30 PM", TFieldType::Timestamp, true},
      {"2004-01-05 10:61", TFieldType::Timestamp, false},
      {"CURRENT_TIMESTAMP", TFieldType::Date, false},
      {"true", TFieldType::Boolean, true},
      {"yes", TFieldType::Boolean, false},
      {"32767", TFieldType::SmallInt, true},
      {"-32768", TFieldType::SmallInt, true},
      {"32768", TFieldType::SmallInt, false},
      {"70000", TFieldType::SmallInt, false},
      {"-32769", TFieldType::SmallInt, false},
      {"2147483647", TFieldType::Integer, true},
      {"2147483648", TFieldType::Integer, false},
      {"1.5", TFieldType::Integer, false},
      {"0", TFieldType::Word, true},
      {"65535", TFieldType::Word, true},
      {"65536", TFieldType::Word, false},
      {"-1", TFieldType::Word, false},
      {"-9223372036854775808", TFieldType::LargeInt, true},
      {"9223372036854775808", TFieldType::LargeInt, false},
      {"1.5e10", TFieldType::Float, true},
      {"1,5", TFieldType::Float, false},
      {"12.345678", TFieldType::Bcd, true},
      {"1e15", TFieldType::Bcd, false},
      {"abc", TFieldType::Bcd, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidValueText(c.Text, c.Type), c.Valid) << c.Text << " as type " << static_cast<int>(c.Type);
  }
}

}  // namespace
}  // namespace kura
