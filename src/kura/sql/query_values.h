#pragma once

// Expression evaluation over a query's current row combination: column values come
// from the source tables' record buffers, IN (SELECT ...) from the sub-query's rows,
// LASTAUTOINC() and IDENT_CURRENT() from the statement's function tables.

#include <cstdint>

#include "kura/expr/expression_evaluator.h"

namespace kura {

class TDataQuery;

// The context for trees bound with ResolveQueryColumn over `query`'s sources (the query
// must stay alive while the context is used). A column of a source whose loop is at its
// end (AtEnd: the NULL row of an outer join) is NULL; any other column is read from the
// source's RecordBuffer (a memo whole). The language and sort order are the query's.
// Pass nullptr as the record of the evaluation functions; a record image instead is
// read for every column whatever the source's end flag (only for a tree over one table,
// whose image it is: a cursor filter's test).
TEvaluationContext QueryEvaluationContext(TDataQuery& query);

}  // namespace kura
