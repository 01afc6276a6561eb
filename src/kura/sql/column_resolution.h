#pragma once

// Column resolution: the one rule by which every clause of a query finds the source
// table and field that a written name (correlation name T, column name C) means.
//   - T given: the source table whose correlation name is T (any letter case); with C
//     empty or "*" that table itself, otherwise its field named C.
//   - T empty, C a name: the first source table, in FROM order, that has a field C (a
//     name in several tables is the first one's, without error).
//   - T empty, C empty or "*": the first source table.
// Callers raise their own message when nothing resolves.

#include <optional>
#include <string_view>

#include "kura/expr/exp_token.h"
#include "kura/storage/field_definition.h"

namespace kura {

class TDataQuery;
struct TSourceTable;

// The source table named by a correlation name, or the first source table for an empty
// name; null when there is none.
TSourceTable* FindSourceTable(const TDataQuery& query, std::string_view correlationName);

struct TColumnReference {
  TSourceTable* Table = nullptr;
  const TFieldDefinition* Field = nullptr;  // null: the table itself (C empty or "*")
};

// Resolves (T, C) against the query's sources; fields are looked up on the open source
// cursors (a closed source has none). Empty when nothing resolves.
std::optional<TColumnReference> ResolveColumnReference(const TDataQuery& query, std::string_view correlationName,
                                                       std::string_view columnName);

// The binder's column lookup over a query's open sources (`data` is the TDataQuery):
// binds a column node to its source (SourceTable, SourceNo = the source's position in
// the query, FieldNo) and gives it the field's type; false for a name that does not
// resolve to a field.
bool ResolveQueryColumn(void* data, TExpToken& node);

// Binds a condition of the query (WHERE, ON, a part of either) in place against its
// sources, IN (SELECT ...) operands described by their sub-queries (which are prepared
// before the query that uses them), and requires a boolean result: "WHERE or JOIN
// clause must be a boolean expression". Binding again is how new parameter values take
// effect. `contextText` ends the binder's messages ("WHERE clause", "JOIN clause").
void BindQueryCondition(TDataQuery& query, TExpToken* root, std::string_view contextText);

}  // namespace kura
