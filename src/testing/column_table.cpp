#include "testing/column_table.h"

#include <strings.h>

#include <utility>

namespace testing_support {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

TColumnTable::TColumnTable(std::vector<TTestColumn> columns, std::string correlationName)
    : FColumns(std::move(columns)), FCorrelationName(std::move(correlationName)) {}

bool TColumnTable::Resolve(void* data, kura::TExpToken& node) {
  const auto& table = *static_cast<const TColumnTable*>(data);
  if (!table.FCorrelationName.empty() && !node.TableName.empty() &&
      !SameName(node.TableName, table.FCorrelationName)) {
    return false;
  }
  const int index = table.IndexOf(node.ColumnName);
  if (index < 0) return false;
  const kura::TExpType& type = table.FColumns[static_cast<size_t>(index)].Type;
  node.IsBound = 1;
  node.FieldNo = index;
  node.DataType = type.DataType;
  node.SubType = type.SubType;
  node.DataLength = type.DataLength;
  node.DataScale = type.DataScale;
  return true;
}

void TColumnTable::ServeTo(kura::TBindContext& context) const {
  context.ResolveColumn = Resolve;
  context.ResolveData = ResolveData();
}

int TColumnTable::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < FColumns.size(); ++i) {
    if (SameName(FColumns[i].Name, name)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace testing_support
