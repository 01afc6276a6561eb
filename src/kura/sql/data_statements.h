#pragma once

// INSERT, UPDATE and DELETE: preparing their target columns and values, and running
// them inside a transaction.
//
// Preparation (PrepareDataStatement): the sources are opened writable; UPDATE and DELETE
// build their join tree as a canned SELECT does (the changed table, the first source,
// stays its root); INSERT and UPDATE resolve their target columns against the changed
// table (INSERT's "*" stands for every field in field order) and bind their values
// (UPDATE's may read the sources, INSERT ... VALUES' no column), testing a value whose
// type differs from its column's: a text constant for a date, time or timestamp column
// must be such a literal (it then takes the column's type), any other pair must be
// convertible. Messages: "Invalid column name '...' or table correlation name '...'
// specified in table columns" (also for a column of another source than the changed
// table), "The number of values must match the number of table columns", "Date, time,
// or timestamp expression expected, instead found '...' in update values", "Type
// mismatch between column '...' and <kind> '...' in update values" (kind "expression",
// "column", "constant" or "function").
//
// Execution (ExecuteDataStatement):
//   - NOAUTOINC keeps the values given for the auto-increment field for this run.
//   - INSERT ... VALUES appends one record (field defaults first), outside any
//     transaction of its own.
//   - INSERT ... SELECT (the rows of the source query's result, in its order), UPDATE
//     and DELETE (every qualifying row combination of the row loop) run inside a
//     transaction: the one of the database when it is in one, else one the statement
//     opens. After every `interval` changed rows the changes are committed keeping the
//     transaction open; the interval is COMMIT INTERVAL n, or for a transaction the
//     statement opened min(2 * MaxDataBufferSize div record size, MaxDataBufferCount);
//     a transaction begun earlier commits on an interval only when COMMIT INTERVAL was
//     written. The statement's own transaction is committed at the end (FLUSH forces the
//     OS to write, at every commit) and rolled back when anything fails, so that only
//     the rows of the interval commits before the failure stay; inside an earlier
//     transaction nothing is rolled back.
//   - UPDATE evaluates every value on the row combination as read, then locks, changes
//     and re-reads the changed table's row (the change cancelled when it fails); a row
//     met by several consecutive combinations counts once. DELETE deletes the row and
//     goes on with the next row of the changed table.
//   - A value that cannot be converted to its column's type raises "Type mismatch between
//     column C and constant value V in INSERT statement" (or UPDATE statement). Errors
//     of the table operations arrive as their own engine errors.
//   - Rows is the number of rows appended, changed or deleted. Progress goes to the
//     statement's callback, which may stop the run: the rows done so far are committed.

namespace kura {

class TDataQuery;

void PrepareDataStatement(TDataQuery& query);
void ExecuteDataStatement(TDataQuery& query);

// Whether the query reads the table that `insert` (an INSERT) writes: such a source
// must not give a live result, which would show the rows as they are appended.
bool ReadsInsertTarget(const TDataQuery& source, const TDataQuery& insert);

}  // namespace kura
