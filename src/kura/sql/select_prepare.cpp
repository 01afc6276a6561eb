#include "kura/sql/select_prepare.h"

#include <string>

#include "kura/base/names_paths.h"
#include "kura/engine/data_directory.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/data_query.h"
#include "kura/sql/join_links.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/result_rows.h"
#include "kura/sql/result_table.h"
#include "kura/sql/select_execute.h"
#include "kura/sql/select_list.h"
#include "kura/sql/sql_messages.h"

namespace kura {

namespace {

constexpr size_t kMaxClauseColumns = 1024;

std::string InClause(std::string_view clause) {
  return std::string(sqlmsg::kSpecifiedIn) + std::string(clause) + std::string(sqlmsg::kClauseSuffix);
}

// The 0-based result column an ORDER BY or GROUP BY item names: by number 1..count (not
// a BLOB column when `noBlobNumbers`), or by name (with a correlation name: a column,
// not an aggregate, of that table; without: the first column that is a non-aggregate
// of that source column or has that result name).
size_t ItemColumn(const TDataQuery& query, const std::string& columnName, const std::string& correlationName,
                  int16_t columnNumber, std::string_view clause, bool noBlobNumbers) {
  const auto& columns = query.ResultFields;
  if (columnName.empty()) {
    if (columnNumber < 1 || static_cast<size_t>(columnNumber) > columns.size() ||
        (noBlobNumbers && columns[static_cast<size_t>(columnNumber - 1)]->DataType == TFieldType::Blob)) {
      RaiseSqlError(std::string(sqlmsg::kInvalidColumnNumberPrefix) + std::to_string(columnNumber) + "'" +
                    InClause(clause));
    }
    return static_cast<size_t>(columnNumber - 1);
  }
  if (const std::optional<size_t> named = ResultColumnByName(query, columnName, correlationName)) return *named;
  RaiseSqlError(std::string(sqlmsg::kInvalidSourceColumnPrefix) + columnName + "'" +
                std::string(sqlmsg::kInvalidSourceColumnMiddle) + "'" + correlationName + "'" + InClause(clause));
}

const TResultField& OrderByColumn(const TDataQuery& query, const TOrderByField& item) {
  return *query.ResultFields[ItemColumn(query, item.ColumnName, item.CorrelationName, item.ColumnNumber, "ORDER BY",
                                        false)];
}

void CheckClauseSize(size_t count, std::string_view clause) {
  if (count > kMaxClauseColumns) {
    RaiseSqlError(std::string(sqlmsg::kMaxColumnsInPrefix) + std::string(clause) +
                  std::string(sqlmsg::kMaxColumnsInSuffix));
  }
}

[[noreturn]] void RaiseBlobColumn(const TResultField& column, std::string_view clause) {
  RaiseSqlError(std::string(sqlmsg::kInvalidBlobColumnPrefix) + column.ColumnName + "'" + InClause(clause));
}

bool Serves(const TIndexDefinition& index, const std::vector<uint16_t>& fields, const std::vector<bool>& descending,
            bool allDescending, bool caseMatters, bool noCase) {
  if (index.Fields.size() < fields.size() || index.Descending != allDescending) return false;
  for (size_t i = 0; i < fields.size(); ++i) {
    const bool indexDescending = i < index.FieldDescending.size() && index.FieldDescending[i];
    if (index.Fields[i] != fields[i] || indexDescending != descending[i]) return false;
  }
  return !caseMatters || index.CaseInsensitive == noCase;
}

}  // namespace

std::optional<size_t> ResultColumnByName(const TDataQuery& query, const std::string& columnName,
                                         const std::string& correlationName) {
  for (size_t i = 0; i < query.ResultFields.size(); ++i) {
    const TResultField& column = *query.ResultFields[i];
    const bool plain = column.AggregateKind == TAggregateKind::None && !column.IsExpression;
    if (!correlationName.empty()) {
      if (plain && SameText(column.CorrelationName, correlationName) &&
          SameText(column.SourceColumnName, columnName)) {
        return i;
      }
    } else if ((plain && SameText(column.SourceColumnName, columnName)) || SameText(column.ColumnName, columnName)) {
      return i;
    }
  }
  return std::nullopt;
}

void ResolveResultOrder(TDataQuery& query) {
  CheckClauseSize(query.OrderByFields.size(), "ORDER BY");
  for (TOrderByField& item : query.OrderByFields) {
    item.ResultColumn = static_cast<int16_t>(
        ItemColumn(query, item.ColumnName, item.CorrelationName, item.ColumnNumber, "ORDER BY", true) + 1);
  }
  CheckClauseSize(query.GroupByFields.size(), "GROUP BY");
  for (TGroupByField& item : query.GroupByFields) {
    const size_t column =
        ItemColumn(query, item.ColumnName, item.CorrelationName, item.ColumnNumber, "GROUP BY", true);
    if (query.ResultFields[column]->DataType == TFieldType::Blob) RaiseBlobColumn(*query.ResultFields[column], "GROUP BY");
    item.ResultColumn = static_cast<int16_t>(column + 1);
  }
  if (query.Distinct) {
    CheckClauseSize(query.ResultFields.size(), "DISTINCT");
    for (const auto& column : query.ResultFields) {
      if (column->DataType == TFieldType::Blob) RaiseBlobColumn(*column, "DISTINCT");
    }
  }
  // The sort that groups, or that makes rows distinct, may already give the ORDER BY's
  // order: all ascending, without NOCASE, the GROUP BY's columns or the result's in
  // order. Not for a query followed by a UNION (the merge decides its order).
  query.OrderByImplied = false;
  if (!query.HasOrderBy || query.HasUnion || query.OrderByNoCase) return;
  for (const TOrderByField& item : query.OrderByFields) {
    if (item.Descending) return;
  }
  const auto& order = query.OrderByFields;
  if (!query.GroupByFields.empty()) {
    bool same = order.size() == query.GroupByFields.size();
    for (size_t i = 0; same && i < order.size(); ++i) same = order[i].ResultColumn == query.GroupByFields[i].ResultColumn;
    query.OrderByImplied = same;
  } else if (query.Distinct) {
    bool leading = true;
    for (size_t i = 0; leading && i < order.size(); ++i) leading = order[i].ResultColumn == static_cast<int16_t>(i + 1);
    query.OrderByImplied = leading;
  }
}

int OrderByIndex(const TDataQuery& query) {
  if (!query.HasOrderBy || query.OrderByFields.empty()) return -1;
  if (query.Distinct || query.SourceTables.size() != 1 || query.SeveralSources || query.Grouped || query.HasHaving ||
      !query.IntoTableName.empty()) {
    return -1;
  }
  const TSourceTable& source = *query.SourceTables.front();
  std::vector<uint16_t> fields;
  std::vector<bool> descending;
  bool allDescending = true;
  bool strings = false;
  bool expression = false;
  for (const TOrderByField& item : query.OrderByFields) {
    const TResultField& column = OrderByColumn(query, item);
    if (column.IsExpression || column.AggregateKind != TAggregateKind::None) expression = true;
    fields.push_back(static_cast<uint16_t>(column.SourceFieldNo));
    descending.push_back(item.Descending);
    allDescending = allDescending && item.Descending;
    strings = strings || column.SourceType == TFieldType::String;
  }
  if (expression || !source.Cursor || !source.Cursor->Active()) return -1;
  const TTableDefinition definition = source.Cursor->TableDefinition();
  if (definition.PrimaryIndex &&
      Serves(*definition.PrimaryIndex, fields, descending, allDescending, strings, query.OrderByNoCase)) {
    return kPrimaryIndex;
  }
  for (size_t i = 0; i < definition.SecondaryIndexes.size(); ++i) {
    if (Serves(definition.SecondaryIndexes[i], fields, descending, allDescending, strings, query.OrderByNoCase)) {
      return static_cast<int>(i + 1);
    }
  }
  return -1;
}

bool IsLiveResult(const TDataQuery& query) {
  if (!query.RequestLive || !query.IntoTableName.empty() || query.IntoMemory) return false;
  if (query.Distinct || query.SourceTables.size() != 1 || query.SeveralSources || query.Grouped || query.HasHaving) {
    return false;
  }
  if (query.HasOrderBy && !query.OrderByIndexed) return false;
  if (query.HasComputedBlobColumn || query.TopCount >= 0) return false;
  const TQueryStatement& statement = query.Statement();
  const bool master = &statement.MasterQuery() == &query;
  const bool alone = master && statement.Queries().size() == 1;
  if (!alone && (master || query.HasUnion)) return false;
  return !query.IsSubSelect || !query.HasComputedColumn;
}

void OpenQuerySources(TDataQuery& query, bool requestLive) {
  for (size_t i = 0; i < query.SourceTables.size(); ++i) {
    TSourceTable& source = *query.SourceTables[i];
    source.Ordinal = static_cast<int16_t>(i + 1);
    source.OpenSource(requestLive);
    if (i == 0) {
      query.LocaleId = query.Options.LocaleId.value_or(source.Cursor->LocaleId());
      query.SortId = query.Options.LocaleId ? query.Options.SortId.value_or(0) : source.Cursor->SortId();
    }
  }
}

void OpenFunctionSources(TDataQuery& query) {
  query.FunctionSources.clear();
  for (const std::string& name : query.FunctionTables) {
    auto source = std::make_unique<TSourceTable>(query);
    source->SetSourceName(name);
    source->OpenSource(false);
    query.FunctionSources.push_back(std::move(source));
  }
}

void PrepareSelect(TDataQuery& query) {
  if (query.Distinct && query.Grouped) query.Distinct = false;
  OpenQuerySources(query, query.RequestLive);
  ResolveSelectList(query);
  OpenFunctionSources(query);
  if (query.GroupByFields.empty() && query.HasHaving) RaiseSqlError(sqlmsg::kHavingWithoutGroupBy);
  query.SingleCount = query.SourceTables.size() == 1 && query.ResultFields.size() == 1 &&
                      query.ResultFields.front()->CountStar;
  query.OrderByIndex = query.RequestLive ? OrderByIndex(query) : -1;
  query.OrderByIndexed = query.OrderByIndex >= 0;
  query.LiveResult = IsLiveResult(query);
  // A canned result is filled in the sources' record order: its ORDER BY needs its sort.
  if (!query.LiveResult) query.OrderByIndexed = false;
  if (query.HasWhere && query.WhereCondition) {
    BindQueryCondition(query, query.WhereCondition.get(), sqlmsg::kContextWhere);
  }
  if (query.LiveResult) {
    SingleSourceJoinOrder(query);
    if (query.HasWhere) ExtractJoinConditions(query);
    SetUpLiveResult(query);
    return;
  }
  BuildJoinLinks(query);
  if (query.HasWhere) ExtractJoinConditions(query);
  ResolveResultOrder(query);
  if (query.HasHaving) ResolveHaving(query);
  CreateResultTable(query);
}

}  // namespace kura
