#include "kura/expr/expression_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/text_forms.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

using testing_support::EngineErrorOf;

constexpr uint32_t kAllFlags =
    kParseAggregates | kParseAllColumns | kParseExtendedPredicates | kParseParameters | kParseSubSelects;

// A compact printed form of a tree:
//   column            a   t.a   *
//   constant          i:5 (int32)  l:5 (int64)  f:1.5  s'text'  s:null ('')  b:1  null
//                     date time timestamp (clock constants)  ? (parameter)
//   unary, binary     (NOT x)  (-x)  (a = b)
//   function          NAME#code(arguments)   CAST#54:type.subtype(...)
//   predicate         (LIKE#32 x, p)
//   sub-select        SELECT
std::string Print(const TExpToken* node) {
  if (node == nullptr) return "<null>";
  switch (node->Kind) {
    case kNodeColumn:
      return node->TableName.empty() ? node->ColumnName : node->TableName + "." + node->ColumnName;
    case kNodeConstant: {
      if (node->IsParameter) return "?";
      const uint8_t* d = node->Data.data();
      switch (node->DataType) {
        case TFieldType::Unknown: return "null";
        case TFieldType::Integer: return "i:" + std::to_string(ReadI32(d));
        case TFieldType::LargeInt: return "l:" + std::to_string(ReadI64(d));
        case TFieldType::Float: return "f:" + FloatToText(ReadF64(d));
        case TFieldType::Boolean: return "b:" + std::to_string(ReadU16(d));
        case TFieldType::String:
          if (node->IsNull) return "s:null";
          return "s'" + std::string(reinterpret_cast<const char*>(d)) + "'";
        case TFieldType::Date: return "date";
        case TFieldType::Time: return "time";
        case TFieldType::Timestamp: return "timestamp";
        default: return "const?";
      }
    }
    case kNodeUnary:
      return "(" + node->Text + (node->OpCode == kOpNot ? " " : "") + Print(node->Operand) + ")";
    case kNodeBinary:
      return "(" + Print(node->Operand) + " " + node->Text + " " + Print(node->RightOperand) + ")";
    case kNodeSubSelect:
      return "SELECT";
    case kNodeFunction:
    case kNodePredicate: {
      std::string text = node->Kind == kNodePredicate ? "(" : "";
      text += node->Text + "#" + std::to_string(node->OpCode);
      if (node->OpCode == kFuncCast && node->Kind == kNodeFunction) {
        text += ":" + std::to_string(static_cast<int>(node->DataType)) + "." +
                std::to_string(static_cast<int>(node->SubType));
      }
      text += node->Kind == kNodePredicate ? " " : "(";
      for (size_t i = 0; i < node->Arguments.size(); ++i) {
        if (i > 0) text += ", ";
        text += Print(node->Arguments[i]);
      }
      return text + ")";
    }
    default:
      return "kind?";
  }
}

// Records parameters and reads a sub-select as everything up to its closing
// parenthesis, the way the SQL layer will hook in.
class TRecordingOwner : public TExpressionParserOwner {
public:
  void AddParameter(TExpToken* node) override { Parameters.push_back(node); }
  std::shared_ptr<TExpSubQuery> ParseSubSelect(TExpressionParser& parser, uint32_t /*flags*/) override {
    ++SubSelects;
    int depth = 0;
    while (!parser.IsTokenKind(kTokenEnd) && !(depth == 0 && parser.IsTokenKind(')'))) {
      if (parser.IsTokenKind('(')) ++depth;
      if (parser.IsTokenKind(')')) --depth;
      parser.NextToken();
    }
    return std::make_shared<TExpSubQuery>();
  }
  std::vector<TExpToken*> Parameters;
  int SubSelects = 0;
};

std::string ParseAndPrint(std::string_view text, uint32_t flags = kAllFlags) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  TExpTree tree = parser.ParseText(text, flags);
  return Print(tree.get());
}

struct TShapeCase {
  const char* Text;
  const char* Expected;
};

class ParserShapeTest : public testing::TestWithParam<TShapeCase> {};

TEST_P(ParserShapeTest, BuildsTree) {
  EXPECT_EQ(ParseAndPrint(GetParam().Text), GetParam().Expected) << GetParam().Text;
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, ParserShapeTest,
    testing::Values(
        TShapeCase{"a = 1 OR b = 2 AND c = 3", "((a = i:1) OR ((b = i:2) AND (c = i:3)))"},
        TShapeCase{"a OR b OR c", "((a OR b) OR c)"},
        TShapeCase{"a AND b AND c", "((a AND b) AND c)"},
        TShapeCase{"NOT a = 1 AND b", "((NOT (a = i:1)) AND b)"},
        TShapeCase{"-x * 2", "((-x) * i:2)"},
        TShapeCase{"+x", "(+x)"},
        TShapeCase{"a - b - c", "((a - b) - c)"},
        TShapeCase{"a + b * c", "(a + (b * c))"},
        TShapeCase{"(a + b) * c", "((a + b) * c)"},
        TShapeCase{"a / b * c", "((a / b) * c)"},
        TShapeCase{"a || b | | c", "((a || b) || c)"},
        TShapeCase{"a + 1 = b * 2", "((a + i:1) = (b * i:2))"},
        TShapeCase{"a <> b", "(a <> b)"},
        TShapeCase{"a < b", "(a < b)"},
        TShapeCase{"a > b", "(a > b)"},
        TShapeCase{"a <= b", "(a <= b)"},
        TShapeCase{"a >= b", "(a >= b)"},
        TShapeCase{"a > = b", "(a >= b)"},
        TShapeCase{"a < > b", "(a <> b)"},
        TShapeCase{"a=b", "(a = b)"}));

INSTANTIATE_TEST_SUITE_P(
    Constants, ParserShapeTest,
    testing::Values(
        TShapeCase{"'O''Neil'", "s'O'Neil'"},
        TShapeCase{"''", "s:null"},
        TShapeCase{"\"say \"\"hi\"\"\"", "s'say \"hi\"'"},
        TShapeCase{"#65", "s'A'"},
        TShapeCase{"#0", "s''"},
        TShapeCase{"2147483647", "i:2147483647"},
        TShapeCase{"2147483648", "l:2147483648"},
        TShapeCase{"12345678901", "l:12345678901"},
        TShapeCase{"99999999999999999999", "f:1E20"},
        TShapeCase{"1e3", "f:1000"},
        TShapeCase{"1E+3", "f:1000"},
        TShapeCase{"2.5e-1", "f:0.25"},
        TShapeCase{".5", "f:0.5"},
        TShapeCase{"1.25", "f:1.25"},
        TShapeCase{"TRUE", "b:1"},
        TShapeCase{"false", "b:0"},
        TShapeCase{"NULL", "null"},
        TShapeCase{"CURRENT_DATE", "date"},
        TShapeCase{"current_time()", "time"},
        TShapeCase{"CURRENT_TIMESTAMP ( )", "timestamp"},
        TShapeCase{"?", "?"},
        TShapeCase{"-2147483648", "(-l:2147483648)"}));

INSTANTIATE_TEST_SUITE_P(
    Columns, ParserShapeTest,
    testing::Values(
        TShapeCase{"Name", "Name"},
        TShapeCase{"a$b!c@1_", "a$b!c@1_"},
        TShapeCase{"[First Name]", "First Name"},
        TShapeCase{"[it''s]", "it's"},
        TShapeCase{"t.a", "t.a"},
        TShapeCase{"t.[b c]", "t.b c"},
        TShapeCase{"[t x].c", "t x.c"},
        TShapeCase{"\"tejun\".MNB", "tejun.MNB"},
        TShapeCase{"'dir/sub\\tejun.dat'.MNB", "tejun.MNB"},
        TShapeCase{"\"x.txt\".MNB", "x.txt.MNB"},
        TShapeCase{"t.'quoted col'", "t.quoted col"},
        TShapeCase{"t.*", "t.*"},
        TShapeCase{"*", "*"},
        TShapeCase{"\"Name\"", "s'Name'"},
        TShapeCase{"a /* comment */ = /**/ 1", "(a = i:1)"},
        TShapeCase{"\r\n\ta\t=\n1\r\n", "(a = i:1)"}));

INSTANTIATE_TEST_SUITE_P(
    Predicates, ParserShapeTest,
    testing::Values(
        TShapeCase{"x IS NULL", "(x = null)"},
        TShapeCase{"x IS NOT NULL", "(x <> null)"},
        TShapeCase{"x LIKE 'a%'", "(LIKE#32 x, s'a%')"},
        TShapeCase{"x NOT LIKE 'a' + b", "(NOT LIKE#43 x, (s'a' + b))"},
        TShapeCase{"x BETWEEN 1 AND 2 + 3", "(BETWEEN#41 x, i:1, (i:2 + i:3))"},
        TShapeCase{"x NOT BETWEEN 1 AND 2", "(NOT BETWEEN#42 x, i:1, i:2)"},
        TShapeCase{"x BETWEEN 1 AND 2 AND y", "((BETWEEN#41 x, i:1, i:2) AND y)"},
        TShapeCase{"x IN (1, 2, 3)", "(IN#33 x, i:1, i:2, i:3)"},
        TShapeCase{"x NOT IN ('a')", "(NOT IN#44 x, s'a')"},
        TShapeCase{"x IN (SELECT y FROM t WHERE (z = 1))", "(IN#34 x, SELECT)"},
        TShapeCase{"x NOT IN (select y from t)", "(NOT IN#45 x, SELECT)"},
        TShapeCase{"NOT x LIKE 'a'", "(NOT (LIKE#32 x, s'a'))"}));

INSTANTIATE_TEST_SUITE_P(
    Functions, ParserShapeTest,
    testing::Values(
        TShapeCase{"UPPER(a)", "UPPER#36(a)"},
        TShapeCase{"lower(a || 'x')", "LOWER#37((a || s'x'))"},
        TShapeCase{"LENGTH(a)", "LENGTH#53(a)"},
        TShapeCase{"SUBSTRING(a FROM 2)", "SUBSTRING#46(a, i:2)"},
        TShapeCase{"SUBSTRING(a FROM 2 FOR 3)", "SUBSTRING#46(a, i:2, i:3)"},
        TShapeCase{"REPLACE('x' WITH 'y' IN a)", "REPLACE#47(s'x', s'y', a)"},
        TShapeCase{"POS('x' IN a)", "POS#48(s'x', a)"},
        TShapeCase{"OCCURS('x' IN a)", "OCCURS#49(s'x', a)"},
        TShapeCase{"TRIM(LEADING ' ' FROM a)", "TRIM#50(s' ', a)"},
        TShapeCase{"TRIM(trailing '_' FROM a)", "TRIM#51(s'_', a)"},
        TShapeCase{"TRIM(BOTH #32 FROM a)", "TRIM#52(s' ', a)"},
        TShapeCase{"EXTRACT(YEAR FROM d)", "EXTRACT#55(d)"},
        TShapeCase{"EXTRACT(MONTH FROM d)", "EXTRACT#56(d)"},
        TShapeCase{"EXTRACT(WEEK FROM d)", "EXTRACT#57(d)"},
        TShapeCase{"EXTRACT(DAY FROM d)", "EXTRACT#58(d)"},
        TShapeCase{"EXTRACT(DAYOFWEEK FROM d)", "EXTRACT#59(d)"},
        TShapeCase{"EXTRACT(DAYOFYEAR FROM d)", "EXTRACT#60(d)"},
        TShapeCase{"EXTRACT(HOUR FROM d)", "EXTRACT#61(d)"},
        TShapeCase{"EXTRACT(MINUTE FROM d)", "EXTRACT#62(d)"},
        TShapeCase{"EXTRACT(SECOND FROM d)", "EXTRACT#63(d)"},
        TShapeCase{"CAST(a AS INTEGER)", "CAST#54:6.0(a)"},
        TShapeCase{"CAST(a AS CHAR(10))", "CAST#54:1.0(a, i:10)"},
        TShapeCase{"CAST(a AS CHAR)", "CAST#54:1.0(a)"},
        TShapeCase{"CAST(a AS DECIMAL(10, 2))", "CAST#54:8.0(a, i:10, i:2)"},
        TShapeCase{"CAST(a AS BLOB(1, 1))", "CAST#54:3.0(a, i:1, i:1)"},
        TShapeCase{"CAST(a AS BLOB)", "CAST#54:3.23(a)"},
        TShapeCase{"ABS(-a)", "ABS#67((-a))"},
        TShapeCase{"ROUND(a)", "ROUND#68(a)"},
        TShapeCase{"ROUND(a TO 2)", "ROUND#68(a, i:2)"},
        TShapeCase{"IF(a > 1, 'y', 'n')", "IF#64((a > i:1), s'y', s'n')"},
        TShapeCase{"IF(a > 1 THEN 'y' ELSE 'n')", "IF#64((a > i:1), s'y', s'n')"},
        TShapeCase{"IFNULL(a, 0, a + 1)", "IFNULL#66(a, i:0, (a + i:1))"},
        TShapeCase{"COALESCE(a, b, 'c')", "COALESCE#65(a, b, s'c')"},
        TShapeCase{"COALESCE(a)", "COALESCE#65(a)"},
        TShapeCase{"TEXTSEARCH('go stone' IN CMT)", "TEXTSEARCH#69(s'go stone', CMT)"},
        TShapeCase{"TEXTOCCURS('go' IN CMT)", "TEXTOCCURS#70(s'go', CMT)"},
        TShapeCase{"LASTAUTOINC('tejun')", "LASTAUTOINC#71(s'tejun')"},
        TShapeCase{"IDENT_CURRENT(tejun)", "IDENT_CURRENT#72(tejun)"},
        TShapeCase{"SUM(a)", "SUM#23(a)"},
        TShapeCase{"RUNSUM(a + 1)", "RUNSUM#24((a + i:1))"},
        TShapeCase{"COUNT(*)", "COUNT#25(*)"},
        TShapeCase{"MIN(a)", "MIN#26(a)"},
        TShapeCase{"max(a)", "MAX#27(a)"},
        TShapeCase{"AVG(a)", "AVG#28(a)"},
        TShapeCase{"UPPER(LOWER(UPPER(a)))", "UPPER#36(LOWER#37(UPPER#36(a)))"}));

// ---- result types the parser fixes ----

struct TTypeCase {
  const char* Text;
  TFieldType Type;
};

class ParserTypeTest : public testing::TestWithParam<TTypeCase> {};

TEST_P(ParserTypeTest, FixesResultType) {
  TExpressionParser parser;
  TExpTree tree = parser.ParseText(GetParam().Text, kAllFlags & ~kParseSubSelects);
  EXPECT_EQ(tree->DataType, GetParam().Type) << GetParam().Text;
  EXPECT_GE(static_cast<int32_t>(tree->Data.size()), tree->DataLength);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ParserTypeTest,
    testing::Values(TTypeCase{"a = 1", TFieldType::Boolean}, TTypeCase{"a AND b", TFieldType::Boolean},
                    TTypeCase{"NOT a", TFieldType::Boolean}, TTypeCase{"a LIKE 'x'", TFieldType::Boolean},
                    TTypeCase{"a IS NULL", TFieldType::Boolean}, TTypeCase{"a + 1", TFieldType::Unknown},
                    TTypeCase{"UPPER(a)", TFieldType::String}, TTypeCase{"LENGTH(a)", TFieldType::Integer},
                    TTypeCase{"SUBSTRING(a FROM 1)", TFieldType::String},
                    TTypeCase{"REPLACE(a WITH b IN c)", TFieldType::String},
                    TTypeCase{"POS(a IN b)", TFieldType::Integer}, TTypeCase{"OCCURS(a IN b)", TFieldType::Integer},
                    TTypeCase{"TRIM(BOTH ' ' FROM a)", TFieldType::String},
                    TTypeCase{"EXTRACT(DAY FROM a)", TFieldType::Integer},
                    TTypeCase{"CAST(a AS TIMESTAMP)", TFieldType::Timestamp},
                    TTypeCase{"TEXTSEARCH('a' IN b)", TFieldType::Boolean},
                    TTypeCase{"TEXTOCCURS('a' IN b)", TFieldType::Word},
                    TTypeCase{"LASTAUTOINC('t')", TFieldType::Integer},
                    TTypeCase{"IDENT_CURRENT('t')", TFieldType::Integer}, TTypeCase{"COUNT(a)", TFieldType::Integer},
                    TTypeCase{"ABS(a)", TFieldType::Unknown}, TTypeCase{"IF(a, 1, 2)", TFieldType::Unknown}));

TEST(ParserTest, ClockConstantsCarryTheirValues) {
  TExpressionParser parser;
  const int32_t before = CurrentDate();
  TExpTree date = parser.ParseText("CURRENT_DATE", 0);
  const int32_t after = CurrentDate();
  ASSERT_EQ(date->DataLength, 4);
  const int32_t value = ReadI32(date->Data.data());
  EXPECT_TRUE(value == before || value == after);
  TExpTree time = parser.ParseText("CURRENT_TIME", 0);
  EXPECT_TRUE(IsValidTime(ReadI32(time->Data.data())));
  TExpTree stamp = parser.ParseText("CURRENT_TIMESTAMP", 0);
  EXPECT_EQ(stamp->DataLength, 8);
  EXPECT_TRUE(SplitTimestamp(ReadF64(stamp->Data.data())).has_value());
}

// ---- data types ----

struct TDataTypeCase {
  const char* Text;
  bool Optional;
  TFieldType Type;
  TFieldSubType SubType;
  size_t Arguments;
};

class ParserDataTypeTest : public testing::TestWithParam<TDataTypeCase> {};

TEST_P(ParserDataTypeTest, ReadsType) {
  const TDataTypeCase& c = GetParam();
  TExpressionParser parser;
  parser.SetText(c.Text);
  parser.NextToken();
  TExpTree node = NewExpToken();
  parser.ParseDataType(node.get(), 0, c.Optional);
  EXPECT_TRUE(parser.IsTokenKind(kTokenEnd)) << c.Text;
  EXPECT_EQ(node->DataType, c.Type) << c.Text;
  EXPECT_EQ(node->SubType, c.SubType) << c.Text;
  EXPECT_EQ(node->Arguments.size(), c.Arguments) << c.Text;
}

INSTANTIATE_TEST_SUITE_P(
    Types, ParserDataTypeTest,
    testing::Values(
        TDataTypeCase{"SMALLINT", false, TFieldType::SmallInt, TFieldSubType::None, 0},
        TDataTypeCase{"WORD", false, TFieldType::Word, TFieldSubType::None, 0},
        TDataTypeCase{"INTEGER", false, TFieldType::Integer, TFieldSubType::None, 0},
        TDataTypeCase{"int", false, TFieldType::Integer, TFieldSubType::None, 0},
        TDataTypeCase{"LARGEINT", false, TFieldType::LargeInt, TFieldSubType::None, 0},
        TDataTypeCase{"AUTOINC", false, TFieldType::Integer, TFieldSubType::AutoInc, 0},
        TDataTypeCase{"DECIMAL", false, TFieldType::Bcd, TFieldSubType::None, 0},
        TDataTypeCase{"NUMERIC(10)", false, TFieldType::Bcd, TFieldSubType::None, 1},
        TDataTypeCase{"DECIMAL(10,2)", false, TFieldType::Bcd, TFieldSubType::None, 2},
        TDataTypeCase{"FLOAT", false, TFieldType::Float, TFieldSubType::None, 0},
        TDataTypeCase{"FLOAT(15, 2)", false, TFieldType::Float, TFieldSubType::None, 2},
        TDataTypeCase{"MONEY", false, TFieldType::Float, TFieldSubType::Money, 0},
        TDataTypeCase{"CHARACTER(20)", false, TFieldType::String, TFieldSubType::None, 1},
        TDataTypeCase{"CHAR(20)", false, TFieldType::String, TFieldSubType::None, 1},
        TDataTypeCase{"VARCHAR(20)", false, TFieldType::String, TFieldSubType::None, 1},
        TDataTypeCase{"CHAR", true, TFieldType::String, TFieldSubType::None, 0},
        TDataTypeCase{"BYTES(4)", false, TFieldType::Bytes, TFieldSubType::None, 1},
        TDataTypeCase{"VARBYTES(4)", false, TFieldType::Bytes, TFieldSubType::None, 1},
        TDataTypeCase{"BINARY(4)", false, TFieldType::Bytes, TFieldSubType::None, 1},
        TDataTypeCase{"VARBINARY(4)", false, TFieldType::Bytes, TFieldSubType::None, 1},
        TDataTypeCase{"DATE", false, TFieldType::Date, TFieldSubType::None, 0},
        TDataTypeCase{"TIME", false, TFieldType::Time, TFieldSubType::None, 0},
        TDataTypeCase{"TIMESTAMP", false, TFieldType::Timestamp, TFieldSubType::None, 0},
        TDataTypeCase{"BOOLEAN", false, TFieldType::Boolean, TFieldSubType::None, 0},
        TDataTypeCase{"BOOL", false, TFieldType::Boolean, TFieldSubType::None, 0},
        TDataTypeCase{"BIT", false, TFieldType::Boolean, TFieldSubType::None, 0},
        TDataTypeCase{"BLOB", false, TFieldType::Blob, TFieldSubType::Binary, 0},
        TDataTypeCase{"BLOB(10, 1)", false, TFieldType::Blob, TFieldSubType::None, 2},
        TDataTypeCase{"LONGVARBINARY", false, TFieldType::Blob, TFieldSubType::Binary, 0},
        TDataTypeCase{"LONGVARCHAR", false, TFieldType::Blob, TFieldSubType::Memo, 0},
        TDataTypeCase{"MEMO", false, TFieldType::Blob, TFieldSubType::Memo, 0},
        TDataTypeCase{"GRAPHIC", false, TFieldType::Blob, TFieldSubType::Graphic, 0}));

// ---- errors ----

struct TErrorCase {
  const char* Text;
  uint32_t Flags;
  const char* Message;
};

std::string ParseError(std::string_view text, uint32_t flags, TErrorCode* code = nullptr) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  const auto error = EngineErrorOf([&] { parser.ParseText(text, flags); });
  if (!error) return "<no error>";
  if (code != nullptr) *code = error->ErrorCode;
  EXPECT_TRUE(owner.Parameters.empty()) << "a failed parse registered parameters";
  return error->ErrorExtraMessage;
}

class ParserErrorTest : public testing::TestWithParam<TErrorCase> {};

TEST_P(ParserErrorTest, RaisesExactMessage) {
  TErrorCode code = 0;
  EXPECT_EQ(ParseError(GetParam().Text, GetParam().Flags, &code), GetParam().Message) << GetParam().Text;
  EXPECT_EQ(code, KURA_SQLPARSE);
}

INSTANTIATE_TEST_SUITE_P(
    Scanner, ParserErrorTest,
    testing::Values(
        TErrorCase{"a = 1 /* open", kAllFlags, "Missing ending comment slash and asterisk in SQL statement"},
        TErrorCase{"a = 'abc", kAllFlags, "Missing single quote after 'abc' in SQL statement"},
        TErrorCase{"a = 'it''s", kAllFlags, "Missing single quote after 'it''s' in SQL statement"},
        TErrorCase{"a = \"abc", kAllFlags, "Missing double quote after 'abc' in SQL statement"},
        TErrorCase{"[abc = 1", kAllFlags, "Missing right bracket after 'abc = 1' in SQL statement"}));

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParserErrorTest,
    testing::Values(
        TErrorCase{"a = ", kAllFlags, "Unknown or unexpected symbol '' found in SQL statement"},
        TErrorCase{"a b", kAllFlags, "Unknown or unexpected symbol 'b' found in SQL statement"},
        TErrorCase{"--x", kAllFlags, "Unknown or unexpected symbol '-' found in SQL statement"},
        TErrorCase{"- -x", kAllFlags, "Unknown or unexpected symbol '-' found in SQL statement"},
        TErrorCase{"a = ;", kAllFlags, "Unknown or unexpected symbol ';' found in SQL statement"},
        TErrorCase{"NOT NOT a", kAllFlags, "Unknown or unexpected symbol 'NOT' found in SQL statement"},
        TErrorCase{"a NOT = 1", kAllFlags, "Unknown or unexpected symbol '=' in SQL statement"},
        TErrorCase{"a IS 1", kAllFlags, "Unknown or unexpected symbol '1' found in SQL statement"},
        TErrorCase{"a IS NOT 1", kAllFlags, "Unknown or unexpected symbol '1' found in SQL statement"},
        TErrorCase{"foo(1)", kAllFlags, "Unknown or unexpected function 'foo' found in SQL statement"},
        TErrorCase{"(a = 1", kAllFlags, "Right parentheses expected, instead found '' in SQL statement"},
        TErrorCase{"(a = 1 b", kAllFlags, "Right parentheses expected, instead found 'b' in SQL statement"},
        TErrorCase{"COUNT(*)", kParseAggregates,
                   "* (all columns) symbol is not allowed in SQL statement"},
        TErrorCase{"*", 0, "* (all columns) symbol is not allowed in SQL statement"},
        TErrorCase{"a = ?", kParseExtendedPredicates, "Parameters are not allowed in SQL statement"},
        TErrorCase{"SUM(a)", 0, "Aggregate functions are not allowed in SQL statement"},
        TErrorCase{"SUM a", kAllFlags,
                   "Left parentheses expected after aggregate function 'SUM', instead found 'a' in SQL statement"},
        TErrorCase{"count(a b", kAllFlags,
                   "Right parentheses expected after aggregate COUNT function argument, instead found 'b' in SQL "
                   "statement"},
        TErrorCase{"t.(", kAllFlags,
                   "Symbol or string expression expected after table correlation name separator '.', instead found "
                   "'(' in SQL statement"},
        TErrorCase{"t.*", 0,
                   "Symbol or string expression expected after table correlation name separator '.', instead found "
                   "'*' in SQL statement"},
        TErrorCase{"1.2.3", kAllFlags, "Constant '1.2.3' is not a valid number  in SQL statement"},
        TErrorCase{"1e", kAllFlags, "Constant '1e' is not a valid number  in SQL statement"},
        TErrorCase{"1e999", kAllFlags, "Constant '1e999' is not a valid number  in SQL statement"},
        TErrorCase{"#256", kAllFlags, "Character constants (#) must be within the range of 0 to 255 in SQL statement"},
        TErrorCase{"#99999999999999999999", kAllFlags,
                   "Character constants (#) must be within the range of 0 to 255 in SQL statement"},
        TErrorCase{"a LIKE 'x'", 0,
                   "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL statement"},
        TErrorCase{"a BETWEEN 1 AND 2", 0,
                   "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL statement"},
        TErrorCase{"a IN (1)", 0,
                   "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL statement"},
        TErrorCase{"a IS NULL", 0,
                   "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL statement"},
        TErrorCase{"a NOT LIKE 'x'", 0,
                   "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL statement"},
        TErrorCase{"a BETWEEN 1 OR 2", kAllFlags,
                   "Expected AND operator in BETWEEN operator, instead found 'OR' in SQL statement"},
        TErrorCase{"a NOT BETWEEN 1 2", kAllFlags,
                   "Expected AND operator in NOT BETWEEN operator, instead found '2' in SQL statement"},
        TErrorCase{"a IN 1", kAllFlags, "Expected left parentheses for IN operator, instead found '1' in SQL statement"},
        TErrorCase{"a NOT IN 1", kAllFlags,
                   "Expected left parentheses for NOT IN operator, instead found '1' in SQL statement"},
        TErrorCase{"a IN (1, 2", kAllFlags,
                   "Expected right parentheses after IN operator, instead found '' in SQL statement"},
        TErrorCase{"a NOT IN (1 2", kAllFlags,
                   "Expected right parentheses after NOT IN operator, instead found '2' in SQL statement"},
        TErrorCase{"a IN (SELECT b FROM t", kAllFlags,
                   "Expected right parentheses for IN operator, instead found '' in SQL statement"},
        TErrorCase{"a NOT IN (SELECT b FROM t", kAllFlags,
                   "Expected right parentheses for NOT IN operator, instead found '' in SQL statement"},
        TErrorCase{"a IN (SELECT b FROM t)", kParseExtendedPredicates,
                   "Sub-select queries are not allowed in SQL statement"},
        TErrorCase{"a | b", kAllFlags,
                   "Second concatenation symbol '|' expected after first concatentation symbol, instead found 'b' in "
                   "SQL statement"}));

INSTANTIATE_TEST_SUITE_P(
    Functions, ParserErrorTest,
    testing::Values(
        TErrorCase{"LOWER a", kAllFlags, "Left parentheses expected after LOWER keyword, instead found 'a' in SQL statement"},
        TErrorCase{"coalesce", kAllFlags,
                   "Left parentheses expected after COALESCE keyword, instead found '' in SQL statement"},
        TErrorCase{"UPPER(a b", kAllFlags,
                   "Right parentheses expected after UPPER function argument, instead found 'b' in SQL statement"},
        TErrorCase{"ABS(a", kAllFlags,
                   "Right parentheses expected after ABS function argument, instead found '' in SQL statement"},
        TErrorCase{"LENGTH(a,", kAllFlags,
                   "Right parentheses expected after LENGTH function argument, instead found ',' in SQL statement"},
        TErrorCase{"TEXTSEARCH('a' IN b c", kAllFlags,
                   "Right parentheses expected after TEXTSEARCH function argument, instead found 'c' in SQL statement"},
        TErrorCase{"LASTAUTOINC('t' 'u'", kAllFlags,
                   "Right parentheses expected after LASTAUTOINC function argument, instead found 'u' in SQL statement"},
        TErrorCase{"IDENT_CURRENT(t", kAllFlags,
                   "Right parentheses expected after IDENT_CURRENT function argument, instead found '' in SQL "
                   "statement"},
        TErrorCase{"ROUND(a b", kAllFlags,
                   "Right parentheses expected after ROUND function arguments, instead found 'b' in SQL statement"},
        TErrorCase{"SUBSTRING(a FROM 1 FOR 2 3", kAllFlags,
                   "Right parentheses expected after SUBSTRING function arguments, instead found '3' in SQL statement"},
        TErrorCase{"CAST(a AS INTEGER b", kAllFlags,
                   "Right parentheses expected after CAST function arguments, instead found 'b' in SQL statement"},
        TErrorCase{"IF(a, 1, 2", kAllFlags,
                   "Right parentheses expected after IF function arguments, instead found '' in SQL statement"},
        TErrorCase{"IFNULL(a, 1, 2 3", kAllFlags,
                   "Right parentheses expected after IFNULL function arguments, instead found '3' in SQL statement"},
        TErrorCase{"CURRENT_DATE( x", kAllFlags,
                   "Right parentheses expected after first CURRENT_DATE function parentheses, instead found 'x' in SQL "
                   "statement"},
        TErrorCase{"COALESCE(a, b c", kAllFlags,
                   "Expected right parentheses after COALESCE expression arguments, instead found 'c' in SQL "
                   "statement"},
        TErrorCase{"SUBSTRING(a, 1)", kAllFlags,
                   "FROM keyword expected after first SUBSTRING function argument, instead found ',' in SQL statement"},
        TErrorCase{"REPLACE('a' IN b)", kAllFlags,
                   "WITH keyword expected after first REPLACE function argument, instead found 'IN' in SQL statement"},
        TErrorCase{"REPLACE('a' WITH 'b' FROM c)", kAllFlags,
                   "IN keyword expected after second REPLACE function argument, instead found 'FROM' in SQL statement"},
        TErrorCase{"POS('a', b)", kAllFlags,
                   "IN keyword expected after first POS function argument, instead found ',' in SQL statement"},
        TErrorCase{"OCCURS('a' b)", kAllFlags,
                   "IN keyword expected after first OCCURS function argument, instead found 'b' in SQL statement"},
        TErrorCase{"TEXTSEARCH('a' b)", kAllFlags,
                   "IN keyword expected after first TEXTSEARCH function argument, instead found 'b' in SQL statement"},
        TErrorCase{"TEXTOCCURS('a')", kAllFlags,
                   "IN keyword expected after first TEXTOCCURS function argument, instead found ')' in SQL statement"},
        TErrorCase{"CAST(a INTEGER)", kAllFlags,
                   "AS keyword expected after first CAST function argument, instead found 'INTEGER' in SQL statement"},
        TErrorCase{"TRIM(BOTH ' ' a)", kAllFlags,
                   "FROM keyword expected after second TRIM function argument, instead found 'a' in SQL statement"},
        TErrorCase{"EXTRACT(DAY d)", kAllFlags,
                   "FROM keyword expected after second EXTRACT function argument, instead found 'd' in SQL statement"},
        TErrorCase{"IF(a 1, 2)", kAllFlags,
                   "THEN keyword or comma expected after first IF function argument, instead found '1' in SQL "
                   "statement"},
        TErrorCase{"IF(a THEN 1 2)", kAllFlags,
                   "ELSE keyword or comma expected after second IF function argument, instead found '2' in SQL "
                   "statement"},
        TErrorCase{"IFNULL(a 1, 2)", kAllFlags,
                   "THEN keyword or comma expected after first IFNULL function argument, instead found '1' in SQL "
                   "statement"},
        TErrorCase{"IFNULL(a, 1; 2)", kAllFlags,
                   "ELSE keyword or comma expected after second IFNULL function argument, instead found ';' in SQL "
                   "statement"},
        TErrorCase{"TRIM(' ' FROM a)", kAllFlags,
                   "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' ' in SQL statement"},
        TErrorCase{"EXTRACT(CENTURY FROM a)", kAllFlags,
                   "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected after "
                   "EXTRACT keyword, instead found 'CENTURY' in SQL statement"}));

INSTANTIATE_TEST_SUITE_P(
    DataTypes, ParserErrorTest,
    testing::Values(
        TErrorCase{"CAST(a AS STRING)", kAllFlags, "SQL data type keyword expected, instead found 'STRING' in SQL statement"},
        TErrorCase{"CAST(a AS 1)", kAllFlags, "SQL data type keyword expected, instead found '1' in SQL statement"},
        TErrorCase{"CAST(a AS Char(10 x))", kAllFlags,
                   "Right parentheses expected after Char data type arguments, instead found 'x' in SQL statement"},
        TErrorCase{"CAST(a AS decimal(10 2))", kAllFlags,
                   "Comma expected after first decimal argument, instead found '2' in SQL statement"},
        TErrorCase{"CAST(a AS DECIMAL(10, 2 3))", kAllFlags,
                   "Right parentheses expected after DECIMAL data type arguments, instead found '3' in SQL statement"},
        TErrorCase{"CAST(a AS float(10 2))", kAllFlags,
                   "Comma expected after first FLOAT argument, instead found '2' in SQL statement"},
        TErrorCase{"CAST(a AS float(10, 2 3))", kAllFlags,
                   "Right parentheses expected after FLOAT data type arguments, instead found '3' in SQL statement"},
        TErrorCase{"CAST(a AS blob(10))", kAllFlags,
                   "Comma expected after first BLOB argument, instead found ')' in SQL statement"},
        TErrorCase{"CAST(a AS blob(10, 1 2))", kAllFlags,
                   "Right parentheses expected after BLOB data type arguments, instead found '2' in SQL statement"}));

TEST(ParserTest, DataTypeLengthRequiredOutsideCast) {
  TExpressionParser parser;
  parser.SetText("VarChar x");
  parser.NextToken();
  TExpTree node = NewExpToken();
  const auto error = EngineErrorOf([&] { parser.ParseDataType(node.get(), 0, false); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorExtraMessage,
            "Left parentheses expected after VarChar data type, instead found 'x' in SQL statement");
}

TEST(ParserTest, FilterErrorsUseFilterCodeTableAndContext) {
  TExpressionParser parser;
  parser.SetErrorContext(KURA_INVALIDFILTER, "tejun", std::string(kFilterContext));
  const auto error = EngineErrorOf([&] { parser.ParseText("MNB = ?", kFilterParseFlags); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_INVALIDFILTER);
  EXPECT_EQ(error->ErrorTableName, "tejun");
  EXPECT_EQ(error->ErrorExtraMessage, "Parameters are not allowed in filter expression");
  // The flags a filter uses allow the extended predicates but not aggregates.
  EXPECT_NO_THROW(parser.ParseText("MNB IN (1, 2) AND CMT LIKE 'a%' AND EXP IS NOT NULL", kFilterParseFlags));
  EXPECT_THROW(parser.ParseText("SUM(MNB) > 1", kFilterParseFlags), EKuraEngineError);
}

TEST(ParserTest, IfConditionAlwaysAllowsExtendedPredicates) {
  TExpressionParser parser;
  EXPECT_EQ(Print(parser.ParseText("IF(a LIKE 'x%', 1, 2)", 0).get()), "IF#64((LIKE#32 a, s'x%'), i:1, i:2)");
  // ... but only its condition.
  EXPECT_THROW(parser.ParseText("IF(a, b LIKE 'x', 2)", 0), EKuraEngineError);
  EXPECT_THROW(parser.ParseText("IFNULL(a LIKE 'x', 1, 2)", 0), EKuraEngineError);
}

TEST(ParserTest, ExpressionStopsBeforeTrailingTokens) {
  TExpressionParser parser;
  parser.SetText("a + 1 AS total, b");
  parser.NextToken();
  TExpTree tree = parser.ParseExpression(0);
  EXPECT_EQ(Print(tree.get()), "(a + i:1)");
  EXPECT_TRUE(parser.IsKeyword("as"));
  EXPECT_FALSE(parser.IsKeyword("ASX"));
}

TEST(ParserTest, OperandStopsBeforeAnOperator) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  parser.SetText("-a.b = ? , (c + ?) * 2");
  parser.NextToken();
  TExpTree first = parser.ParseOperand(kAllFlags);
  EXPECT_EQ(Print(first.get()), "(-a.b)");
  EXPECT_TRUE(parser.IsTokenKind('='));
  parser.NextToken();
  // A parameter read as an operand is registered like one of an expression.
  TExpTree second = parser.ParseOperand(kAllFlags);
  ASSERT_EQ(owner.Parameters.size(), 1u);
  EXPECT_EQ(owner.Parameters[0], second.get());
  parser.NextToken();  // ","
  TExpTree third = parser.ParseOperand(kAllFlags);
  EXPECT_EQ(Print(third.get()), "(c + ?)");
  EXPECT_TRUE(parser.IsTokenKind('*'));
  EXPECT_EQ(owner.Parameters.size(), 2u);
}

// ---- parameters and sub-selects ----

TEST(ParserTest, ParametersAreRegisteredInOrderAfterSuccess) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  TExpTree tree = parser.ParseText("a = ? AND b BETWEEN ? AND ?", kAllFlags);
  ASSERT_EQ(owner.Parameters.size(), 3u);
  EXPECT_EQ(owner.Parameters[0], tree->Operand->RightOperand);
  EXPECT_EQ(owner.Parameters[1], tree->RightOperand->Arguments[1]);
  EXPECT_EQ(owner.Parameters[2], tree->RightOperand->Arguments[2]);
  for (const TExpToken* parameter : owner.Parameters) {
    EXPECT_EQ(parameter->IsParameter, 1);
    EXPECT_EQ(parameter->Kind, kNodeConstant);
  }
}

TEST(ParserTest, FailedParseRegistersNoParameter) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  EXPECT_THROW(parser.ParseText("a = ? AND b = (?", kAllFlags), EKuraEngineError);
  EXPECT_TRUE(owner.Parameters.empty());
  // The parser is reusable after a failure.
  TExpTree tree = parser.ParseText("c = ?", kAllFlags);
  EXPECT_EQ(owner.Parameters.size(), 1u);
}

TEST(ParserTest, SubSelectGoesThroughOwner) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  TExpTree tree = parser.ParseText("x IN (SELECT y FROM t WHERE z IN (1, 2)) AND w = 1", kAllFlags);
  EXPECT_EQ(owner.SubSelects, 1);
  EXPECT_EQ(Print(tree.get()), "((IN#34 x, SELECT) AND (w = i:1))");
  EXPECT_NE(tree->Operand->Arguments[1]->SubQuery, nullptr);
}

TEST(ParserTest, SubSelectWithoutOwnerIsNotAllowed) {
  TExpressionParser parser;
  const auto error = EngineErrorOf([&] { parser.ParseText("x IN (SELECT y FROM t)", kAllFlags); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorExtraMessage, "Sub-select queries are not allowed in SQL statement");
}

// A sub-select that owns the tree of its WHERE condition, parsed with the same parser
// the way the SQL layer does it.
struct TWhereSubQuery : TExpSubQuery {
  TExpTree Where;
};

class TWhereOwner : public TExpressionParserOwner {
public:
  std::shared_ptr<TExpSubQuery> ParseSubSelect(TExpressionParser& parser, uint32_t flags) override {
    auto query = std::make_shared<TWhereSubQuery>();
    parser.NextToken();  // past SELECT
    if (parser.IsKeyword("WHERE")) {
      parser.NextToken();
      query->Where = parser.ParseExpression(flags);
    }
    return query;
  }
};

TEST(ParserTest, SubSelectsNestThroughTheSameParser) {
  TWhereOwner owner;
  TExpressionParser parser(&owner);
  TExpTree tree = parser.ParseText("a IN (SELECT WHERE b IN (SELECT WHERE c = 1))", kAllFlags);
  const auto* outer = static_cast<const TWhereSubQuery*>(tree->Arguments[1]->SubQuery.get());
  ASSERT_NE(outer->Where, nullptr);
  const auto* inner = static_cast<const TWhereSubQuery*>(outer->Where->Arguments[1]->SubQuery.get());
  EXPECT_EQ(Print(inner->Where.get()), "(c = i:1)");
}

TEST(ParserTest, DeeplyNestedSubSelectsRaise) {
  TWhereOwner owner;
  TExpressionParser parser(&owner);
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "a IN (SELECT WHERE ";
  const auto error = EngineErrorOf([&] { parser.ParseText(text, kAllFlags); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorExtraMessage, "Expression nested too deeply in SQL statement");
}

// ---- scanner ----

struct TTokenCase {
  const char* Text;
  std::vector<std::pair<int, std::string>> Tokens;
};

class ScannerTest : public testing::TestWithParam<TTokenCase> {};

TEST_P(ScannerTest, ScansTokens) {
  TExpressionParser parser;
  parser.SetText(GetParam().Text);
  for (const auto& [kind, text] : GetParam().Tokens) {
    EXPECT_EQ(parser.NextToken(), kind) << GetParam().Text << " at " << text;
    EXPECT_EQ(parser.TokenText(), text) << GetParam().Text;
  }
  EXPECT_EQ(parser.NextToken(), kTokenEnd) << GetParam().Text;
  EXPECT_EQ(parser.TokenText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ScannerTest,
    testing::Values(
        TTokenCase{"abc _x a1$!@", {{kTokenName, "abc"}, {kTokenName, "_x"}, {kTokenName, "a1$!@"}}},
        TTokenCase{"\x82\xa0\xfe", {{kTokenName, "\x82\xa0\xfe"}}},
        TTokenCase{"\xff", {{255, "\xff"}}},
        TTokenCase{"[a b]", {{kTokenBracketName, "a b"}}},
        TTokenCase{"'a''b' \"c\"\"d\"", {{kTokenSingleQuoted, "a'b"}, {kTokenDoubleQuoted, "c\"d"}}},
        TTokenCase{"'a\"b'", {{kTokenSingleQuoted, "a\"b"}}},
        TTokenCase{"#12 #x", {{kTokenCharCode, "#12"}, {'#', "#"}, {kTokenName, "x"}}},
        TTokenCase{"123 1.5 1e5 1E-5 .5 1.2.3",
                   {{kTokenInteger, "123"},
                    {kTokenNumber, "1.5"},
                    {kTokenNumber, "1e5"},
                    {kTokenNumber, "1E-5"},
                    {kTokenNumber, ".5"},
                    {kTokenNumber, "1.2.3"}}},
        TTokenCase{"1-2", {{kTokenInteger, "1"}, {'-', "-"}, {kTokenInteger, "2"}}},
        TTokenCase{"a.b", {{kTokenName, "a"}, {'.', "."}, {kTokenName, "b"}}},
        TTokenCase{"( ) * + , - . / < = > ? |",
                   {{40, "("}, {41, ")"}, {42, "*"}, {43, "+"}, {44, ","}, {45, "-"}, {46, "."}, {47, "/"},
                    {60, "<"}, {61, "="}, {62, ">"}, {63, "?"}, {124, "|"}}},
        TTokenCase{"a/*x*/b/**/ /* * / */c", {{kTokenName, "a"}, {kTokenName, "b"}, {kTokenName, "c"}}},
        TTokenCase{"", {}},
        TTokenCase{"   \t\r\n", {}}));

TEST(ScannerTest, ZeroByteEndsTheText) {
  TExpressionParser parser;
  parser.SetText(std::string_view("a\0b", 3));
  EXPECT_EQ(parser.NextToken(), kTokenName);
  EXPECT_EQ(parser.NextToken(), kTokenEnd);
}

TEST(ScannerTest, NameOrTextAndKeywords) {
  TExpressionParser parser;
  parser.SetText("Select [x] 'y' \"z\" 1");
  parser.NextToken();
  EXPECT_TRUE(parser.IsKeyword("SELECT"));
  EXPECT_TRUE(parser.IsNameOrText());
  for (int i = 0; i < 3; ++i) {
    parser.NextToken();
    EXPECT_TRUE(parser.IsNameOrText());
    EXPECT_FALSE(parser.IsKeyword(parser.TokenText()));
  }
  parser.NextToken();
  EXPECT_FALSE(parser.IsNameOrText());
  EXPECT_TRUE(parser.IsTokenKind(kTokenInteger));
}

TEST(ScannerTest, SpansAndPositions) {
  TExpressionParser parser;
  parser.SetText("SELECT a +\r\n b AS c");
  parser.NextToken();  // SELECT
  parser.NextToken();  // a
  EXPECT_EQ(parser.TokenStart(), 7u);
  EXPECT_EQ(parser.PreviousTokenEnd(), 6u);
  parser.BeginSpan();
  TExpTree tree = parser.ParseExpression(0);
  EXPECT_TRUE(parser.IsKeyword("AS"));
  EXPECT_EQ(parser.SpanText(), "a + b");
}

TEST(ScannerTest, SaveAndRestorePosition) {
  TExpressionParser parser;
  parser.SetText("a b c");
  parser.NextToken();
  const TExpressionParser::TPosition saved = parser.SavePosition();
  parser.NextToken();
  parser.NextToken();
  EXPECT_EQ(parser.TokenText(), "c");
  parser.RestorePosition(saved);
  EXPECT_EQ(parser.TokenText(), "a");
  parser.NextToken();
  EXPECT_EQ(parser.TokenText(), "b");
}

// ---- depth limits ----

TEST(ParserTest, DeepNestingRaisesInsteadOfOverflowing) {
  const std::string deep = std::string(100000, '(') + "1" + std::string(100000, ')');
  EXPECT_EQ(ParseError(deep, kAllFlags), "Expression nested too deeply in SQL statement");
  const std::string functions = [] {
    std::string text;
    for (int i = 0; i < 50000; ++i) text += "TRIM(BOTH ";
    return text;
  }();
  EXPECT_EQ(ParseError(functions, kAllFlags), "Expression nested too deeply in SQL statement");
  EXPECT_EQ(ParseError(std::string(100000, '-'), kAllFlags), "Unknown or unexpected symbol '-' found in SQL statement");
}

TEST(ParserTest, LongChainsAreLimitedByTreeHeight) {
  std::string chain = "1";
  for (int i = 0; i < 5000; ++i) chain += " + 1";
  EXPECT_EQ(ParseError(chain, kAllFlags), "Expression nested too deeply in SQL statement");
  std::string fine = "a = 0";
  for (int i = 1; i < 500; ++i) fine += " OR a = " + std::to_string(i);
  EXPECT_NO_THROW(ParseAndPrint(fine));
  // A long IN list is flat.
  std::string list = "a IN (0";
  for (int i = 1; i < 20000; ++i) list += ", " + std::to_string(i);
  EXPECT_NO_THROW(ParseAndPrint(list + ")"));
  const std::string nested = std::string(150, '(') + "1" + std::string(150, ')');
  EXPECT_EQ(ParseAndPrint(nested), "i:1");
}

// ---- byte stream ----

class SerializeTest : public testing::TestWithParam<const char*> {};

TEST_P(SerializeTest, RoundTrips) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  TExpTree tree = parser.ParseText(GetParam(), kAllFlags);
  std::vector<uint8_t> bytes;
  SerializeTree(tree.get(), bytes);
  size_t consumed = 0;
  TExpTree back = DeserializeTree(bytes.data(), bytes.size(), &consumed);
  EXPECT_EQ(consumed, bytes.size());
  EXPECT_EQ(Print(back.get()), Print(tree.get()));
  std::vector<uint8_t> again;
  SerializeTree(back.get(), again);
  EXPECT_EQ(again, bytes);
  // Every shorter prefix is incomplete and must be refused, never over-read.
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_THROW(DeserializeTree(bytes.data(), cut), EKuraEngineError) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, SerializeTest,
                         testing::Values("a = 1 OR b = 2 AND c = 3", "-x * 2.5", "'O''Neil' || ''",
                                         "t.a BETWEEN CURRENT_DATE AND CURRENT_TIMESTAMP", "x NOT IN (1, 'two', NULL)",
                                         "SUBSTRING(a FROM 2 FOR 3) = TRIM(LEADING #32 FROM b)",
                                         "CAST(a AS DECIMAL(10, 2)) > ?", "COUNT(*) + SUM(a) + 12345678901",
                                         "IF(a IS NULL THEN TRUE ELSE FALSE)", "x IN (SELECT y FROM t)"));

TEST(SerializeTest, KeepsEveryField) {
  TExpTree node = NewExpToken();
  node->Text = "col";
  node->Kind = kNodeColumn;
  node->IsBound = 1;
  node->IsColumnText = 1;
  node->SourceNo = 2;
  node->FieldNo = 7;
  node->ColumnName = "col";
  node->TableName = "t";
  node->DataType = TFieldType::String;
  node->SubType = TFieldSubType::None;
  const char value[] = "abc";
  node->SetData(value, 4);
  node->IsNull = 1;
  node->PatternPosition = 3;
  node->CaseInsensitive = 1;
  node->DataScale = 2;
  node->SavedDataType = TFieldType::Date;
  node->SavedSubType = TFieldSubType::Memo;
  node->SavedDataLength = 9;
  node->SavedDataScale = 1;
  std::vector<uint8_t> bytes;
  SerializeTree(node.get(), bytes);
  TExpTree back = DeserializeTree(bytes.data(), bytes.size());
  EXPECT_EQ(back->Text, "col");
  EXPECT_EQ(back->IsBound, 1);
  EXPECT_EQ(back->IsColumnText, 1);
  EXPECT_EQ(back->SourceNo, 2);
  EXPECT_EQ(back->FieldNo, 7);
  EXPECT_EQ(back->TableName, "t");
  EXPECT_EQ(back->DataLength, 4);
  EXPECT_EQ(std::memcmp(back->Data.data(), "abc", 4), 0);
  EXPECT_EQ(back->IsNull, 1);
  EXPECT_EQ(back->PatternPosition, 3);
  EXPECT_EQ(back->CaseInsensitive, 1);
  EXPECT_EQ(back->DataScale, 2);
  EXPECT_EQ(back->SavedDataType, TFieldType::Date);
  EXPECT_EQ(back->SavedSubType, TFieldSubType::Memo);
  EXPECT_EQ(back->SavedDataLength, 9);
  EXPECT_EQ(back->SavedDataScale, 1);
  // Each field is an int32 length and its bytes: the stream starts with "col".
  ASSERT_GE(bytes.size(), 7u);
  EXPECT_EQ(ReadI32(bytes.data()), 3);
  EXPECT_EQ(std::memcmp(bytes.data() + 4, "col", 3), 0);
}

TEST(SerializeTest, RefusesDamagedStreams) {
  TExpressionParser parser;
  TExpTree tree = parser.ParseText("a + 1 = 2", 0);
  std::vector<uint8_t> bytes;
  SerializeTree(tree.get(), bytes);
  // Flip every byte in turn: the result is either a well-formed tree or the error.
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::vector<uint8_t> damaged = bytes;
    damaged[i] ^= 0xA5;
    const auto error = EngineErrorOf([&] {
      TExpTree back = DeserializeTree(damaged.data(), damaged.size());
      std::vector<uint8_t> again;
      SerializeTree(back.get(), again);
    });
    if (!error) continue;
    EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
    EXPECT_EQ(error->ErrorExtraMessage, "Invalid expression data");
  }
}

TEST(SerializeTest, RefusesTooDeepStreams) {
  // A unary chain deeper than any parsed tree may be.
  TExpTree root = NewExpToken();
  root->Kind = kNodeConstant;
  for (int i = 0; i < kMaxExpressionHeight + 5; ++i) {
    TExpTree parent = NewExpToken();
    parent->Kind = kNodeUnary;
    parent->OpCode = kOpUnaryMinus;
    parent->Operand = root.release();
    root = std::move(parent);
  }
  std::vector<uint8_t> bytes;
  SerializeTree(root.get(), bytes);
  EXPECT_THROW(DeserializeTree(bytes.data(), bytes.size()), EKuraEngineError);
}

}  // namespace
}  // namespace kura
