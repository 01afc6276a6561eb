#include "kura/sql/link_probe.h"

#include <cmath>
#include <cstring>
#include <optional>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/expr/exp_token.h"
#include "kura/sql/data_query.h"
#include "kura/sql/integer_values.h"

namespace kura {

namespace {

// The hash key of a non-NULL integer or float value; empty for a float that no integer
// equals (no row can match it).
std::optional<int64_t> KeyOf(const TExpToken& value) {
  if (value.DataType == TFieldType::Float) {
    const double number = ReadF64(value.Data.data());
    if (!std::isfinite(number) || number != std::floor(number) || std::fabs(number) >= 9.2e18) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  return IntegerValueOf(value);
}

bool RefersTo(const TExpToken* node, const TSourceTable* table) {
  return AnyNode(node, [table](const TExpToken& n) { return n.Kind == kNodeColumn && n.SourceTable == table; });
}

bool Unsuitable(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& n) {
    return n.Kind == kNodeSubSelect || (n.Kind == kNodeColumn && n.SourceTable == nullptr);
  });
}

// The equality `target.column = expression` (either way round) among the top-level AND
// parts of `node`: the column node and the other side.
bool FindEquality(const TExpToken* node, const TSourceTable* target, const TExpToken*& column,
                  const TExpToken*& other) {
  if (node == nullptr) return false;
  if (node->Kind == kNodeBinary && node->OpCode == kOpAnd) {
    return FindEquality(node->Operand, target, column, other) ||
           FindEquality(node->RightOperand, target, column, other);
  }
  if (node->Kind != kNodeBinary || node->OpCode != kOpEqual || node->Operand == nullptr ||
      node->RightOperand == nullptr) {
    return false;
  }
  for (const bool left : {true, false}) {
    const TExpToken* candidate = left ? node->Operand : node->RightOperand;
    const TExpToken* rest = left ? node->RightOperand : node->Operand;
    if (candidate->Kind != kNodeColumn || candidate->SourceTable != target || !IsStoredIntegerType(candidate->DataType)) {
      continue;
    }
    if (RefersTo(rest, target) || Unsuitable(rest)) continue;
    if (!IsStoredIntegerType(rest->DataType) && rest->DataType != TFieldType::Float) continue;
    column = candidate;
    other = rest;
    return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<TLinkProbe> TLinkProbe::Build(TJoin& link, const TExpToken* local, const TEvaluationContext& context,
                                              int64_t memoryLimit) {
  const TExpToken* column = nullptr;
  const TExpToken* other = nullptr;
  if (!link.Condition || !FindEquality(link.Condition.get(), link.Target, column, other)) return nullptr;
  TSourceTable& target = *link.Target;
  TDataCursor& cursor = *target.Cursor;
  const int64_t recordSize = cursor.RecordSize();
  if (int64_t{cursor.GetRecordCount()} * recordSize > memoryLimit) return nullptr;

  std::unique_ptr<TLinkProbe> probe(new TLinkProbe());
  probe->FColumnName = target.CorrelationName + "." + column->ColumnName;
  probe->FDriverSide = PrepareExpression(*other, context, false, false);
  probe->FRecordSize = static_cast<size_t>(recordSize);
  TExpTree value = NewExpToken();
  value->Kind = kNodeColumn;
  value->DataType = column->DataType;
  value->SubType = column->SubType;
  value->FieldNo = column->FieldNo;
  value->SourceTable = column->SourceTable;
  value->IsBound = 1;
  value->ColumnName = column->ColumnName;
  cursor.SetToBegin();
  target.AtEnd = false;
  uint32_t index = 0;
  while (true) {
    const int code = cursor.GetNextRecord(target.RecordBuffer.data());
    if (code == KURA_EOF) break;
    if (code != 0) RaiseEngineError(static_cast<TErrorCode>(code));
    if (local != nullptr && !EvaluateCondition(*local, nullptr, context)) continue;
    context.GetColumnValue(context.Data, nullptr, *value);
    if (value->IsNull != 0) {
      probe->FNullRows.push_back(index);
    } else if (const std::optional<int64_t> key = KeyOf(*value)) {
      probe->FBuckets[*key].push_back(index);
    }
    probe->FRows.insert(probe->FRows.end(), target.RecordBuffer.begin(), target.RecordBuffer.end());
    ++index;
  }
  return probe;
}

void TLinkProbe::Position(const TEvaluationContext& context) {
  static const std::vector<uint32_t> kNone;
  const TExpTree value = EvaluateExpression(*FDriverSide, nullptr, context);
  FNext = 0;
  if (value->IsNull != 0) {
    FCurrent = &FNullRows;
    return;
  }
  const std::optional<int64_t> key = KeyOf(*value);
  const auto bucket = key ? FBuckets.find(*key) : FBuckets.end();
  FCurrent = bucket == FBuckets.end() ? &kNone : &bucket->second;
}

bool TLinkProbe::Next(TSourceTable& target) {
  if (FCurrent == nullptr || FNext >= FCurrent->size()) return false;
  const size_t row = (*FCurrent)[FNext++];
  std::memcpy(target.RecordBuffer.data(), FRows.data() + row * FRecordSize, FRecordSize);
  return true;
}

std::string TLinkProbe::Describe() const {
  return "hash on " + FColumnName + ", " + std::to_string(FRows.size() / (FRecordSize == 0 ? 1 : FRecordSize)) +
         " rows";
}

}  // namespace kura
