#include "kura/sql/query_values.h"

#include "kura/engine/column_reader.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/expr/exp_token.h"
#include "kura/sql/data_query.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sub_select.h"
#include "kura/base/names_paths.h"

namespace kura {

namespace {

void GetColumnValue(void* /*data*/, const uint8_t* record, TExpToken& node) {
  auto* source = static_cast<TSourceTable*>(node.SourceTable);
  if (source == nullptr || !source->Cursor || node.FieldNo < 1 || node.FieldNo > source->Cursor->FieldCount()) {
    RaiseUnservedColumn(node);
  }
  // A record image handed in is the row a cursor filter tests: the source's end flag
  // belongs to the row loop (the cursor is rebuilding its view, maybe after the loop ran
  // to its end for the previous driving row) and says nothing about that image.
  if (record == nullptr && source->AtEnd) {
    node.IsNull = 1;
    node.DataLength = 0;
    return;
  }
  const TFieldDefinition& field = source->Cursor->FieldDefinitions()[static_cast<size_t>(node.FieldNo - 1)];
  source->Reader->Read(field, record != nullptr ? record : source->RecordBuffer.data(), node);
}

// The tables named in LASTAUTOINC() and IDENT_CURRENT() were opened while the query
// was prepared (FunctionSources follows FunctionTables); a name that was not is a use
// the statement did not announce.
bool LastAutoIncValue(void* data, const TExpToken& tableName, int32_t& value) {
  auto& query = *static_cast<TDataQuery*>(data);
  const std::string name(reinterpret_cast<const char*>(tableName.Data.data()),
                         tableName.DataLength > 0 ? static_cast<size_t>(tableName.DataLength - 1) : 0);
  for (size_t i = 0; i < query.FunctionTables.size() && i < query.FunctionSources.size(); ++i) {
    const TSourceTable& source = *query.FunctionSources[i];
    if (SameText(query.FunctionTables[i], name) && source.Cursor && source.Cursor->Active()) {
      value = source.Cursor->TableDefinition().LastAutoIncValue;
      return true;
    }
  }
  RaiseSqlError(sqlmsg::kIllegalFunctionTables);
}

}  // namespace

TEvaluationContext QueryEvaluationContext(TDataQuery& query) {
  TEvaluationContext context;
  context.LocaleId = query.LocaleId;
  context.SortId = query.SortId;
  context.Data = &query;
  context.GetColumnValue = &GetColumnValue;
  context.SubSelectContains = &SubSelectContains;
  context.LastAutoIncValue = &LastAutoIncValue;
  return context;
}

}  // namespace kura
