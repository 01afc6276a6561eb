#include "kura/base/value_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/fixed_point.h"

namespace kura {
namespace {

using enum TFieldType;

struct TBuffer {
  uint8_t Bytes[kValueBufferSize]{};
};

TBuffer Str(const std::string& text) {
  TBuffer b;
  std::memcpy(b.Bytes, text.data(), text.size());
  return b;
}
TBuffer I16(int16_t v) {
  TBuffer b;
  WriteI16(b.Bytes, v);
  return b;
}
TBuffer U16(uint16_t v) {
  TBuffer b;
  WriteU16(b.Bytes, v);
  return b;
}
TBuffer I32(int32_t v) {
  TBuffer b;
  WriteI32(b.Bytes, v);
  return b;
}
TBuffer I64(int64_t v) {
  TBuffer b;
  WriteI64(b.Bytes, v);
  return b;
}
TBuffer F64(double v) {
  TBuffer b;
  WriteF64(b.Bytes, v);
  return b;
}
TBuffer BcdOf(int64_t fixed, int places) {
  TBuffer b;
  EXPECT_TRUE(FixedToBcd(fixed, places, b.Bytes));
  return b;
}

int32_t Day(int y, int m, int d) { return *EncodeDate(y, m, d); }
int32_t Clock(int h, int n, int s = 0, int z = 0) { return *EncodeTime(h, n, s, z); }

// Record size of a field of the type (strings and bytes of 40 characters).
int SizeOf(TFieldType type) {
  return DataSize(type, 40);
}

// Converts a copy of `value` with the usual sizes; `ok` tells whether it succeeded.
TBuffer Convert(TFieldType from, TBuffer value, TFieldType to, bool& ok, int targetScale = 2) {
  ok = ConvertValue(from, SizeOf(from), 0, value.Bytes, targetScale, SizeOf(to), to);
  return value;
}

std::string TextOf(const TBuffer& b) { return reinterpret_cast<const char*>(b.Bytes); }

bool AllZero(const TBuffer& b) {
  for (uint8_t byte : b.Bytes) {
    if (byte != 0) return false;
  }
  return true;
}

// ---- the cases named for this engine -------------------------------------------------

TEST(ConvertValue, FloatToIntegerTruncatesTowardZero) {
  struct TCase {
    double Value;
    int32_t Expected;
  };
  for (const TCase c : {TCase{3.7, 3}, TCase{-3.7, -3}, TCase{0.9, 0}, TCase{-0.9, 0}, TCase{2147483647.9, 2147483647}}) {
    bool ok = false;
    const TBuffer result = Convert(Float, F64(c.Value), Integer, ok);
    EXPECT_TRUE(ok) << c.Value;
    EXPECT_EQ(ReadI32(result.Bytes), c.Expected) << c.Value;
  }
}

TEST(ConvertValue, NarrowingKeepsTheLowBits) {
  bool ok = false;
  TBuffer result = Convert(Integer, I32(70000), SmallInt, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI16(result.Bytes), 4464);
  result = Convert(String, Str("70000"), SmallInt, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI16(result.Bytes), 4464);
  result = Convert(Integer, I32(-1), Word, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadU16(result.Bytes), 65535);
  result = Convert(LargeInt, I64(0x123456789ABCDEF0), Integer, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadU32(result.Bytes), 0x9ABCDEF0u);
  result = Convert(LargeInt, I64(0x123456789ABCDEF0), SmallInt, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadU16(result.Bytes), 0xDEF0);
  result = Convert(Float, F64(70000.9), SmallInt, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI16(result.Bytes), 4464);
  result = Convert(Float, F64(4294967297.5), Integer, ok);  // 2^32 + 1
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI32(result.Bytes), 1);
  result = Convert(Bcd, BcdOf(700001234, 4), SmallInt, ok);  // 70000.1234
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI16(result.Bytes), 4464);
}

TEST(ConvertValue, CalendarConversions) {
  bool ok = false;
  const int32_t day = Day(2004, 1, 5);
  TBuffer result = Convert(Time, I32(Clock(10, 30)), Timestamp, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadF64(result.Bytes), MakeTimestamp(kTimeBaseDate, Clock(10, 30)));
  result = Convert(Timestamp, F64(MakeTimestamp(day, Clock(10, 30, 5, 5))), Date, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI32(result.Bytes), day);
  result = Convert(Timestamp, F64(MakeTimestamp(day, Clock(10, 30, 5, 5))), Time, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI32(result.Bytes), Clock(10, 30, 5, 5));
  result = Convert(Date, I32(day), Timestamp, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadF64(result.Bytes), MakeTimestamp(day, 0));
  // Values outside the calendar do not convert.
  Convert(Date, I32(0), Timestamp, ok);
  EXPECT_FALSE(ok);
  Convert(Date, I32(0), String, ok);
  EXPECT_FALSE(ok);
  Convert(Time, I32(kMillisecondsPerDay), Timestamp, ok);
  EXPECT_FALSE(ok);
  Convert(Timestamp, F64(-5.0), Date, ok);
  EXPECT_FALSE(ok);
}

// ---- to and from strings -----------------------------------------------------------

struct TTextCase {
  TFieldType Type;
  TBuffer Value;
  const char* Text;
};

TEST(ConvertValue, ValuesToStrings) {
  const TTextCase cases[] = {
      {Date, I32(Day(99, 1, 5)), "0099-01-05"},
      {Time, I32(Clock(10, 30, 5, 5)), "10:30:05.5"},
      {Timestamp, F64(MakeTimestamp(Day(2004, 1, 5), Clock(10, 30))), "2004-01-05 10:30"},
      {Boolean, U16(1), "True"},
      {Boolean, U16(7), "True"},
      {Boolean, U16(0), "False"},
      {SmallInt, I16(-32768), "-32768"},
      {Integer, I32(-2147483647 - 1), "-2147483648"},
      {Word, U16(65535), "65535"},
      {LargeInt, I64(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {Float, F64(3.7), "3.7"},
      {Float, F64(1e20), "1E20"},
      {Bcd, BcdOf(12345, 4), "1.2345"},
      {Bcd, BcdOf(12300, 2), "1.23"},
      {Bcd, BcdOf(-50000, 0), "-5"},
      {Bcd, BcdOf(0, 2), "0"},
  };
  for (const auto& c : cases) {
    bool ok = false;
    const TBuffer result = Convert(c.Type, c.Value, String, ok);
    EXPECT_TRUE(ok) << c.Text;
    EXPECT_EQ(TextOf(result), c.Text);
  }
}

TEST(ConvertValue, StringsToValues) {
  struct TCase {
    const char* Text;
    TFieldType Type;
    TBuffer Expected;
  };
  const TCase cases[] = {
      {"2004-2-5", Date, I32(Day(2004, 2, 5))},
      {"10:30 PM", Time, I32(Clock(22, 30))},
      {"2004-01-05 10:30", Timestamp, F64(MakeTimestamp(Day(2004, 1, 5), Clock(10, 30)))},
      {"10:30", Timestamp, F64(MakeTimestamp(kTimeBaseDate, Clock(10, 30)))},
      {"true", Boolean, U16(1)},
      {"FALSE", Boolean, U16(0)},
      {"-12", SmallInt, I16(-12)},
      {"123456", Integer, I32(123456)},
      {"65535", Word, U16(65535)},
      {"-1", Word, U16(65535)},
      {"9223372036854775807", LargeInt, I64(std::numeric_limits<int64_t>::max())},
      {"1.5e3", Float, F64(1500.0)},
      {"1.2350", Bcd, BcdOf(12400, 2)},  // scale 2, half to even: 1.24
      {"1.2250", Bcd, BcdOf(12200, 2)},  // 1.22
  };
  for (const auto& c : cases) {
    bool ok = false;
    const TBuffer result = Convert(String, Str(c.Text), c.Type, ok);
    EXPECT_TRUE(ok) << c.Text;
    EXPECT_EQ(std::memcmp(result.Bytes, c.Expected.Bytes, kValueBufferSize), 0) << c.Text;
  }
}

TEST(ConvertValue, UnreadableStringsFailAndLeaveTheBufferClear) {
  struct TCase {
    const char* Text;
    TFieldType Type;
  };
  const TCase cases[] = {
      {"2004-02-30", Date}, {"2004/02/05", Date}, {"10", Time},        {"24:00", Time},
      {"yes", Boolean},     {"2147483648", Integer}, {"1.5", SmallInt}, {"9223372036854775808", LargeInt},
      {"abc", Float},       {"1e15", Bcd},        {"x", Timestamp},
  };
  for (const auto& c : cases) {
    bool ok = true;
    const TBuffer result = Convert(String, Str(c.Text), c.Type, ok);
    EXPECT_FALSE(ok) << c.Text;
    EXPECT_TRUE(AllZero(result)) << c.Text;
  }
}

TEST(ConvertValue, StringResultsAreCutAndTerminated) {
  TBuffer value = Str("2004-01-05 10:30:05.5");
  // A string target of 11 bytes holds 10 characters and the terminator.
  ASSERT_TRUE(ConvertValue(String, 41, 0, value.Bytes, 0, 11, String));
  EXPECT_EQ(TextOf(value), "2004-01-05");
  value = F64(MakeTimestamp(Day(2004, 1, 5), Clock(10, 30)));
  ASSERT_TRUE(ConvertValue(Timestamp, 8, 0, value.Bytes, 0, 5, String));
  EXPECT_EQ(TextOf(value), "2004");
  // The source text ends at its size even without a terminator.
  value = Str("123456");
  ASSERT_TRUE(ConvertValue(String, 3, 0, value.Bytes, 0, 4, Integer));
  EXPECT_EQ(ReadI32(value.Bytes), 123);
  // Nothing lands beyond the target size.
  std::memset(value.Bytes, 'x', kValueBufferSize);
  ASSERT_TRUE(ConvertValue(String, 251, 0, value.Bytes, 0, 251, String));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.Bytes)), std::string(250, 'x'));
}

// ---- numbers among themselves --------------------------------------------------------

TEST(ConvertValue, IntegerWidening) {
  bool ok = false;
  TBuffer result = Convert(SmallInt, I16(-2), Integer, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI32(result.Bytes), -2);
  result = Convert(SmallInt, I16(-2), LargeInt, ok);
  EXPECT_EQ(ReadI64(result.Bytes), -2);
  result = Convert(SmallInt, I16(-2), Word, ok);
  EXPECT_EQ(ReadU16(result.Bytes), 65534);
  result = Convert(Word, U16(65534), SmallInt, ok);
  EXPECT_EQ(ReadI16(result.Bytes), -2);
  result = Convert(Word, U16(65534), Integer, ok);
  EXPECT_EQ(ReadI32(result.Bytes), 65534);
  result = Convert(Word, U16(65534), LargeInt, ok);
  EXPECT_EQ(ReadI64(result.Bytes), 65534);
  result = Convert(Integer, I32(-5), LargeInt, ok);
  EXPECT_EQ(ReadI64(result.Bytes), -5);
  EXPECT_TRUE(ok);
}

TEST(ConvertValue, BooleansAndNumbers) {
  struct TCase {
    TFieldType From;
    TBuffer Value;
    TFieldType To;
    bool Converts;
    TBuffer Expected;
  };
  const TCase cases[] = {
      {SmallInt, I16(0), Boolean, true, U16(0)},
      {SmallInt, I16(-5), Boolean, true, U16(1)},
      {Word, U16(1), Boolean, true, U16(1)},
      {Word, U16(9), Boolean, true, U16(1)},
      {Integer, I32(1), Boolean, false, {}},
      {LargeInt, I64(1), Boolean, false, {}},
      {Float, F64(1.0), Boolean, false, {}},
      {Bcd, BcdOf(10000, 2), Boolean, false, {}},
      {Boolean, U16(5), SmallInt, true, I16(1)},
      {Boolean, U16(1), Integer, true, I32(1)},
      {Boolean, U16(0), Word, true, U16(0)},
      {Boolean, U16(1), LargeInt, true, I64(1)},
      {Boolean, U16(1), Bcd, true, BcdOf(10000, 2)},
      {Boolean, U16(1), Float, false, {}},
  };
  for (const auto& c : cases) {
    bool ok = false;
    const TBuffer result = Convert(c.From, c.Value, c.To, ok);
    EXPECT_EQ(ok, c.Converts) << static_cast<int>(c.From) << " -> " << static_cast<int>(c.To);
    EXPECT_EQ(std::memcmp(result.Bytes, c.Expected.Bytes, kValueBufferSize), 0)
        << static_cast<int>(c.From) << " -> " << static_cast<int>(c.To);
  }
}

TEST(ConvertValue, FloatsAndBcd) {
  bool ok = false;
  TBuffer result = Convert(SmallInt, I16(-7), Float, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadF64(result.Bytes), -7.0);
  result = Convert(LargeInt, I64((int64_t{1} << 53) + 1), Float, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadF64(result.Bytes), 9007199254740992.0);  // the nearest double
  result = Convert(Integer, I32(-123), Bcd, ok, 2);
  EXPECT_TRUE(ok);
  EXPECT_EQ(BcdToFixed(result.Bytes), -1230000);
  EXPECT_EQ(BcdPlaces(result.Bytes), 2);
  result = Convert(LargeInt, I64(922337203685477), Bcd, ok, 0);
  EXPECT_TRUE(ok);
  EXPECT_EQ(BcdToFixed(result.Bytes), 9223372036854770000);
  Convert(LargeInt, I64(922337203685478), Bcd, ok, 0);
  EXPECT_FALSE(ok);
  result = Convert(Float, F64(1.23456), Bcd, ok, 4);
  EXPECT_TRUE(ok);
  EXPECT_EQ(BcdToFixed(result.Bytes), 12346);
  result = Convert(Float, F64(2.00015), Bcd, ok, 4);  // 20001.5 units: tie, to even
  EXPECT_EQ(BcdToFixed(result.Bytes), 20002);
  Convert(Float, F64(1e15), Bcd, ok, 2);
  EXPECT_FALSE(ok);
  result = Convert(Bcd, BcdOf(-12345, 4), Float, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadF64(result.Bytes), -1.2345);
  result = Convert(Bcd, BcdOf(-37000, 1), Integer, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI32(result.Bytes), -3);
  result = Convert(Bcd, BcdOf(std::numeric_limits<int64_t>::max(), 4), LargeInt, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI64(result.Bytes), 922337203685477);
  // A BCD with more digits than the fixed-point form holds does not convert.
  TBuffer wide = BcdOf(0, 0);
  ASSERT_TRUE(RescaleBcd(BcdOf(std::numeric_limits<int64_t>::max(), 4).Bytes, 10, wide.Bytes));
  wide.Bytes[2] = 0x10;  // a leading digit far beyond the range
  Convert(Bcd, wide, Float, ok);
  EXPECT_FALSE(ok);
}

TEST(ConvertValue, FloatsBeyondTheIntegerRangeFail) {
  for (double value : {9223372036854775808.0, -9223372036854777856.0, 1e300, std::nan(""),
                       std::numeric_limits<double>::infinity()}) {
    for (TFieldType target : {SmallInt, Integer, Word, LargeInt}) {
      bool ok = true;
      const TBuffer result = Convert(Float, F64(value), target, ok);
      EXPECT_FALSE(ok) << value;
      EXPECT_TRUE(AllZero(result));
    }
  }
  bool ok = false;
  const TBuffer result = Convert(Float, F64(-9223372036854775808.0), LargeInt, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadI64(result.Bytes), std::numeric_limits<int64_t>::min());
}

// ---- same type, bytes, and pairs that do not convert ---------------------------------

TEST(ConvertValue, SameTypeKeepsTheValue) {
  const TTextCase cases[] = {
      {Integer, I32(-42), ""},
      {Float, F64(3.25), ""},
      {Date, I32(Day(2004, 1, 5)), ""},
      {Blob, I64(0x0000000700000003), ""},
      {Bcd, BcdOf(12345, 4), ""},
      {LongWord, I32(-1), ""},
  };
  for (const auto& c : cases) {
    TBuffer value = c.Value;
    ASSERT_TRUE(ConvertValue(c.Type, SizeOf(c.Type), 4, value.Bytes, 4, SizeOf(c.Type), c.Type));
    EXPECT_EQ(std::memcmp(value.Bytes, c.Value.Bytes, kValueBufferSize), 0) << static_cast<int>(c.Type);
  }
  TBuffer bytes = Str("abcdefgh");
  ASSERT_TRUE(ConvertValue(Bytes, 8, 0, bytes.Bytes, 0, 5, Bytes));
  EXPECT_EQ(TextOf(bytes), "abcde");
}

TEST(ConvertValue, BcdToBcdTakesTheTargetScale) {
  TBuffer value = BcdOf(12350, 4);
  ASSERT_TRUE(ConvertValue(Bcd, kBcdDataSize, 4, value.Bytes, 2, kBcdDataSize, Bcd));
  EXPECT_EQ(BcdPlaces(value.Bytes), 2);
  EXPECT_EQ(BcdToFixed(value.Bytes), 12400);
  value = BcdOf(12345, 4);
  ASSERT_TRUE(ConvertValue(Bcd, kBcdDataSize, 4, value.Bytes, 8, kBcdDataSize, Bcd));
  EXPECT_EQ(BcdPlaces(value.Bytes), 8);
  EXPECT_EQ(BcdToFixed(value.Bytes), 12345);
}

TEST(ConvertValue, BytesCarryTheRawValue) {
  bool ok = false;
  TBuffer result = Convert(Integer, I32(0x04030201), Bytes, ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(result.Bytes[0], 1);
  EXPECT_EQ(result.Bytes[3], 4);
  EXPECT_EQ(result.Bytes[4], 0);
  TBuffer value = F64(1.5);
  ASSERT_TRUE(ConvertValue(Float, 8, 0, value.Bytes, 0, 3, VarBytes));  // as many as fit
  EXPECT_EQ(std::memcmp(value.Bytes, F64(1.5).Bytes, 3), 0);
  EXPECT_EQ(value.Bytes[3], 0);
  value = I32(0x04030201);
  ASSERT_TRUE(ConvertValue(Bytes, 4, 0, value.Bytes, 0, 2, SmallInt));
  EXPECT_EQ(ReadU16(value.Bytes), 0x0201);
  value = Str("abc");
  ASSERT_TRUE(ConvertValue(VarBytes, 3, 0, value.Bytes, 0, 41, String));
  EXPECT_EQ(TextOf(value), "abc");
  value = Str("abc");
  EXPECT_FALSE(ConvertValue(Bytes, 3, 0, value.Bytes, 0, 8, Blob));
  EXPECT_TRUE(AllZero(value));
}

TEST(ConvertValue, PairsOutsideTheTableFail) {
  struct TCase {
    TFieldType From;
    TBuffer Value;
    TFieldType To;
  };
  const TCase cases[] = {
      {Date, I32(Day(2004, 1, 5)), Integer},  {Date, I32(Day(2004, 1, 5)), Time},
      {Time, I32(Clock(1, 0)), Date},         {Time, I32(Clock(1, 0)), Float},
      {Integer, I32(5), Date},                {Float, F64(5.0), Time},
      {Timestamp, F64(MakeTimestamp(Day(2004, 1, 5), 0)), Float},
      {Boolean, U16(1), Date},                {Boolean, U16(1), Float},
      {Float, F64(1.0), Boolean},             {String, Str("abc"), Blob},
      {Blob, I64(1), String},                 {LongWord, I32(1), Integer},
      {Integer, I32(1), LongWord},            {Extended, F64(1.0), Float},
      {static_cast<TFieldType>(16), I32(1), Integer},
      {Integer, I32(1), static_cast<TFieldType>(0)},
  };
  for (const auto& c : cases) {
    bool ok = true;
    const TBuffer result = Convert(c.From, c.Value, c.To, ok);
    EXPECT_FALSE(ok) << static_cast<int>(c.From) << " -> " << static_cast<int>(c.To);
    EXPECT_TRUE(AllZero(result)) << static_cast<int>(c.From) << " -> " << static_cast<int>(c.To);
  }
}

// ---- value -> text -> value ----------------------------------------------------------

TEST(ConvertValue, EveryTypeRoundTripsThroughItsText) {
  const TTextCase cases[] = {
      {Date, I32(kMinDate), ""},
      {Date, I32(kMaxDate), ""},
      {Time, I32(Clock(23, 59, 59, 999)), ""},
      {Time, I32(0), ""},
      {Timestamp, F64(MakeTimestamp(Day(2004, 1, 5), Clock(10, 30, 5, 5))), ""},
      {Timestamp, F64(MakeTimestamp(kTimeBaseDate, Clock(10, 30))), ""},
      {Boolean, U16(1), ""},
      {Boolean, U16(0), ""},
      {SmallInt, I16(-32768), ""},
      {Integer, I32(std::numeric_limits<int32_t>::max()), ""},
      {Word, U16(65535), ""},
      {LargeInt, I64(std::numeric_limits<int64_t>::min()), ""},
      {Float, F64(-1.5e-7), ""},
      {Float, F64(0.1), ""},
      {Float, F64(123456789012345.0), ""},
      {Bcd, BcdOf(-12345, 4), ""},
      {Bcd, BcdOf(std::numeric_limits<int64_t>::max(), 4), ""},
  };
  for (const auto& c : cases) {
    TBuffer value = c.Value;
    const int scale = c.Type == Bcd ? 4 : 0;
    ASSERT_TRUE(ConvertValue(c.Type, SizeOf(c.Type), scale, value.Bytes, 0, 41, String)) << static_cast<int>(c.Type);
    const std::string text = TextOf(value);
    ASSERT_TRUE(ConvertValue(String, 41, 0, value.Bytes, scale, SizeOf(c.Type), c.Type)) << text;
    EXPECT_EQ(std::memcmp(value.Bytes, c.Value.Bytes, kValueBufferSize), 0) << text;
  }
}

}  // namespace
}  // namespace kura
