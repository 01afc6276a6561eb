// The preparation of trees and the evaluator's contracts: what preparing rewrites,
// the order AND and OR read their operands in, the callbacks, and that the per-record
// paths allocate nothing.

#include "kura/expr/expression_evaluator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_parser.h"
#include "testing/allocation_counter.h"
#include "testing/column_table.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

// A record of four columns: MNB (Integer), SNB (SmallInt), CMT and NAME (String(20)).
struct TFakeRecord {
  int32_t Mnb = 0;
  int16_t Snb = 0;
  std::string Cmt;
  std::string Name;
  bool CmtNull = false;
  std::vector<std::string>* ReadLog = nullptr;  // columns read, in order
};

const testing_support::TColumnTable kFakeColumns({
    {"MNB", {TFieldType::Integer, TFieldSubType::None, 4, 0}},
    {"SNB", {TFieldType::SmallInt, TFieldSubType::None, 2, 0}},
    {"CMT", {TFieldType::String, TFieldSubType::None, 21, 0}},
    {"NAME", {TFieldType::String, TFieldSubType::None, 21, 0}},
});

void GetValue(void*, const uint8_t* recordBuffer, TExpToken& node) {
  const auto& record = *reinterpret_cast<const TFakeRecord*>(recordBuffer);
  if (record.ReadLog != nullptr) record.ReadLog->push_back(node.ColumnName);
  uint8_t bytes[4];
  switch (node.FieldNo) {
    case 0:
      WriteI32(bytes, record.Mnb);
      node.SetData(bytes, 4);
      break;
    case 1:
      WriteI16(bytes, record.Snb);
      node.SetData(bytes, 2);
      break;
    case 2:
      if (record.CmtNull)
        node.IsNull = 1;
      else
        node.SetData(record.Cmt.c_str(), static_cast<int32_t>(record.Cmt.size() + 1));
      break;
    case 3: node.SetData(record.Name.c_str(), static_cast<int32_t>(record.Name.size() + 1)); break;
    default: RaiseUnservedColumn(node);
  }
}

TEvaluationContext Context() {
  TEvaluationContext context;
  context.GetColumnValue = GetValue;
  return context;
}

TExpTree Bind(std::string_view text) {
  TExpressionParser parser;
  parser.SetErrorContext(KURA_INVALIDFILTER, "T", std::string(kFilterContext));
  TExpTree tree = parser.ParseText(text, kFilterParseFlags);
  BindExpression(KURA_INVALIDFILTER, std::string(kFilterContext), tree.get(), tree.get(), true, true,
                 testing_support::TColumnTable::Resolve, kFakeColumns.ResolveData());
  return tree;
}

TExpTree Prepare(std::string_view text, bool noPartialCompare = false, bool caseInsensitive = false) {
  const TExpTree bound = Bind(text);
  return PrepareExpression(*bound, Context(), noPartialCompare, caseInsensitive);
}

std::string TextOf(const TExpToken& node) { return std::string(reinterpret_cast<const char*>(node.Data.data())); }

const uint8_t* Buffer(const TFakeRecord& record) { return reinterpret_cast<const uint8_t*>(&record); }

TEST(ExpressionEvaluatorTest, PreparingFoldsConstantPartsIntoTheCopy) {
  const TExpTree bound = Bind("MNB > 50 + 50");
  const TExpTree prepared = PrepareExpression(*bound, Context(), false, false);
  ASSERT_EQ(prepared->RightOperand->Kind, kNodeConstant);
  EXPECT_EQ(prepared->RightOperand->Operand, nullptr);
  EXPECT_EQ(ReadI32(prepared->RightOperand->Data.data()), 100);
  // The original keeps its shape.
  EXPECT_EQ(bound->RightOperand->Kind, kNodeBinary);

  const TExpTree constant = Prepare("1 = 1 AND 'a' < 'b'");
  EXPECT_EQ(constant->Kind, kNodeConstant);
  EXPECT_EQ(constant->DataType, TFieldType::Boolean);
  EXPECT_EQ(ReadU16(constant->Data.data()), 1);
}

TEST(ExpressionEvaluatorTest, ConstantsTakeTheTypeTheyAreComparedWithWhenNothingIsLost) {
  const TExpTree exact = Prepare("SNB = 5");
  EXPECT_EQ(exact->RightOperand->DataType, TFieldType::SmallInt);
  const TExpTree fraction = Prepare("SNB = 5.5");
  EXPECT_EQ(fraction->RightOperand->DataType, TFieldType::Float);
  const TExpTree tooLarge = Prepare("SNB < 70000");
  EXPECT_EQ(tooLarge->RightOperand->DataType, TFieldType::Integer);
  const TExpTree listed = Prepare("SNB IN (1, 2.5)");
  EXPECT_EQ(listed->Arguments[1]->DataType, TFieldType::SmallInt);
  EXPECT_EQ(listed->Arguments[2]->DataType, TFieldType::Float);
}

TEST(ExpressionEvaluatorTest, LikeWithATrailingPercentBecomesAPrefixComparison) {
  const TExpTree like = Prepare("CMT LIKE 'ab%'");
  EXPECT_EQ(like->Kind, kNodeWildcard);
  EXPECT_EQ(like->OpCode, kOpEqual);
  EXPECT_EQ(like->PatternPosition, 2);
  EXPECT_EQ(TextOf(*like->RightOperand), "ab");
  EXPECT_TRUE(like->Arguments.empty());

  const TExpTree notLike = Prepare("CMT NOT LIKE 'ab%%'");
  EXPECT_EQ(notLike->Kind, kNodeWildcard);
  EXPECT_EQ(notLike->OpCode, kOpNotEqual);

  for (const char* general : {"CMT LIKE 'a_%'", "CMT LIKE '%ab'", "CMT LIKE 'a%b%'", "CMT LIKE '%'"})
    EXPECT_EQ(Prepare(general)->Kind, kNodePredicate) << general;
}

TEST(ExpressionEvaluatorTest, TrailingAsterisksMakeAWildcardComparison) {
  const TExpTree prefix = Prepare("NAME = 'Sm**'");
  EXPECT_EQ(prefix->Kind, kNodeWildcard);
  EXPECT_EQ(prefix->PatternPosition, 2);
  EXPECT_EQ(prefix->CaseInsensitive, 0);
  EXPECT_EQ(TextOf(*prefix->RightOperand), "Sm");

  const TExpTree whole = Prepare("NAME = 'Sm*'", true, false);
  EXPECT_EQ(whole->Kind, kNodeWildcard);
  EXPECT_EQ(whole->PatternPosition, 0);
  EXPECT_EQ(TextOf(*whole->RightOperand), "Sm*");

  const TExpTree caseless = Prepare("NAME <> 'smith'", false, true);
  EXPECT_EQ(caseless->Kind, kNodeWildcard);
  EXPECT_EQ(caseless->OpCode, kOpNotEqual);
  EXPECT_EQ(caseless->CaseInsensitive, 1);

  EXPECT_EQ(Prepare("NAME = '*ith'")->Kind, kNodeBinary);
  EXPECT_EQ(Prepare("NAME = 'Smith'")->Kind, kNodeBinary);
  EXPECT_EQ(Prepare("NAME < 'Sm*'")->Kind, kNodeBinary);
}

TEST(ExpressionEvaluatorTest, OperandsUnderTheSameCaseFunctionMakeTheComparisonCaseInsensitive) {
  EXPECT_EQ(Prepare("UPPER(NAME) = UPPER('x')")->CaseInsensitive, 1);
  EXPECT_EQ(Prepare("LOWER(NAME) LIKE LOWER('x%y')")->CaseInsensitive, 1);
  EXPECT_EQ(Prepare("UPPER(NAME) IN (UPPER('a'), UPPER('b'))")->CaseInsensitive, 1);
  EXPECT_EQ(Prepare("UPPER(NAME) = LOWER('x')")->CaseInsensitive, 0);
  EXPECT_EQ(Prepare("UPPER(NAME) = 'X'")->CaseInsensitive, 0);
  EXPECT_EQ(Prepare("UPPER(NAME) IN (UPPER('a'), 'b')")->CaseInsensitive, 0);
}

TEST(ExpressionEvaluatorTest, AndAndOrReadTheirRightOperandFirst) {
  std::vector<std::string> log;
  TFakeRecord record;
  record.ReadLog = &log;
  const TExpTree both = Prepare("MNB > 1 AND SNB > 1");
  EXPECT_FALSE(EvaluateCondition(*both, Buffer(record), Context()));
  EXPECT_EQ(log, std::vector<std::string>{"SNB"});

  log.clear();
  record.Snb = 2;
  EXPECT_FALSE(EvaluateCondition(*both, Buffer(record), Context()));
  EXPECT_EQ(log, (std::vector<std::string>{"SNB", "MNB"}));

  log.clear();
  const TExpTree either = Prepare("MNB > 1 OR SNB > 1");
  EXPECT_TRUE(EvaluateCondition(*either, Buffer(record), Context()));
  EXPECT_EQ(log, std::vector<std::string>{"SNB"});

  log.clear();
  const TExpTree between = Prepare("MNB BETWEEN SNB AND SNB + 1");
  record.Mnb = 0;
  EXPECT_FALSE(EvaluateCondition(*between, Buffer(record), Context()));
  EXPECT_EQ(log, (std::vector<std::string>{"MNB", "SNB"}));  // the upper bound is not needed
}

bool SubSelectContains(void* data, const uint8_t*, const TExpToken& subSelect, const TExpToken& value) {
  EXPECT_EQ(subSelect.Kind, kNodeSubSelect);
  const auto& rows = *static_cast<const std::vector<int32_t>*>(data);
  if (value.IsNull != 0) return false;
  return std::find(rows.begin(), rows.end(), ReadI32(value.Data.data())) != rows.end();
}

TEST(ExpressionEvaluatorTest, InSubSelectAsksTheCaller) {
  std::vector<int32_t> rows{3, 5};
  TEvaluationContext context = Context();
  context.Data = &rows;
  context.SubSelectContains = SubSelectContains;
  for (const uint8_t code : {kPredInSelect, kPredNotInSelect}) {
    const TExpTree tested = Bind("MNB");
    TExpTree predicate = NewExpToken();
    predicate->Kind = kNodePredicate;
    predicate->OpCode = code;
    predicate->DataType = TFieldType::Boolean;
    predicate->Arguments.push_back(CopyTree(tested.get()));
    TExpToken* subSelect = ExpTokenStack().Get();
    subSelect->Kind = kNodeSubSelect;
    predicate->Arguments.push_back(subSelect);
    const TExpTree prepared = PrepareExpression(*predicate, context, false, false);
    TFakeRecord record;
    record.Mnb = 5;
    EXPECT_EQ(EvaluateCondition(*prepared, Buffer(record), context), code == kPredInSelect);
    record.Mnb = 4;
    EXPECT_EQ(EvaluateCondition(*prepared, Buffer(record), context), code != kPredInSelect);
  }
}

TEST(ExpressionEvaluatorTest, AColumnWithoutACallbackRaisesTheInternalError) {
  const TExpTree prepared = Prepare("MNB > 1");
  TFakeRecord record;
  const auto error =
      testing_support::EngineErrorOf([&] { EvaluateCondition(*prepared, Buffer(record), TEvaluationContext{}); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
  EXPECT_EQ(error->ErrorExtraMessage, "Internal error: Column 'MNB' specified illegally");
}

TEST(ExpressionEvaluatorTest, AColumnEvaluatesToAColumnNode) {
  const TExpTree column = Bind("MNB");
  TFakeRecord record;
  record.Mnb = 9;
  const TExpTree value = EvaluateExpression(*column, Buffer(record), Context());
  EXPECT_EQ(value->Kind, kNodeColumn);
  EXPECT_EQ(ReadI32(value->Data.data()), 9);
  const TExpTree sum = EvaluateExpression(*Prepare("MNB + 1"), Buffer(record), Context());
  EXPECT_EQ(sum->Kind, kNodeConstant);
  EXPECT_EQ(ReadI32(sum->Data.data()), 10);
}

TEST(ExpressionEvaluatorTest, DeepTreesEvaluate) {
  std::string text = "MNB = 0";
  for (int i = 1; i < 1500; ++i) text += " OR MNB = " + std::to_string(i);
  const TExpTree prepared = Prepare(text);
  TFakeRecord record;
  record.Mnb = 1499;
  EXPECT_TRUE(EvaluateCondition(*prepared, Buffer(record), Context()));
  record.Mnb = 1500;
  EXPECT_FALSE(EvaluateCondition(*prepared, Buffer(record), Context()));
}

TEST(ExpressionEvaluatorTest, ComparisonPathsAllocateNothingPerRecord) {
  const TEvaluationContext context = Context();
  const char* const expressions[] = {
      "MNB > 100 AND CMT LIKE 'ab%'", "NAME = 'Sm*' OR MNB IN (1, 2, 3)", "MNB BETWEEN 1 AND SNB * 2",
      "CMT LIKE '%b_c%' AND NOT CMT = 'x'", "UPPER(NAME) = UPPER('smith')", "CMT IS NULL OR SNB <> 3",
  };
  for (const char* text : expressions) {
    const TExpTree prepared = Prepare(text);
    TFakeRecord record;
    record.Cmt = "abxcde";
    record.Name = "Smith";
    record.Snb = 3;
    for (int32_t i = 0; i < 10; ++i) {  // warms the node pool
      record.Mnb = i * 50;
      EvaluateCondition(*prepared, Buffer(record), context);
      EvaluateExpression(*prepared, Buffer(record), context);
    }
    const long before = testing_support::AllocationCount();
    int passed = 0;
    for (int32_t i = 0; i < 1000; ++i) {
      record.Mnb = i;
      record.CmtNull = i % 7 == 0;
      passed += EvaluateCondition(*prepared, Buffer(record), context) ? 1 : 0;
      // A result has no children: it goes back to the pool with Put.
      TExpTree value = EvaluateExpression(*prepared, Buffer(record), context);
      if (value->DataType != TFieldType::Boolean) ADD_FAILURE() << "not a boolean";
      ExpTokenStack().Put(value.release());
    }
    EXPECT_EQ(testing_support::AllocationCount(), before) << text;
    EXPECT_GT(passed, 0) << text;
  }
}

}  // namespace
}  // namespace kura
