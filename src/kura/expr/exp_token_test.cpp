#include "kura/expr/exp_token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace kura {
namespace {

// Counts how often a sub-query object is destroyed, to see that release drops it.
class TCountingSubQuery : public TExpSubQuery {
public:
  explicit TCountingSubQuery(int& destroyed) : Destroyed_(destroyed) {}
  ~TCountingSubQuery() override { ++Destroyed_; }

private:
  int& Destroyed_;
};

TEST(ExpTokenTest, ReserveDataGrowsInSteps) {
  TExpTree node = NewExpToken();
  node->ReserveData(1);
  EXPECT_EQ(node->Data.size(), 256u);
  node->ReserveData(256);
  EXPECT_EQ(node->Data.size(), 256u);
  node->ReserveData(257);
  EXPECT_EQ(node->Data.size(), 512u);
  EXPECT_EQ(node->DataLength, 0);
}

TEST(ExpTokenTest, SetDataCopiesAndClearsNull) {
  TExpTree node = NewExpToken();
  node->IsNull = 1;
  const uint8_t bytes[] = {1, 2, 3};
  node->SetData(bytes, 3);
  EXPECT_EQ(node->DataLength, 3);
  EXPECT_EQ(node->IsNull, 0);
  EXPECT_EQ(std::memcmp(node->Data.data(), bytes, 3), 0);
}

TEST(ExpTokenTest, PooledNodesComeBackCleared) {
  TExpToken* node = ExpTokenStack().Get();
  node->Text = "x";
  node->Kind = kNodeColumn;
  node->SourceNo = 3;
  node->FieldNo = 4;
  node->DataType = TFieldType::String;
  node->IsNull = 1;
  node->Arguments.push_back(nullptr);
  ExpTokenStack().Put(node);
  // The pool is shared by the whole process, so look at whatever comes out next.
  TExpTree again = NewExpToken();
  EXPECT_TRUE(again->Text.empty());
  EXPECT_EQ(again->Kind, 0);
  EXPECT_EQ(again->SourceNo, -1);
  EXPECT_EQ(again->FieldNo, -1);
  EXPECT_EQ(again->DataType, TFieldType::Unknown);
  EXPECT_EQ(again->IsNull, 0);
  EXPECT_TRUE(again->Arguments.empty());
}

TEST(ExpTokenTest, PoolKeepsAtMostItsCapacity) {
  std::vector<TExpToken*> nodes;
  for (int i = 0; i < TExpTokenStack::kCapacity + 50; ++i) nodes.push_back(ExpTokenStack().Get());
  for (TExpToken* node : nodes) ExpTokenStack().Put(node);
  EXPECT_EQ(ExpTokenStack().FreeCount(), TExpTokenStack::kCapacity);
}

// Builds  (a + b) = f(c, d)  with a sub-query on d.
TExpToken* BuildSampleTree(int& destroyed) {
  auto leaf = [](const char* name) {
    TExpToken* node = ExpTokenStack().Get();
    node->Kind = kNodeColumn;
    node->Text = name;
    node->ColumnName = name;
    return node;
  };
  TExpToken* sum = ExpTokenStack().Get();
  sum->Kind = kNodeBinary;
  sum->OpCode = kOpAdd;
  sum->Operand = leaf("a");
  sum->RightOperand = leaf("b");
  TExpToken* function = ExpTokenStack().Get();
  function->Kind = kNodeFunction;
  function->OpCode = kFuncCoalesce;
  function->Arguments.push_back(leaf("c"));
  TExpToken* sub = leaf("d");
  sub->Kind = kNodeSubSelect;
  sub->SubQuery = std::make_shared<TCountingSubQuery>(destroyed);
  function->Arguments.push_back(sub);
  TExpToken* root = ExpTokenStack().Get();
  root->Kind = kNodeBinary;
  root->OpCode = kOpEqual;
  root->Operand = sum;
  root->RightOperand = function;
  return root;
}

TEST(ExpTokenTest, ReleaseTreeDropsSubQuery) {
  int destroyed = 0;
  ReleaseTree(BuildSampleTree(destroyed));
  EXPECT_EQ(destroyed, 1);
}

TEST(ExpTokenTest, ReleaseTreeHandlesVeryDeepTrees) {
  // A left-deep chain far deeper than any call stack could recurse.
  TExpToken* root = ExpTokenStack().Get();
  for (int i = 0; i < 200000; ++i) {
    TExpToken* parent = ExpTokenStack().Get();
    parent->Kind = kNodeUnary;
    parent->Operand = root;
    root = parent;
  }
  ReleaseTree(root);
  ReleaseTree(nullptr);
}

TEST(ExpTokenTest, CopyNodeSharesChildren) {
  int destroyed = 0;
  TExpTree root(BuildSampleTree(destroyed));
  root->DataType = TFieldType::Boolean;
  const uint8_t value[] = {1, 0};
  root->SetData(value, 2);
  TExpToken* copy = CopyNode(root.get());
  EXPECT_EQ(copy->Operand, root->Operand);
  EXPECT_EQ(copy->RightOperand, root->RightOperand);
  EXPECT_EQ(copy->DataType, TFieldType::Boolean);
  EXPECT_EQ(copy->DataLength, 2);
  EXPECT_EQ(copy->Data[0], 1);
  ExpTokenStack().Put(copy);  // the node alone: the children stay with root
  root.reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(ExpTokenTest, CopyTreeIsDeepAndLinksParents) {
  int destroyed = 0;
  TExpTree root(BuildSampleTree(destroyed));
  TExpTree copy(CopyTree(root.get()));
  ASSERT_NE(copy->Operand, nullptr);
  EXPECT_NE(copy->Operand, root->Operand);
  EXPECT_EQ(copy->Operand->Operand->ColumnName, "a");
  EXPECT_EQ(copy->Operand->Parent, copy.get());
  EXPECT_EQ(copy->RightOperand->Arguments.size(), 2u);
  EXPECT_EQ(copy->RightOperand->Arguments[1]->Parent, copy->RightOperand);
  EXPECT_EQ(copy->RightOperand->Arguments[1]->SubQuery, root->RightOperand->Arguments[1]->SubQuery);
  EXPECT_EQ(copy->Parent, nullptr);
  root.reset();
  EXPECT_EQ(destroyed, 0);  // still shared by the copy
  copy.reset();
  EXPECT_EQ(destroyed, 1);
}

// A bound column has its type's length but holds no value bytes.
TEST(ExpTokenTest, CopyingABoundColumnWithoutValueBytes) {
  TExpTree column(ExpTokenStack().Get());
  column->Kind = kNodeColumn;
  column->ColumnName = "CMT";
  column->DataType = TFieldType::String;
  column->DataLength = 21;
  column->Data.clear();
  TExpTree copy(CopyTree(column.get()));
  EXPECT_EQ(copy->DataLength, 21);
  EXPECT_EQ(copy->ColumnName, "CMT");
}

TEST(ExpTokenTest, PoolIsSafeAcrossThreads) {
  auto work = [] {
    for (int i = 0; i < 2000; ++i) {
      TExpTree a = NewExpToken();
      a->Operand = ExpTokenStack().Get();
      a->Text = "t";
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
  EXPECT_LE(ExpTokenStack().FreeCount(), TExpTokenStack::kCapacity);
}

TEST(ExpTokenTest, SwappedComparisonsMeanTheSame) {
  struct TCase {
    uint8_t OpCode;
    const char* Text;
    uint8_t Mirrored;
    const char* MirroredText;
  };
  const TCase cases[] = {
      {kOpEqual, "=", kOpEqual, "="},           {kOpNotEqual, "<>", kOpNotEqual, "<>"},
      {kOpLess, "<", kOpGreater, ">"},          {kOpGreater, ">", kOpLess, "<"},
      {kOpLessEqual, "<=", kOpGreaterEqual, ">="}, {kOpGreaterEqual, ">=", kOpLessEqual, "<="},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_TRUE(IsComparisonOp(c.OpCode));
    EXPECT_EQ(MirroredComparison(c.OpCode), c.Mirrored);
    EXPECT_STREQ(OperatorText(c.OpCode), c.Text);
    TExpTree node = NewExpToken();
    node->Kind = kNodeBinary;
    node->OpCode = c.OpCode;
    node->Text = c.Text;
    node->Operand = NewExpToken().release();
    node->RightOperand = NewExpToken().release();
    TExpToken* const left = node->Operand;
    TExpToken* const right = node->RightOperand;
    SwapComparisonOperands(*node);
    EXPECT_EQ(node->Operand, right);
    EXPECT_EQ(node->RightOperand, left);
    EXPECT_EQ(node->OpCode, c.Mirrored);
    EXPECT_EQ(node->Text, c.MirroredText);
  }
  // Not a comparison: untouched.
  EXPECT_FALSE(IsComparisonOp(kOpAnd));
  EXPECT_EQ(MirroredComparison(kOpAdd), kOpAdd);
  TExpTree sum = NewExpToken();
  sum->Kind = kNodeBinary;
  sum->OpCode = kOpSubtract;
  sum->Text = "-";
  sum->Operand = NewExpToken().release();
  TExpToken* const minuend = sum->Operand;
  SwapComparisonOperands(*sum);
  EXPECT_EQ(sum->Operand, minuend);
  EXPECT_EQ(sum->Text, "-");
}

}  // namespace
}  // namespace kura
