#include "kura/sql/select_list.h"

#include <vector>

#include "kura/base/names_paths.h"
#include "kura/expr/expression_binder.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/result_columns.h"
#include "kura/sql/sql_messages.h"

namespace kura {

namespace {

constexpr size_t kMaxResultColumns = 1024;

bool HasColumnReference(const TExpToken* tree) {
  return AnyNode(tree, [](const TExpToken& node) { return node.Kind == kNodeColumn; });
}

[[noreturn]] void RaiseInvalidColumn(const std::string& column, const std::string& correlation) {
  RaiseSqlError(std::string(sqlmsg::kInvalidSourceColumnPrefix) + column + "'" +
                std::string(sqlmsg::kInvalidSourceColumnMiddle) + "'" + correlation + "'" +
                std::string(sqlmsg::kInvalidSourceColumnSuffix));
}

// The result columns that a "*" or "T.*" item stands for, in table and field order.
std::vector<std::unique_ptr<TResultField>> Expand(TDataQuery& query, const TResultField& item) {
  if (!item.AutoName) {
    RaiseSqlError(std::string(sqlmsg::kStarAliasPrefix) + item.ColumnName + "'" + std::string(sqlmsg::kStarAliasSuffix));
  }
  std::vector<TSourceTable*> tables;
  if (item.CorrelationName.empty()) {
    for (const auto& table : query.SourceTables) tables.push_back(table.get());
  } else if (TSourceTable* table = FindSourceTable(query, item.CorrelationName)) {
    tables.push_back(table);
  } else {
    RaiseInvalidColumn("*", item.CorrelationName);
  }
  std::vector<std::unique_ptr<TResultField>> columns;
  for (TSourceTable* table : tables) {
    if (!table->Cursor) continue;
    for (const TFieldDefinition& field : table->Cursor->FieldDefinitions()) {
      auto column = std::make_unique<TResultField>(query);
      column->CorrelationName = table->CorrelationName;
      column->SourceColumnName = field.Name;
      column->ColumnText = field.Name;
      column->Expression = NewExpToken();
      column->Expression->Kind = kNodeColumn;
      column->Expression->Text = field.Name;
      column->Expression->ColumnName = field.Name;
      column->Expression->TableName = table->CorrelationName;
      columns.push_back(std::move(column));
    }
  }
  return columns;
}

// Binds a column's expression against the sources and types the column.
void BindColumn(TDataQuery& query, TResultField& column) {
  TExpToken& tree = *column.Expression;
  const bool aggregate = column.AggregateKind != TAggregateKind::None;
  // Plain columns and aggregates over one column must name a column of the sources;
  // COUNT(*) counts the rows of the first source.
  if (!column.IsExpression && !column.CountStar) {
    const std::optional<TColumnReference> reference =
        ResolveColumnReference(query, column.CorrelationName, column.SourceColumnName);
    if (!reference || reference->Field == nullptr) RaiseInvalidColumn(column.SourceColumnName, column.CorrelationName);
  }
  BindExpression(KURA_SQLPARSE, std::string(sqlmsg::kContextSourceColumn), &tree, &tree, false, false,
                 &ResolveQueryColumn, &query);

  // A text the binder took for a column makes the item a plain column after all.
  const TExpToken* argument = aggregate && !tree.Arguments.empty() ? tree.Arguments.front() : nullptr;
  const TExpToken* columnNode = aggregate ? argument : &tree;
  if (columnNode != nullptr && columnNode->Kind == kNodeColumn && columnNode->IsBound != 0) {
    column.IsExpression = false;
    column.SourceColumnName = columnNode->ColumnName;
    column.SourceTable = static_cast<TSourceTable*>(columnNode->SourceTable);
    column.SourceFieldNo = static_cast<int16_t>(columnNode->FieldNo);
    column.CorrelationName = column.SourceTable->CorrelationName;
  } else if (column.CountStar) {
    column.SourceTable = FindSourceTable(query, "");
    if (column.SourceTable != nullptr) column.CorrelationName = column.SourceTable->CorrelationName;
  }

  // The source type: the column's, or the aggregate argument's, or the expression's.
  const TExpToken& typed = aggregate && argument != nullptr && !column.CountStar ? *argument : tree;
  const bool nullConstant = typed.Kind == kNodeConstant && typed.IsParameter == 0 && typed.IsNull != 0 &&
                            typed.DataType == TFieldType::Unknown;
  const TExpType sourceType = ResultColumnType(NodeType(typed), nullConstant, column.ColumnText);
  column.SourceType = sourceType.DataType;
  column.SourceSubType = sourceType.SubType;
  column.SourceSize = static_cast<uint8_t>(std::min<int32_t>(sourceType.DataLength, UINT8_MAX));
  column.SourceScale = sourceType.DataScale;
  const TExpType resultType = aggregate ? ResultColumnType(NodeType(tree), false, column.ColumnText) : sourceType;
  column.DataType = resultType.DataType;
  column.SubType = resultType.SubType;
  column.Size = static_cast<uint8_t>(std::min<int32_t>(resultType.DataLength, UINT8_MAX));
  column.Scale = resultType.DataScale;
  if (column.DataType == TFieldType::Blob) {
    query.HasBlobColumn = true;
    if (column.IsExpression) query.HasComputedBlobColumn = true;
  }
  if (column.IsExpression) query.HasComputedColumn = true;
}

// The columns of a query and of the UNION member after it must agree in number and
// type.
void CheckUnion(const TDataQuery& query) {
  const TDataQuery* next = query.NextUnionQuery;
  if (!query.HasUnion || next == nullptr) return;
  const std::string_view kind = query.UnionAll ? "UNION ALL" : "UNION";
  if (next->ResultFields.size() != query.ResultFields.size()) {
    RaiseSqlError(std::string(sqlmsg::kUnionColumnCountPrefix) + std::string(kind) +
                  std::string(sqlmsg::kUnionColumnCountSuffix));
  }
  for (size_t i = 0; i < query.ResultFields.size(); ++i) {
    const TResultField& mine = *query.ResultFields[i];
    const TResultField& theirs = *next->ResultFields[i];
    if (mine.DataType != theirs.DataType) {
      RaiseSqlError(std::string(sqlmsg::kUnionTypeMismatchPrefix) + theirs.ColumnText + "'" + " in the " +
                    std::string(kind) + std::string(sqlmsg::kUnionTypeMismatchMiddle) + "'" + mine.ColumnText + "'" +
                    std::string(sqlmsg::kUnionTypeMismatchSuffix));
    }
  }
}

}  // namespace

void ResolveSelectList(TDataQuery& query) {
  // "*" and "T.*" stand for the columns of their tables, in place.
  std::vector<std::unique_ptr<TResultField>> columns;
  for (auto& item : query.ResultFields) {
    if (item->SourceColumnName == "*" && item->AggregateKind == TAggregateKind::None && !item->IsExpression) {
      for (auto& column : Expand(query, *item)) columns.push_back(std::move(column));
    } else {
      columns.push_back(std::move(item));
    }
  }
  query.ResultFields = std::move(columns);
  if (query.ResultFields.size() > kMaxResultColumns) RaiseSqlError(sqlmsg::kTooManyResultColumns);

  bool aggregates = false;
  bool plainColumns = false;
  std::vector<std::string> names;
  for (size_t i = 0; i < query.ResultFields.size(); ++i) {
    TResultField& column = *query.ResultFields[i];
    BindColumn(query, column);
    column.ResultFieldNo = static_cast<int16_t>(i + 1);
    const bool aggregate = column.AggregateKind != TAggregateKind::None;
    aggregates = aggregates || aggregate;
    if (!aggregate && (!column.IsExpression || HasColumnReference(column.Expression.get()))) plainColumns = true;
    names.push_back(column.AutoName
                        ? DerivedColumnName(column.AggregateKind, column.IsExpression, column.SourceColumnName)
                        : column.ColumnName);
  }
  MakeColumnNamesUnique(names);
  for (size_t i = 0; i < names.size(); ++i) query.ResultFields[i]->ColumnName = names[i];

  // Aggregates beside columns need a GROUP BY; a sub-select, and a UNION member whose
  // head is grouped, are left to their users.
  const TDataQuery* head = &query;
  while (head->IsUnionMember && head->ParentQuery != nullptr) head = head->ParentQuery;
  const bool exempt = query.IsSubSelect || (query.IsUnionMember && head->Grouped);
  if (aggregates && plainColumns && query.GroupByFields.empty() && !exempt) RaiseSqlError(sqlmsg::kGroupByMissing);
  CheckUnion(query);
}

}  // namespace kura
