#include "kura/storage/index_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kura/storage/index_test_support.h"
#include "testing/definition_builders.h"

namespace kura {
namespace {

using testing_support::Field;
using index_test::LayOut;
using index_test::NewRecord;

struct TKeyFixture {
  std::vector<TFieldDefinition> Fields{Field("I", TFieldType::Integer), Field("F", TFieldType::Float),
                                       Field("S", TFieldType::String, 5), Field("W", TFieldType::SmallInt)};
  int RecordSize = LayOut(Fields);

  TIndexDescriptor Descriptor(std::vector<uint16_t> fields, bool unique, std::vector<uint8_t> descending = {}) const {
    TIndexDescriptor d;
    d.Unique = unique;
    d.IndexFieldCount = static_cast<uint8_t>(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
      d.IndexFields[i] = fields[i];
      d.FieldDescending[i] = i < descending.size() ? descending[i] : 0;
    }
    d.KeySize = static_cast<uint16_t>(KeyDataSum(d, Fields) + (unique ? 0 : 4));
    return d;
  }
};

std::vector<uint8_t> Key(const TIndexKeyBuilder& builder, const std::vector<uint8_t>& record) {
  std::vector<uint8_t> key(static_cast<size_t>(builder.KeySize()));
  builder.BuildKey(record.data(), key.data());
  return key;
}

TEST(IndexKey, IntegerKeysInvertTheTopBitAndAppendTheUniqueIdWhenNotUnique) {
  TKeyFixture f;
  const TIndexDescriptor d = f.Descriptor({1}, false);
  EXPECT_EQ(d.KeySize, 9);
  TIndexKeyBuilder builder(d, f.Fields, 0, nullptr);
  auto record = NewRecord(f.RecordSize, 5);
  index_test::SetInteger(record, f.Fields[0], 1);
  EXPECT_EQ(Key(builder, record), (std::vector<uint8_t>{1, 0x80, 0, 0, 1, 0x80, 0, 0, 5}));
  index_test::SetInteger(record, f.Fields[0], -1);
  EXPECT_EQ(Key(builder, record), (std::vector<uint8_t>{1, 0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 5}));
  record[f.Fields[0].Offset] = 0;  // NULL
  std::memset(record.data() + f.Fields[0].Offset + 1, 0, 4);
  EXPECT_EQ(Key(builder, record), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0x80, 0, 0, 5}));
}

TEST(IndexKey, FloatKeysSortNegativesFirstAndByMagnitude) {
  TKeyFixture f;
  TIndexKeyBuilder builder(f.Descriptor({2}, true), f.Fields, 0, nullptr);
  const std::vector<double> ordered{-1e300, -2.0, -0.5, -0.25, 0.0, 0.25, 0.5, 3.0, 1e300};
  std::vector<std::vector<uint8_t>> keys;
  for (const double v : ordered) {
    auto record = NewRecord(f.RecordSize, 1);
    index_test::SetFloat(record, f.Fields[1], v);
    keys.push_back(Key(builder, record));
  }
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(keys[i - 1], keys[i]) << ordered[i - 1] << " vs " << ordered[i];
  // 0.5 = 3FE0 0000 0000 0000: top bit set; -0.5 = BFE0...: every bit inverted.
  EXPECT_EQ(keys[6], (std::vector<uint8_t>{1, 0xBF, 0xE0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(keys[2], (std::vector<uint8_t>{1, 0x40, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(IndexKey, DescendingFieldsAreInvertedInByteOrderTablesButStringsKeepTheirLastByte) {
  TKeyFixture f;
  TIndexKeyBuilder builder(f.Descriptor({1, 3}, true, {1, 1}), f.Fields, 0, nullptr);
  auto record = NewRecord(f.RecordSize, 1);
  index_test::SetInteger(record, f.Fields[0], 1);
  index_test::SetString(record, f.Fields[2], "ab");
  EXPECT_EQ(Key(builder, record),
            (std::vector<uint8_t>{0xFE, 0x7F, 0xFF, 0xFF, 0xFE, 0xFE, 0x9E, 0x9D, 0xFF, 0xFF, 0xFF, 0x00}));
  // With a language driver the bytes stay as they are; the comparison negates instead.
  TIndexKeyBuilder localeBuilder(f.Descriptor({1}, true, {1}), f.Fields, 1033, nullptr);
  EXPECT_EQ(Key(localeBuilder, record), (std::vector<uint8_t>{1, 0x80, 0, 0, 1}));
  // A descending field of a descending index is not inverted again.
  TIndexDescriptor whole = f.Descriptor({1}, true, {1});
  whole.Descending = true;
  EXPECT_EQ(Key(TIndexKeyBuilder(whole, f.Fields, 0, nullptr), record), (std::vector<uint8_t>{1, 0x80, 0, 0, 1}));
}

TEST(IndexKey, CaseInsensitiveStringsAreUpperCased) {
  TKeyFixture f;
  TIndexDescriptor d = f.Descriptor({3}, true);
  d.CaseInsensitive = true;
  auto record = NewRecord(f.RecordSize, 1);
  index_test::SetString(record, f.Fields[2], "aBc");
  EXPECT_EQ(Key(TIndexKeyBuilder(d, f.Fields, 0, nullptr), record), (std::vector<uint8_t>{1, 'A', 'B', 'C', 0, 0, 0}));
  d.CaseInsensitive = false;
  EXPECT_EQ(Key(TIndexKeyBuilder(d, f.Fields, 0, nullptr), record), (std::vector<uint8_t>{1, 'a', 'B', 'c', 0, 0, 0}));
}

TEST(IndexKey, SystemKeys) {
  std::vector<uint8_t> deleted(kSysDeletedKeySize);
  BuildSysDeletedKey(1, 7, deleted.data());
  EXPECT_EQ(deleted, (std::vector<uint8_t>{1, 0x80, 0, 0, 7}));
  std::vector<uint8_t> text(kSysTextKeySize);
  const std::string word = "GO";
  BuildSysTextKey(0x0102, reinterpret_cast<const uint8_t*>(word.data()), word.size(), 3, text.data());
  EXPECT_EQ(text[0], 1);
  EXPECT_EQ(text[1], 1);
  EXPECT_EQ(text[2], 2);
  EXPECT_EQ(text[3], 'G');
  EXPECT_EQ(text[4], 'O');
  EXPECT_TRUE(std::all_of(text.begin() + 5, text.begin() + 64, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(std::vector<uint8_t>(text.begin() + 64, text.end()), (std::vector<uint8_t>{0x80, 0, 0, 3}));
}

TEST(IndexKey, ComparisonRules) {
  TKeyFixture f;
  const std::vector<uint8_t> a{1, 0x80, 0, 0, 1};
  const std::vector<uint8_t> b{1, 0x80, 0, 0, 2};
  struct TCase {
    bool Descending;
    int Expected;
  } cases[] = {{false, -1}, {true, 1}};
  for (const TCase& c : cases) {
    TIndexDescriptor d = f.Descriptor({1}, true);
    d.Descending = c.Descending;
    const TIndexKeyComparer cmp = TIndexKeyComparer::ForIndex(1, d, f.Fields, 0, 0);
    EXPECT_EQ(cmp.Compare(a.data(), b.data()), c.Expected);
    EXPECT_EQ(cmp.Compare(b.data(), b.data()), 0);
  }
  // The system indexes never negate.
  TIndexDescriptor sys;
  sys.KeySize = kSysDeletedKeySize;
  sys.Descending = true;
  EXPECT_LT(TIndexKeyComparer::ForIndex(kSysDeletedIndex, sys, f.Fields, 0, 0).Compare(a.data(), b.data()), 0);
  // Field by field with a language driver: a descending field negates its own result only.
  TIndexDescriptor two = f.Descriptor({1, 4}, true, {1, 0});
  const TIndexKeyComparer locale = TIndexKeyComparer::ForIndex(1, two, f.Fields, 1033, 0);
  const std::vector<uint8_t> x{1, 0x80, 0, 0, 1, 1, 0x80, 0x05};
  const std::vector<uint8_t> y{1, 0x80, 0, 0, 2, 1, 0x80, 0x01};
  const std::vector<uint8_t> z{1, 0x80, 0, 0, 2, 1, 0x80, 0x02};
  EXPECT_GT(locale.Compare(x.data(), y.data()), 0);
  EXPECT_LT(locale.Compare(y.data(), z.data()), 0);
  EXPECT_EQ(locale.ComparePrefix(y.data(), z.data(), 5), 0);
}

TEST(IndexKey, DescriptorBytesRoundTrip) {
  TIndexDescriptor d;
  d.Name = "ByName";
  d.KeySize = 0x1234;
  d.Descending = true;
  d.Unique = true;
  d.Compression = TIndexCompression::TrailByte;
  d.IndexFieldCount = 2;
  d.IndexFields[0] = 3;
  d.IndexFields[1] = 0x0102;
  d.FieldDescending[1] = 1;
  d.RootPage = 0x01020304;
  d.FirstFreePage = 5;
  d.ParameterPage = 6;
  d.NoCounts = true;
  d.TemporaryIndex = true;
  uint8_t bytes[kIndexDescriptorSize];
  WriteIndexDescriptor(d, bytes);
  EXPECT_EQ(bytes[0], 6);
  EXPECT_EQ(bytes[31], 0x34);
  EXPECT_EQ(bytes[32], 0x12);
  EXPECT_EQ(bytes[33], 1);
  EXPECT_EQ(bytes[36], 2);
  EXPECT_EQ(bytes[37], 2);
  EXPECT_EQ(bytes[39], 1);
  EXPECT_EQ(bytes[56], 2);
  EXPECT_EQ(bytes[57], 1);
  EXPECT_EQ(bytes[86], 4);
  EXPECT_EQ(bytes[90], 5);
  EXPECT_EQ(bytes[96], 6);
  EXPECT_EQ(bytes[100], 1);
  EXPECT_EQ(bytes[101], 0);  // never written
  TIndexDescriptor back;
  ReadIndexDescriptor(bytes, back);
  EXPECT_EQ(back.Name, d.Name);
  EXPECT_EQ(back.KeySize, d.KeySize);
  EXPECT_EQ(back.IndexFields, d.IndexFields);
  EXPECT_EQ(back.RootPage, d.RootPage);
  EXPECT_TRUE(back.NoCounts);
  EXPECT_FALSE(back.TemporaryIndex);
}

}  // namespace
}  // namespace kura
