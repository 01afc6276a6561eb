#include "kura/storage/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kura {
namespace {

TFieldDefinition StringField(uint8_t size, uint16_t offset) {
  TFieldDefinition d;
  d.Name = "S";
  d.FieldType = TFieldType::String;
  d.Size = size;
  d.DataSize = static_cast<uint8_t>(size + 1);
  d.Offset = offset;
  return d;
}

TEST(Record, StringStoreRemovesTrailingBlanksAndStoresEmptyAsNull) {
  const TFieldDefinition field = StringField(5, 9);
  struct TCase {
    const char* Text;
    bool Null;
    const char* Stored;
  } const cases[] = {
      {"", true, ""},         {"   ", true, ""},       {"ab  ", false, "ab"},
      {" ab", false, " ab"},  {"abcdefg", false, "abcde"}, {"abcd   x", false, "abcd"},
  };
  TRecord record;
  for (const TCase& c : cases) {
    record.Reset(9 + 1 + field.DataSize, 1);
    record.SetString(field, "zzzzz");
    record.SetString(field, c.Text);
    EXPECT_EQ(record.IsNull(field), c.Null) << c.Text;
    const auto value = record.GetString(field);
    if (c.Null) {
      EXPECT_FALSE(value.has_value()) << c.Text;
      // A NULL field has all its data bytes zero.
      for (int i = 0; i < field.DataSize; ++i) EXPECT_EQ(record.FieldData(field)[i], 0) << c.Text;
    } else {
      ASSERT_TRUE(value.has_value()) << c.Text;
      EXPECT_EQ(*value, c.Stored);
    }
  }
}

TEST(Record, SlotHeaderFieldsAndAutoIncField) {
  TRecord record;
  record.Reset(13, 42);
  EXPECT_EQ(record.State(), kRecordActive);
  EXPECT_EQ(record.Link(), 42);
  record.SetUniqueId(0x01020304);
  EXPECT_EQ(record.Bytes()[5], 0x04);
  EXPECT_EQ(record.Bytes()[8], 0x01);
  TFieldDefinition autoInc;
  autoInc.FieldType = TFieldType::Integer;
  autoInc.SubType = TFieldSubType::AutoInc;
  autoInc.Offset = 5;
  autoInc.DataSize = 4;
  EXPECT_FALSE(record.IsNull(autoInc));
  EXPECT_EQ(record.FieldData(autoInc), record.Bytes() + 5);
}

TFieldDefinition FieldAt(TFieldType type, uint8_t dataSize, uint16_t offset) {
  TFieldDefinition d;
  d.Name = "F";
  d.FieldType = type;
  d.DataSize = dataSize;
  d.Offset = offset;
  return d;
}

// The field codec on a raw record image: each kind of field reads and writes its bytes
// where the record layout puts them and touches no other byte.
TEST(RecordFields, EachFieldReadsAndWritesItsOwnBytes) {
  TFieldDefinition autoInc = FieldAt(TFieldType::Integer, 4, kRecordIdOffset);
  autoInc.SubType = TFieldSubType::AutoInc;
  TFieldDefinition computed = FieldAt(TFieldType::Integer, 4, 9);
  computed.Computed = true;
  struct TCase {
    const char* Name;
    TFieldDefinition Field;
    size_t ValueAt;    // where the value bytes start
    int FlagAt;        // the null flag's offset, -1 for none
    size_t Stored;     // StoredFieldSize
  } const cases[] = {
      {"first field", FieldAt(TFieldType::Integer, 4, 9), 10, 9, 5},
      {"later field", FieldAt(TFieldType::String, 6, 14), 15, 14, 7},
      {"last field", FieldAt(TFieldType::Float, 8, 21), 22, 21, 9},
      {"auto-increment", autoInc, 5, -1, 0},
  };
  constexpr size_t kSize = 30;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const size_t length = c.Field.IsAutoInc() ? 4 : c.Field.DataSize;
    EXPECT_EQ(StoredFieldSize(c.Field), c.Stored);
    std::vector<uint8_t> record(kSize, 0xEE);
    if (c.FlagAt >= 0) record[static_cast<size_t>(c.FlagAt)] = 0;
    EXPECT_EQ(FieldValue(record.data(), c.Field), record.data() + c.ValueAt);
    EXPECT_EQ(FieldValue(static_cast<const uint8_t*>(record.data()), c.Field), record.data() + c.ValueAt);
    EXPECT_EQ(FieldIsNull(record.data(), c.Field), c.FlagAt >= 0);

    uint8_t value[8];
    for (size_t i = 0; i < sizeof value; ++i) value[i] = static_cast<uint8_t>(i + 1);
    std::vector<uint8_t> expected = record;
    if (c.FlagAt >= 0) expected[static_cast<size_t>(c.FlagAt)] = 1;
    std::memcpy(expected.data() + c.ValueAt, value, length);
    SetFieldValue(record.data(), c.Field, value);
    EXPECT_EQ(record, expected);
    EXPECT_FALSE(FieldIsNull(record.data(), c.Field));

    // NULL: flag cleared and value zero-filled; the auto-increment id stays as it is.
    if (c.FlagAt >= 0) {
      expected[static_cast<size_t>(c.FlagAt)] = 0;
      std::memset(expected.data() + c.ValueAt, 0, length);
    }
    SetFieldNull(record.data(), c.Field);
    EXPECT_EQ(record, expected);
    EXPECT_EQ(FieldIsNull(record.data(), c.Field), c.FlagAt >= 0);

    // The flag alone: the value bytes stay.
    if (c.FlagAt >= 0) {
      std::memcpy(record.data() + c.ValueAt, value, length);
      SetFieldHasValue(record.data(), c.Field, true);
      EXPECT_EQ(record[static_cast<size_t>(c.FlagAt)], 1);
      EXPECT_FALSE(FieldIsNull(record.data(), c.Field));
      SetFieldHasValue(record.data(), c.Field, false);
      EXPECT_TRUE(FieldIsNull(record.data(), c.Field));
      EXPECT_EQ(std::memcmp(record.data() + c.ValueAt, value, length), 0);
    }
  }
  // A computed field has no bytes.
  EXPECT_EQ(StoredFieldSize(computed), 0u);
}

// A value taken from the same record image (a field copied onto an overlapping one).
TEST(RecordFields, SetFieldValueMayReadFromTheSameRecord) {
  const TFieldDefinition field = FieldAt(TFieldType::Bytes, 6, 9);
  std::vector<uint8_t> record = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  SetFieldValue(record.data(), field, record.data() + 11);
  const std::vector<uint8_t> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 7, 8};
  EXPECT_EQ(record, expected);
}

// TRecord's field access is the same codec over its own bytes.
TEST(RecordFields, RecordObjectUsesTheCodec) {
  const TFieldDefinition field = FieldAt(TFieldType::Integer, 4, 9);
  TRecord record;
  record.Reset(14, 3);
  const uint8_t value[4] = {9, 8, 7, 6};
  record.SetFieldData(field, value);
  EXPECT_EQ(record.FieldData(field), FieldValue(record.Bytes(), field));
  EXPECT_EQ(record.Bytes()[9], 1);
  EXPECT_EQ(std::memcmp(record.Bytes() + 10, value, 4), 0);
  EXPECT_FALSE(record.IsNull(field));
  record.SetNull(field);
  EXPECT_TRUE(record.IsNull(field));
  EXPECT_TRUE(FieldIsNull(record.Bytes(), field));
  EXPECT_EQ(std::vector<uint8_t>(record.Data.begin() + 9, record.Data.end()), std::vector<uint8_t>(5, 0));
}

TEST(RecordStack, KeepsAtMostSixtyFourFreeRecordsAndReusesThem) {
  TRecordStack stack;
  std::vector<std::unique_ptr<TRecord>> records;
  for (int i = 0; i < 70; ++i) records.push_back(stack.Pop(16, i + 1));
  TRecord* lastPooled = records[TRecordStack::kCapacity - 1].get();
  for (auto& record : records) stack.Push(std::move(record));
  EXPECT_EQ(stack.Count(), TRecordStack::kCapacity);
  // The most recently pushed pooled object comes back, zero-filled and renumbered.
  std::unique_ptr<TRecord> again = stack.Pop(32, 9);
  EXPECT_EQ(stack.Count(), TRecordStack::kCapacity - 1);
  EXPECT_EQ(again->RecNo, 9);
  EXPECT_EQ(again->Size(), 32u);
  EXPECT_EQ(again->Link(), 9);
  EXPECT_FALSE(again->Dirty);
  EXPECT_EQ(again.get(), lastPooled);
}

}  // namespace
}  // namespace kura
