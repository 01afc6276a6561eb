#include "kura/sql/sub_select.h"

#include "kura/engine/column_reader.h"
#include "kura/engine/data_cursor.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_values.h"

namespace kura {

namespace {

TDataQuery* SubQueryOf(const TExpToken& node) {
  auto* select = dynamic_cast<TSubSelect*>(node.SubQuery.get());
  return select == nullptr ? nullptr : &select->Query;
}

// The field of the result cursor that holds the sub-query's first column: the source
// field of a live result, the first field of a canned one.
const TFieldDefinition* FirstColumnField(TDataQuery& query) {
  if (query.ResultCursor == nullptr || query.ResultFields.empty()) return nullptr;
  const auto& fields = query.ResultCursor->FieldDefinitions();
  const size_t index = query.LiveResult ? static_cast<size_t>(query.ResultFields.front()->SourceFieldNo - 1) : 0;
  return index < fields.size() ? &fields[index] : nullptr;
}

}  // namespace

void DescribeSubSelect(void* /*data*/, TExpToken& node, TSubSelectColumns& columns) {
  TDataQuery* query = SubQueryOf(node);
  if (query == nullptr) return;
  columns.ColumnCount = static_cast<int>(query->ResultFields.size());
  if (query->ResultFields.empty()) return;
  const TResultField& first = *query->ResultFields.front();
  columns.ColumnName = first.SourceColumnName.empty() ? first.ColumnName : first.SourceColumnName;
  columns.TableName = first.CorrelationName;
  columns.Resolved = first.DataType != TFieldType::Unknown;
  // Strings are typed by their capacity; the values compared are read with their length.
  columns.Type = TExpType{first.DataType, first.SubType, first.Size, first.Scale};
}

void GatherSubSelectValues(TDataQuery& query) {
  TSubSelectValues& values = query.SubSelectValues;
  values.Values.clear();
  values.Gathered = false;
  const TFieldDefinition* field = FirstColumnField(query);
  if (field == nullptr) return;
  TDataCursor& cursor = *query.ResultCursor;
  TColumnReader reader(cursor);
  std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
  cursor.SetToBegin();
  while (cursor.GetNextRecord(record.data()) == 0) {
    TExpTree node = NewExpToken();
    node->Kind = kNodeConstant;
    node->DataType = field->FieldType;
    node->SubType = field->IsAutoInc() ? TFieldSubType::None : field->SubType;
    node->DataScale = field->Scale;
    reader.Read(*field, record.data(), *node);
    values.Values.push_back(std::move(node));
  }
  values.Gathered = true;
}

bool SubSelectContains(void* data, const uint8_t* /*record*/, const TExpToken& subSelect, const TExpToken& value) {
  TDataQuery* query = SubQueryOf(subSelect);
  auto& outer = *static_cast<TDataQuery*>(data);
  if (query == nullptr) RaiseUnservedColumn(subSelect);
  TSubSelectValues& values = query->SubSelectValues;
  if (!values.Gathered) GatherSubSelectValues(*query);
  if (!values.Gathered) RaiseUnservedColumn(subSelect);
  // value = each gathered value, with the evaluator's own equality.
  TExpTree equal = NewExpToken();
  equal->Kind = kNodeBinary;
  equal->OpCode = kOpEqual;
  equal->DataType = TFieldType::Boolean;
  const TEvaluationContext context = QueryEvaluationContext(outer);
  // The tested value as a constant: evaluated as a column it would be read again, from
  // the source's buffer rather than from the record being tested.
  TExpTree tested(CopyNode(&value));
  tested->Kind = kNodeConstant;
  tested->IsBound = 0;
  tested->SourceTable = nullptr;
  tested->Operand = tested->RightOperand = nullptr;
  tested->Arguments.clear();
  equal->Operand = tested.get();
  bool found = false;
  for (const TExpTree& candidate : values.Values) {
    equal->RightOperand = candidate.get();
    if (EvaluateCondition(*equal, nullptr, context)) {
      found = true;
      break;
    }
  }
  equal->Operand = nullptr;
  equal->RightOperand = nullptr;
  return found;
}

}  // namespace kura
