#pragma once

// "kura sql": the engine's SQL shell on a database directory. Statements are read as
// UTF-8, cut at ";" and each prepared and run through TQueryStatement in the engine's
// ANSI code page; results, names and messages are printed as UTF-8. Lines that begin
// with "." between statements are the shell's own commands (.tables, .schema, ...).

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/field_types.h"
#include "kura/storage/field_definition.h"

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
// The name .mode takes for the mode.
std::string_view OutputModeName(TOutputMode mode);
// The mode a shell starts in: aligned tables for a person at a terminal, CSV for a
// program reading the output.
TOutputMode DefaultOutputMode(bool outputIsTerminal);

// A SELECT result as UTF-8 texts.
struct TResultColumn {
  std::string Name;
  TFieldType Type = TFieldType::Unknown;
  TFieldSubType SubType = TFieldSubType::None;
};
struct TResultSet {
  std::vector<TResultColumn> Columns;
  // One text per column; empty (nullopt) for NULL.
  std::vector<std::vector<std::optional<std::string>>> Rows;
};

// Every record of the cursor from its first. Names, strings and memos are converted
// from the cursor's code page. Value texts:
//   SmallInt, Integer, Word, LargeInt, AutoInc  every digit ("-9223372036854775808");
//   Float (Money too)  the shortest text that reads back as the same double ("0.1",
//                      "1e+300"); infinities and NaN as the engine writes them ("INF",
//                      "-INF", "NAN");
//   BCD                the exact decimal with the column's places ("1.50");
//   Boolean, Date, Time, Timestamp  the engine's text forms ("True", "2004-02-29",
//                      "10:30", "2004-02-29 10:30:05");
//   memo               its text;
//   other BLOBs        "(BLOB n bytes)", their bytes are not shown;
//   anything else      the engine's conversion to a string.
// A NULL value of any type, an empty BLOB included, is nullopt.
TResultSet ReadResult(TDataCursor& cursor);

// Prints a result:
//   table  columns aligned by display width (a wide character takes two columns), a
//          header row of the names, NULL shown as "NULL", then "(N row(s))";
//   csv    RFC 4180 with LF line ends: a header line, then one line per row; a value
//          holding ",", '"', CR or LF is quoted with '"' doubled; NULL is an empty
//          field and an empty text is "" so that the two differ;
//   tsv    a header line, then the rows; tab, LF, CR and "\" inside a value are
//          written \t, \n, \r and \\; NULL (like an empty text) is empty;
//   json   one object per row on a line of its own, the names as members in column
//          order (JSON Lines): integers, floats and BCDs as bare numbers (a float that
//          is infinite or NaN, or any number without a text, as null), booleans as
//          true/false, NULL as null, everything else (the BLOB marker included) as a
//          string with control characters written \u00XX. An empty result prints
//          nothing.
void PrintResult(std::ostream& out, const TResultSet& result, TOutputMode mode);

// ---- parameters ----

// The values of --param options laid out as TQueryStatement::Execute binds them: one
// definition per value (FieldNo 1, 2, ...) whose Offset points at the value's null-flag
// byte in Values. Memo values point into MemoTexts, so the set is not copied (moving
// it keeps the pointers valid).
struct TParamValues {
  TParamValues() = default;
  TParamValues(const TParamValues&) = delete;
  TParamValues& operator=(const TParamValues&) = delete;
  TParamValues(TParamValues&&) = default;
  TParamValues& operator=(TParamValues&&) = default;

  std::vector<TFieldDefinition> Definitions;
  std::vector<uint8_t> Values;
  std::vector<std::string> MemoTexts;
};

// The parameters of UTF-8 texts, by the form of each text:
//   "NULL" in any letter case  NULL (type Unknown, as the NULL literal; flag 0, no bytes);
//   an optionally signed run of digits  Integer when it fits 32 bits, else LargeInt when
//                          it fits 64 bits (beyond that it is text);
//   an optionally signed decimal with a "." or an exponent ("1.5", "-.5", "2e10")
//                          Float, the nearest double (beyond the double range: text);
//   any other text         String in `codePage` (Size its length, the bytes and a
//                          terminator), or, longer than 250 bytes, a Memo BLOB whose
//                          value is an int32 length and a pointer to the bytes.
// Raises std::invalid_argument when a text holds characters the code page cannot hold.
TParamValues ParamValuesOf(const std::vector<std::string>& texts, uint16_t codePage);

// Text parameters, as .import binds a CSV line: nullopt is NULL (type Unknown), any
// other text a String in `codePage` (a Memo BLOB beyond a string's size). Raises
// std::invalid_argument naming the value ("value 3 holds characters that code page ...
// cannot hold").
TParamValues TextParamValues(const std::vector<std::optional<std::string>>& texts, uint16_t codePage);

// ---- CSV ----

// One record of a CSV file (RFC 4180: values separated by ",", a value that begins with
// '"' runs to the next single '"', in which '""' stands for '"' and line breaks are
// text; records end at LF, CR LF or CR). An empty unquoted value is nullopt (NULL); a
// quoted one ("") is an empty text.
struct TCsvRecord {
  int Line = 0;  // the line the record begins on, 1 for the first
  std::vector<std::optional<std::string>> Fields;
};
// A record that breaks the format; what() says how, Line where the record began.
class TCsvError : public std::runtime_error {
public:
  TCsvError(int line, const std::string& what) : std::runtime_error(what), Line(line) {}
  int Line;
};
// The next record, or nullopt at the end of the input. `line` counts the lines read so
// far (start at 0). Raises TCsvError: a quote inside an unquoted value, text after a
// closing quote, a quoted value left open at the end of the input.
std::optional<TCsvRecord> ReadCsvRecord(std::istream& in, int& line);

// ---- the command ----

// "kura sql [--create] [--param VALUE]... DIR [-f FILE | -c TEXT]" with `args` the words
// after "sql" (the code page option already taken by the caller). Runs -c's text, FILE,
// or `in`: a terminal (`interactive`) gets a prompt and line editing and goes on after
// errors; otherwise the first failing statement or command ends the run. The --param
// values are bound to the placeholders of the first statement run (only that one, as
// the engine binds only a script's first statement), whose placeholders must be as
// many. A transaction that START TRANSACTION began lives across the statements until
// COMMIT or ROLLBACK; one still open when the input ends is rolled back (and said so on
// the error stream). ".import FILE TABLE" appends a CSV file's rows (see Import in the
// source for the transaction it runs in and what a bad line keeps). Results are printed in DefaultOutputMode(outputIsTerminal) until .mode says
// otherwise. 0, or 1 after an error (a missing DIR without --create, a --param value
// the code page cannot hold included), 2 for wrong arguments.
int SqlCommand(const std::vector<std::string>& args, std::istream& in, bool interactive, bool outputIsTerminal,
               std::ostream& out, std::ostream& err);

}  // namespace kura::tool
