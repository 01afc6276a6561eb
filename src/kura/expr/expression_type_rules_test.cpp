#include "kura/expr/expression_type_rules.h"

#include <gtest/gtest.h>

#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/expr/exp_token.h"

namespace kura {
namespace {

using T = TFieldType;

TExpType Type(TFieldType type) { return MakeExpType(type); }
TExpType Memo() { return TExpType{T::Blob, TFieldSubType::Memo, 8, 0}; }
TExpType Graphic() { return TExpType{T::Blob, TFieldSubType::Graphic, 8, 0}; }
TExpType Str(int length) { return TExpType{T::String, TFieldSubType::None, length, 0}; }
TExpType Bcd(int scale) { return TExpType{T::Bcd, TFieldSubType::None, 34, static_cast<uint8_t>(scale)}; }

struct TAllowedCase {
  uint8_t OpCode;
  TExpType Left;
  TExpType Right;
  bool Allowed;
};

TEST(ExpressionTypeRulesTest, BinaryCompatibilityTable) {
  const TExpType untyped{};
  const std::vector<TAllowedCase> cases = {
      // = and <>
      {kOpEqual, Type(T::Date), Type(T::Timestamp), true},
      {kOpEqual, Type(T::Timestamp), Type(T::Date), true},
      {kOpEqual, Type(T::Date), Type(T::Time), false},
      {kOpEqual, Type(T::Time), Type(T::Time), true},
      {kOpEqual, Type(T::Time), Type(T::Timestamp), false},
      {kOpEqual, Str(10), Memo(), true},
      {kOpEqual, Memo(), Str(10), true},
      {kOpEqual, Str(10), Type(T::Integer), false},
      {kOpEqual, Graphic(), Graphic(), false},
      {kOpEqual, Graphic(), untyped, true},
      {kOpEqual, Str(5), Graphic(), false},
      {kOpEqual, Type(T::Boolean), Type(T::Boolean), true},
      {kOpEqual, Type(T::Boolean), Type(T::SmallInt), false},
      {kOpEqual, Type(T::SmallInt), Type(T::Float), true},
      {kOpEqual, Bcd(2), Type(T::LargeInt), true},
      {kOpEqual, Type(T::Word), Type(T::Integer), true},
      {kOpNotEqual, Type(T::Bytes), Type(T::Bytes), true},
      {kOpNotEqual, Type(T::Bytes), Str(3), false},
      {kOpEqual, Type(T::LongWord), Type(T::Integer), false},
      {kOpEqual, Type(T::VarBytes), Type(T::VarBytes), false},
      {kOpEqual, untyped, untyped, true},
      {kOpEqual, untyped, Type(T::Date), true},
      // ordering
      {kOpLess, Type(T::Boolean), Type(T::Boolean), false},
      {kOpGreater, Type(T::Bytes), Type(T::Bytes), false},
      {kOpLessEqual, Str(3), Str(4), true},
      {kOpGreaterEqual, Type(T::Date), Type(T::Timestamp), true},
      {kOpGreaterEqual, Type(T::Integer), Bcd(2), true},
      {kOpLess, Type(T::Boolean), untyped, true},
      // AND, OR
      {kOpAnd, Type(T::Boolean), Type(T::Boolean), true},
      {kOpOr, Type(T::Boolean), Type(T::Integer), false},
      {kOpAnd, Type(T::Integer), Type(T::Integer), false},
      // +
      {kOpAdd, Type(T::Date), Type(T::Integer), true},
      {kOpAdd, Type(T::Time), Type(T::LargeInt), true},
      {kOpAdd, Type(T::Timestamp), Type(T::Word), true},
      {kOpAdd, Type(T::Date), Type(T::Float), false},
      {kOpAdd, Type(T::Date), Type(T::Date), false},
      {kOpAdd, Str(3), Memo(), true},
      {kOpAdd, Str(3), Type(T::Integer), false},
      {kOpAdd, Type(T::SmallInt), Type(T::Date), true},
      {kOpAdd, Type(T::Integer), Type(T::Timestamp), true},
      {kOpAdd, Type(T::Integer), Type(T::Float), true},
      {kOpAdd, Type(T::Float), Type(T::Date), false},
      {kOpAdd, Bcd(2), Type(T::Time), false},
      {kOpAdd, Bcd(2), Type(T::Float), true},
      {kOpAdd, Type(T::Boolean), Type(T::Boolean), false},
      // -
      {kOpSubtract, Type(T::Date), Type(T::Date), true},
      {kOpSubtract, Type(T::Date), Type(T::Timestamp), false},
      {kOpSubtract, Type(T::Date), Type(T::Integer), true},
      {kOpSubtract, Type(T::Time), Type(T::Time), true},
      {kOpSubtract, Type(T::Time), Type(T::Date), false},
      {kOpSubtract, Type(T::Timestamp), Type(T::Date), true},
      {kOpSubtract, Type(T::Timestamp), Type(T::Time), true},
      {kOpSubtract, Type(T::Timestamp), Type(T::Float), false},
      {kOpSubtract, Type(T::Integer), Type(T::Date), false},
      {kOpSubtract, Bcd(1), Type(T::Float), true},
      {kOpSubtract, Str(2), Str(2), false},
      // * and /
      {kOpMultiply, Type(T::Integer), Type(T::Float), true},
      {kOpDivide, Type(T::Integer), Type(T::Date), false},
      {kOpDivide, Str(2), Type(T::Integer), false},
      {kOpDivide, untyped, Type(T::Integer), true},
      // not a binary operator
      {kOpNot, Type(T::Boolean), Type(T::Boolean), false},
  };
  for (const TAllowedCase& c : cases) {
    EXPECT_EQ(BinaryOperandsAllowed(c.OpCode, c.Left, c.Right), c.Allowed)
        << "op " << int(c.OpCode) << " left " << int(c.Left.DataType) << " right " << int(c.Right.DataType);
  }
}

struct TResultCase {
  uint8_t OpCode;
  TExpType Left;
  TExpType Right;
  TExpType Result;
};

TEST(ExpressionTypeRulesTest, BinaryResultTable) {
  const TExpType untyped{};
  const std::vector<TResultCase> cases = {
      {kOpEqual, Type(T::Integer), Type(T::Float), Type(T::Boolean)},
      {kOpAnd, Type(T::Boolean), Type(T::Boolean), Type(T::Boolean)},
      {kOpAdd, Str(5), Str(7), Str(11)},
      {kOpAdd, Str(5), Memo(), Memo()},
      {kOpAdd, Memo(), Str(5), Memo()},
      {kOpAdd, Type(T::Date), Type(T::SmallInt), Type(T::Date)},
      {kOpAdd, Type(T::Integer), Type(T::Date), Type(T::Date)},
      {kOpAdd, Type(T::Time), Type(T::Integer), Type(T::Time)},
      {kOpAdd, Type(T::LargeInt), Type(T::Timestamp), Type(T::Timestamp)},
      {kOpAdd, Type(T::SmallInt), Type(T::SmallInt), Type(T::Integer)},
      {kOpAdd, Type(T::Word), Type(T::Integer), Type(T::Integer)},
      {kOpAdd, Type(T::SmallInt), Type(T::LargeInt), Type(T::LargeInt)},
      {kOpAdd, Type(T::LargeInt), Type(T::LargeInt), Type(T::LargeInt)},
      {kOpAdd, Type(T::Integer), Type(T::Float), Type(T::Float)},
      {kOpAdd, Bcd(2), Type(T::Float), Type(T::Float)},
      {kOpAdd, Bcd(2), Type(T::Integer), Bcd(2)},
      {kOpAdd, Type(T::LargeInt), Bcd(3), Bcd(3)},
      {kOpAdd, Bcd(1), Bcd(4), Bcd(4)},
      {kOpSubtract, Type(T::Date), Type(T::Date), Type(T::Integer)},
      {kOpSubtract, Type(T::Date), Type(T::Integer), Type(T::Date)},
      {kOpSubtract, Type(T::Time), Type(T::Time), Type(T::Integer)},
      {kOpSubtract, Type(T::Time), Type(T::Word), Type(T::Time)},
      {kOpSubtract, Type(T::Timestamp), Type(T::Date), Type(T::Integer)},
      {kOpSubtract, Type(T::Timestamp), Type(T::Time), Type(T::Integer)},
      {kOpSubtract, Type(T::Timestamp), Type(T::Timestamp), Type(T::Float)},
      {kOpSubtract, Type(T::Timestamp), Type(T::SmallInt), Type(T::Timestamp)},
      {kOpSubtract, Type(T::Integer), Type(T::SmallInt), Type(T::Integer)},
      {kOpSubtract, Bcd(2), Type(T::SmallInt), Bcd(2)},
      {kOpMultiply, Type(T::Integer), Type(T::Integer), Type(T::Integer)},
      {kOpMultiply, Type(T::Integer), Type(T::LargeInt), Type(T::LargeInt)},
      {kOpMultiply, Bcd(2), Bcd(3), Bcd(3)},
      {kOpDivide, Type(T::Integer), Type(T::Integer), Type(T::Float)},
      {kOpDivide, Type(T::SmallInt), Type(T::LargeInt), Type(T::Float)},
      {kOpDivide, Type(T::Float), Type(T::Integer), Type(T::Float)},
      {kOpDivide, Bcd(2), Type(T::Integer), Bcd(2)},
      {kOpDivide, Type(T::Integer), Bcd(2), Bcd(2)},
      // untyped operands take the other side's type
      {kOpAdd, untyped, untyped, untyped},
      {kOpAdd, Type(T::Date), untyped, Type(T::Date)},
      {kOpAdd, untyped, Type(T::Time), Type(T::Time)},
      {kOpSubtract, Type(T::Date), untyped, Type(T::Date)},
      {kOpSubtract, untyped, Type(T::Date), Type(T::Date)},
      {kOpAdd, Type(T::SmallInt), untyped, Type(T::Integer)},
      {kOpDivide, Type(T::Integer), untyped, Type(T::Float)},
      {kOpAdd, Str(4), untyped, Str(4)},
  };
  for (const TResultCase& c : cases) {
    EXPECT_EQ(BinaryResultType(c.OpCode, c.Left, c.Right), c.Result)
        << "op " << int(c.OpCode) << " left " << int(c.Left.DataType) << " right " << int(c.Right.DataType);
  }
}

TEST(ExpressionTypeRulesTest, AutoIncrementMarkIsNotInherited) {
  const TExpType id{T::Integer, TFieldSubType::AutoInc, 4, 0};
  EXPECT_EQ(BinaryResultType(kOpAdd, id, Type(T::Integer)), Type(T::Integer));
}

TEST(ExpressionTypeRulesTest, UnaryOperands) {
  struct TCase {
    uint8_t OpCode;
    TFieldType Operand;
    bool Allowed;
  };
  const std::vector<TCase> cases = {
      {kOpNot, T::Boolean, true},        {kOpNot, T::Unknown, false},         {kOpNot, T::Integer, false},
      {kOpUnaryMinus, T::Unknown, true}, {kOpUnaryMinus, T::Date, true},      {kOpUnaryMinus, T::SmallInt, true},
      {kOpUnaryMinus, T::Integer, true}, {kOpUnaryMinus, T::Float, true},     {kOpUnaryMinus, T::Bcd, true},
      {kOpUnaryMinus, T::Time, true},    {kOpUnaryMinus, T::Timestamp, true}, {kOpUnaryMinus, T::LargeInt, true},
      {kOpUnaryMinus, T::Word, false},   {kOpUnaryMinus, T::String, false},   {kOpUnaryMinus, T::Boolean, false},
      {kOpUnaryPlus, T::Word, true},     {kOpUnaryPlus, T::Date, true},       {kOpUnaryPlus, T::String, false},
      {kOpUnaryPlus, T::Blob, false},    {kOpAdd, T::Integer, false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(UnaryOperandAllowed(c.OpCode, c.Operand), c.Allowed) << int(c.OpCode) << " " << int(c.Operand);
  }
}

TEST(ExpressionTypeRulesTest, CastTargets) {
  const std::vector<TFieldType> targets = {T::String,    T::Date,  T::Blob,     T::Boolean, T::SmallInt,
                                           T::Integer,   T::Float, T::Bcd,      T::Bytes,   T::Time,
                                           T::Timestamp, T::Word,  T::VarBytes, T::LargeInt};
  // Per source, the targets in the order above (1 allowed).
  struct TCase {
    TFieldType Source;
    std::vector<int> Allowed;
  };
  const std::vector<TCase> cases = {
      {T::Unknown, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {T::String, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {T::Blob, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {T::Bytes, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {T::VarBytes, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {T::Date, {1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0}},
      {T::Time, {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 1, 0}},
      {T::Timestamp, {1, 1, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 1, 0}},
      {T::SmallInt, {1, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1}},
      {T::Word, {1, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1}},
      {T::Integer, {1, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1}},
      {T::Float, {1, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1}},
      {T::Bcd, {1, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1}},
      {T::LargeInt, {1, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1}},
      {T::Boolean, {1, 0, 0, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 1}},
  };
  for (const TCase& c : cases) {
    for (size_t i = 0; i < targets.size(); ++i) {
      EXPECT_EQ(CastAllowed(c.Source, targets[i]), c.Allowed[i] == 1)
          << "source " << int(c.Source) << " target " << int(targets[i]);
    }
  }
}

TEST(ExpressionTypeRulesTest, FixedLengths) {
  EXPECT_EQ(FixedValueLength(T::Date), 4);
  EXPECT_EQ(FixedValueLength(T::Time), 4);
  EXPECT_EQ(FixedValueLength(T::Integer), 4);
  EXPECT_EQ(FixedValueLength(T::Boolean), 2);
  EXPECT_EQ(FixedValueLength(T::SmallInt), 2);
  EXPECT_EQ(FixedValueLength(T::Word), 2);
  EXPECT_EQ(FixedValueLength(T::Float), 8);
  EXPECT_EQ(FixedValueLength(T::Timestamp), 8);
  EXPECT_EQ(FixedValueLength(T::LargeInt), 8);
  EXPECT_EQ(FixedValueLength(T::Bcd), 34);
  EXPECT_EQ(FixedValueLength(T::String), 0);
  EXPECT_EQ(FixedValueLength(T::Blob), 0);
  EXPECT_EQ(FixedValueLength(T::Bytes), 0);
  EXPECT_EQ(FixedValueLength(T::Unknown), 0);
}

TEST(ExpressionTypeRulesTest, TemporalLiterals) {
  uint8_t out[8] = {};
  ASSERT_TRUE(EncodeTemporalLiteral("2001-02-03", T::Date, out));
  EXPECT_EQ(ReadI32(out), *EncodeDate(2001, 2, 3));
  ASSERT_TRUE(EncodeTemporalLiteral("10:30 PM", T::Time, out));
  EXPECT_EQ(ReadI32(out), *EncodeTime(22, 30, 0, 0));
  ASSERT_TRUE(EncodeTemporalLiteral("2004-01-05 10:30", T::Timestamp, out));
  EXPECT_EQ(ReadF64(out), MakeTimestamp(*EncodeDate(2004, 1, 5), *EncodeTime(10, 30, 0, 0)));
  ASSERT_TRUE(EncodeTemporalLiteral("2004-01-05", T::Timestamp, out));
  EXPECT_EQ(ReadF64(out), MakeTimestamp(*EncodeDate(2004, 1, 5), 0));

  uint8_t untouched[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_FALSE(EncodeTemporalLiteral("tomorrow", T::Date, untouched));
  EXPECT_FALSE(EncodeTemporalLiteral("2004-02-30", T::Date, untouched));
  EXPECT_FALSE(EncodeTemporalLiteral("24:00", T::Time, untouched));
  EXPECT_FALSE(EncodeTemporalLiteral("10:30", T::Date, untouched));
  EXPECT_FALSE(EncodeTemporalLiteral("2001-02-03", T::Integer, untouched));
  for (uint8_t b : untouched) EXPECT_EQ(b, 9);
}

}  // namespace
}  // namespace kura
