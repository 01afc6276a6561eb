#include "kura/sql/select_prepare.h"

#include <string>

#include "kura/base/names_paths.h"
#include "kura/engine/data_directory.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/select_list.h"
#include "kura/sql/sql_messages.h"

namespace kura {

namespace {

// The result column an ORDER BY item names: by number 1..count, or by name (with a
// correlation name: a column, not an aggregate, of that table; without: the first
// column that is a non-aggregate of that source column or has that result name).
const TResultField& OrderByColumn(const TDataQuery& query, const TOrderByField& item) {
  const auto& columns = query.ResultFields;
  if (item.ColumnName.empty()) {
    if (item.ColumnNumber < 1 || static_cast<size_t>(item.ColumnNumber) > columns.size()) {
      RaiseSqlError(std::string(sqlmsg::kOrderByNumberPrefix) + std::to_string(item.ColumnNumber) + "'" +
                    std::string(sqlmsg::kOrderByNumberSuffix));
    }
    return *columns[static_cast<size_t>(item.ColumnNumber - 1)];
  }
  for (const auto& column : columns) {
    const bool plain = column->AggregateKind == TAggregateKind::None && !column->IsExpression;
    if (!item.CorrelationName.empty()) {
      if (plain && SameText(column->CorrelationName, item.CorrelationName) &&
          SameText(column->SourceColumnName, item.ColumnName)) {
        return *column;
      }
    } else if ((plain && SameText(column->SourceColumnName, item.ColumnName)) ||
               SameText(column->ColumnName, item.ColumnName)) {
      return *column;
    }
  }
  RaiseSqlError(std::string(sqlmsg::kInvalidSourceColumnPrefix) + item.ColumnName + "'" +
                std::string(sqlmsg::kInvalidSourceColumnMiddle) + "'" + item.CorrelationName + "'" +
                std::string(sqlmsg::kOrderByNameSuffix));
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

void PrepareSelect(TDataQuery& query) {
  if (query.Distinct && query.Grouped) query.Distinct = false;
  for (size_t i = 0; i < query.SourceTables.size(); ++i) {
    TSourceTable& source = *query.SourceTables[i];
    source.Ordinal = static_cast<int16_t>(i + 1);
    source.OpenSource(query.RequestLive);
    if (i == 0) {
      query.LocaleId = query.Options.LocaleId.value_or(source.Cursor->LocaleId());
      query.SortId = query.Options.LocaleId ? query.Options.SortId.value_or(0) : source.Cursor->SortId();
    }
  }
  ResolveSelectList(query);
  query.FunctionSources.clear();
  for (const std::string& name : query.FunctionTables) {
    auto source = std::make_unique<TSourceTable>(query);
    source->SetSourceName(name);
    source->OpenSource(false);
    query.FunctionSources.push_back(std::move(source));
  }
  if (query.GroupByFields.empty() && query.HasHaving) RaiseSqlError(sqlmsg::kHavingWithoutGroupBy);
  query.SingleCount = query.SourceTables.size() == 1 && query.ResultFields.size() == 1 &&
                      query.ResultFields.front()->CountStar;
  query.OrderByIndex = query.RequestLive ? OrderByIndex(query) : -1;
  query.OrderByIndexed = query.OrderByIndex >= 0;
  query.LiveResult = IsLiveResult(query);
}

}  // namespace kura
