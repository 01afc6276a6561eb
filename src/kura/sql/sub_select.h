#pragma once

// IN (SELECT ...) and NOT IN (SELECT ...): the sub-query runs with the statement (its
// query is executed before the query that uses it); its first column's values are
// gathered as it runs, once per execution, and the tested value is looked up among them
// with the expression language's = (so NULL matches a NULL row, texts compare by the
// language). Gathered then, the values are those of the tables as the statement found
// them, also where the statement changes the sub-query's table (UPDATE and DELETE) and
// a live sub-query result would show the changes.

#include <cstdint>

#include "kura/expr/exp_token.h"
#include "kura/expr/expression_binder.h"

namespace kura {

class TDataQuery;

// The binder's description of a sub-select operand: the sub-query's column count and
// its first column's name and type (`data` is the query whose tree is bound).
void DescribeSubSelect(void* data, TExpToken& node, TSubSelectColumns& columns);

// Gathers the values of `query`, the sub-select of an IN operand, from its result (run
// just before). A result without a first column gathers nothing: SubSelectContains then
// raises the unserved column.
void GatherSubSelectValues(TDataQuery& query);

// A TSubSelectContains callback; `data` is the TDataQuery whose tree is evaluated.
bool SubSelectContains(void* data, const uint8_t* record, const TExpToken& subSelect, const TExpToken& value);

}  // namespace kura
