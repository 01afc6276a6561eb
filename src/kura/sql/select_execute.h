#pragma once

// Running a prepared SELECT: conditions bound again (so that new parameter values take
// effect), WHERE placed as cursor filters where indexes can serve it, rows produced by a
// nested loop over the join tree, and the result made (the source's own cursor for a
// live result, the filled result table for a canned one).

#include <cstdint>
#include <functional>
#include <string>

namespace kura {

class TDataQuery;

// While a live query is prepared: its single source becomes the result cursor, shown
// through a field map of the result columns (plain columns as the table's fields under
// the result names, expression columns computed) in the order of the index that serves
// the ORDER BY, or in record-number order.
void SetUpLiveResult(TDataQuery& query);

// Runs a prepared SELECT. Every run first drops the filters the previous run placed,
// binds WHERE, the residual conditions and the link conditions again ("WHERE or JOIN
// clause must be a boolean expression") and refreshes the sources. A live result then
// gets the whole WHERE as filters of its cursor; a canned one is emptied and refilled
// by the row loop (with WITH LOCKS under the sources' query read locks), reporting
// progress to the statement's callback, which may stop the loop (the rows made so far
// are the result, no error). Sets query.ResultCursor (on its first row) and Rows.
void ExecuteSelect(TDataQuery& query);

// What the row loop does after a row combination was handed to its visitor: the next
// combination, the first combination of the next driving row (the visitor deleted the
// driving row), or stop (the rows made so far stand).
enum class TRowStep : uint8_t { Next, NextDrivingRow, Stop };
using TRowVisitor = std::function<TRowStep()>;

// The row loop of a prepared UPDATE or DELETE (its join links built, as a canned
// SELECT's): conditions bound and WHERE placed as for a canned SELECT, the join order
// chosen (the first source stays the root), then `visit` is called for every qualifying
// row combination, the sources' record buffers and AtEnd flags holding it and each
// source's cursor standing on its row (the first source is never read by hashing).
// Progress is reported as for a canned SELECT, and its callback may stop the loop.
void RunRowCombinations(TDataQuery& query, const TRowVisitor& visit);

// For tools, after a run: whether the result is live or canned, the join order and
// links, and for each source its filters and how the optimiser served them.
std::string ExplainSelect(const TDataQuery& query);

}  // namespace kura
