#pragma once

// The rows of a canned SELECT: filling result records from the current row
// combination, aggregation with GROUP BY, HAVING and implicit grouping, DISTINCT,
// ORDER BY and TOP through the result table's sort, and the UNION merge.

#include <cstdint>
#include <memory>
#include <vector>

namespace kura {

class TDataQuery;

// For a prepared canned query (its result table open, its HAVING resolved): appends
// the rows that the row loop produces, then puts the result in its final order.
//
// Use, for one execution: construct, Add for every qualifying row combination (until it
// returns false), then Finish. The result table must have been emptied before. The
// constructor prepares the select list's expressions and HAVING for this run (their
// parts without columns, LASTAUTOINC() among them, are computed then).
class TResultRows {
public:
  explicit TResultRows(TDataQuery& query);
  ~TResultRows();
  TResultRows(const TResultRows&) = delete;
  TResultRows& operator=(const TResultRows&) = delete;

  // The current row combination (the sources' record buffers and AtEnd flags): filled
  // into a result record (plain columns copied, BLOBs through the BLOB operations,
  // aggregate columns converted to their per-row values, expression columns evaluated)
  // and appended; for an implicitly grouped query folded into the one group row
  // instead. False, appending nothing, when the row would pass MaxRowCount, or TopCount
  // when TOP limits the loop (no ORDER BY, grouping or DISTINCT): the loop stops.
  bool Add();
  // Rows appended (or folded) so far.
  int64_t RowCount() const;
  // The sorts of the result table this run has made (DISTINCT, grouping, ORDER BY): a
  // grouping or DISTINCT sort that already gives the ORDER BY's order makes the only one.
  int SortCount() const;
  // After the loop: the implicit group row (finalised, appended even when no row came),
  // the DISTINCT or GROUP BY sort (with HAVING and the grouping callbacks), then the
  // ORDER BY sort unless the query heads a UNION or is a member of one; TOP limits the
  // last sort that gives the final order. The implicit group row of no row at all has
  // every column NULL except COUNT(*), which is 0. Leaves the result cursor refreshed,
  // before its first row. BLOB columns take no part in any sort's keys.
  void Finish();
  // A single-count query (one source, COUNT(*) its only column): one row holding
  // `count` (the source's filtered record count), without a row loop; instead of Add
  // and Finish.
  void FinishSingleCount(int32_t count);

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// While a canned query is prepared, after ResolveResultOrder: every aggregate call of
// HAVING is tied to the aggregate result column with the same function and argument
// ("Expression in HAVING clause not found in source columns"), then the tree is bound
// against the result columns and must be boolean ("HAVING clause must be a boolean
// expression"). Names resolve as ORDER BY items do (result names and the source column
// names of plain columns). A column is bound to its field of the result table (counting
// the hidden field after every AVG column), so the table need not exist yet. Resolving
// again changes nothing.
void ResolveHaving(TDataQuery& query);

// After every query of the statement has run: the head of a UNION chain appends the
// rows of every member's result to its own (from the last member backwards, column by
// column), sorts the whole by all columns dropping duplicates unless the chain is
// UNION ALL, runs its ORDER BY sort, and leaves its result on the first row. Nothing for
// a query that heads no UNION.
//
// Precisely: every query of the chain that is followed by a member first lets that
// member take the rows of the chain after it, then appends the member's rows (BLOBs
// through the BLOB operations, NULLs kept, values converted to its own columns' sizes
// and scales) and, unless its own UNION keyword was followed by ALL, drops duplicate
// rows (all columns but BLOBs compared). A member whose result is its source's own
// cursor gives the source's visible records, its columns read as its select list says.
// The head's Rows becomes its result's record count and the merge time is added to its
// ExecutionTime.
void MergeUnion(TDataQuery& head);

}  // namespace kura
