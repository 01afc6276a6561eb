#include "kura/storage/key_encoding.h"

#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"

namespace kura {
namespace {

// A one-field record layout: slot header, null flag at 9, value at 10.
struct TOneField {
  TFieldDefinition Field;
  std::vector<uint8_t> Record;

  TOneField(TFieldType type, uint8_t size = 0) {
    Field.Name = "F";
    Field.FieldType = type;
    Field.Size = size;
    Field.DataSize = static_cast<uint8_t>(DataSize(type, size));
    Field.Offset = 9;
    Record.assign(10 + Field.DataSize, 0);
  }
  std::vector<uint8_t> Key(const TKeyFieldOptions& options = {}) const {
    std::vector<uint8_t> key(1 + KeyDataSize(Field));
    EXPECT_EQ(EncodeKeyField(Field, Record.data(), options, key.data()), static_cast<int>(key.size()));
    return key;
  }
  void SetNull() { std::memset(Record.data() + 9, 0, Record.size() - 9); }
  uint8_t* Data() {
    Record[9] = 1;
    return Record.data() + 10;
  }
};

// Keys of the values in the given order must compare strictly ascending.
template <typename TSetter>
void ExpectAscending(TFieldType type, int count, TSetter set, uint8_t size = 0) {
  TOneField f(type, size);
  std::vector<uint8_t> previous;
  for (int i = 0; i < count; ++i) {
    f.SetNull();
    set(f, i);
    const std::vector<uint8_t> key = f.Key();
    if (i > 0) {
      EXPECT_LT(previous, key) << "value " << i << " of type " << static_cast<int>(type);
    }
    previous = key;
  }
}

TEST(KeyEncoding, IntegerTypesSortByValueWithNullFirst) {
  const int32_t ints[] = {INT32_MIN, -70000, -1, 0, 1, 255, 256, 70000, INT32_MAX};
  ExpectAscending(TFieldType::Integer, 10, [&](TOneField& f, int i) {
    if (i > 0) WriteI32(f.Data(), ints[i - 1]);
  });
  const int16_t smalls[] = {INT16_MIN, -300, -1, 0, 1, 300, INT16_MAX};
  ExpectAscending(TFieldType::SmallInt, 8, [&](TOneField& f, int i) {
    if (i > 0) WriteI16(f.Data(), smalls[i - 1]);
  });
  const uint16_t words[] = {0, 1, 255, 256, 65535};
  ExpectAscending(TFieldType::Word, 6, [&](TOneField& f, int i) {
    if (i > 0) WriteU16(f.Data(), words[i - 1]);
  });
  const uint32_t longWords[] = {0, 1, 255, 256, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  ExpectAscending(TFieldType::LongWord, 8, [&](TOneField& f, int i) {
    if (i > 0) WriteU32(f.Data(), longWords[i - 1]);
  });
  const int64_t larges[] = {INT64_MIN, -(int64_t{1} << 40), -1, 0, 1, int64_t{1} << 40, INT64_MAX};
  ExpectAscending(TFieldType::LargeInt, 8, [&](TOneField& f, int i) {
    if (i > 0) WriteI64(f.Data(), larges[i - 1]);
  });
}

TEST(KeyEncoding, IntegerKeyDataIsBigEndianWithTopBitInverted) {
  TOneField f(TFieldType::Integer);
  WriteI32(f.Data(), 1);
  EXPECT_EQ(f.Key(), (std::vector<uint8_t>{1, 0x80, 0, 0, 1}));
  WriteI32(f.Data(), -1);
  EXPECT_EQ(f.Key(), (std::vector<uint8_t>{1, 0x7F, 0xFF, 0xFF, 0xFF}));
}

TEST(KeyEncoding, FloatsSortNegativesFirstAndZeroesAlike) {
  const double values[] = {-1e300, -2.0, -0.5, -0.25, 0.0, 1e-300, 0.25, 3.0, 1e300};
  ExpectAscending(TFieldType::Float, 10, [&](TOneField& f, int i) {
    if (i > 0) WriteF64(f.Data(), values[i - 1]);
  });
  TOneField a(TFieldType::Timestamp);
  TOneField b(TFieldType::Timestamp);
  WriteF64(a.Data(), 0.0);
  WriteF64(b.Data(), -0.0);
  EXPECT_EQ(a.Key(), b.Key());
}

TEST(KeyEncoding, ExtendedFloatsSortByValue) {
  // 80-bit values: 8 mantissa bytes (explicit integer bit) then sign and exponent.
  auto set = [](uint8_t* p, bool negative, uint16_t exponent, uint64_t mantissa) {
    WriteU64(p, mantissa);
    WriteU16(p + 8, static_cast<uint16_t>((negative ? 0x8000 : 0) | exponent));
  };
  struct TValue {
    bool Negative;
    uint16_t Exponent;
    uint64_t Mantissa;
  } const values[] = {
      {true, 0x4000, 0xC000000000000000ull},  // -3
      {true, 0x3FFF, 0x8000000000000000ull},  // -1
      {true, 0x3FFE, 0x8000000000000000ull},  // -0.5
      {false, 0, 0},                          // 0
      {false, 0x3FFE, 0x8000000000000000ull},  // 0.5
      {false, 0x3FFF, 0x8000000000000000ull},  // 1
      {false, 0x4000, 0xC000000000000000ull},  // 3
  };
  ExpectAscending(TFieldType::Extended, 8, [&](TOneField& f, int i) {
    if (i > 0) set(f.Data(), values[i - 1].Negative, values[i - 1].Exponent, values[i - 1].Mantissa);
  });
}

TEST(KeyEncoding, BcdSortsByValueAsEightBytes) {
  const int64_t fixed[] = {-123456700, -10000, -100, 0, 100, 5000, 10000, 99999900};
  TOneField probe(TFieldType::Bcd);
  EXPECT_EQ(probe.Key().size(), 9u);
  ExpectAscending(TFieldType::Bcd, 9, [&](TOneField& f, int i) {
    if (i > 0) {
      ASSERT_TRUE(FixedToBcd(fixed[i - 1], 2 + i % 3, f.Data()));
    }
  });
}

TEST(KeyEncoding, StringsSortByBytesAndUpperCaseWhenCaseInsensitive) {
  const char* texts[] = {"", "A", "AB", "B", "a", "b"};
  ExpectAscending(TFieldType::String, 6, [&](TOneField& f, int i) {
    if (i > 0) std::strcpy(reinterpret_cast<char*>(f.Data()), texts[i]);
  }, 10);
  TOneField lower(TFieldType::String, 10);
  TOneField upper(TFieldType::String, 10);
  std::strcpy(reinterpret_cast<char*>(lower.Data()), "abc");
  std::strcpy(reinterpret_cast<char*>(upper.Data()), "ABC");
  TKeyFieldOptions options;
  options.CaseInsensitive = true;
  EXPECT_EQ(lower.Key(options), upper.Key(options));
  EXPECT_NE(lower.Key(), upper.Key());
  // Zero-terminated and zero-padded to DataSize.
  EXPECT_EQ(upper.Key(), (std::vector<uint8_t>{1, 'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(KeyEncoding, InvertedFieldsSortDescendingWithNullLast) {
  TOneField f(TFieldType::Integer);
  TKeyFieldOptions descending;
  descending.Invert = true;
  f.SetNull();
  const auto nullKey = f.Key(descending);
  WriteI32(f.Data(), -5);
  const auto lowKey = f.Key(descending);
  WriteI32(f.Data(), 7);
  const auto highKey = f.Key(descending);
  EXPECT_LT(highKey, lowKey);
  EXPECT_LT(lowKey, nullKey);
}

TEST(KeyEncoding, IndexStringInversionKeepsTheLastDataByte) {
  TOneField f(TFieldType::String, 3);
  std::strcpy(reinterpret_cast<char*>(f.Data()), "ab");
  TKeyFieldOptions options;
  options.Invert = true;
  options.KeepStringTerminator = true;
  EXPECT_EQ(f.Key(options), (std::vector<uint8_t>{0xFE, 0x9E, 0x9D, 0xFF, 0x00}));
  options.KeepStringTerminator = false;
  EXPECT_EQ(f.Key(options), (std::vector<uint8_t>{0xFE, 0x9E, 0x9D, 0xFF, 0xFF}));
}

TEST(KeyEncoding, Int32KeyRoundTrips) {
  for (int32_t value : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    uint8_t key[4];
    EncodeInt32Key(value, key);
    EXPECT_EQ(DecodeInt32Key(key), value);
  }
}

}  // namespace
}  // namespace kura
