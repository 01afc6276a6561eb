#include "kura/sql/column_resolution.h"

#include <string>

#include "kura/base/names_paths.h"
#include "kura/expr/expression_binder.h"
#include "kura/sql/data_query.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sub_select.h"

namespace kura {

TSourceTable* FindSourceTable(const TDataQuery& query, std::string_view correlationName) {
  if (query.SourceTables.empty()) return nullptr;
  if (correlationName.empty()) return query.SourceTables.front().get();
  for (const auto& table : query.SourceTables) {
    if (SameText(table->CorrelationName, correlationName)) return table.get();
  }
  return nullptr;
}

namespace {

const TFieldDefinition* FieldOf(const TSourceTable& table, std::string_view columnName) {
  if (!table.Cursor || !table.Cursor->Active()) return nullptr;
  return table.Cursor->FieldByName(std::string(columnName));
}

}  // namespace

std::optional<TColumnReference> ResolveColumnReference(const TDataQuery& query, std::string_view correlationName,
                                                       std::string_view columnName) {
  const bool wholeTable = columnName.empty() || columnName == "*";
  if (!correlationName.empty() || wholeTable) {
    TSourceTable* table = FindSourceTable(query, correlationName);
    if (table == nullptr) return std::nullopt;
    if (wholeTable) return TColumnReference{table, nullptr};
    const TFieldDefinition* field = FieldOf(*table, columnName);
    if (field == nullptr) return std::nullopt;
    return TColumnReference{table, field};
  }
  for (const auto& table : query.SourceTables) {
    if (const TFieldDefinition* field = FieldOf(*table, columnName)) return TColumnReference{table.get(), field};
  }
  return std::nullopt;
}

bool ResolveQueryColumn(void* data, TExpToken& node) {
  const TDataQuery& query = *static_cast<const TDataQuery*>(data);
  const std::optional<TColumnReference> reference = ResolveColumnReference(query, node.TableName, node.ColumnName);
  if (!reference || reference->Field == nullptr) return false;
  const TFieldDefinition& field = *reference->Field;
  int32_t position = 0;
  while (query.SourceTables[static_cast<size_t>(position)].get() != reference->Table) ++position;
  BindColumnToField(node, field, position, reference->Table);
  return true;
}

void BindQueryCondition(TDataQuery& query, TExpToken* root, std::string_view contextText) {
  TBindContext context;
  context.ErrorCode = KURA_SQLPARSE;
  context.ContextText = std::string(contextText);
  context.ResolveColumn = &ResolveQueryColumn;
  context.DescribeSubSelect = &DescribeSubSelect;
  context.ResolveData = &query;
  BindExpression(context, root, root, false, true);
  if (root->DataType != TFieldType::Boolean) RaiseSqlError(sqlmsg::kWhereNotBoolean);
}

}  // namespace kura
