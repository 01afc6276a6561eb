#include "kura/base/field_types.h"

#include <gtest/gtest.h>

namespace kura {
namespace {

struct TDataSizeCase {
  TFieldType Type;
  int Size;
  int Expected;
};

TEST(FieldTypes, DataSizeFollowsTypeAndDeclaredSize) {
  const TDataSizeCase cases[] = {
      {TFieldType::String, 30, 31},   {TFieldType::String, 250, 251}, {TFieldType::Date, 0, 4},
      {TFieldType::Blob, 0, 8},       {TFieldType::Boolean, 0, 2},    {TFieldType::SmallInt, 0, 2},
      {TFieldType::Integer, 0, 4},    {TFieldType::Float, 0, 8},      {TFieldType::Bcd, 0, 34},
      {TFieldType::Bytes, 16, 16},    {TFieldType::Time, 0, 4},       {TFieldType::Timestamp, 0, 8},
      {TFieldType::Word, 0, 2},       {TFieldType::LongWord, 0, 4},   {TFieldType::Extended, 0, 10},
      {TFieldType::VarBytes, 200, 200}, {TFieldType::LargeInt, 0, 8},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataSize(c.Type, c.Size), c.Expected) << static_cast<int>(c.Type);
    EXPECT_TRUE(IsValidFieldType(c.Type)) << static_cast<int>(c.Type);
  }
  EXPECT_EQ(DataSize(TFieldType::String, kMaxFieldSize), kMaxDataSize);
}

TEST(FieldTypes, CodesOutsideTheTableAreNoFieldTypes) {
  for (int code : {0, 16, 17, 19, 20, 255}) {
    const auto type = static_cast<TFieldType>(code);
    EXPECT_FALSE(IsValidFieldType(type)) << code;
    EXPECT_EQ(DataSize(type, 10), 0) << code;
  }
}

TEST(FieldTypes, OnlyStringsAndBytesCarryADeclaredSize) {
  for (int code = 1; code <= 18; ++code) {
    const auto type = static_cast<TFieldType>(code);
    const bool sized = code == 1 || code == 9 || code == 15;
    EXPECT_EQ(HasDeclaredSize(type), sized) << code;
  }
}

TEST(FieldTypes, CodesAndSubtypesHaveTheirStoredValues) {
  EXPECT_EQ(static_cast<int>(TFieldType::Bcd), 8);
  EXPECT_EQ(static_cast<int>(TFieldType::LargeInt), 18);
  EXPECT_EQ(static_cast<int>(TFieldSubType::Money), 21);
  EXPECT_EQ(static_cast<int>(TFieldSubType::Memo), 22);
  EXPECT_EQ(static_cast<int>(TFieldSubType::Binary), 23);
  EXPECT_EQ(static_cast<int>(TFieldSubType::Graphic), 26);
  EXPECT_EQ(static_cast<int>(TFieldSubType::AutoInc), 29);
  EXPECT_TRUE(IsAutoIncField(TFieldType::Integer, TFieldSubType::AutoInc));
  EXPECT_FALSE(IsAutoIncField(TFieldType::LargeInt, TFieldSubType::AutoInc));
  EXPECT_FALSE(IsAutoIncField(TFieldType::Integer, TFieldSubType::None));
}

}  // namespace
}  // namespace kura
