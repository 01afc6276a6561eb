#pragma once

// "kura sql": the engine's SQL shell on a database directory. Statements are read as
// UTF-8, cut at ";" and each prepared and run through TQueryStatement in the engine's
// ANSI code page; results, names and messages are printed as UTF-8. Lines that begin
// with "." between statements are the shell's own commands (.tables, .schema, ...).

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/field_types.h"

namespace kura {
class TDataCursor;
}

namespace kura::tool {

// ---- statements of a script ----

// The complete statements of `text` and what follows the last of them.
struct TStatementSplit {
  // Each without its ";" and the blanks around it; statements that hold nothing but
  // blanks and comments are left out.
  std::vector<std::string> Statements;
  // The text after the last ";" (blanks around it removed): an unfinished statement,
  // or empty when only blanks and whole comments follow.
  std::string Rest;
};

// Cuts text at every ";" that the engine's scanner reads as a symbol: not inside a
// single- or double-quoted string (a doubled quote stands for one and keeps the string
// open), a bracketed name (which ends at the first "]") or a /* */ comment. The scanner
// has no other comments, so "--" is text like any other.
TStatementSplit SplitStatements(std::string_view text);

// ---- results ----

enum class TOutputMode { Table, Csv, Tsv, Json };

// The mode of a .mode argument ("table", "csv", "tsv", "json"); empty for anything else.
std::optional<TOutputMode> OutputModeByName(std::string_view name);

// A SELECT result as UTF-8 texts.
struct TResultColumn {
  std::string Name;
  TFieldType Type = TFieldType::Unknown;
};
struct TResultSet {
  std::vector<TResultColumn> Columns;
  // One text per column; empty (nullopt) for NULL.
  std::vector<std::vector<std::optional<std::string>>> Rows;
};

// Every record of the cursor from its first, values in the texts "kura dump" shows,
// names and strings converted from the cursor's code page.
TResultSet ReadResult(TDataCursor& cursor);

// Prints a result:
//   table  columns aligned, a header row, NULL shown as "NULL", then "(N row(s))";
//   csv    a header line, then the rows; values holding ",", '"' or a line break are
//          quoted with '"' doubled; NULL is empty;
//   tsv    a header line, then the rows; tab, line breaks and "\" escaped as \t, \n,
//          \r and \\; NULL is empty;
//   json   an array of one object per row, members in column order; numbers of
//          numeric columns and booleans bare, NULL as null, everything else a string.
void PrintResult(std::ostream& out, const TResultSet& result, TOutputMode mode);

// ---- the command ----

// "kura sql [--create] DIR [-f FILE | -c TEXT]" with `args` the words after "sql" (the
// code page option already taken by the caller). Runs -c's text, FILE, or `in`: a
// terminal (`interactive`) gets a prompt and line editing and goes on after errors;
// otherwise the first failing statement or command ends the run. 0, or 1 after an
// error (a missing DIR without --create included), 2 for wrong arguments.
int SqlCommand(const std::vector<std::string>& args, std::istream& in, bool interactive, std::ostream& out,
               std::ostream& err);

}  // namespace kura::tool
