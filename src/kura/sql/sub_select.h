#pragma once

// IN (SELECT ...) and NOT IN (SELECT ...): the sub-query runs with the statement (its
// query is executed before the query that uses it); its first column's values are
// gathered once per execution and the tested value is looked up among them with the
// expression language's = (so NULL matches a NULL row, texts compare by the language).

#include <cstdint>

#include "kura/expr/exp_token.h"
#include "kura/expr/expression_binder.h"

namespace kura {

class TDataQuery;

// The binder's description of a sub-select operand: the sub-query's column count and
// its first column's name and type (`data` is the query whose tree is bound).
void DescribeSubSelect(void* data, TExpToken& node, TSubSelectColumns& columns);

// A TSubSelectContains callback; `data` is the TDataQuery whose tree is evaluated.
bool SubSelectContains(void* data, const uint8_t* record, const TExpToken& subSelect, const TExpToken& value);

}  // namespace kura
