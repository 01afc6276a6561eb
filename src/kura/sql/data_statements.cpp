#include "kura/sql/data_statements.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/base/names_paths.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/progress_reporter.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/data_query.h"
#include "kura/sql/field_values.h"
#include "kura/sql/join_links.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/query_values.h"
#include "kura/sql/select_execute.h"
#include "kura/sql/select_prepare.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sub_select.h"
#include "kura/storage/record.h"

namespace kura {

namespace {

TSourceTable& TargetOf(const TDataQuery& query) { return *query.SourceTables.front(); }

const TFieldDefinition& TargetField(const TDataQuery& query, const TUpdateField& column) {
  return TargetOf(query).Cursor->FieldDefinitions()[static_cast<size_t>(column.FieldNo - 1)];
}

// The text of a string constant (its bytes up to the terminator).
std::string ConstantText(const TExpToken& node) {
  if (node.DataLength <= 0 || node.Data.empty()) return {};
  const auto* text = reinterpret_cast<const char*>(node.Data.data());
  return std::string(text, strnlen(text, static_cast<size_t>(node.DataLength)));
}

// ---- preparation ---------------------------------------------------------------------------

[[noreturn]] void RaiseTableColumn(const TUpdateField& column) {
  RaiseSqlError(std::string(sqlmsg::kInvalidSourceColumnPrefix) + column.ColumnName + "'" +
                std::string(sqlmsg::kInvalidSourceColumnMiddle) + "'" + column.CorrelationName + "'" +
                std::string(sqlmsg::kTableColumnsSuffix));
}

// INSERT's "*" becomes one target column per field of the changed table; every column
// then names a field of that table.
void ResolveTargetColumns(TDataQuery& query) {
  TSourceTable& target = TargetOf(query);
  auto& columns = query.UpdateFields;
  const bool star = columns.size() == 1 && columns.front()->ColumnName == "*" &&
                    columns.front()->CorrelationName.empty();
  if (star && query.StatementKind == TStatementKind::Insert) {
    columns.clear();
    for (const TFieldDefinition& field : target.Cursor->FieldDefinitions()) {
      if (field.Computed) continue;
      auto column = std::make_unique<TUpdateField>(query);
      column->ColumnName = field.Name;
      column->ColumnText = field.Name;
      columns.push_back(std::move(column));
    }
  }
  for (const auto& column : columns) {
    const std::optional<TColumnReference> reference =
        ResolveColumnReference(query, column->CorrelationName, column->ColumnName);
    // Only the changed table's fields can be set: a field of another source of UPDATE
    // ... FROM would be written at its own number into the changed table's record.
    if (!reference || reference->Field == nullptr || reference->Table != &target || reference->Field->Computed) {
      RaiseTableColumn(*column);
    }
    column->FieldNo = static_cast<int16_t>(reference->Field->FieldNo);
  }
  const size_t values = query.InsertSelect && query.InsertSourceQuery != nullptr
                            ? query.InsertSourceQuery->ResultFields.size()
                            : query.UpdateValues.size();
  if (values != columns.size()) RaiseSqlError(sqlmsg::kValueCountMismatch);
}

std::string_view NodeKindName(const TExpToken& node) {
  switch (node.Kind) {
    case kNodeColumn: return "column";
    case kNodeConstant: return "constant";
    case kNodeFunction: return "function";
    default: return "expression";
  }
}

// Whether a value of type `value` can be stored in the field (a text in a memo and the
// other way round, and every conversion the language allows).
bool Assignable(const TExpType& value, const TFieldDefinition& field) {
  if (value.DataType == TFieldType::Unknown || value.DataType == field.FieldType) return true;
  if (IsTextType(value) && IsTextType(field.FieldType, field.SubType)) return true;
  return CastAllowed(value.DataType, field.FieldType);
}

// Binds a value: UPDATE's against the sources, INSERT's without columns.
void BindValue(TDataQuery& query, TUpdateValue& value) {
  TBindContext context;
  context.ErrorCode = KURA_SQLPARSE;
  const bool update = query.StatementKind == TStatementKind::Update;
  context.ContextText = std::string(update ? sqlmsg::kContextUpdateValues : sqlmsg::kContextInsertValues);
  context.ResolveColumn = update ? &ResolveQueryColumn : nullptr;
  context.DescribeSubSelect = &DescribeSubSelect;
  context.ResolveData = &query;
  TExpToken* root = value.Expression.get();
  BindExpression(context, root, root, false, false);
}

// The type test of a value against its column (see the header).
void CheckValueType(const TFieldDefinition& field, TUpdateValue& value) {
  TExpToken& node = *value.Expression;
  const bool textConstant =
      node.Kind == kNodeConstant && node.IsParameter == 0 && node.IsNull == 0 && node.DataType == TFieldType::String;
  if (textConstant && IsTemporalType(field.FieldType)) {
    uint8_t encoded[8] = {};
    if (!EncodeTemporalLiteral(ConstantText(node), field.FieldType, encoded)) {
      RaiseSqlError(std::string(sqlmsg::kTemporalValueExpected) + value.ColumnText + "'" +
                    std::string(sqlmsg::kInUpdateValues));
    }
    const int32_t length = FixedValueLength(field.FieldType);
    node.DataType = field.FieldType;
    node.SubType = field.SubType;
    node.DataScale = 0;
    node.ReserveData(length);
    std::memcpy(node.Data.data(), encoded, static_cast<size_t>(length));
    node.DataLength = length;
    return;
  }
  if (Assignable(NodeType(node), field)) return;
  RaiseSqlError(std::string(sqlmsg::kTypeMismatchBetween) + "column '" + field.Name + "' and " +
                std::string(NodeKindName(node)) + " '" + value.ColumnText + "'" + std::string(sqlmsg::kInUpdateValues));
}

// ---- execution -----------------------------------------------------------------------------

// The text a failed conversion names: the value as text where it has one, else the
// value as written.
std::string ValueText(const TExpToken& value, const std::string& written) {
  if (value.DataType == TFieldType::String) return ConstantText(value);
  uint8_t buffer[kValueBufferSize + 1] = {};
  const size_t length = std::min<size_t>(static_cast<size_t>(std::max(value.DataLength, 0)), kValueBufferSize);
  if (length > 0) std::memcpy(buffer, value.Data.data(), length);
  if (ConvertValue(value.DataType, static_cast<int>(length), value.DataScale, buffer, 0, kValueBufferSize,
                   TFieldType::String)) {
    return reinterpret_cast<const char*>(buffer);
  }
  return written;
}

class TDataStatementRun {
public:
  explicit TDataStatementRun(TDataQuery& query)
      : FQuery(query),
        FTarget(TargetOf(query)),
        FCursor(*FTarget.Cursor),
        FDirectory(*FTarget.OpenedDirectory),
        FKind(query.StatementKind == TStatementKind::Insert ? "INSERT" : "UPDATE"),
        FContext(QueryEvaluationContext(query)) {}

  void Run() {
    for (const auto& source : FQuery.FunctionSources) source->Cursor->Refresh();
    FCursor.SetSuppressAutoInc(FQuery.NoAutoInc);
    FRecord.assign(static_cast<size_t>(FCursor.RecordSize()), 0);
    PrepareValues();
    if (FQuery.StatementKind == TStatementKind::Insert && !FQuery.InsertSelect) {
      // No refresh of the cursor first: the append's write lock sees any change another
      // writer made (and the cursor then takes it in), and rebuilding the cursor's view
      // of the whole table for every row would cost a pass over the table per row.
      InsertRow([this](size_t i, const TFieldDefinition& field) { Put(field, ValueOf(i), ValueWritten(i)); });
      FQuery.Rows = 1;
      return;
    }
    InTransaction([this] {
      switch (FQuery.StatementKind) {
        case TStatementKind::Insert: InsertSelected(); break;
        case TStatementKind::Update: RunRowCombinations(FQuery, [this] { return UpdateRow(); }); break;
        default: RunRowCombinations(FQuery, [this] { return DeleteRow(); }); break;
      }
    });
    FQuery.Rows = static_cast<int32_t>(std::min<int64_t>(FChanged, INT32_MAX));
  }

private:
  // Binds the values again (new parameter values take their types) and prepares those
  // that are more than a constant: they are evaluated per row.
  void PrepareValues() {
    FPrepared.clear();
    FEvaluated.clear();
    FPrepared.resize(FQuery.UpdateValues.size());
    FEvaluated.resize(FQuery.UpdateValues.size());
    for (size_t i = 0; i < FQuery.UpdateValues.size(); ++i) {
      TUpdateValue& value = *FQuery.UpdateValues[i];
      if (value.Expression->Kind == kNodeConstant) continue;
      BindValue(FQuery, value);
      FPrepared[i] = PrepareExpression(*value.Expression, FContext, false, false);
    }
  }

  const TExpToken& ValueOf(size_t i) {
    if (!FPrepared[i]) return *FQuery.UpdateValues[i]->Expression;
    if (FPrepared[i]->Kind == kNodeConstant) return *FPrepared[i];
    FEvaluated[i] = EvaluateExpression(*FPrepared[i], nullptr, FContext);
    return *FEvaluated[i];
  }

  // Runs `work` in the database's transaction or one of its own (see the header).
  template <typename TWork>
  void InTransaction(TWork work) {
    FChanged = 0;
    const bool own = !FDirectory.InTransaction();
    FInterval = FQuery.CommitInterval;
    if (own && FInterval <= 0) {
      const TDataSession& session = FDirectory.Session();
      const int32_t recordSize = std::max(FCursor.RecordSize(), 1);
      FInterval = std::max(1, std::min(2 * session.MaxDataBufferSize() / recordSize, session.MaxDataBufferCount()));
    }
    if (own) FDirectory.StartTransaction();
    try {
      // UPDATE and DELETE refresh every source as their row loop starts; a refresh here
      // as well would rebuild the target's view of the whole table twice per run.
      if (FQuery.StatementKind == TStatementKind::Insert) FCursor.Refresh();
      work();
    } catch (...) {
      // The interval commits before the failure stand; the rest goes.
      if (own && FDirectory.InTransaction()) {
        try {
          FDirectory.Rollback();
        } catch (const EKuraEngineError&) {
          // The statement's own failure is what the caller hears about.
        }
      }
      throw;
    }
    if (own) FDirectory.Commit(true, FQuery.CommitFlush);
  }

  // One more row changed: an interval's last row commits, keeping the transaction.
  void Counted() {
    ++FChanged;
    if (FInterval > 0 && FChanged % FInterval == 0) FDirectory.Commit(false, FQuery.CommitFlush);
  }

  [[noreturn]] void RaiseMismatch(const TFieldDefinition& field, const TExpToken& value, const std::string& written) {
    RaiseSqlError(std::string(sqlmsg::kValueMismatchPrefix) + field.Name + std::string(sqlmsg::kValueMismatchMiddle) +
                  ValueText(value, written) + " in " + FKind + " statement");
  }

  // Sets a field of FRecord to an evaluated value (see the header for the rules).
  void Put(const TFieldDefinition& field, const TExpToken& value, const std::string& written) {
    if (field.FieldType == TFieldType::Blob) {
      if (value.IsNull != 0) {
        PutBlobValue(FCursor, field.FieldNo, FRecord.data(), nullptr, 0);
        return;
      }
      const bool bytes = value.DataType == TFieldType::String || value.DataType == TFieldType::Blob ||
                         value.DataType == TFieldType::Bytes || value.DataType == TFieldType::VarBytes;
      if (bytes) {
        PutBlobValue(FCursor, field.FieldNo, FRecord.data(), value.Data.data(), BlobLengthOf(value));
        return;
      }
      // Any other value goes into a BLOB as its text.
      uint8_t text[kValueBufferSize + 1] = {};
      const size_t length = std::min<size_t>(static_cast<size_t>(std::max(value.DataLength, 0)), kValueBufferSize);
      if (length > 0) std::memcpy(text, value.Data.data(), length);
      if (!ConvertValue(value.DataType, static_cast<int>(length), value.DataScale, text, 0, kValueBufferSize,
                        TFieldType::String)) {
        RaiseMismatch(field, value, written);
      }
      PutBlobValue(FCursor, field.FieldNo, FRecord.data(), text,
                   static_cast<int32_t>(strnlen(reinterpret_cast<const char*>(text), kValueBufferSize)));
      return;
    }
    if (value.IsNull != 0) {
      FCursor.SetField(field.FieldNo, FRecord.data(), nullptr);
      return;
    }
    if (!PutConvertedValue(FCursor, field, FRecord.data(), value.DataType, value.SubType, value.DataScale,
                           value.Data.data(), static_cast<size_t>(std::max(value.DataLength, 0)))) {
      RaiseMismatch(field, value, written);
    }
  }

  // Appends one record whose target columns `put` sets (i, the column's field).
  template <typename TPut>
  void InsertRow(TPut put) {
    try {
      FCursor.InitRecord(FRecord.data());
      for (size_t i = 0; i < FQuery.UpdateFields.size(); ++i) put(i, TargetField(FQuery, *FQuery.UpdateFields[i]));
      FCursor.AppendRecord(FRecord.data(), false);
    } catch (...) {
      // A BLOB written into the image and not posted must not stay open.
      FCursor.FreeAllBlobs();
      throw;
    }
  }

  const std::string& ValueWritten(size_t i) const {
    if (i < FQuery.UpdateValues.size()) return FQuery.UpdateValues[i]->ColumnText;
    const TDataQuery* source = FQuery.InsertSourceQuery;
    if (source != nullptr && i < source->ResultFields.size()) return source->ResultFields[i]->ColumnText;
    static const std::string kNone;
    return kNone;
  }

  // INSERT ... SELECT: every row of the source query's result (its result columns as
  // the result cursor shows them, computed columns computed).
  void InsertSelected() {
    TDataQuery& source = *FQuery.InsertSourceQuery;
    if (source.ResultCursor == nullptr) RaiseEngineError(KURA_NOTINITIALIZED);
    TDataCursor& rows = *source.ResultCursor;
    const std::vector<TFieldDefinition> fields = rows.ResultFields();
    std::vector<TExpTree> values;
    for (const TFieldDefinition& field : fields) {
      values.push_back(NewExpToken());
      // Typed once; each row's reading fills in the value.
      if (!field.Computed) BindColumnToField(*values.back(), field, 0, nullptr);
    }
    std::vector<uint8_t> row(static_cast<size_t>(rows.RecordSize()), 0);

    bool abort = false;
    TProgressReporter progress = FQuery.Statement().ProgressReporter(abort);
    const int64_t total = rows.GetRecordCount();
    int64_t n = 1;
    rows.SetToBegin();
    while (!abort) {
      const int code = rows.GetNextRecord(row.data());
      if (code == KURA_EOF) break;
      if (code != KURA_NONE) RaiseEngineError(static_cast<TErrorCode>(code));
      if (total > 0) progress.Step(n, total);
      ++n;
      if (abort) break;
      InsertRow([&](size_t i, const TFieldDefinition& target) {
        const TFieldDefinition& field = fields[i];
        if (field.Computed) {
          values[i] = rows.ComputeField(field, row.data());
        } else if (field.FieldType == TFieldType::Blob && field.SubType != TFieldSubType::Memo) {
          // The content of a binary BLOB goes over whole; it has no value of another type.
          if (target.FieldType != TFieldType::Blob) RaiseMismatch(target, *values[i], ValueWritten(i));
          CopyBlob(rows, field.FieldNo, row.data(), FCursor, target.FieldNo, FRecord.data(), FBlob);
          return;
        } else {
          rows.ReadColumn(field, row.data(), *values[i]);
        }
        Put(target, *values[i], ValueWritten(i));
      });
      Counted();
    }
    progress.Finish();
  }

  TRowStep UpdateRow() {
    // The missing side of an outer join has no row to change.
    if (FTarget.AtEnd) return TRowStep::Next;
    const int32_t recordNumber = FCursor.CurrentRecordNumber();
    std::memcpy(FRecord.data(), FTarget.RecordBuffer.data(), FRecord.size());
    const int code = FCursor.GetCurrentRecord(FRecord.data(), true);
    if (code != KURA_NONE) RaiseEngineError(static_cast<TErrorCode>(code));
    try {
      // Every value from the row as it was read (SET a = b, b = a swaps).
      std::vector<const TExpToken*>& values = FRowValues;
      values.clear();
      for (size_t i = 0; i < FQuery.UpdateFields.size(); ++i) values.push_back(&ValueOf(i));
      for (size_t i = 0; i < FQuery.UpdateFields.size(); ++i) {
        Put(TargetField(FQuery, *FQuery.UpdateFields[i]), *values[i], ValueWritten(i));
      }
      FCursor.ModifyRecord(FRecord.data(), true, false);
    } catch (...) {
      FCursor.FreeAllBlobs();
      FCursor.CancelRecord();
      throw;
    }
    if (recordNumber != FLastCounted) {
      FLastCounted = recordNumber;
      Counted();
    }
    // A row the change took out of the cursor's view (its new values fail a filter of
    // the WHERE) has no further combinations: the cursor stands before the row that
    // followed it, which must not be taken for it.
    if (FCursor.CurrentRecordNumber() != recordNumber) {
      return &FTarget == FQuery.JoinOrder.front() ? TRowStep::NextDrivingRow : TRowStep::Next;
    }
    // Further combinations with this row see it changed.
    const int reread = FCursor.GetCurrentRecord(FTarget.RecordBuffer.data());
    if (reread != KURA_NONE) RaiseEngineError(static_cast<TErrorCode>(reread));
    return TRowStep::Next;
  }

  TRowStep DeleteRow() {
    if (FTarget.AtEnd) return TRowStep::Next;
    FCursor.DeleteRecord(FTarget.RecordBuffer.data(), false);
    Counted();
    // The deleted row's other combinations are gone with it; the cursor stands before
    // the row that followed.
    return &FTarget == FQuery.JoinOrder.front() ? TRowStep::NextDrivingRow : TRowStep::Next;
  }

  TDataQuery& FQuery;
  TSourceTable& FTarget;
  TDataCursor& FCursor;
  TDataDirectory& FDirectory;
  const std::string FKind;
  TEvaluationContext FContext;
  std::vector<uint8_t> FRecord;
  std::vector<uint8_t> FBlob;  // a BLOB's content on its way from a source row
  std::vector<TExpTree> FPrepared;   // by value; null for a constant
  std::vector<TExpTree> FEvaluated;  // the values of the current row
  std::vector<const TExpToken*> FRowValues;  // UPDATE: the current row's values, in order
  int32_t FInterval = 0;
  int64_t FChanged = 0;
  int32_t FLastCounted = 0;
};

}  // namespace

bool ReadsInsertTarget(const TDataQuery& source, const TDataQuery& insert) {
  if (insert.SourceTables.empty()) return false;
  const TSourceTable& target = *insert.SourceTables.front();
  return std::any_of(source.SourceTables.begin(), source.SourceTables.end(), [&](const auto& table) {
    return table->InMemory == target.InMemory && SameText(table->TableName, target.TableName) &&
           SameText(table->Directory, target.Directory);
  });
}

void PrepareDataStatement(TDataQuery& query) {
  OpenQuerySources(query, true);
  if (query.StatementKind != TStatementKind::Insert) {
    if (query.HasWhere && query.WhereCondition) {
      BindQueryCondition(query, query.WhereCondition.get(), sqlmsg::kContextWhere);
    }
    BuildJoinLinks(query);
    if (query.HasWhere) ExtractJoinConditions(query);
  }
  if (query.StatementKind != TStatementKind::Delete) {
    ResolveTargetColumns(query);
    if (!query.InsertSelect) {
      for (size_t i = 0; i < query.UpdateValues.size(); ++i) {
        TUpdateValue& value = *query.UpdateValues[i];
        BindValue(query, value);
        CheckValueType(TargetField(query, *query.UpdateFields[i]), value);
      }
    }
  }
  OpenFunctionSources(query);
}

void ExecuteDataStatement(TDataQuery& query) {
  TDataStatementRun run(query);
  run.Run();
}

}  // namespace kura
