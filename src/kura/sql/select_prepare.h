#pragma once

// Preparing a SELECT: what is decided before any row is read.

#include <cstddef>
#include <optional>
#include <string>

namespace kura {

class TDataQuery;

// Prepares a parsed SELECT, in this order: DISTINCT is dropped when the query is
// grouped; the sources are opened (writable when the query asks for a live result) and
// numbered in FROM order, the query taking the language and sort order of the first
// unless LANGUAGE or SORT was written; the select list is resolved (ResolveSelectList);
// the tables of LASTAUTOINC() and IDENT_CURRENT() are opened read-only; HAVING without
// GROUP BY is refused; a query over one table whose only column is COUNT(*) is marked
// single-count; when a live result is asked for, the index that serves the ORDER BY is
// looked for; then the result is decided live or canned (see IsLiveResult), and a canned
// result's ORDER BY, GROUP BY and DISTINCT are resolved (ResolveResultOrder) and its
// result table made (CreateResultTable). Raises
// KURA_SQLPARSE for the statement's faults and the tables' engine errors.
void PrepareSelect(TDataQuery& query);

// Opens the query's sources in FROM order (writable with requestLive), numbering them
// 1, 2, ... again; the query takes the language and sort order of the first unless
// LANGUAGE or SORT was written.
void OpenQuerySources(TDataQuery& query, bool requestLive);
// Opens the tables of LASTAUTOINC() and IDENT_CURRENT() read-only (FunctionSources
// follows FunctionTables).
void OpenFunctionSources(TDataQuery& query);

// The number of the source's index that delivers the rows in the ORDER BY order (0 the
// primary index, 1.. the secondary ones), or -1: the first index, primary first, whose
// leading fields are the ORDER BY's columns in order with the same directions, whose
// own direction is descending exactly when every item is, and whose case-insensitivity
// is NOCASE when a string column is ordered. None for an item on an expression column,
// nor for a query with DISTINCT, several sources, grouping, HAVING or INTO. Items name
// result columns (by number or by name); one that names none raises "Invalid column
// number '...' specified in ORDER BY clause" or "Invalid column name '...' or table
// correlation name '...' specified in ORDER BY clause". The select list must be
// resolved.
int OrderByIndex(const TDataQuery& query);

// The 0-based result column a name means in ORDER BY, GROUP BY and HAVING: with a
// correlation name, a column (not an aggregate) of that table and source column; without,
// the first column that is a non-aggregate of that source column or has that result
// name. Empty when none does.
std::optional<size_t> ResultColumnByName(const TDataQuery& query, const std::string& columnName,
                                         const std::string& correlationName);

// For a canned result: each ORDER BY and GROUP BY item is tied to the result column it
// names (by number, not a BLOB column, or by name as OrderByIndex reads them), DISTINCT
// is checked, and OrderByImplied says whether the grouping or DISTINCT sort already
// gives the ORDER BY's order. At most 1024 items each ("Maximum number of columns
// (1024) in ... clause exceeded"); "Invalid column number/name ... specified in ...
// clause", "Invalid BLOB column '...' specified in GROUP BY (DISTINCT) clause".
void ResolveResultOrder(TDataQuery& query);

// Whether the resolved query's result can be its source's own cursor: a live result is
// asked for; no INTO; no DISTINCT, one source without joins, no grouping or HAVING; no
// ORDER BY, or one an index serves; no computed BLOB column and no TOP; the query is
// the only one of its statement, or neither the master nor followed by a UNION; and a
// sub-select has no computed columns.
bool IsLiveResult(const TDataQuery& query);

}  // namespace kura
