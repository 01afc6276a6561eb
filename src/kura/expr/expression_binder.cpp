#include "kura/expr/expression_binder.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"

namespace kura {

namespace {

// Longest CHAR(n) and BYTES(n) a CAST may ask for.
constexpr int kMaxCastLength = kMaxFieldSize;
// Length of a CAST result whose source has no length of its own.
constexpr int kDefaultCastLength = 10;
// Most decimal places of a BCD CAST target and of ROUND.
constexpr int kMaxBcdScale = 4;
constexpr int kMaxRoundPlaces = 32;

const char* FunctionName(uint8_t opCode) {
  switch (opCode) {
    case kFuncSum: return "SUM";
    case kFuncRunSum: return "RUNSUM";
    case kFuncCount: return "COUNT";
    case kFuncMin: return "MIN";
    case kFuncMax: return "MAX";
    case kFuncAvg: return "AVG";
    case kFuncUpper: return "UPPER";
    case kFuncLower: return "LOWER";
    case kFuncSubstring: return "SUBSTRING";
    case kFuncReplace: return "REPLACE";
    case kFuncPos: return "POS";
    case kFuncOccurs: return "OCCURS";
    case kFuncTrimLeading:
    case kFuncTrimTrailing:
    case kFuncTrimBoth: return "TRIM";
    case kFuncLength: return "LENGTH";
    case kFuncCast: return "CAST";
    case kFuncIf: return "IF";
    case kFuncCoalesce: return "COALESCE";
    case kFuncIfNull: return "IFNULL";
    case kFuncAbs: return "ABS";
    case kFuncRound: return "ROUND";
    case kFuncTextSearch: return "TEXTSEARCH";
    case kFuncTextOccurs: return "TEXTOCCURS";
    case kFuncLastAutoInc: return "LASTAUTOINC";
    case kFuncIdentCurrent: return "IDENT_CURRENT";
    default: return IsExtractFunction(opCode) ? "EXTRACT" : "";
  }
}

const char* PredicateName(uint8_t opCode) {
  switch (opCode) {
    case kPredLike: return "LIKE";
    case kPredNotLike: return "NOT LIKE";
    case kPredBetween: return "BETWEEN";
    case kPredNotBetween: return "NOT BETWEEN";
    case kPredIn:
    case kPredInSelect: return "IN";
    case kPredNotIn:
    case kPredNotInSelect: return "NOT IN";
    default: return "";
  }
}

const char* UnaryOperatorName(uint8_t opCode) {
  switch (opCode) {
    case kOpNot: return "NOT";
    case kOpUnaryMinus: return "-";
    case kOpUnaryPlus: return "+";
    default: return "";
  }
}

// The word messages use for what a node is.
const char* NodeKindName(const TExpToken& node) {
  switch (node.Kind) {
    case kNodeColumn: return "column";
    case kNodeConstant: return "constant";
    case kNodeFunction: return "function";
    default: return "expression";
  }
}

// What messages quote for a node: a column's name, otherwise its source text.
const std::string& NodeText(const TExpToken& node) { return node.Kind == kNodeColumn ? node.ColumnName : node.Text; }

// The text of a string value (up to its terminator); empty for NULL.
std::string_view StringValue(const TExpToken& node) {
  if (node.IsNull || node.DataLength <= 0 || node.Data.empty()) return {};
  const size_t limit = std::min(static_cast<size_t>(node.DataLength), node.Data.size());
  const auto* first = reinterpret_cast<const char*>(node.Data.data());
  const void* end = std::memchr(first, 0, limit);
  return std::string_view(first, end ? static_cast<const char*>(end) - first : limit);
}

bool IsConstant(const TExpToken& node) { return node.Kind == kNodeConstant; }

// The NULL constant (or a parameter that has no value and no type yet).
bool IsNullConstant(const TExpToken& node) {
  return node.Kind == kNodeConstant && node.DataType == TFieldType::Unknown;
}

bool IsStringConstant(const TExpToken& node) {
  return node.Kind == kNodeConstant && node.DataType == TFieldType::String;
}

// The value of an integer constant, or nothing for any other node.
std::optional<int64_t> IntegerConstant(const TExpToken& node) {
  if (node.Kind != kNodeConstant || node.IsNull || node.Data.size() < 8) return std::nullopt;
  const uint8_t* data = node.Data.data();
  switch (node.DataType) {
    case TFieldType::SmallInt: return ReadI16(data);
    case TFieldType::Word: return ReadU16(data);
    case TFieldType::Integer: return ReadI32(data);
    case TFieldType::LargeInt: return ReadI64(data);
    default: return std::nullopt;
  }
}

// Whether any column node lies in the subtree (the node itself included).
bool ContainsColumn(const TExpToken* node) {
  std::vector<const TExpToken*> pending{node};
  while (!pending.empty()) {
    const TExpToken* current = pending.back();
    pending.pop_back();
    if (current == nullptr) continue;
    if (current->Kind == kNodeColumn) return true;
    pending.push_back(current->Operand);
    pending.push_back(current->RightOperand);
    pending.insert(pending.end(), current->Arguments.begin(), current->Arguments.end());
  }
  return false;
}

// The type kept by a result that is its operand's own type: without an auto-increment
// mark (a computed value is no record id).
TExpType WithoutAutoInc(TExpType type) {
  if (type.SubType == TFieldSubType::AutoInc) type.SubType = TFieldSubType::None;
  return type;
}

void SaveType(TExpToken& node) {
  node.SavedDataType = node.DataType;
  node.SavedSubType = node.SubType;
  node.SavedDataLength = node.DataLength;
  node.SavedDataScale = node.DataScale;
}

// A column that was a text constant becomes that constant again: its saved type, its
// text as the value, no binding.
void TakeBackText(TExpToken& node) {
  const std::string text = std::move(node.ColumnName);
  node.ColumnName.clear();
  node.TableName.clear();
  node.Kind = kNodeConstant;
  node.IsColumnText = 0;
  node.IsBound = 0;
  node.SourceNo = -1;
  node.FieldNo = -1;
  node.SourceTable = nullptr;
  node.DataType = node.SavedDataType;
  node.SubType = node.SavedSubType;
  node.DataScale = node.SavedDataScale;
  const int32_t length = std::max(node.SavedDataLength, static_cast<int32_t>(text.size() + 1));
  node.ReserveData(length);
  std::fill(node.Data.begin(), node.Data.begin() + length, uint8_t{0});
  std::memcpy(node.Data.data(), text.data(), text.size());
  node.DataLength = length;
  node.IsNull = 0;
}

// Whether the node is a NOT, AND or OR: the places where a bare boolean is a condition.
bool IsLogicalOperator(const TExpToken* node) {
  if (node == nullptr) return false;
  if (node->Kind == kNodeUnary) return node->OpCode == kOpNot;
  if (node->Kind == kNodeBinary) return node->OpCode == kOpAnd || node->OpCode == kOpOr;
  return false;
}

bool IsConditionRewritable(const TExpToken& node) {
  if (node.DataType != TFieldType::Boolean) return false;
  if (node.Kind == kNodeColumn) return true;
  if (node.Kind != kNodeFunction) return false;
  switch (node.OpCode) {
    case kFuncCast:
    case kFuncIf:
    case kFuncIfNull:
    case kFuncCoalesce:
    case kFuncTextSearch: return true;
    default: return false;
  }
}

class TBinder {
public:
  TBinder(const TBindContext& context, bool isCondition) : Context_(context), IsCondition_(isCondition) {}

  void Bind(TExpToken* node, bool allowColumnText);

private:
  struct TFrame {
    TExpToken* Node;
    bool AllowColumnText;
    size_t Next;  // index of the next child to visit
  };

  // The index-th child of node (null when the tree lacks it), whether it is bound at
  // all, and whether a text constant may stand for a column there. Returns false past
  // the last child.
  bool ChildAt(const TExpToken& node, size_t index, TExpToken*& child, bool& bind, bool& allowColumnText) const;

  void BindNode(TExpToken& node, bool allowColumnText);
  // Asks the caller to resolve a column node; sizes its Data on success.
  bool Resolve(TExpToken& node);
  void BindColumn(TExpToken& node);
  void TryTextAsColumn(TExpToken& node);
  void BindUnary(TExpToken& node);
  void BindBinary(TExpToken& node);
  void BindPredicate(TExpToken& node);
  void BindFunction(TExpToken& node);
  void BindAggregate(TExpToken& node);
  void BindCast(TExpToken& node);
  void BindExtract(TExpToken& node);
  void BindTextSearch(TExpToken& node);
  void Unify(TExpToken& node, size_t first);
  void RewriteAsTrueComparison(TExpToken& node);

  // The operand rules shared by binary operators and the comparisons of IN and BETWEEN:
  // texts taken as columns are taken back beside another column, string constants
  // beside a temporal value become that value, then the types must be allowed.
  void CheckOperands(uint8_t opCode, TExpToken& left, TExpToken& right);
  void ReconcileColumnTexts(TExpToken& left, TExpToken& right);
  void ConvertTemporalPair(TExpToken& left, TExpToken& right);
  void ConvertToTemporal(TExpToken& constant, TFieldType type);

  TExpToken& Argument(const TExpToken& node, size_t index);
  void SetType(TExpToken& node, const TExpType& type);

  std::string In() const { return " in " + Context_.ContextText; }
  [[noreturn]] void Fail(const std::string& message) const { Raise(Context_.ErrorCode, message); }
  [[noreturn]] void Raise(TErrorCode code, const std::string& message) const;

  const TBindContext& Context_;
  const bool IsCondition_;
};

void TBinder::Raise(TErrorCode code, const std::string& message) const {
  TErrorNames names;
  names.TableName = Context_.TableName;
  names.ExtraMessage = message;
  RaiseEngineError(code, names);
}

TExpToken& TBinder::Argument(const TExpToken& node, size_t index) {
  if (index >= node.Arguments.size() || node.Arguments[index] == nullptr) {
    // Only a tree not made by the parser lacks an argument.
    Fail(std::string("Missing argument of ") + NodeKindName(node) + " '" + node.Text + "'" + In());
  }
  return *node.Arguments[index];
}

void TBinder::SetType(TExpToken& node, const TExpType& type) {
  node.DataType = type.DataType;
  node.SubType = type.SubType;
  node.DataLength = type.DataLength;
  node.DataScale = type.DataScale;
  node.ReserveData(type.DataLength);
}

bool TBinder::ChildAt(const TExpToken& node, size_t index, TExpToken*& child, bool& bind, bool& allowColumnText) const {
  bind = true;
  allowColumnText = true;
  switch (node.Kind) {
    case kNodeUnary:
      if (index > 0) return false;
      child = node.Operand;
      return true;
    case kNodeBinary:
    case kNodeWildcard:
      if (index > 1) return false;
      child = index == 0 ? node.Operand : node.RightOperand;
      return true;
    case kNodePredicate:
      if (index >= node.Arguments.size()) return false;
      child = node.Arguments[index];
      return true;
    case kNodeFunction: {
      if (index >= node.Arguments.size()) return false;
      child = node.Arguments[index];
      const uint8_t op = node.OpCode;
      if (op == kFuncCount && child != nullptr && child->Kind == kNodeColumn && child->ColumnName == "*") {
        bind = false;  // COUNT(*) counts rows, it names no column
      } else if (op == kFuncLastAutoInc || op == kFuncIdentCurrent) {
        bind = false;  // a table name, never a column
      } else if (IsTrimFunction(op) || op == kFuncTextSearch || op == kFuncTextOccurs) {
        allowColumnText = index != 0;  // the trim character and the search text are constants
      } else if (op == kFuncRound || op == kFuncCast) {
        allowColumnText = index == 0;  // decimal places and sizes are constants
      }
      return true;
    }
    default: return false;
  }
}

void TBinder::Bind(TExpToken* top, bool allowColumnText) {
  std::vector<TFrame> stack;
  stack.push_back(TFrame{top, allowColumnText, 0});
  while (!stack.empty()) {
    TFrame& frame = stack.back();
    TExpToken* child = nullptr;
    bool bindChild = true;
    bool childAllowsText = true;
    if (ChildAt(*frame.Node, frame.Next++, child, bindChild, childAllowsText)) {
      if (child != nullptr) {
        child->Parent = frame.Node;
        if (bindChild) stack.push_back(TFrame{child, childAllowsText, 0});
      }
      continue;
    }
    TExpToken* node = frame.Node;
    const bool allowText = frame.AllowColumnText;
    stack.pop_back();
    BindNode(*node, allowText);
  }
}

void TBinder::BindNode(TExpToken& node, bool allowColumnText) {
  switch (node.Kind) {
    case kNodeColumn: BindColumn(node); break;
    case kNodeConstant:
      if (allowColumnText && !node.IsParameter && !node.IsNull && node.DataType == TFieldType::String) {
        const std::string_view text = StringValue(node);
        if (!text.empty() && text != "*") TryTextAsColumn(node);
      }
      break;
    case kNodeUnary: BindUnary(node); break;
    case kNodeBinary:
    case kNodeWildcard: BindBinary(node); break;
    case kNodePredicate: BindPredicate(node); break;
    case kNodeFunction: BindFunction(node); break;
    default: break;  // a sub-select is checked by its IN predicate
  }
  if (IsCondition_ && IsConditionRewritable(node) && (node.Parent == nullptr || IsLogicalOperator(node.Parent))) {
    RewriteAsTrueComparison(node);
  }
}

bool TBinder::Resolve(TExpToken& node) {
  if (Context_.ResolveColumn == nullptr || !Context_.ResolveColumn(Context_.ResolveData, node)) return false;
  node.ReserveData(node.DataLength);  // room for the values the evaluator copies in
  return true;
}

void TBinder::BindColumn(TExpToken& node) {
  if (Resolve(node)) return;
  if (node.IsColumnText) {
    // A text that named a column when it was bound before; now it is a text again.
    TakeBackText(node);
    return;
  }
  Fail("Invalid column name '" + node.ColumnName + "'" + " or table correlation name " + "'" + node.TableName + "'" +
       " specified in " + Context_.ContextText);
}

void TBinder::TryTextAsColumn(TExpToken& node) {
  SaveType(node);
  node.ColumnName.assign(StringValue(node));
  node.TableName.clear();
  node.Kind = kNodeColumn;
  node.IsColumnText = 1;
  if (Resolve(node)) return;
  TakeBackText(node);
}

void TBinder::BindUnary(TExpToken& node) {
  if (node.Operand == nullptr) Fail(std::string("Missing operand of '") + node.Text + "'" + In());
  const TExpToken& operand = *node.Operand;
  if (!UnaryOperandAllowed(node.OpCode, operand.DataType)) {
    Fail(std::string("Type mismatch between '") + UnaryOperatorName(node.OpCode) + "'" + " operator and " + "'" +
         NodeText(operand) + "'" + In());
  }
  if (node.OpCode == kOpNot) {
    SetType(node, MakeExpType(TFieldType::Boolean));
  } else {
    SetType(node, WithoutAutoInc(NodeType(operand)));
  }
}

void TBinder::BindBinary(TExpToken& node) {
  if (node.Operand == nullptr || node.RightOperand == nullptr) {
    Fail(std::string("Missing operand of '") + node.Text + "'" + In());
  }
  CheckOperands(node.OpCode, *node.Operand, *node.RightOperand);
  SetType(node, BinaryResultType(node.OpCode, NodeType(*node.Operand), NodeType(*node.RightOperand)));
}

void TBinder::CheckOperands(uint8_t opCode, TExpToken& left, TExpToken& right) {
  ReconcileColumnTexts(left, right);
  ConvertTemporalPair(left, right);
  if (!BinaryOperandsAllowed(opCode, NodeType(left), NodeType(right))) {
    Fail(std::string("Type mismatch between ") + NodeKindName(left) + " " + "'" + NodeText(left) + "'" + " and " +
         NodeKindName(right) + " " + "'" + NodeText(right) + "'" + In());
  }
}

void TBinder::ReconcileColumnTexts(TExpToken& left, TExpToken& right) {
  const bool leftIsText = left.Kind == kNodeColumn && left.IsColumnText;
  const bool rightIsText = right.Kind == kNodeColumn && right.IsColumnText;
  if (!leftIsText && !rightIsText) return;
  if (!ContainsColumn(&left) || !ContainsColumn(&right)) return;
  TakeBackText(rightIsText ? right : left);
}

void TBinder::ConvertTemporalPair(TExpToken& left, TExpToken& right) {
  if (IsStringConstant(left) && IsTemporalType(right.DataType)) {
    ConvertToTemporal(left, right.DataType);
  } else if (IsStringConstant(right) && IsTemporalType(left.DataType)) {
    ConvertToTemporal(right, left.DataType);
  }
}

void TBinder::ConvertToTemporal(TExpToken& constant, TFieldType type) {
  const TExpType target = MakeExpType(type);
  if (constant.IsNull) {
    // A NULL string parameter: no value to check, only the type to take.
    SaveType(constant);
    constant.DataType = target.DataType;
    constant.SubType = target.SubType;
    constant.DataLength = target.DataLength;
    constant.DataScale = 0;
    constant.ReserveData(target.DataLength);
    return;
  }
  uint8_t value[8] = {};
  const std::string_view text = StringValue(constant);
  if (!EncodeTemporalLiteral(text, type, value)) {
    Fail("Date, time, or timestamp expression expected, instead found '" + std::string(text) + "'" + In());
  }
  SaveType(constant);
  constant.DataType = target.DataType;
  constant.SubType = target.SubType;
  constant.DataScale = 0;
  constant.SetData(value, target.DataLength);
}

void TBinder::BindPredicate(TExpToken& node) {
  TExpToken& tested = Argument(node, 0);
  switch (node.OpCode) {
    case kPredLike:
    case kPredNotLike: {
      TExpToken& pattern = Argument(node, 1);
      ReconcileColumnTexts(tested, pattern);
      for (const TExpToken* operand : {&tested, &pattern}) {
        if (!IsTextType(NodeType(*operand))) {
          Fail(std::string("Type mismatch between ") + PredicateName(node.OpCode) + " operator and expression " + "'" +
               NodeText(*operand) + "'" + In());
        }
      }
      break;
    }
    case kPredIn:
    case kPredNotIn:
    case kPredBetween:
    case kPredNotBetween:
      if (node.Arguments.size() < 2) Argument(node, 1);
      for (size_t i = 1; i < node.Arguments.size(); ++i) CheckOperands(kOpEqual, tested, Argument(node, i));
      break;
    case kPredInSelect:
    case kPredNotInSelect: {
      TExpToken& select = Argument(node, 1);
      if (Context_.DescribeSubSelect == nullptr) break;
      TSubSelectColumns columns;
      Context_.DescribeSubSelect(Context_.ResolveData, select, columns);
      if (columns.ColumnCount != 1) Fail("More than 1 column for sub-select  specified in " + Context_.ContextText);
      if (!columns.Resolved) {
        Fail("Invalid column name '" + columns.ColumnName + "'" + " or table correlation name " + "'" +
             columns.TableName + "'" + " specified in " + Context_.ContextText);
      }
      SetType(select, columns.Type);
      select.Text = columns.ColumnName;
      ConvertTemporalPair(tested, select);
      if (!BinaryOperandsAllowed(kOpEqual, NodeType(tested), columns.Type)) {
        Fail(std::string("Type mismatch between ") + NodeKindName(tested) + " " + "'" + NodeText(tested) + "'" +
             " and column " + "'" + columns.ColumnName + "'" + In());
      }
      break;
    }
    default: break;
  }
  SetType(node, MakeExpType(TFieldType::Boolean));
}

void TBinder::BindAggregate(TExpToken& node) {
  const std::string name = FunctionName(node.OpCode);
  if (node.OpCode == kFuncCount) {
    SetType(node, MakeExpType(TFieldType::Integer));
    return;
  }
  const TExpType argument = WithoutAutoInc(NodeType(Argument(node, 0)));
  const TFieldType type = argument.DataType;
  if (node.OpCode == kFuncSum || node.OpCode == kFuncRunSum) {
    if (!IsNumericType(type)) Fail(name + " aggregate function " + "must contain a numeric expression" + In());
    if (type == TFieldType::SmallInt || type == TFieldType::Word) {
      SetType(node, MakeExpType(TFieldType::Integer));
    } else if (type == TFieldType::Integer) {
      SetType(node, MakeExpType(TFieldType::LargeInt));
    } else {
      SetType(node, argument);
    }
    return;
  }
  // MIN, MAX, AVG
  if (!IsNumericType(type) && !IsTemporalType(type)) {
    Fail(name + " aggregate function " + "must contain a numeric, date, time, or timestamp expression" + In());
  }
  if (node.OpCode == kFuncAvg && IsIntegerType(type)) {
    SetType(node, MakeExpType(TFieldType::Float));
  } else {
    SetType(node, argument);
  }
}

void TBinder::BindFunction(TExpToken& node) {
  const uint8_t op = node.OpCode;
  const std::string name = FunctionName(op);
  if (IsAggregateFunction(op)) {
    BindAggregate(node);
    return;
  }
  if (IsExtractFunction(op)) {
    BindExtract(node);
    return;
  }
  switch (op) {
    case kFuncUpper:
    case kFuncLower: {
      const TExpToken& x = Argument(node, 0);
      if (!IsTextType(NodeType(x))) Fail("Type mismatch between " + name + " function and function argument" + In());
      SetType(node, NodeType(x));
      return;
    }
    case kFuncLength:
      if (!IsTextType(NodeType(Argument(node, 0)))) {
        Fail("Type mismatch between LENGTH function and function argument" + In());
      }
      SetType(node, MakeExpType(TFieldType::Integer));
      return;
    case kFuncSubstring: {
      const TExpToken& x = Argument(node, 0);
      if (!IsTextType(NodeType(x))) Fail("Expression argument of SUBSTRING function must be a string or memo" + In());
      if (!IsIntegerType(Argument(node, 1).DataType)) {
        Fail("FROM argument of SUBSTRING function must be an integer value" + In());
      }
      if (node.Arguments.size() > 2 && !IsIntegerType(Argument(node, 2).DataType)) {
        Fail("FOR argument of SUBSTRING function must be an integer value" + In());
      }
      SetType(node, NodeType(x));
      return;
    }
    case kFuncReplace: {
      const TExpToken& search = Argument(node, 0);
      const TExpToken& replacement = Argument(node, 1);
      const TExpToken& x = Argument(node, 2);
      if (!IsTextType(NodeType(x))) Fail("IN argument of REPLACE function must be a string or memo" + In());
      // An empty quoted text is the NULL constant; as search or replacement it is the
      // empty text, which is what removing a text by REPLACE needs.
      if (search.DataType != TFieldType::String && !IsNullConstant(search)) {
        Fail("Type mismatch between REPLACE function and search string argument" + In());
      }
      if (replacement.DataType != TFieldType::String && !IsNullConstant(replacement)) {
        Raise(KURA_SQLPARSE, "Type mismatch between REPLACE function and replacement string argument" + In());
      }
      SetType(node, NodeType(x));
      return;
    }
    case kFuncPos:
    case kFuncOccurs: {
      const TExpToken& search = Argument(node, 0);
      const TExpToken& x = Argument(node, 1);
      if (!IsTextType(NodeType(x))) Fail("Type mismatch between " + name + " function and IN argument" + In());
      if (search.DataType != TFieldType::String && !IsNullConstant(search)) {
        Fail("Type mismatch between " + name + " function and search string argument" + In());
      }
      SetType(node, MakeExpType(TFieldType::Integer));
      return;
    }
    case kFuncTrimLeading:
    case kFuncTrimTrailing:
    case kFuncTrimBoth: {
      const TExpToken& character = Argument(node, 0);
      const TExpToken& x = Argument(node, 1);
      if (!IsTextType(NodeType(x))) Fail("FROM argument of TRIM function must be a string or memo" + In());
      if (!IsStringConstant(character) || character.IsNull || StringValue(character).size() != 1) {
        Fail("Trim character argument of TRIM function must be a single character constant" + In());
      }
      SetType(node, NodeType(x));
      return;
    }
    case kFuncCast: BindCast(node); return;
    case kFuncAbs: {
      const TExpToken& x = Argument(node, 0);
      if (!IsNumericType(x.DataType)) {
        Fail("Expression argument of ABS function must be an integer, floating-point, or BCD type" + In());
      }
      SetType(node, WithoutAutoInc(NodeType(x)));
      return;
    }
    case kFuncRound: {
      const TExpToken& x = Argument(node, 0);
      if (x.DataType != TFieldType::Float && x.DataType != TFieldType::Bcd) {
        Fail("Expression argument of ROUND function must be a floating-point or BCD type" + In());
      }
      if (node.Arguments.size() > 1) {
        const std::optional<int64_t> places = IntegerConstant(Argument(node, 1));
        if (!places) Fail("Decimal places argument of ROUND function must be an integer constant" + In());
        if (*places < 0 || *places > kMaxRoundPlaces) {
          Fail("Decimal places argument of ROUND function must be an integer constant between 0 and 32" + In());
        }
      }
      SetType(node, NodeType(x));
      return;
    }
    case kFuncIf:
      if (Argument(node, 0).DataType != TFieldType::Boolean) {
        Fail("First expression argument of IF function must be a boolean type" + In());
      }
      Argument(node, 2);
      Unify(node, 1);
      return;
    case kFuncIfNull:
      Argument(node, 2);
      Unify(node, 1);
      return;
    case kFuncCoalesce:
      Argument(node, 0);
      Unify(node, 0);
      return;
    case kFuncTextSearch:
    case kFuncTextOccurs: BindTextSearch(node); return;
    case kFuncLastAutoInc:
    case kFuncIdentCurrent: {
      const TExpToken& table = Argument(node, 0);
      if (!IsConstant(table)) Fail(name + " table name function argument must " + "be a string constant" + In());
      if (table.DataType != TFieldType::String) {
        Fail("Type mismatch between " + name + " function and " + "table name function argument" + In());
      }
      SetType(node, MakeExpType(TFieldType::Integer));
      return;
    }
    default: Fail("Unknown or unexpected function '" + node.Text + "'" + In());
  }
}

void TBinder::BindExtract(TExpToken& node) {
  TExpToken& x = Argument(node, 0);
  if (!IsTemporalType(x.DataType)) {
    bool converted = false;
    if (IsStringConstant(x) && !x.IsNull) {
      const std::string_view text = StringValue(x);
      uint8_t probe[8];
      for (TFieldType type : {TFieldType::Date, TFieldType::Time, TFieldType::Timestamp}) {
        if (EncodeTemporalLiteral(text, type, probe)) {
          ConvertToTemporal(x, type);
          converted = true;
          break;
        }
      }
    }
    if (!converted) Fail("FROM argument of EXTRACT function must be a date, time, or timestamp" + In());
  }
  SetType(node, MakeExpType(TFieldType::Integer));
}

void TBinder::BindCast(TExpToken& node) {
  const TExpToken& source = Argument(node, 0);
  const TFieldType target = node.DataType;
  if (!IsNullConstant(source) && !CastAllowed(source.DataType, target)) {
    Fail(std::string("Type mismatch between ") + NodeKindName(source) + " " + "'" + NodeText(source) + "'" +
         " and AS argument" + In());
  }
  TExpType result = MakeExpType(target, node.SubType);
  // A variable-length target without a length of its own takes the length of a text,
  // bytes or BLOB source, or room for ten characters (a date's text) otherwise.
  const bool sourceHasLength = (source.DataType == TFieldType::String || source.DataType == TFieldType::Bytes ||
                                source.DataType == TFieldType::VarBytes || source.DataType == TFieldType::Blob) &&
                               source.DataLength > 0;
  const int32_t sourceLength =
      sourceHasLength ? source.DataLength : kDefaultCastLength + (target == TFieldType::String ? 1 : 0);
  switch (target) {
    case TFieldType::String:
    case TFieldType::Bytes:
    case TFieldType::VarBytes:
      if (node.Arguments.size() > 1) {
        const std::optional<int64_t> length = IntegerConstant(Argument(node, 1));
        if (!length) Fail("Length argument must be an integer" + In());
        if (*length < 1 || *length > kMaxCastLength) {
          Fail("Length argument must be an integer greater than 0 and less than or equal to " +
               std::to_string(kMaxCastLength) + In());
        }
        result.DataLength = static_cast<int32_t>(*length) + (target == TFieldType::String ? 1 : 0);
      } else {
        result.DataLength = sourceLength;
      }
      break;
    case TFieldType::Bcd:
      if (node.Arguments.size() > 2) {
        const std::optional<int64_t> scale = IntegerConstant(Argument(node, 2));
        if (!scale) Fail("Scale argument must be an integer" + In());
        if (*scale < 0 || *scale > kMaxBcdScale) {
          Fail(
              "Scale argument must be an integer less than or equal to 4 but greater than or equal to 0 for the BCD "
              "data type " +
              Context_.ContextText);
        }
        result.DataScale = static_cast<uint8_t>(*scale);
      }
      break;
    case TFieldType::Blob:
      if (node.Arguments.size() > 1) {
        if (!IntegerConstant(Argument(node, 1))) Fail("First BLOB type argument must be an integer" + In());
        const std::optional<int64_t> blobType =
            node.Arguments.size() > 2 ? IntegerConstant(Argument(node, 2)) : std::nullopt;
        if (!blobType) Fail("BLOB type argument must be an integer" + In());
        if (*blobType != 1 && *blobType != 2 && *blobType != 3 && *blobType != 5 && *blobType != 7) {
          Fail("BLOB type argument must be an integer with a value of 1,2,3,5, or 7" + In());
        }
        result.SubType = static_cast<TFieldSubType>(*blobType + 21);
      }
      result.DataLength = sourceLength;
      break;
    default: break;
  }
  SetType(node, result);
}

void TBinder::BindTextSearch(TExpToken& node) {
  const std::string name = FunctionName(node.OpCode);
  const TExpToken& search = Argument(node, 0);
  const TExpToken& column = Argument(node, 1);
  if (!IsConstant(search)) Fail(name + " search text function argument must be a string constant" + In());
  if (!IsTextType(NodeType(search)) && !IsNullConstant(search)) {
    Fail("Type mismatch between " + name + " function and search text function argument" + In());
  }
  if (column.Kind != kNodeColumn) Fail(name + " function column argument must be a valid column name" + In());
  if (!IsTextType(NodeType(column))) {
    Fail("Type mismatch between " + name + " function and column function argument" + In());
  }
  SetType(node, MakeExpType(node.OpCode == kFuncTextSearch ? TFieldType::Boolean : TFieldType::Word));
}

void TBinder::Unify(TExpToken& node, size_t first) {
  const std::string name = FunctionName(node.OpCode);
  const TExpToken* firstTyped = nullptr;
  const TExpToken* previous = nullptr;
  bool hasMemo = false;
  int32_t longest = 0;
  uint8_t largestScale = 0;
  for (size_t i = first; i < node.Arguments.size(); ++i) {
    const TExpToken& argument = Argument(node, i);
    // NULL arguments fit anywhere; each typed argument must be comparable with the
    // typed one before it.
    if (argument.DataType == TFieldType::Unknown) continue;
    if (previous != nullptr && !BinaryOperandsAllowed(kOpEqual, NodeType(*previous), NodeType(argument))) {
      Fail("Type mismatch between " + name + " expression arguments" + In());
    }
    if (firstTyped == nullptr) firstTyped = &argument;
    previous = &argument;
    hasMemo = hasMemo || IsMemoType(argument.DataType, argument.SubType);
    longest = std::max(longest, argument.DataLength);
    if (argument.DataType == firstTyped->DataType) largestScale = std::max(largestScale, argument.DataScale);
  }
  if (firstTyped == nullptr) {
    Fail("At least one of the " + name + " expression " + "arguments in " + Context_.ContextText +
         " must be a non-NULL value");
  }
  TExpType result = WithoutAutoInc(NodeType(*firstTyped));
  if (result.DataType == TFieldType::String) {
    if (!hasMemo) result.DataLength = longest;
    result.DataScale = largestScale;
  } else if (result.DataType == TFieldType::Bcd) {
    result.DataScale = largestScale;  // no branch loses decimal places
  }
  SetType(node, result);
}

void TBinder::RewriteAsTrueComparison(TExpToken& node) {
  // The node's content moves into a copy that keeps its children; the node itself
  // becomes "=" so that whoever points at it now points at the comparison. Everything
  // that may fail happens before the copy shares the children, so that a failure
  // leaves the tree as it was.
  TExpTree trueConstant = NewExpToken();
  trueConstant->Kind = kNodeConstant;
  trueConstant->Text = "TRUE";
  const uint8_t trueValue[2] = {1, 0};
  trueConstant->DataType = TFieldType::Boolean;
  trueConstant->SetData(trueValue, 2);
  node.ReserveData(FixedValueLength(TFieldType::Boolean));
  TExpToken* const inner = CopyNode(&node);
  if (inner->Operand != nullptr) inner->Operand->Parent = inner;
  if (inner->RightOperand != nullptr) inner->RightOperand->Parent = inner;
  for (TExpToken* argument : inner->Arguments) {
    if (argument != nullptr) argument->Parent = inner;
  }
  TExpToken* const parent = node.Parent;
  node.Clear();  // keeps the storage of Text and Data: nothing below allocates
  node.Parent = parent;
  node.Kind = kNodeBinary;
  node.OpCode = kOpEqual;
  node.Text = "=";
  inner->Parent = &node;
  trueConstant->Parent = &node;
  node.Operand = inner;
  node.RightOperand = trueConstant.release();
  SetType(node, MakeExpType(TFieldType::Boolean));
}

}  // namespace

void BindExpression(const TBindContext& context, TExpToken* root, TExpToken* node, bool allowColumnText,
                    bool isCondition) {
  if (node == nullptr) return;
  if (node == root) node->Parent = nullptr;
  TBinder(context, isCondition).Bind(node, allowColumnText);
}

void BindExpression(TErrorCode errorCode, const std::string& contextText, TExpToken* root, TExpToken* node,
                    bool allowColumnText, bool isCondition, TResolveColumn resolveColumn, void* resolveData) {
  TBindContext context;
  context.ErrorCode = errorCode;
  context.ContextText = contextText;
  context.ResolveColumn = resolveColumn;
  context.ResolveData = resolveData;
  BindExpression(context, root, node, allowColumnText, isCondition);
}

void BindColumnToField(TExpToken& node, const TFieldDefinition& field, int32_t sourceNo, void* sourceTable) {
  node.IsBound = 1;
  node.SourceNo = sourceNo;
  node.FieldNo = field.FieldNo;
  node.SourceTable = sourceTable;
  node.DataType = field.FieldType;
  node.SubType = field.SubType;
  node.DataLength = field.IsAutoInc() ? 4 : field.DataSize;
  node.DataScale = field.DataScale;
  // Copies of the tree copy DataLength bytes of the value: keep that much room.
  node.ReserveData(node.DataLength);
}

}  // namespace kura
