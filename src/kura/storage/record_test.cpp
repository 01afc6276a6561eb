#include "kura/storage/record.h"

#include <gtest/gtest.h>

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
