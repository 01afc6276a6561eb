#pragma once

// A fixed list of typed columns that the expression binder resolves names against, the
// way a cursor serves its table's fields:
//
//   const TColumnTable columns({{"MNB", {TFieldType::Integer, TFieldSubType::None, 4, 0}}});
//   TBindContext context;
//   columns.ServeTo(context);
//
// A name matches without regard to case; a bound column's FieldNo is its position in
// the list (from 0) and its type is the listed one. With a correlation name, a column
// qualified by any other name is unknown; without one, the qualifier is not looked at.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kura/expr/exp_token.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_type_rules.h"

namespace testing_support {

struct TTestColumn {
  const char* Name;
  kura::TExpType Type;
};

class TColumnTable {
public:
  explicit TColumnTable(std::vector<TTestColumn> columns, std::string correlationName = {});

  // The binder's column callback; `data` is the TColumnTable.
  static bool Resolve(void* data, kura::TExpToken& node);
  // Points the context's column callback and its data at this table.
  void ServeTo(kura::TBindContext& context) const;
  // The callback data for the binder overloads that take it apart.
  void* ResolveData() const { return const_cast<TColumnTable*>(this); }

  // The position of the column called `name` (case ignored), -1 when there is none.
  int IndexOf(std::string_view name) const;
  const std::vector<TTestColumn>& Columns() const { return FColumns; }
  const TTestColumn& operator[](size_t index) const { return FColumns[index]; }
  size_t size() const { return FColumns.size(); }

private:
  std::vector<TTestColumn> FColumns;
  std::string FCorrelationName;
};

}  // namespace testing_support
