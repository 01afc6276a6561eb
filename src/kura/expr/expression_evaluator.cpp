#include "kura/expr/expression_evaluator.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/base/value_conversion.h"
#include "kura/expr/expression_text.h"
#include "kura/expr/expression_type_rules.h"
#include "kura/expr/expression_values.h"
#include "kura/storage/text_index_words.h"

namespace kura {

namespace {

// ---- reading values ----

bool IsNullValue(const TExpToken& value) { return value.IsNull != 0 || value.DataType == TFieldType::Unknown; }

bool IsText(const TExpToken& value) { return IsTextType(value.DataType, value.SubType); }

// The characters of a text value (up to its terminator); empty for NULL.
std::string_view TextOf(const TExpToken& value) {
  if (value.IsNull != 0 || value.DataLength <= 0 || value.Data.empty()) return {};
  const auto* chars = reinterpret_cast<const char*>(value.Data.data());
  const size_t limit = std::min(static_cast<size_t>(value.DataLength), value.Data.size());
  return {chars, strnlen(chars, limit)};
}

std::optional<TNumber> NumberOf(const TExpToken& value) {
  if (IsNullValue(value) || value.Data.size() < static_cast<size_t>(DataSize(value.DataType, 0))) return std::nullopt;
  return ReadNumber(value.DataType, value.Data.data());
}

// An integer argument (SUBSTRING positions, ROUND places); empty for NULL.
std::optional<int64_t> IntegerOf(const TExpToken& value) {
  const auto number = NumberOf(value);
  if (!number) return std::nullopt;
  switch (number->Kind) {
    case TNumberKind::Integer: return number->Integer;
    case TNumberKind::Fixed: return number->Integer / 10000;
    case TNumberKind::Float:
      if (!(number->Float > -9.2e18 && number->Float < 9.2e18)) return std::nullopt;
      return static_cast<int64_t>(number->Float);
  }
  return std::nullopt;
}

bool BooleanOf(const TExpToken& value) {
  if (IsNullValue(value) || value.Data.size() < 2) return false;
  if (value.DataType == TFieldType::Boolean) return ReadU16(value.Data.data()) != 0;
  const auto number = NumberOf(value);
  return number && CompareNumbers(*number, TNumber::OfInteger(0)) != 0;
}

int CompareBytes(const TExpToken& a, const TExpToken& b) {
  const size_t sizeA = std::min(static_cast<size_t>(std::max(a.DataLength, 0)), a.Data.size());
  const size_t sizeB = std::min(static_cast<size_t>(std::max(b.DataLength, 0)), b.Data.size());
  const size_t common = std::min(sizeA, sizeB);
  if (common != 0) {
    const int result = std::memcmp(a.Data.data(), b.Data.data(), common);
    if (result != 0) return result < 0 ? -1 : 1;
  }
  return sizeA < sizeB ? -1 : (sizeA > sizeB ? 1 : 0);
}

// ---- writing values ----

void SetNullValue(TExpToken& result) {
  result.IsNull = 1;
  result.DataLength = 0;
}

void SetBooleanValue(TExpToken& result, bool value) {
  result.DataType = TFieldType::Boolean;
  result.ReserveData(2);
  WriteU16(result.Data.data(), value ? 1 : 0);
  result.DataLength = 2;
  result.IsNull = 0;
}

// Stores a text with its terminator; an empty text is NULL.
void SetTextValue(TExpToken& result, std::string_view text) {
  if (text.empty()) {
    SetNullValue(result);
    return;
  }
  const auto size = static_cast<int32_t>(text.size());
  result.ReserveData(size + 1);
  std::memmove(result.Data.data(), text.data(), text.size());
  result.Data[text.size()] = 0;
  result.DataLength = size + 1;
  result.IsNull = 0;
}

// Stores a number in the result's own type; NULL when it cannot be represented.
void SetNumberValue(TExpToken& result, const TNumber& number) {
  const int size = DataSize(result.DataType, 0);
  result.ReserveData(std::max(size, 8));
  if (size == 0 || !WriteNumber(number, result.DataType, result.DataScale, result.Data.data())) {
    SetNullValue(result);
    return;
  }
  result.DataLength = size;
  result.IsNull = 0;
}

void SetInt32Value(TExpToken& result, int32_t value) {
  result.ReserveData(4);
  WriteI32(result.Data.data(), value);
  result.DataLength = 4;
  result.IsNull = 0;
}

void CopyValue(const TExpToken& from, TExpToken& to) {
  to.DataType = from.DataType;
  to.SubType = from.SubType;
  to.DataScale = from.DataScale;
  if (IsNullValue(from)) {
    SetNullValue(to);
    return;
  }
  const int32_t size = std::min(std::max(from.DataLength, 0), static_cast<int32_t>(from.Data.size()));
  to.SetData(from.Data.data(), size);
}

// ---- nodes for intermediate values ----

// A small per-thread stock of nodes in front of the shared pool, so that the values a
// record's evaluation makes and drops at once do not take the pool's lock each time.
// Nodes enter it cleared, exactly as the pool holds them, and go back to the pool when
// the thread ends.
class TLocalNodes {
public:
  TLocalNodes() = default;
  TLocalNodes(const TLocalNodes&) = delete;
  TLocalNodes& operator=(const TLocalNodes&) = delete;
  ~TLocalNodes() {
    while (FCount > 0) ExpTokenStack().Put(FFree[--FCount]);
  }

  TExpToken* Get() { return FCount > 0 ? FFree[--FCount] : ExpTokenStack().Get(); }
  void Put(TExpToken* node) {
    if (FCount == kCapacity) {
      ExpTokenStack().Put(node);
      return;
    }
    node->Clear();
    FFree[FCount++] = node;
  }

private:
  static constexpr size_t kCapacity = 32;
  TExpToken* FFree[kCapacity] = {};
  size_t FCount = 0;
};

TLocalNodes& LocalNodes() {
  thread_local TLocalNodes nodes;
  return nodes;
}

// ---- a value during evaluation ----

// The node that holds a value: a node of the prepared tree itself (constants are read
// in place) or a pooled node that this object owns and hands back to the pool.
class TValue {
public:
  TValue() = default;
  static TValue View(const TExpToken& node) {
    TValue value;
    value.FNode = &node;
    return value;
  }
  static TValue Own(TExpToken* node) {
    TValue value;
    value.FNode = node;
    value.FOwned = node;
    return value;
  }
  TValue(TValue&& other) noexcept : FNode(std::exchange(other.FNode, nullptr)), FOwned(std::exchange(other.FOwned, nullptr)) {}
  TValue& operator=(TValue&& other) noexcept {
    if (this != &other) {
      Reset();
      FNode = std::exchange(other.FNode, nullptr);
      FOwned = std::exchange(other.FOwned, nullptr);
    }
    return *this;
  }
  TValue(const TValue&) = delete;
  TValue& operator=(const TValue&) = delete;
  ~TValue() { Reset(); }

  const TExpToken& operator*() const { return *FNode; }
  const TExpToken* operator->() const { return FNode; }
  bool IsOwned() const { return FOwned != nullptr; }
  // The owned node, handed over to the caller.
  TExpToken* Release() {
    FNode = nullptr;
    return std::exchange(FOwned, nullptr);
  }

private:
  void Reset() {
    if (FOwned != nullptr) LocalNodes().Put(FOwned);
    FOwned = nullptr;
    FNode = nullptr;
  }

  const TExpToken* FNode = nullptr;
  TExpToken* FOwned = nullptr;
};

// A pooled node that will hold the value of `node`: typed like it, NULL until set.
TValue NewResult(const TExpToken& node) {
  TExpToken* result = LocalNodes().Get();
  result->Kind = kNodeConstant;
  result->DataType = node.DataType;
  result->SubType = node.SubType;
  result->DataScale = node.DataScale;
  result->IsNull = 1;
  return TValue::Own(result);
}

TExpToken& Mutable(TValue& value) { return const_cast<TExpToken&>(*value); }

bool IsComparison(uint8_t opCode) { return opCode >= kOpEqual && opCode <= kOpLessEqual; }

bool IsCaseFunction(const TExpToken& node) {
  return node.Kind == kNodeFunction && (node.OpCode == kFuncUpper || node.OpCode == kFuncLower) &&
         node.Arguments.size() == 1 && node.Arguments[0] != nullptr;
}

// A comparison that ignores case need not map its operands' case first.
const TExpToken& CaseOperand(const TExpToken& operand, bool caseInsensitive) {
  return caseInsensitive && IsCaseFunction(operand) ? *operand.Arguments[0] : operand;
}

TExtractPart ExtractPartOf(uint8_t opCode) {
  return static_cast<TExtractPart>(opCode - kFuncExtractYear);
}

// ---- the evaluator ----

class TEvaluator {
public:
  TEvaluator(const uint8_t* recordBuffer, const TEvaluationContext& context)
      : FRecord(recordBuffer), FContext(context), FCollation{context.LocaleId, context.SortId} {}

  TValue Evaluate(const TExpToken& node) {
    switch (node.Kind) {
      case kNodeConstant: return TValue::View(node);
      case kNodeColumn: return Column(node);
      case kNodeUnary:
        if (node.OpCode == kOpNot) return BooleanResult(node, Truth(node));
        return Sign(node);
      case kNodeBinary:
        if (IsComparison(node.OpCode) || node.OpCode == kOpAnd || node.OpCode == kOpOr)
          return BooleanResult(node, Truth(node));
        return Arithmetic(node);
      case kNodeWildcard:
      case kNodePredicate: return BooleanResult(node, Truth(node));
      case kNodeFunction: return Function(node);
      default: RaiseUnservedColumn(node);
    }
  }

  // The node's value is a boolean true.
  bool Truth(const TExpToken& node) {
    switch (node.Kind) {
      case kNodeUnary:
        if (node.OpCode == kOpNot) return !Truth(*node.Operand);
        break;
      case kNodeBinary:
        if (node.OpCode == kOpAnd) return Truth(*node.RightOperand) && Truth(*node.Operand);
        if (node.OpCode == kOpOr) return Truth(*node.RightOperand) || Truth(*node.Operand);
        if (IsComparison(node.OpCode)) return Comparison(node);
        break;
      case kNodeWildcard: return Comparison(node);
      case kNodePredicate: return Predicate(node);
      case kNodeConstant: return BooleanOf(node);
      default: break;
    }
    const TValue value = Evaluate(node);
    return BooleanOf(*value);
  }

private:
  TValue BooleanResult(const TExpToken& node, bool truth) {
    TValue result = NewResult(node);
    SetBooleanValue(Mutable(result), truth);
    return result;
  }

  TValue Column(const TExpToken& node) {
    if (FContext.GetColumnValue == nullptr) RaiseUnservedColumn(node);
    TExpToken* column = LocalNodes().Get();
    TValue value = TValue::Own(column);
    column->Kind = kNodeColumn;
    column->IsBound = node.IsBound;
    column->SourceNo = node.SourceNo;
    column->FieldNo = node.FieldNo;
    column->SourceTable = node.SourceTable;
    column->ColumnName = node.ColumnName;
    column->TableName = node.TableName;
    column->DataType = node.DataType;
    column->SubType = node.SubType;
    column->DataLength = node.DataLength;
    column->DataScale = node.DataScale;
    column->IsNull = 1;
    FContext.GetColumnValue(FContext.Data, FRecord, *column);
    // Every reader below may take the full width of the type without checking.
    if (column->IsNull == 0) column->ReserveData(std::max(DataSize(column->DataType, 0), 8));
    if (column->DataType == TFieldType::Boolean && column->IsNull == 0 && column->DataLength >= 2)
      WriteU16(column->Data.data(), ReadU16(column->Data.data()) != 0 ? 1 : 0);
    return value;
  }

  // ---- comparisons ----

  // Two non-NULL values: negative, 0 or positive.
  int CompareValues(const TExpToken& a, const TExpToken& b, bool caseInsensitive, size_t length) {
    if (IsText(a) || IsText(b)) return CompareTextPrefix(FCollation, TextOf(a), TextOf(b), length, caseInsensitive);
    if (IsTemporalType(a.DataType) && IsTemporalType(b.DataType))
      return CompareTemporal(a.DataType, a.Data.data(), b.DataType, b.Data.data());
    if (a.DataType == TFieldType::Boolean && b.DataType == TFieldType::Boolean) {
      const bool x = BooleanOf(a);
      const bool y = BooleanOf(b);
      return x == y ? 0 : (x ? 1 : -1);
    }
    const auto x = NumberOf(a);
    const auto y = NumberOf(b);
    if (x && y) return CompareNumbers(*x, *y);
    return CompareBytes(a, b);
  }

  bool CompareOp(uint8_t opCode, const TExpToken& a, const TExpToken& b, bool caseInsensitive, size_t length) {
    const bool nullA = IsNullValue(a);
    const bool nullB = IsNullValue(b);
    if (opCode == kOpEqual || opCode == kOpNotEqual) {
      const bool equal = nullA || nullB ? nullA && nullB : CompareValues(a, b, caseInsensitive, length) == 0;
      return equal == (opCode == kOpEqual);
    }
    int order = 0;
    if (IsText(a) || IsText(b)) {
      order = CompareTextPrefix(FCollation, TextOf(a), TextOf(b), length, caseInsensitive);
    } else if (nullA != nullB) {
      return false;
    } else if (!nullA) {
      order = CompareValues(a, b, caseInsensitive, length);
    }
    switch (opCode) {
      case kOpGreater: return order > 0;
      case kOpLess: return order < 0;
      case kOpGreaterEqual: return order >= 0;
      case kOpLessEqual: return order <= 0;
      default: return false;
    }
  }

  bool Comparison(const TExpToken& node) {
    const bool caseInsensitive = node.CaseInsensitive != 0;
    const size_t length = node.Kind == kNodeWildcard && node.PatternPosition > 0 ? static_cast<size_t>(node.PatternPosition) : 0;
    const TValue left = Evaluate(CaseOperand(*node.Operand, caseInsensitive));
    const TValue right = Evaluate(CaseOperand(*node.RightOperand, caseInsensitive));
    return CompareOp(node.OpCode, *left, *right, caseInsensitive, length);
  }

  bool Predicate(const TExpToken& node) {
    const auto& arguments = node.Arguments;
    const bool caseInsensitive = node.CaseInsensitive != 0;
    switch (node.OpCode) {
      case kPredLike:
      case kPredNotLike: {
        const TValue text = Evaluate(CaseOperand(*arguments.at(0), caseInsensitive));
        const TValue pattern = Evaluate(CaseOperand(*arguments.at(1), caseInsensitive));
        const bool match = !IsNullValue(*text) && !IsNullValue(*pattern) &&
                           LikeMatch(FCollation, TextOf(*text), TextOf(*pattern), caseInsensitive);
        return match == (node.OpCode == kPredLike);
      }
      case kPredIn:
      case kPredNotIn: {
        const TValue tested = Evaluate(CaseOperand(*arguments.at(0), caseInsensitive));
        bool found = false;
        for (size_t i = 1; i < arguments.size() && !found; ++i) {
          const TValue listed = Evaluate(CaseOperand(*arguments[i], caseInsensitive));
          found = CompareOp(kOpEqual, *tested, *listed, caseInsensitive, 0);
        }
        return found == (node.OpCode == kPredIn);
      }
      case kPredInSelect:
      case kPredNotInSelect: {
        if (FContext.SubSelectContains == nullptr || arguments.size() < 2) RaiseUnservedColumn(node);
        const TValue tested = Evaluate(*arguments[0]);
        const bool found = FContext.SubSelectContains(FContext.Data, FRecord, *arguments[1], *tested);
        return found == (node.OpCode == kPredInSelect);
      }
      case kPredBetween:
      case kPredNotBetween: {
        const TValue tested = Evaluate(*arguments.at(0));
        bool inside = false;
        {
          const TValue low = Evaluate(*arguments.at(1));
          inside = CompareOp(kOpGreaterEqual, *tested, *low, caseInsensitive, 0);
        }
        if (inside) {
          const TValue high = Evaluate(*arguments.at(2));
          inside = CompareOp(kOpLessEqual, *tested, *high, caseInsensitive, 0);
        }
        return inside == (node.OpCode == kPredBetween);
      }
      default: return false;
    }
  }

  // ---- operators ----

  TValue Sign(const TExpToken& node) {
    TValue operand = Evaluate(*node.Operand);
    if (node.OpCode == kOpUnaryPlus) return operand;
    TValue result = NewResult(node);
    const auto number = NumberOf(*operand);
    // A negated date or time is no date or time: NULL.
    if (number) SetNumberValue(Mutable(result), NegateNumber(*number));
    return result;
  }

  TValue Arithmetic(const TExpToken& node) {
    const TValue left = Evaluate(*node.Operand);
    const TValue right = Evaluate(*node.RightOperand);
    TValue result = NewResult(node);
    TExpToken& out = Mutable(result);
    const TFieldType type = node.DataType;
    if (IsTextType(type, node.SubType) && node.OpCode == kOpAdd) {
      Concatenate(TextOf(*left), TextOf(*right), out);
      return result;
    }
    if (IsNullValue(*left) || IsNullValue(*right) || type == TFieldType::Unknown) return result;
    const TFieldType leftType = left->DataType;
    const TFieldType rightType = right->DataType;
    const bool temporalLeft = IsTemporalType(leftType);
    const bool temporalRight = IsTemporalType(rightType);
    if (IsTemporalType(type) && (temporalLeft || temporalRight) && !(temporalLeft && temporalRight)) {
      // date, time or timestamp plus or minus a count.
      const TExpToken& moment = temporalLeft ? *left : *right;
      const auto count = IntegerOf(temporalLeft ? *right : *left);
      if (!count || moment.DataType != type) return result;
      if (node.OpCode != kOpAdd && !(node.OpCode == kOpSubtract && temporalLeft)) return result;
      const int64_t delta = node.OpCode == kOpSubtract ? -*count : *count;
      ShiftMoment(moment, delta, out);
      return result;
    }
    if (temporalLeft && temporalRight) {
      if (node.OpCode == kOpSubtract) Difference(*left, *right, out);
      return result;
    }
    const auto x = NumberOf(*left);
    const auto y = NumberOf(*right);
    if (!x || !y) return result;
    TArithmetic op = TArithmetic::Add;
    switch (node.OpCode) {
      case kOpAdd: op = TArithmetic::Add; break;
      case kOpSubtract: op = TArithmetic::Subtract; break;
      case kOpMultiply: op = TArithmetic::Multiply; break;
      case kOpDivide: op = TArithmetic::Divide; break;
      default: return result;
    }
    const int size = DataSize(type, 0);
    out.ReserveData(std::max(size, 8));
    if (size != 0 && ComputeNumber(op, *x, *y, type, out.DataScale, out.Data.data())) {
      out.DataLength = size;
      out.IsNull = 0;
    }
    return result;
  }

  static void Concatenate(std::string_view a, std::string_view b, TExpToken& out) {
    if (a.empty() && b.empty()) {
      SetNullValue(out);
      return;
    }
    const auto size = static_cast<int32_t>(a.size() + b.size());
    out.ReserveData(size + 1);
    if (!a.empty()) std::memcpy(out.Data.data(), a.data(), a.size());
    if (!b.empty()) std::memcpy(out.Data.data() + a.size(), b.data(), b.size());
    out.Data[static_cast<size_t>(size)] = 0;
    out.DataLength = size + 1;
    out.IsNull = 0;
  }

  // date + days, time + milliseconds, timestamp + days.
  static void ShiftMoment(const TExpToken& moment, int64_t delta, TExpToken& out) {
    const uint8_t* data = moment.Data.data();
    switch (moment.DataType) {
      case TFieldType::Date: {
        const auto date = AddDays(ReadI32(data), delta);
        if (date) SetInt32Value(out, *date);
        return;
      }
      case TFieldType::Time: {
        const int32_t time = ReadI32(data);
        if (IsValidTime(time)) SetInt32Value(out, AddMilliseconds(time, delta));
        return;
      }
      case TFieldType::Timestamp: {
        const auto timestamp = AddTimestampDays(ReadF64(data), delta);
        if (!timestamp) return;
        out.ReserveData(8);
        WriteF64(out.Data.data(), *timestamp);
        out.DataLength = 8;
        out.IsNull = 0;
        return;
      }
      default: return;
    }
  }

  // date - date in days, time - time in milliseconds, anything with a timestamp in
  // milliseconds; written in the node's type (NULL when it does not fit).
  static void Difference(const TExpToken& a, const TExpToken& b, TExpToken& out) {
    TNumber difference;
    if (a.DataType == b.DataType && a.DataType != TFieldType::Timestamp) {
      difference = TNumber::OfInteger(static_cast<int64_t>(ReadI32(a.Data.data())) - ReadI32(b.Data.data()));
    } else {
      const auto x = ReadAsTimestamp(a.DataType, a.Data.data());
      const auto y = ReadAsTimestamp(b.DataType, b.Data.data());
      if (!x || !y) return;
      difference = TNumber::OfFloat(*x - *y);
    }
    if (IsIntegerType(out.DataType)) {
      const auto bits = out.DataType == TFieldType::LargeInt ? 63 : (out.DataType == TFieldType::Integer ? 31 : 15);
      const double limit = static_cast<double>(int64_t{1} << bits);
      const double value = difference.Kind == TNumberKind::Float ? difference.Float : static_cast<double>(difference.Integer);
      if (!(value >= -limit && value < limit)) return;
    }
    SetNumberValue(out, difference);
  }

  // ---- functions ----

  TValue Function(const TExpToken& node) {
    const auto& arguments = node.Arguments;
    const uint8_t code = node.OpCode;
    if (IsAggregateFunction(code)) return Aggregate(node);
    if (IsExtractFunction(code)) {
      const TValue value = Evaluate(*arguments.at(0));
      TValue result = NewResult(node);
      if (!IsNullValue(*value))
        SetInt32Value(Mutable(result), ExtractPart(ExtractPartOf(code), value->DataType, value->Data.data()));
      return result;
    }
    if (IsTrimFunction(code)) {
      const TValue character = Evaluate(*arguments.at(0));
      const TValue value = Evaluate(*arguments.at(1));
      TValue result = NewResult(node);
      if (IsNullValue(*value)) return result;
      const std::string_view c = TextOf(*character);
      const std::string_view text = TextOf(*value);
      const TTrimMode mode = code == kFuncTrimLeading ? TTrimMode::Leading
                             : code == kFuncTrimTrailing ? TTrimMode::Trailing
                                                         : TTrimMode::Both;
      SetTextValue(Mutable(result), c.empty() ? text : TrimText(text, c[0], mode));
      return result;
    }
    switch (code) {
      case kFuncUpper:
      case kFuncLower: {
        const TValue value = Evaluate(*arguments.at(0));
        TValue result = NewResult(node);
        TExpToken& out = Mutable(result);
        SetTextValue(out, TextOf(*value));
        if (out.IsNull == 0) {
          auto* text = reinterpret_cast<char*>(out.Data.data());
          if (code == kFuncUpper)
            UpperCaseText(FContext.LocaleId, FContext.SortId, text);
          else
            LowerCaseText(FContext.LocaleId, FContext.SortId, text);
        }
        return result;
      }
      case kFuncLength: {
        const TValue value = Evaluate(*arguments.at(0));
        TValue result = NewResult(node);
        if (!IsNullValue(*value)) SetNumberValue(Mutable(result), TNumber::OfInteger(static_cast<int64_t>(TextOf(*value).size())));
        return result;
      }
      case kFuncSubstring: {
        const TValue value = Evaluate(*arguments.at(0));
        const TValue start = Evaluate(*arguments.at(1));
        TValue result = NewResult(node);
        const auto from = IntegerOf(*start);
        if (IsNullValue(*value) || !from) return result;
        std::optional<int64_t> count;
        if (arguments.size() > 2) {
          const TValue length = Evaluate(*arguments[2]);
          count = IntegerOf(*length);
          if (!count) return result;
        }
        SetTextValue(Mutable(result), SubstringOf(TextOf(*value), *from, count.has_value(), count.value_or(0)));
        return result;
      }
      case kFuncReplace: {
        const TValue search = Evaluate(*arguments.at(0));
        const TValue replacement = Evaluate(*arguments.at(1));
        const TValue value = Evaluate(*arguments.at(2));
        TValue result = NewResult(node);
        if (IsNullValue(*value)) return result;
        thread_local std::string replaced;
        ReplaceText(TextOf(*search), TextOf(*replacement), TextOf(*value), replaced);
        SetTextValue(Mutable(result), replaced);
        return result;
      }
      case kFuncPos:
      case kFuncOccurs: {
        const TValue search = Evaluate(*arguments.at(0));
        const TValue value = Evaluate(*arguments.at(1));
        TValue result = NewResult(node);
        const std::string_view s = TextOf(*search);
        const std::string_view text = TextOf(*value);
        SetNumberValue(Mutable(result), TNumber::OfInteger(code == kFuncPos ? PosOf(s, text) : OccursOf(s, text)));
        return result;
      }
      case kFuncCast: return Convert(node, Evaluate(*arguments.at(0)), true);
      case kFuncAbs: {
        TValue value = Evaluate(*arguments.at(0));
        if (value->DataType == TFieldType::Word || IsNullValue(*value)) return Convert(node, std::move(value), false);
        TValue result = NewResult(node);
        const auto number = NumberOf(*value);
        if (number) SetNumberValue(Mutable(result), AbsNumber(*number));
        return result;
      }
      case kFuncRound: {
        const TValue value = Evaluate(*arguments.at(0));
        int places = 0;
        if (arguments.size() > 1) {
          const TValue placesValue = Evaluate(*arguments[1]);
          places = static_cast<int>(std::clamp<int64_t>(IntegerOf(*placesValue).value_or(0), 0, 32));
        }
        TValue result = NewResult(node);
        const auto number = NumberOf(*value);
        if (!number) return result;
        const auto rounded = RoundNumber(*number, places);
        if (rounded) SetNumberValue(Mutable(result), *rounded);
        return result;
      }
      case kFuncIf: {
        const bool condition = Truth(*arguments.at(0));
        return Convert(node, Evaluate(*arguments.at(condition ? 1 : 2)), false);
      }
      case kFuncIfNull: {
        bool isNull = false;
        {
          const TValue tested = Evaluate(*arguments.at(0));
          isNull = IsNullValue(*tested);
        }
        return Convert(node, Evaluate(*arguments.at(isNull ? 1 : 2)), false);
      }
      case kFuncCoalesce: {
        for (const TExpToken* argument : arguments) {
          TValue value = Evaluate(*argument);
          if (!IsNullValue(*value)) return Convert(node, std::move(value), false);
        }
        return NewResult(node);
      }
      case kFuncTextSearch:
      case kFuncTextOccurs: return TextSearch(node);
      case kFuncLastAutoInc:
      case kFuncIdentCurrent: {
        TValue result = NewResult(node);
        int32_t value = 0;
        if (FContext.LastAutoIncValue == nullptr ||
            !FContext.LastAutoIncValue(FContext.Data, *arguments.at(0), value))
          value = 0;
        SetInt32Value(Mutable(result), value);
        return result;
      }
      default: break;
    }
    return NewResult(node);
  }

  // Inside an expression an aggregate stands for its argument's value on this one row
  // (COUNT: 1 when the argument is not NULL, else 0); the aggregation itself belongs to
  // the SQL engine.
  TValue Aggregate(const TExpToken& node) {
    const TExpToken& argument = *node.Arguments.at(0);
    if (node.OpCode == kFuncCount) {
      TValue result = NewResult(node);
      bool present = true;
      if (!(argument.Kind == kNodeColumn && argument.ColumnName == "*")) {
        const TValue value = Evaluate(argument);
        present = !IsNullValue(*value);
      }
      SetNumberValue(Mutable(result), TNumber::OfInteger(present ? 1 : 0));
      return result;
    }
    return Convert(node, Evaluate(argument), false);
  }

  // The value in the node's type. Same types pass unchanged (a CAST still cuts a text to
  // its target length); BLOB sources or targets copy bytes; anything else goes through
  // the engine's value conversion, whose failures give NULL.
  TValue Convert(const TExpToken& node, TValue value, bool cutText) {
    const TFieldType target = node.DataType;
    const TExpToken& source = *value;
    if (target == TFieldType::Unknown) return value;
    if (IsNullValue(source)) return NewResult(node);
    const bool sameType = source.DataType == target && source.SubType == node.SubType;
    if (sameType && target != TFieldType::Bcd && target != TFieldType::String && target != TFieldType::Bytes &&
        target != TFieldType::VarBytes)
      return value;
    if (sameType && target == TFieldType::Bcd && source.DataScale == node.DataScale) return value;
    const bool textTarget = target == TFieldType::String;
    if (sameType && textTarget && (!cutText || node.DataLength <= 0 || source.DataLength <= node.DataLength)) return value;
    TValue result = NewResult(node);
    TExpToken& out = Mutable(result);
    const int32_t sourceLength = std::min(std::max(source.DataLength, 0), static_cast<int32_t>(source.Data.size()));
    if (source.DataType == TFieldType::Blob || target == TFieldType::Blob) {
      if (textTarget) {
        std::string_view text(reinterpret_cast<const char*>(source.Data.data()), static_cast<size_t>(sourceLength));
        text = text.substr(0, std::min(text.size(), text.find('\0')));
        if (node.DataLength > 0) text = text.substr(0, std::min(text.size(), static_cast<size_t>(node.DataLength - 1)));
        SetTextValue(out, text);
      } else {
        out.SetData(source.Data.data(), sourceLength);
      }
      return result;
    }
    uint8_t buffer[kValueBufferSize] = {};
    int32_t sourceSize = std::min(sourceLength, static_cast<int32_t>(kValueBufferSize));
    if (IsText(source)) {
      const std::string_view text = TextOf(source);
      sourceSize = static_cast<int32_t>(std::min(text.size(), static_cast<size_t>(kValueBufferSize - 1)));
      std::memcpy(buffer, text.data(), static_cast<size_t>(sourceSize));
      ++sourceSize;  // the terminator
    } else {
      std::memcpy(buffer, source.Data.data(), static_cast<size_t>(sourceSize));
    }
    int32_t targetSize = DataSize(target, 0);
    if (textTarget || target == TFieldType::Bytes || target == TFieldType::VarBytes)
      targetSize = node.DataLength > 0 ? std::min(node.DataLength, static_cast<int32_t>(kValueBufferSize))
                                       : static_cast<int32_t>(kValueBufferSize);
    if (targetSize <= 0 || !ConvertValue(source.DataType, sourceSize, source.DataScale, buffer, node.DataScale,
                                         targetSize, target))
      return result;
    if (textTarget) {
      SetTextValue(out, std::string_view(reinterpret_cast<const char*>(buffer),
                                         strnlen(reinterpret_cast<const char*>(buffer), static_cast<size_t>(targetSize))));
    } else {
      if (target == TFieldType::Boolean) WriteU16(buffer, ReadU16(buffer) != 0 ? 1 : 0);
      out.SetData(buffer, targetSize);
    }
    return result;
  }

  TValue TextSearch(const TExpToken& node) {
    const TExpToken& column = *node.Arguments.at(1);
    TValue result = NewResult(node);
    const TTextIndexParameters* parameters =
        FContext.TextIndexParameters == nullptr ? nullptr : FContext.TextIndexParameters(FContext.Data, column);
    const bool search = node.OpCode == kFuncTextSearch;
    if (parameters == nullptr) {
      if (search)
        SetBooleanValue(Mutable(result), false);
      else
        SetNumberValue(Mutable(result), TNumber::OfInteger(0));
      return result;
    }
    const TValue searchText = Evaluate(*node.Arguments.at(0));
    const TValue value = Evaluate(column);
    const TWordRules rules = WordRulesFor(FContext.LocaleId, FContext.SortId);
    const std::vector<TTextWord> wanted = SplitWords(TextOf(*searchText), *parameters, rules, true, false);
    const std::vector<TTextWord> present = SplitWords(TextOf(*value), *parameters, rules, false, true);
    bool all = true;
    int64_t occurrences = 0;
    for (const TTextWord& word : wanted) {
      std::string_view wantedWord = word.Word;
      const bool prefix = !wantedWord.empty() && wantedWord.back() == '*';
      while (!wantedWord.empty() && wantedWord.back() == '*') wantedWord.remove_suffix(1);
      bool found = false;
      for (const TTextWord& candidate : present) {
        std::string_view candidateWord = candidate.Word;
        if (prefix) candidateWord = candidateWord.substr(0, std::min(candidateWord.size(), wantedWord.size()));
        if (CollateCompare(FContext.LocaleId, FContext.SortId, candidateWord, wantedWord, true) == 0) {
          found = true;
          occurrences += candidate.Count;
        }
      }
      all = all && found;
    }
    if (search)
      SetBooleanValue(Mutable(result), all);
    else
      SetNumberValue(Mutable(result), TNumber::OfInteger(std::min<int64_t>(occurrences, kMaxWordOccurrences)));
    return result;
  }

  const uint8_t* FRecord;
  const TEvaluationContext& FContext;
  TTextCollation FCollation;
};

// ---- preparation ----

bool IsDeterministicFunction(const TExpToken& node) {
  if (IsAggregateFunction(node.OpCode)) return false;
  switch (node.OpCode) {
    case kFuncTextSearch:
    case kFuncTextOccurs:
    case kFuncLastAutoInc:
    case kFuncIdentCurrent: return false;
    default: return true;
  }
}

template <typename TVisit>
void ForEachChild(TExpToken& node, TVisit visit) {
  if (node.Operand != nullptr) visit(node.Operand);
  if (node.RightOperand != nullptr) visit(node.RightOperand);
  for (TExpToken* argument : node.Arguments)
    if (argument != nullptr) visit(argument);
}

class TPreparer {
public:
  TPreparer(const TEvaluationContext& context, bool noPartialCompare, bool caseInsensitive)
      : FContext(context), FNoPartialCompare(noPartialCompare), FCaseInsensitive(caseInsensitive) {}

  void Prepare(TExpToken* root) {
    MarkCaseInsensitive(*root);
    if (Fold(*root) && root->Kind != kNodeConstant) FoldNode(*root);
    Rewrite(*root);
  }

private:
  // Comparisons, LIKE and IN whose operands all pass through the same UPPER or LOWER.
  void MarkCaseInsensitive(TExpToken& node) {
    ForEachChild(node, [&](TExpToken* child) { MarkCaseInsensitive(*child); });
    const bool candidate = ((node.Kind == kNodeBinary && IsComparison(node.OpCode)) || node.Kind == kNodeWildcard) ||
                           (node.Kind == kNodePredicate &&
                            (node.OpCode == kPredLike || node.OpCode == kPredNotLike || node.OpCode == kPredIn ||
                             node.OpCode == kPredNotIn));
    if (!candidate) return;
    int caseFunction = -1;
    bool same = true;
    ForEachChild(node, [&](TExpToken* child) {
      if (!IsCaseFunction(*child)) {
        same = false;
      } else if (caseFunction < 0) {
        caseFunction = child->OpCode;
      } else if (caseFunction != child->OpCode) {
        same = false;
      }
    });
    if (same && caseFunction >= 0) node.CaseInsensitive = 1;
  }

  // Whether the subtree is constant; folds the constant children of every node that is
  // not.
  bool Fold(TExpToken& node) {
    switch (node.Kind) {
      case kNodeConstant: return true;
      case kNodeColumn:
      case kNodeSubSelect: return false;
      default: break;
    }
    bool allConstant = node.Kind != kNodeFunction || IsDeterministicFunction(node);
    std::vector<TExpToken*> constantChildren;
    ForEachChild(node, [&](TExpToken* child) {
      if (Fold(*child))
        constantChildren.push_back(child);
      else
        allConstant = false;
    });
    if (allConstant) return true;
    for (TExpToken* child : constantChildren)
      if (child->Kind != kNodeConstant) FoldNode(*child);
    return false;
  }

  // Replaces the subtree by its value.
  void FoldNode(TExpToken& node) {
    {
      TEvaluator evaluator(nullptr, FContext);
      const TValue value = evaluator.Evaluate(node);
      const TExpToken& v = *value;
      const TFieldType type = v.DataType;
      const TFieldSubType subType = v.SubType;
      const uint8_t scale = v.DataScale;
      if (IsNullValue(v)) {
        node.IsNull = 1;
        node.DataLength = 0;
      } else {
        const int32_t size = std::min(std::max(v.DataLength, 0), static_cast<int32_t>(v.Data.size()));
        // The value may live in a node of this subtree: copy before it goes.
        std::vector<uint8_t> bytes(v.Data.begin(), v.Data.begin() + size);
        node.SetData(bytes.data(), size);
      }
      node.DataType = type;
      node.SubType = subType;
      node.DataScale = scale;
    }
    ReleaseTree(node.Operand);
    ReleaseTree(node.RightOperand);
    for (TExpToken* argument : node.Arguments) ReleaseTree(argument);
    node.Operand = nullptr;
    node.RightOperand = nullptr;
    node.Arguments.clear();
    node.SubQuery.reset();
    node.Kind = kNodeConstant;
    node.OpCode = 0;
    node.IsParameter = 0;
    node.PatternPosition = 0;
    node.CaseInsensitive = 0;
  }

  void Rewrite(TExpToken& node) {
    ForEachChild(node, [&](TExpToken* child) { Rewrite(*child); });
    if (node.Kind == kNodeBinary && IsComparison(node.OpCode)) {
      ConvertConstant(*node.RightOperand, *node.Operand);
      ConvertConstant(*node.Operand, *node.RightOperand);
      if (node.OpCode == kOpEqual || node.OpCode == kOpNotEqual) MakeWildcard(node);
      return;
    }
    if (node.Kind != kNodePredicate || node.Arguments.empty()) return;
    switch (node.OpCode) {
      case kPredIn:
      case kPredNotIn:
      case kPredBetween:
      case kPredNotBetween:
        for (size_t i = 1; i < node.Arguments.size(); ++i) ConvertConstant(*node.Arguments[i], *node.Arguments[0]);
        break;
      case kPredLike:
      case kPredNotLike: MakeLikePrefix(node); break;
      default: break;
    }
  }

  // A constant compared with a value of another type takes that type, when the
  // conversion loses nothing (a lossy one would change the comparison's result).
  static void ConvertConstant(TExpToken& constant, const TExpToken& other) {
    if (constant.Kind != kNodeConstant || IsNullValue(constant) || other.Kind == kNodeConstant) return;
    if (constant.DataType == other.DataType && constant.DataScale == other.DataScale) return;
    uint8_t buffer[kValueBufferSize] = {};
    if (IsNumericType(constant.DataType) && IsNumericType(other.DataType)) {
      const auto value = NumberOf(constant);
      if (!value || !WriteNumber(*value, other.DataType, other.DataScale, buffer)) return;
      const auto back = ReadNumber(other.DataType, buffer);
      if (!back || CompareNumbers(*value, *back) != 0) return;
    } else if (constant.DataType == TFieldType::Timestamp && other.DataType == TFieldType::Date) {
      const auto parts = SplitTimestamp(ReadF64(constant.Data.data()));
      if (!parts || parts->Time != 0) return;
      WriteI32(buffer, parts->Date);
    } else if (constant.DataType == TFieldType::Date && other.DataType == TFieldType::Timestamp) {
      const int32_t date = ReadI32(constant.Data.data());
      if (!IsValidDate(date)) return;
      WriteF64(buffer, MakeTimestamp(date, 0));
    } else {
      return;
    }
    constant.DataType = other.DataType;
    constant.SubType = other.SubType;
    constant.DataScale = other.DataScale;
    constant.SetData(buffer, DataSize(other.DataType, 0));
  }

  // = or <> of a text with a string constant: a wildcard comparison when the filter
  // ignores case, or when the constant ends in '*' (and does not start with it), which
  // then compares only the characters before the asterisks.
  void MakeWildcard(TExpToken& node) const {
    TExpToken& constant = *node.RightOperand;
    if (constant.Kind != kNodeConstant || IsNullValue(constant) || constant.DataType != TFieldType::String ||
        !IsText(*node.Operand))
      return;
    const std::string_view text = TextOf(constant);
    const bool prefix = !text.empty() && text.back() == '*' && text.front() != '*';
    if (!prefix && !FCaseInsensitive) return;
    node.Kind = kNodeWildcard;
    if (FCaseInsensitive) node.CaseInsensitive = 1;
    node.PatternPosition = 0;
    if (prefix && !FNoPartialCompare) {
      const size_t length = text.find_last_not_of('*') + 1;
      TruncateText(constant, length);
      node.PatternPosition = static_cast<int32_t>(length);
    }
  }

  // LIKE 'abc%' is the prefix comparison = 'abc' (NOT LIKE: <>).
  static void MakeLikePrefix(TExpToken& node) {
    if (node.Arguments.size() != 2) return;
    TExpToken* pattern = node.Arguments[1];
    if (pattern->Kind != kNodeConstant || IsNullValue(*pattern) || pattern->DataType != TFieldType::String) return;
    const size_t length = LikePrefixLength(TextOf(*pattern));
    if (length == 0) return;
    TruncateText(*pattern, length);
    const bool like = node.OpCode == kPredLike;
    node.Kind = kNodeWildcard;
    node.OpCode = like ? kOpEqual : kOpNotEqual;
    node.Text = like ? "=" : "<>";
    node.Operand = node.Arguments[0];
    node.RightOperand = pattern;
    node.Arguments.clear();
    node.PatternPosition = static_cast<int32_t>(length);
  }

  static void TruncateText(TExpToken& constant, size_t length) {
    constant.Data[length] = 0;
    constant.DataLength = static_cast<int32_t>(length + 1);
  }

  const TEvaluationContext& FContext;
  bool FNoPartialCompare;
  bool FCaseInsensitive;
};

}  // namespace

void RaiseUnservedColumn(const TExpToken& column) {
  TErrorNames names;
  names.ExtraMessage = "Internal error: Column '" + column.ColumnName + "'" + " specified illegally";
  RaiseEngineError(KURA_SQLPARSE, names);
}

TExpTree PrepareExpression(const TExpToken& root, const TEvaluationContext& context, bool noPartialCompare,
                           bool caseInsensitive) {
  TExpTree tree(CopyTree(&root));
  TPreparer(context, noPartialCompare, caseInsensitive).Prepare(tree.get());
  return tree;
}

TExpTree EvaluateExpression(const TExpToken& node, const uint8_t* recordBuffer, const TEvaluationContext& context) {
  TEvaluator evaluator(recordBuffer, context);
  TValue value = evaluator.Evaluate(node);
  const uint8_t kind = node.Kind == kNodeColumn ? kNodeColumn : kNodeConstant;
  if (value.IsOwned()) {
    TExpTree result(value.Release());
    result->Kind = kind;
    if (kind == kNodeConstant) {
      result->ColumnName.clear();
      result->TableName.clear();
    }
    return result;
  }
  TExpTree result(ExpTokenStack().Get());
  CopyValue(*value, *result);
  result->Kind = kind;
  return result;
}

bool EvaluateCondition(const TExpToken& node, const uint8_t* recordBuffer, const TEvaluationContext& context) {
  TEvaluator evaluator(recordBuffer, context);
  return evaluator.Truth(node);
}

}  // namespace kura
