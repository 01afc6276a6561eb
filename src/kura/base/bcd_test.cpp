#include "kura/base/bcd.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace kura {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

struct TBcdBytes {
  uint8_t Bytes[kBcdDataSize];
};

// The 32 digit nibbles as text, most significant first.
std::string Digits(const uint8_t* bcd) {
  std::string digits;
  for (int i = 0; i < kBcdDigits; ++i) {
    const uint8_t byte = bcd[2 + i / 2];
    digits += static_cast<char>('0' + (i % 2 == 0 ? byte >> 4 : byte & 0x0F));
  }
  return digits;
}

// A BCD from a digit text (right-aligned in 32 digits), sign and places.
TBcdBytes Make(const std::string& digits, bool negative, int places, int precision = kBcdDigits) {
  TBcdBytes bcd{};
  bcd.Bytes[0] = static_cast<uint8_t>(precision);
  bcd.Bytes[1] = static_cast<uint8_t>(places | (negative ? 0x80 : 0));
  const int start = precision - static_cast<int>(digits.size());
  for (int i = 0; i < static_cast<int>(digits.size()); ++i) {
    const int position = start + i;
    const auto digit = static_cast<uint8_t>(digits[static_cast<size_t>(i)] - '0');
    uint8_t& byte = bcd.Bytes[2 + position / 2];
    byte |= position % 2 == 0 ? static_cast<uint8_t>(digit << 4) : digit;
  }
  return bcd;
}

TEST(Bcd, WritesTheDocumentedLayout) {
  TBcdBytes bcd{};
  ASSERT_TRUE(FixedToBcd(-12345, 2, bcd.Bytes));  // -1.2345 with two places: -1.23
  EXPECT_EQ(bcd.Bytes[0], 32);
  EXPECT_EQ(bcd.Bytes[1], 0x80 | 2);
  EXPECT_EQ(Digits(bcd.Bytes), "00000000000000000000000000000123");
  EXPECT_EQ(bcd.Bytes[17], 0x23);
  for (int i = 18; i < kBcdDataSize; ++i) EXPECT_EQ(bcd.Bytes[i], 0) << i;

  ASSERT_TRUE(FixedToBcd(12345, 6, bcd.Bytes));
  EXPECT_EQ(bcd.Bytes[1], 6);
  EXPECT_EQ(Digits(bcd.Bytes), "00000000000000000000000001234500");

  // Zero has precision 0, no sign, and keeps the places.
  ASSERT_TRUE(FixedToBcd(0, 3, bcd.Bytes));
  EXPECT_EQ(bcd.Bytes[0], 0);
  EXPECT_EQ(bcd.Bytes[1], 3);
  EXPECT_EQ(Digits(bcd.Bytes), std::string(32, '0'));
  // A negative value that rounds to zero is plain zero.
  ASSERT_TRUE(FixedToBcd(-1, 2, bcd.Bytes));
  EXPECT_EQ(bcd.Bytes[0], 0);
  EXPECT_EQ(bcd.Bytes[1], 2);
}

TEST(Bcd, FixedToBcdRoundsHalfToEvenBelowFourPlaces) {
  struct TCase {
    int64_t Value;
    int Places;
    std::string Digits;
    bool Negative;
  };
  const TCase cases[] = {
      {12350, 2, "124", false},   // 1.2350 -> 1.24
      {12250, 2, "122", false},   // 1.2250 -> 1.22
      {12251, 2, "123", false},
      {-12350, 2, "124", true},
      {-12250, 2, "122", true},
      {15000, 0, "2", false},     // 1.5 -> 2
      {25000, 0, "2", false},     // 2.5 -> 2
      {12345, 4, "12345", false},
      {12345, 8, "123450000", false},
      {kMax, 4, "9223372036854775807", false},
      {kMin, 4, "9223372036854775808", true},
      {kMax, 0, "922337203685478", false},
      {kMax, 17, "9223372036854775807" + std::string(13, '0'), false},
  };
  for (const auto& c : cases) {
    TBcdBytes bcd{};
    ASSERT_TRUE(FixedToBcd(c.Value, c.Places, bcd.Bytes)) << c.Value;
    const TBcdBytes expected = Make(c.Digits, c.Negative, c.Places);
    EXPECT_EQ(std::memcmp(bcd.Bytes, expected.Bytes, kBcdDataSize), 0) << c.Value << " @" << c.Places;
  }
}

TEST(Bcd, FixedToBcdFailsWhenTheWholePartDoesNotFit) {
  TBcdBytes bcd{};
  // 18 places leave 14 whole digits; 922337203685477 has 15.
  EXPECT_FALSE(FixedToBcd(kMax, 18, bcd.Bytes));
  EXPECT_EQ(bcd.Bytes[0], 0);
  EXPECT_TRUE(FixedToBcd(99999999999999 * 10000, 18, bcd.Bytes));
  EXPECT_TRUE(FixedToBcd(1, 32, bcd.Bytes));  // 0.0001 with 32 places: 28 digits
  EXPECT_FALSE(FixedToBcd(10000, 32, bcd.Bytes));  // 1 needs a whole digit
  EXPECT_TRUE(FixedToBcd(0, 32, bcd.Bytes));
  EXPECT_FALSE(FixedToBcd(1, 33, bcd.Bytes));
  EXPECT_FALSE(FixedToBcd(1, -1, bcd.Bytes));
}

TEST(Bcd, BcdToFixedReadsDigitsAndRoundsExtraPlacesHalfToEven) {
  struct TCase {
    TBcdBytes Bcd;
    std::optional<int64_t> Expected;
  };
  const TCase cases[] = {
      {Make("123", false, 2), 12300},
      {Make("123", true, 2), -12300},
      {Make("1234567", false, 6), 12346},      // 1.234567
      {Make("1234550", false, 6), 12346},      // 1.234550: tie, to even
      {Make("1234450", false, 6), 12344},      // 1.234450: tie, to even
      {Make("1234451", false, 6), 12345},
      {Make("1234450", true, 6), -12344},
      {Make("5", false, 5), 0},                // 0.00005
      {Make("15", false, 5), 2},               // 0.00015
      {Make("9223372036854775807", false, 4), kMax},
      {Make("9223372036854775808", true, 4), kMin},
      {Make("9223372036854775808", false, 4), std::nullopt},
      {Make("922337203685478", false, 0), std::nullopt},
      {Make("99999999999999999999999999999999", false, 32), 10000},  // rounds up to 1
      {Make("99999999999999999999999999999999", false, 0), std::nullopt},
      {Make("", false, 2, 0), 0},              // precision 0 is zero
      {Make("", true, 2, 0), 0},
      {Make("12", false, 1, 2), 12000},         // a precision below 32 uses its digits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BcdToFixed(c.Bcd.Bytes), c.Expected) << Digits(c.Bcd.Bytes) << " places " << BcdPlaces(c.Bcd.Bytes);
  }
}

TEST(Bcd, MalformedValuesAreRejected) {
  TBcdBytes bcd = Make("123", false, 2);
  EXPECT_TRUE(IsValidBcd(bcd.Bytes));
  bcd.Bytes[17] = 0x2A;  // a nibble above 9
  EXPECT_FALSE(IsValidBcd(bcd.Bytes));
  EXPECT_FALSE(BcdToFixed(bcd.Bytes));
  bcd = Make("123", false, 2);
  bcd.Bytes[0] = 33;
  EXPECT_FALSE(IsValidBcd(bcd.Bytes));
  bcd = Make("123", false, 2);
  bcd.Bytes[1] = 33;
  EXPECT_FALSE(IsValidBcd(bcd.Bytes));
  TBcdBytes target{};
  EXPECT_FALSE(RescaleBcd(bcd.Bytes, 2, target.Bytes));
}

TEST(Bcd, EveryFixedValueRoundTripsWithFourOrMorePlaces) {
  const int64_t values[] = {0, 1, -1, 9999, 10000, -10000, 12345, 123456789, -987654321012, kMax, kMin};
  for (int places = 4; places <= 17; ++places) {
    for (int64_t value : values) {
      TBcdBytes bcd{};
      ASSERT_TRUE(FixedToBcd(value, places, bcd.Bytes)) << value << " @" << places;
      EXPECT_EQ(BcdToFixed(bcd.Bytes), value) << value << " @" << places;
    }
  }
}

TEST(Bcd, RescaleKeepsDigitsBeyondFourPlaces) {
  struct TCase {
    TBcdBytes Source;
    int Places;
    std::optional<TBcdBytes> Expected;
  };
  const TCase cases[] = {
      {Make("123456789", false, 8), 10, Make("12345678900", false, 10)},
      {Make("123456789", false, 8), 6, Make("1234568", false, 6)},
      {Make("123456785", true, 8), 7, Make("12345678", true, 7)},   // tie to even
      {Make("123456775", true, 8), 7, Make("12345678", true, 7)},
      {Make("995", false, 3), 2, Make("100", false, 2)},            // carry into a new digit
      {Make("5", false, 1), 0, Make("", false, 0, 0)},               // 0.5 -> 0 (even)
      {Make("99999999999999999999999999999999", false, 1), 0, Make("1" + std::string(31, '0'), false, 0)},
      {Make("1", false, 0), 32, std::nullopt},                      // needs 33 digits
      {Make("1", false, 0), 31, Make("1" + std::string(31, '0'), false, 31)},
      {Make("", false, 3, 0), 30, Make("", false, 30, 0)},
  };
  for (const auto& c : cases) {
    TBcdBytes target{};
    const bool converted = RescaleBcd(c.Source.Bytes, c.Places, target.Bytes);
    ASSERT_EQ(converted, c.Expected.has_value()) << Digits(c.Source.Bytes) << " -> " << c.Places;
    if (c.Expected) {
      EXPECT_EQ(std::memcmp(target.Bytes, c.Expected->Bytes, kBcdDataSize), 0)
          << Digits(c.Source.Bytes) << " -> " << Digits(target.Bytes);
    }
  }
  // In place.
  TBcdBytes bcd = Make("125", false, 2);
  ASSERT_TRUE(RescaleBcd(bcd.Bytes, 1, bcd.Bytes));
  const TBcdBytes expected = Make("12", false, 1);
  EXPECT_EQ(std::memcmp(bcd.Bytes, expected.Bytes, kBcdDataSize), 0);
}

TEST(Bcd, TextKeepsEveryDigitAndThePlaces) {
  struct TCase {
    TBcdBytes Value;
    std::optional<std::string> Expected;
  };
  const TCase cases[] = {
      {Make("150", false, 2), "1.50"},
      {Make("5", true, 2), "-0.05"},
      {Make("", false, 3, 0), "0.000"},
      {Make("", true, 0, 0), "0"},                                   // no sign on zero
      {Make("12", false, 0), "12"},
      {Make("1", false, 32), "0." + std::string(31, '0') + "1"},     // the longest text
      {Make("99999999999999999999999999999999", true, 0), "-" + std::string(32, '9')},
      {Make("123456789012345678901234567890", false, 10), "12345678901234567890.1234567890"},
      {Make("123", false, 1, 3), "12.3"},                            // a shorter precision
      {Make("1", false, 33), std::nullopt},                          // places out of range
  };
  for (const auto& c : cases) {
    char text[kMaxBcdTextLength];
    const char* end = BcdToChars(c.Value.Bytes, text, text + sizeof text);
    ASSERT_EQ(end != nullptr, c.Expected.has_value()) << Digits(c.Value.Bytes);
    if (c.Expected) {
      EXPECT_EQ(std::string(static_cast<const char*>(text), end), *c.Expected);
    }
  }
  // "1.50" needs four bytes of room.
  const TBcdBytes value = Make("150", false, 2);
  char room[4];
  EXPECT_EQ(BcdToChars(value.Bytes, room, room + 3), nullptr);
  EXPECT_EQ(BcdToChars(value.Bytes, room, room + 4), room + 4);
}

}  // namespace
}  // namespace kura
