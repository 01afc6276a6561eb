// The rows of a canned SELECT.
//
// Layout of the result table (made when the query is prepared): one field per result
// column in column order, and after every AVG column its hidden count field. Column i
// therefore lies in table field ResultTableFields(query)[i], which differs from its
// position once an AVG column precedes it.
//
// Values of aggregate columns, row by row and group by group:
//   - a row stores the aggregate's per-row value (the evaluator's value of the call on
//     one row: the argument widened to the aggregate's type; COUNT 1, or 0 for a NULL
//     argument; COUNT(*) 1), and an AVG column's count field 1 (0 for a NULL value);
//   - a group is its first row, into which every later row is folded, a NULL value
//     leaving the group as it is: SUM, RUNSUM and AVG add, COUNT adds its 0 or 1, MIN and
//     MAX keep the smaller or larger value, AVG counts;
//   - a finished group divides each AVG column by its count, and adds to each RUNSUM
//     column the total of the group before it (groups in their sorted order).

#include "kura/sql/result_rows.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/base/names_paths.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/column_reader.h"
#include "kura/engine/data_cursor.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/expr/expression_values.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/data_query.h"
#include "kura/sql/field_values.h"
#include "kura/sql/query_values.h"
#include "kura/sql/select_prepare.h"
#include "kura/sql/result_table.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sub_select.h"
#include "kura/storage/data_file.h"
#include "kura/storage/record.h"

namespace kura {

namespace {

// ---- the result table's fields ----------------------------------------------------------

// The table field of every result column (1-based), counting the hidden field that
// follows each AVG column.
std::vector<uint16_t> ResultTableFields(const TDataQuery& query) {
  std::vector<uint16_t> fields;
  uint16_t next = 1;
  for (const auto& column : query.ResultFields) {
    fields.push_back(next++);
    if (column->AggregateKind == TAggregateKind::Avg) ++next;
  }
  return fields;
}

TDataCursor& ResultCursorOf(const TDataQuery& query) {
  if (!query.CannedResult || !query.CannedResult->Cursor || !query.CannedResult->Cursor->Active()) {
    RaiseEngineError(KURA_NOTINITIALIZED);
  }
  return *query.CannedResult->Cursor;
}

const TFieldDefinition& FieldOf(const TDataCursor& cursor, int fieldNo) {
  return cursor.FieldDefinitions()[static_cast<size_t>(fieldNo - 1)];
}

// ---- values -----------------------------------------------------------------------------

// Dates and times add and compare as their int32 numbers, timestamps as doubles.
TFieldType NumberStorage(TFieldType type) {
  switch (type) {
    case TFieldType::Date:
    case TFieldType::Time: return TFieldType::Integer;
    case TFieldType::Timestamp: return TFieldType::Float;
    default: return type;
  }
}

std::optional<TNumber> NumberIn(TFieldType type, const uint8_t* value) {
  return ReadNumber(NumberStorage(type), value);
}

// Writes a number as the field's value; a number the field cannot hold leaves it NULL.
void StoreNumber(const TNumber& number, const TFieldDefinition& field, uint8_t* record) {
  uint8_t* value = FieldValue(record, field);
  if (WriteNumber(number, NumberStorage(field.FieldType), field.DataScale, value)) {
    SetFieldHasValue(record, field, true);
  } else {
    SetFieldNull(record, field);
  }
}

// Copies `length` bytes as the field's value (at most its size; the rest zero). A text
// keeps its terminator and an empty one is NULL, as everywhere in the engine.
void StoreBytes(const uint8_t* bytes, size_t length, const TFieldDefinition& field, uint8_t* record) {
  const size_t size = field.DataSize;
  if (field.FieldType == TFieldType::String) {
    length = strnlen(reinterpret_cast<const char*>(bytes), std::min(length, size - 1));
    if (length == 0) {
      SetFieldNull(record, field);
      return;
    }
  }
  uint8_t* value = FieldValue(record, field);
  const size_t copied = std::min(length, size);
  std::memmove(value, bytes, copied);
  std::memset(value + copied, 0, size - copied);
  SetFieldHasValue(record, field, true);
}

// A value of type `type` (and BCD scale `scale`) into a field of the result: as it is
// when the types agree, else converted by the engine's value conversion (NULL when that
// fails).
void StoreValue(TFieldType type, uint8_t scale, const uint8_t* bytes, size_t length, const TFieldDefinition& field,
                uint8_t* record) {
  if (type == field.FieldType && (type != TFieldType::Bcd || scale == field.DataScale)) {
    StoreBytes(bytes, length, field, record);
    return;
  }
  uint8_t buffer[kValueBufferSize] = {};
  length = std::min<size_t>(length, kValueBufferSize);
  std::memcpy(buffer, bytes, length);
  if (ConvertValue(type, static_cast<int>(length), scale, buffer, field.DataScale, field.DataSize, field.FieldType)) {
    StoreBytes(buffer, field.DataSize, field, record);
  } else {
    SetFieldNull(record, field);
  }
}

// One field's value of one record into a field of another record (not BLOBs).
void CopyFieldValue(const TFieldDefinition& from, const uint8_t* fromRecord, const TFieldDefinition& to,
                    uint8_t* toRecord) {
  if (FieldIsNull(fromRecord, from)) {
    SetFieldNull(toRecord, to);
    return;
  }
  const size_t length = from.IsAutoInc() ? 4 : from.DataSize;
  const TFieldType type = from.IsAutoInc() ? TFieldType::Integer : from.FieldType;
  StoreValue(type, from.DataScale, FieldValue(fromRecord, from), length, to, toRecord);
}

// An evaluated value into a result field: BLOBs through the cursor (a memo without the
// terminator the evaluator gives its text), anything else as StoreValue.
void StoreEvaluated(const TExpToken& value, TDataCursor& cursor, const TFieldDefinition& field, uint8_t* record) {
  if (value.IsNull != 0) {
    SetFieldNull(record, field);
    return;
  }
  if (field.FieldType == TFieldType::Blob) {
    int32_t length = value.DataLength;
    if (field.SubType == TFieldSubType::Memo && length > 0 && value.Data[static_cast<size_t>(length - 1)] == 0) {
      --length;
    }
    PutBlobValue(cursor, field.FieldNo, record, value.Data.data(), length);
    return;
  }
  StoreValue(value.DataType, value.DataScale, value.Data.data(), static_cast<size_t>(value.DataLength), field,
             record);
}

// ---- filling a row ----------------------------------------------------------------------

// Fills records of a target table from the current row combination of a query's sources:
// plain columns copied from the sources' record buffers (BLOBs through the cursors),
// aggregate and expression columns evaluated over the combination (the expressions are
// prepared once, so that the run's parameter values are constants).
class TRowFiller {
public:
  TRowFiller(TDataQuery& query, TDataCursor& target, const std::vector<uint16_t>& targetFields)
      : FTarget(target), FContext(QueryEvaluationContext(query)) {
    for (size_t i = 0; i < query.ResultFields.size(); ++i) {
      TResultField& column = *query.ResultFields[i];
      TColumn fill;
      fill.Column = &column;
      fill.Target = &FieldOf(target, targetFields[i]);
      if (column.AggregateKind == TAggregateKind::Avg && column.AvgCountField > 0) {
        fill.Count = &FieldOf(target, column.AvgCountField);
      }
      const bool plain = !column.IsExpression && column.AggregateKind == TAggregateKind::None;
      if (plain && column.SourceTable != nullptr && column.SourceTable->Cursor) {
        fill.Source = &FieldOf(*column.SourceTable->Cursor, column.SourceFieldNo);
      } else if (column.Expression) {
        fill.Prepared = PrepareExpression(*column.Expression, FContext, false, false);
      }
      FColumns.push_back(std::move(fill));
    }
  }

  // Fills the initialised `record`; with aggregatesOnly the other columns stay NULL.
  void Fill(uint8_t* record, bool aggregatesOnly) {
    for (TColumn& fill : FColumns) {
      const TResultField& column = *fill.Column;
      const TFieldDefinition& target = *fill.Target;
      if (aggregatesOnly && column.AggregateKind == TAggregateKind::None) continue;
      if (fill.Source != nullptr) {
        TSourceTable& source = *column.SourceTable;
        if (source.AtEnd) continue;  // the NULL row of an outer join
        if (target.FieldType == TFieldType::Blob) {
          CopyBlob(*source.Cursor, fill.Source->FieldNo, source.RecordBuffer.data(), FTarget, target.FieldNo, record,
                   FBlob);
        } else {
          CopyFieldValue(*fill.Source, source.RecordBuffer.data(), target, record);
        }
        continue;
      }
      if (!fill.Prepared) continue;
      const TExpTree value = EvaluateExpression(*fill.Prepared, nullptr, FContext);
      StoreEvaluated(*value, FTarget, target, record);
      if (fill.Count != nullptr) {
        uint8_t count[4];
        WriteI32(count, value->IsNull != 0 ? 0 : 1);
        SetFieldValue(record, *fill.Count, count);
      }
    }
  }

private:
  struct TColumn {
    const TResultField* Column = nullptr;
    const TFieldDefinition* Target = nullptr;
    const TFieldDefinition* Count = nullptr;   // an AVG column's hidden count
    const TFieldDefinition* Source = nullptr;  // a plain column's source field
    TExpTree Prepared;                         // aggregate and expression columns
  };

  TDataCursor& FTarget;
  TEvaluationContext FContext;
  std::vector<TColumn> FColumns;
  std::vector<uint8_t> FBlob;
};

// ---- evaluating over result rows (HAVING) ------------------------------------------------

// A context whose columns are fields of the result table, read from the record handed
// to the evaluation; sub-selects and the function tables are served as over the sources.
struct TResultValues {
  TResultValues(TDataQuery& query, TDataCursor& result)
      : Sources(QueryEvaluationContext(query)), Result(result), Reader(result) {}

  TEvaluationContext Context() {
    TEvaluationContext context = Sources;
    context.Data = this;
    context.GetColumnValue = [](void* data, const uint8_t* record, TExpToken& node) {
      auto& self = *static_cast<TResultValues*>(data);
      if (record == nullptr || node.FieldNo < 1 || node.FieldNo > self.Result.FieldCount()) RaiseUnservedColumn(node);
      self.Reader.Read(FieldOf(self.Result, node.FieldNo), record, node);
    };
    context.SubSelectContains = [](void* data, const uint8_t* record, const TExpToken& subSelect,
                                   const TExpToken& value) {
      const TEvaluationContext& sources = static_cast<TResultValues*>(data)->Sources;
      return sources.SubSelectContains(sources.Data, record, subSelect, value);
    };
    context.LastAutoIncValue = [](void* data, const TExpToken& tableName, int32_t& value) {
      const TEvaluationContext& sources = static_cast<TResultValues*>(data)->Sources;
      return sources.LastAutoIncValue(sources.Data, tableName, value);
    };
    return context;
  }

  TEvaluationContext Sources;
  TDataCursor& Result;
  TColumnReader Reader;
};

// ---- aggregation ------------------------------------------------------------------------

class TAggregation {
public:
  TAggregation(TDataQuery& query, TDataCursor& result, const std::vector<uint16_t>& fields) {
    for (size_t i = 0; i < query.ResultFields.size(); ++i) {
      const TResultField& column = *query.ResultFields[i];
      if (column.AggregateKind == TAggregateKind::None) continue;
      TColumn aggregate;
      aggregate.Kind = column.AggregateKind;
      aggregate.Field = &FieldOf(result, fields[i]);
      if (column.AggregateKind == TAggregateKind::Avg && column.AvgCountField > 0) {
        aggregate.Count = &FieldOf(result, column.AvgCountField);
      }
      aggregate.CountStar = column.CountStar;
      aggregate.Total.resize(aggregate.Field->DataSize);
      FColumns.push_back(std::move(aggregate));
    }
    if (query.HasHaving && query.HavingCondition) {
      FValues = std::make_unique<TResultValues>(query, result);
      FHaving = PrepareExpression(*query.HavingCondition, FValues->Context(), false, false);
    }
  }

  // Folds the row `member` into the group row `group`.
  void Accumulate(uint8_t* group, const uint8_t* member) const {
    for (const TColumn& column : FColumns) {
      const TFieldDefinition& field = *column.Field;
      if (FieldIsNull(member, field)) continue;
      const uint8_t* value = FieldValue(member, field);
      if (FieldIsNull(group, field)) {
        SetFieldValue(group, field, value);
      } else {
        switch (column.Kind) {
          case TAggregateKind::Sum:
          case TAggregateKind::RunSum:
          case TAggregateKind::Avg:
          case TAggregateKind::Count: Add(group, field, value); break;
          case TAggregateKind::Min:
          case TAggregateKind::Max: {
            const std::optional<TNumber> current = NumberIn(field.FieldType, FieldValue(group, field));
            const std::optional<TNumber> candidate = NumberIn(field.FieldType, value);
            if (!current || !candidate) break;
            const int order = CompareNumbers(*candidate, *current);
            const bool better = column.Kind == TAggregateKind::Min ? order < 0 : order > 0;
            if (better) {
              SetFieldValue(group, field, value);
            }
            break;
          }
          case TAggregateKind::None: break;
        }
      }
      if (column.Count != nullptr) {
        uint8_t count[4];
        WriteI32(count, ReadI32(FieldValue(group, *column.Count)) + ReadI32(FieldValue(member, *column.Count)));
        SetFieldValue(group, *column.Count, count);
      }
    }
  }

  // Before the first group of a run: no running totals yet.
  void StartGroups() {
    for (TColumn& column : FColumns) column.HasTotal = false;
  }

  // A group is complete: AVG columns divided by their counts, RUNSUM columns carried on
  // from the group before. A group row made from no row at all keeps its NULLs.
  void Finalize(uint8_t* group) {
    for (TColumn& column : FColumns) {
      const TFieldDefinition& field = *column.Field;
      if (column.Kind == TAggregateKind::Avg && !FieldIsNull(group, field)) {
        Average(group, field, column.Count != nullptr ? ReadI32(FieldValue(group, *column.Count)) : 1);
      } else if (column.Kind == TAggregateKind::RunSum) {
        if (column.HasTotal) {
          if (FieldIsNull(group, field)) {
            SetFieldValue(group, field, column.Total.data());
          } else {
            Add(group, field, column.Total.data());
          }
        }
        if (!FieldIsNull(group, field)) {
          std::memcpy(column.Total.data(), FieldValue(group, field), field.DataSize);
          column.HasTotal = true;
        }
      }
    }
  }

  // The row of a group made from no row: every column NULL but COUNT(*), which is 0.
  void Empty(uint8_t* group) const {
    for (const TColumn& column : FColumns) {
      if (!column.CountStar) continue;
      uint8_t zero[4];
      WriteI32(zero, 0);
      SetFieldValue(group, *column.Field, zero);
    }
  }

  // HAVING on a finished group row; true without HAVING.
  bool Keeps(const uint8_t* group) {
    return !FHaving || EvaluateCondition(*FHaving, group, FValues->Context());
  }

private:
  struct TColumn {
    TAggregateKind Kind = TAggregateKind::None;
    const TFieldDefinition* Field = nullptr;
    const TFieldDefinition* Count = nullptr;
    bool CountStar = false;
    // RUNSUM: the total of the groups so far.
    std::vector<uint8_t> Total;
    bool HasTotal = false;
  };

  // group += value in the column's type (NULL when the sum leaves it).
  static void Add(uint8_t* group, const TFieldDefinition& field, const uint8_t* value) {
    const std::optional<TNumber> a = NumberIn(field.FieldType, FieldValue(group, field));
    const std::optional<TNumber> b = NumberIn(field.FieldType, value);
    uint8_t sum[kMaxDataSize];
    if (a && b &&
        ComputeNumber(TArithmetic::Add, *a, *b, NumberStorage(field.FieldType), field.DataScale, sum)) {
      SetFieldValue(group, field, sum);
    } else {
      SetFieldNull(group, field);
    }
  }

  // sum / count: dates and times rounded to whole numbers, BCD rounded at the column's
  // scale, floats divided; a count of 0 gives 0.
  static void Average(uint8_t* group, const TFieldDefinition& field, int32_t count) {
    const std::optional<TNumber> sum = NumberIn(field.FieldType, FieldValue(group, field));
    if (!sum) return;
    if (count == 0) {
      StoreNumber(TNumber::OfInteger(0), field, group);
      return;
    }
    switch (field.FieldType) {
      case TFieldType::Date:
      case TFieldType::Time:
        StoreNumber(TNumber::OfInteger(std::llround(static_cast<double>(sum->Integer) / count)), field, group);
        return;
      case TFieldType::Bcd: {
        uint8_t quotient[kBcdDataSize];
        std::optional<TNumber> exact;
        if (ComputeNumber(TArithmetic::Divide, *sum, TNumber::OfInteger(count), TFieldType::Bcd, 4, quotient)) {
          exact = ReadNumber(TFieldType::Bcd, quotient);
        }
        const std::optional<TNumber> rounded = exact ? RoundNumber(*exact, field.DataScale) : std::nullopt;
        if (rounded) {
          StoreNumber(*rounded, field, group);
        } else {
          SetFieldNull(group, field);
        }
        return;
      }
      default: {
        const double average = (sum->Kind == TNumberKind::Float ? sum->Float : static_cast<double>(sum->Integer)) /
                               static_cast<double>(count);
        StoreNumber(TNumber::OfFloat(average), field, group);
        return;
      }
    }
  }

  std::vector<TColumn> FColumns;
  std::unique_ptr<TResultValues> FValues;
  TExpTree FHaving;
};

// ---- sorting the result -----------------------------------------------------------------

// A sort of the result table by these table fields (BLOB fields cannot order and are
// left out of the keys; nothing is sorted when no key remains).
bool SortResult(TDataCursor& result, const std::vector<TSortField>& keys, TSortRequest request) {
  for (const TSortField& key : keys) {
    if (FieldOf(result, key.FieldNo).FieldType != TFieldType::Blob) request.Fields.push_back(key);
  }
  if (request.Fields.empty()) return false;
  result.SortRecords(request);
  return true;
}

// Every result column ascending.
std::vector<TSortField> AllColumns(const std::vector<uint16_t>& fields) {
  std::vector<TSortField> keys;
  for (const uint16_t field : fields) keys.push_back({field, false});
  return keys;
}

// The ORDER BY sort, when neither an index nor the grouping or DISTINCT sort gave its
// order; TOP limits it.
bool SortByOrder(TDataQuery& query, TDataCursor& result, const std::vector<uint16_t>& fields) {
  if (!query.HasOrderBy || query.OrderByFields.empty() || query.OrderByIndexed || query.OrderByImplied) return false;
  std::vector<TSortField> keys;
  for (const TOrderByField& item : query.OrderByFields) {
    if (item.ResultColumn < 1 || static_cast<size_t>(item.ResultColumn) > fields.size()) continue;
    keys.push_back({fields[static_cast<size_t>(item.ResultColumn - 1)], item.Descending});
  }
  TSortRequest request;
  request.CaseInsensitive = query.OrderByNoCase;
  request.Limit = query.TopCount;
  return SortResult(result, keys, std::move(request));
}

// TOP limits the grouping or DISTINCT sort when that sort gives the final order.
int64_t GroupingLimit(const TDataQuery& query) {
  return !query.HasOrderBy || query.OrderByImplied ? query.TopCount : -1;
}

// ---- HAVING -----------------------------------------------------------------------------

// Whether the aggregate call `written` (as HAVING has it, unbound) is the bound tree of
// a result column: the same nodes with the same operators, constants and columns (a
// column is the same when its name resolves to the same source field).
bool SameCall(const TExpToken& bound, const TExpToken& written, const TDataQuery& query) {
  std::vector<std::pair<const TExpToken*, const TExpToken*>> pending{{&bound, &written}};
  while (!pending.empty()) {
    const auto [b, w] = pending.back();
    pending.pop_back();
    if (b == nullptr || w == nullptr) {
      if (b != w) return false;
      continue;
    }
    if (w->Kind == kNodeColumn) {
      if (b->Kind != kNodeColumn) return false;
      if (w->ColumnName == "*" || b->ColumnName == "*") {
        if (w->ColumnName != b->ColumnName) return false;
        continue;
      }
      const std::optional<TColumnReference> reference = ResolveColumnReference(query, w->TableName, w->ColumnName);
      if (!reference || reference->Field == nullptr || b->SourceTable != reference->Table ||
          b->FieldNo != reference->Field->FieldNo) {
        return false;
      }
      continue;
    }
    // A text the binder took for a column was written as that text.
    if (w->Kind == kNodeConstant && b->IsColumnText != 0) {
      if (b->Text != w->Text) return false;
      continue;
    }
    if (b->Kind != w->Kind || b->OpCode != w->OpCode || b->Arguments.size() != w->Arguments.size()) return false;
    if (w->Kind == kNodeConstant) {
      if (b->Text != w->Text || b->IsNull != w->IsNull || b->IsParameter != w->IsParameter) return false;
    } else if (!SameText(b->Text, w->Text)) {
      return false;
    }
    const bool cast = w->Kind == kNodeFunction && w->OpCode == kFuncCast;
    if (cast && (b->DataType != w->DataType || b->SubType != w->SubType)) return false;
    pending.emplace_back(b->Operand, w->Operand);
    pending.emplace_back(b->RightOperand, w->RightOperand);
    for (size_t i = 0; i < w->Arguments.size(); ++i) pending.emplace_back(b->Arguments[i], w->Arguments[i]);
  }
  return true;
}

// What binding HAVING's columns needs: the query, and the column that each replaced
// aggregate call stands for.
struct THavingBinding {
  TDataQuery& Query;
  std::vector<uint16_t> Fields;
  std::unordered_map<const TExpToken*, size_t> Replaced;
};

// Binds a column node to result column `index` (a field of the result table).
void BindToResultColumn(TExpToken& node, THavingBinding& binding, size_t index) {
  TResultField& column = *binding.Query.ResultFields[index];
  TFieldDefinition field;
  field.FieldNo = binding.Fields[index];
  field.FieldType = column.DataType;
  field.SubType = column.SubType == TFieldSubType::AutoInc ? TFieldSubType::None : column.SubType;
  const int declared = column.DataType == TFieldType::String ? column.Size - 1 : column.Size;
  field.Size = static_cast<uint8_t>(HasDeclaredSize(column.DataType) ? std::max(declared, 0) : 0);
  field.DataSize = static_cast<uint8_t>(DataSize(field.FieldType, field.Size));
  field.DataScale = column.DataType == TFieldType::Bcd ? column.Scale : 0;
  BindColumnToField(node, field, -1, &column);
}

bool ResolveHavingColumn(void* data, TExpToken& node) {
  auto& binding = *static_cast<THavingBinding*>(data);
  const auto replaced = binding.Replaced.find(&node);
  std::optional<size_t> index;
  if (replaced != binding.Replaced.end()) {
    index = replaced->second;
  } else {
    // Bound before (HAVING resolved again): the same column.
    for (size_t i = 0; i < binding.Query.ResultFields.size() && node.IsBound != 0; ++i) {
      if (node.SourceTable == binding.Query.ResultFields[i].get()) index = i;
    }
    if (!index) index = ResultColumnByName(binding.Query, node.ColumnName, node.TableName);
  }
  if (!index) return false;
  BindToResultColumn(node, binding, *index);
  return true;
}

void DescribeHavingSubSelect(void* data, TExpToken& node, TSubSelectColumns& columns) {
  DescribeSubSelect(&static_cast<THavingBinding*>(data)->Query, node, columns);
}

// ---- UNION ------------------------------------------------------------------------------

// Appends the rows of `member`'s result to `receiver`'s, column by column.
void AppendMemberRows(TDataQuery& receiver, TDataQuery& member) {
  TDataCursor& target = ResultCursorOf(receiver);
  const std::vector<uint16_t> targetFields = ResultTableFields(receiver);
  std::vector<uint8_t> record(static_cast<size_t>(target.RecordSize()));
  if (member.CannedResult && member.CannedResult->Cursor) {
    TDataCursor& source = *member.CannedResult->Cursor;
    const std::vector<uint16_t> sourceFields = ResultTableFields(member);
    const size_t columns = std::min(sourceFields.size(), targetFields.size());
    std::vector<uint8_t> row(static_cast<size_t>(source.RecordSize()));
    std::vector<uint8_t> blob;
    source.SetToBegin();
    while (source.GetNextRecord(row.data()) == KURA_NONE) {
      target.InitRecord(record.data());
      for (size_t i = 0; i < columns; ++i) {
        const TFieldDefinition& from = FieldOf(source, sourceFields[i]);
        const TFieldDefinition& to = FieldOf(target, targetFields[i]);
        if (to.FieldType == TFieldType::Blob) {
          if (from.FieldType == TFieldType::Blob) {
            CopyBlob(source, from.FieldNo, row.data(), target, to.FieldNo, record.data(), blob);
          }
        } else if (from.FieldType != TFieldType::Blob) {
          CopyFieldValue(from, row.data(), to, record.data());
        }
      }
      target.AppendRecord(record.data(), false);
    }
    return;
  }
  // A member that is its source's own cursor: its rows are the source's visible records.
  if (member.SourceTables.empty() || !member.SourceTables.front()->Cursor) return;
  TSourceTable& source = *member.SourceTables.front();
  TRowFiller filler(member, target, targetFields);
  source.AtEnd = false;
  source.Cursor->SetToBegin();
  while (source.Cursor->GetNextRecord(source.RecordBuffer.data()) == KURA_NONE) {
    target.InitRecord(record.data());
    filler.Fill(record.data(), false);
    target.AppendRecord(record.data(), false);
  }
}

// `query` takes the rows of the chain after it (the last member first), then drops
// duplicates unless its UNION was written with ALL.
void MergeChain(TDataQuery& query) {
  TDataQuery* next = query.NextUnionQuery;
  if (!query.HasUnion || next == nullptr) return;
  MergeChain(*next);
  AppendMemberRows(query, *next);
  if (!query.UnionAll) {
    TDataCursor& result = ResultCursorOf(query);
    TSortRequest request;
    request.Distinct = true;
    SortResult(result, AllColumns(ResultTableFields(query)), std::move(request));
  }
}

}  // namespace

// ---- TResultRows ------------------------------------------------------------------------

struct TResultRows::TImpl {
  explicit TImpl(TDataQuery& query)
      : Query(query),
        Result(ResultCursorOf(query)),
        Fields(ResultTableFields(query)),
        Filler(query, Result, Fields),
        Aggregation(query, Result, Fields),
        Record(static_cast<size_t>(Result.RecordSize())) {
    TopLimitsLoop = query.TopCount >= 0 && !query.HasOrderBy && !query.Grouped && !query.Distinct;
  }

  void Sort(const std::vector<TSortField>& keys, TSortRequest request) {
    if (SortResult(Result, keys, std::move(request))) ++Sorts;
  }

  // The last steps for every query: the ORDER BY sort, unless the UNION merge orders
  // the result; then the result stands before its first row.
  void Order() {
    if (!Query.HasUnion && !Query.IsUnionMember && SortByOrder(Query, Result, Fields)) ++Sorts;
    Result.Refresh();
    Result.SetToBegin();
  }

  TDataQuery& Query;
  TDataCursor& Result;
  std::vector<uint16_t> Fields;
  TRowFiller Filler;
  TAggregation Aggregation;
  std::vector<uint8_t> Record;
  // The one group row of an implicitly grouped query.
  std::vector<uint8_t> Group;
  bool HaveGroup = false;
  bool TopLimitsLoop = false;
  int64_t Rows = 0;
  int Sorts = 0;
};

TResultRows::TResultRows(TDataQuery& query) : FImpl(std::make_unique<TImpl>(query)) {}

TResultRows::~TResultRows() = default;

bool TResultRows::Add() {
  TImpl& d = *FImpl;
  const TDataQuery& query = d.Query;
  if (query.MaxRowCount >= 0 && d.Rows >= query.MaxRowCount) return false;
  if (d.TopLimitsLoop && d.Rows >= query.TopCount) return false;
  d.Result.InitRecord(d.Record.data());
  if (query.ImplicitGrouping) {
    // Only the first row's other columns count: later rows bring their aggregates.
    d.Filler.Fill(d.Record.data(), d.HaveGroup);
    if (d.HaveGroup) {
      d.Aggregation.Accumulate(d.Group.data(), d.Record.data());
    } else {
      d.Group = d.Record;
      d.HaveGroup = true;
    }
  } else {
    d.Filler.Fill(d.Record.data(), false);
    d.Result.AppendRecord(d.Record.data(), false);
  }
  ++d.Rows;
  return true;
}

int64_t TResultRows::RowCount() const { return FImpl->Rows; }

int TResultRows::SortCount() const { return FImpl->Sorts; }

void TResultRows::Finish() {
  TImpl& d = *FImpl;
  TDataQuery& query = d.Query;
  d.Aggregation.StartGroups();
  if (query.ImplicitGrouping) {
    if (d.HaveGroup) {
      d.Aggregation.Finalize(d.Group.data());
    } else {
      d.Group.assign(d.Record.size(), 0);
      d.Result.InitRecord(d.Group.data());
      d.Aggregation.Empty(d.Group.data());
    }
    d.Result.AppendRecord(d.Group.data(), false);
    d.HaveGroup = false;
  } else if (query.Distinct) {
    TSortRequest request;
    request.Distinct = true;
    request.Limit = GroupingLimit(query);
    d.Sort(AllColumns(d.Fields), std::move(request));
  } else if (!query.GroupByFields.empty()) {
    std::vector<TSortField> keys;
    for (const TGroupByField& item : query.GroupByFields) {
      if (item.ResultColumn >= 1 && static_cast<size_t>(item.ResultColumn) <= d.Fields.size()) {
        keys.push_back({d.Fields[static_cast<size_t>(item.ResultColumn - 1)], false});
      }
    }
    TSortRequest request;
    request.Limit = GroupingLimit(query);
    TAggregation& aggregation = d.Aggregation;
    request.Aggregate = [&aggregation](TRecord& group, const TRecord& member) {
      aggregation.Accumulate(group.Bytes(), member.Bytes());
    };
    request.Filter = [&aggregation](TRecord& group) {
      aggregation.Finalize(group.Bytes());
      return aggregation.Keeps(group.Bytes());
    };
    d.Sort(keys, std::move(request));
  }
  d.Order();
}

void TResultRows::FinishSingleCount(int32_t count) {
  TImpl& d = *FImpl;
  d.Result.InitRecord(d.Record.data());
  uint8_t value[4];
  WriteI32(value, count);
  SetFieldValue(d.Record.data(), FieldOf(d.Result, d.Fields.front()), value);
  d.Result.AppendRecord(d.Record.data(), false);
  d.Rows = 1;
  d.Order();
}

// ---- HAVING, UNION ----------------------------------------------------------------------

void ResolveHaving(TDataQuery& query) {
  if (!query.HavingCondition) return;
  THavingBinding binding{query, ResultTableFields(query), {}};
  // Every aggregate call becomes a reference to the aggregate column it repeats. The
  // tree is walked through the slots that hold its nodes, so that a call is replaced
  // where it stands.
  std::vector<TExpToken**> pending;
  TExpToken* root = query.HavingCondition.get();
  pending.push_back(&root);
  while (!pending.empty()) {
    TExpToken** slot = pending.back();
    pending.pop_back();
    TExpToken& node = **slot;
    if (node.Kind == kNodeFunction && IsAggregateFunction(node.OpCode)) {
      std::optional<size_t> match;
      for (size_t i = 0; i < query.ResultFields.size() && !match; ++i) {
        const TResultField& column = *query.ResultFields[i];
        if (column.AggregateKind != TAggregateKind::None && column.Expression &&
            SameCall(*column.Expression, node, query)) {
          match = i;
        }
      }
      if (!match) RaiseSqlError(sqlmsg::kHavingExpressionNotFound);
      TExpTree reference = NewExpToken();
      reference->Kind = kNodeColumn;
      reference->ColumnName = query.ResultFields[*match]->ColumnName;
      reference->Text = reference->ColumnName;
      reference->Parent = node.Parent;
      binding.Replaced.emplace(reference.get(), *match);
      TExpToken* call = *slot;
      *slot = reference.release();
      if (slot == &root) {
        query.HavingCondition.release();
        query.HavingCondition.reset(root);
      }
      ReleaseTree(call);
      continue;
    }
    if (node.Operand != nullptr) pending.push_back(&node.Operand);
    if (node.RightOperand != nullptr) pending.push_back(&node.RightOperand);
    for (TExpToken*& argument : node.Arguments) pending.push_back(&argument);
  }

  TBindContext context;
  context.ErrorCode = KURA_SQLPARSE;
  context.ContextText = std::string(sqlmsg::kContextHaving);
  context.ResolveColumn = &ResolveHavingColumn;
  context.DescribeSubSelect = &DescribeHavingSubSelect;
  context.ResolveData = &binding;
  TExpToken* tree = query.HavingCondition.get();
  BindExpression(context, tree, tree, false, true);
  if (tree->DataType != TFieldType::Boolean) RaiseSqlError(sqlmsg::kHavingNotBoolean);
}

void MergeUnion(TDataQuery& head) {
  if (!head.HasUnion || head.NextUnionQuery == nullptr) return;
  const auto started = std::chrono::steady_clock::now();
  MergeChain(head);
  TDataCursor& result = ResultCursorOf(head);
  SortByOrder(head, result, ResultTableFields(head));
  result.Refresh();
  result.SetToBegin();
  head.Rows = result.GetRecordCount();
  head.ExecutionTime += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace kura
