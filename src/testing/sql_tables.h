#pragma once

// Table contents for the SQL engine's tests: rows written through a cursor from texts,
// and results read back as texts.

#include <optional>
#include <string>
#include <vector>

namespace kura {
class TDataCursor;
class TDataDirectory;
}  // namespace kura

namespace testing_support {

// One value per field in field order; nullopt is NULL. Texts are UTF-8 (converted to
// the table's code page); numbers as written ("12", "-3.5"); booleans "true"/"false";
// a memo's content as text. The auto-increment field takes its own value (give
// nullopt).
using TTextRow = std::vector<std::optional<std::string>>;

// Appends the rows to the table `name` of `directory` (opened shared for the call).
void AppendRows(kura::TDataDirectory& directory, const std::string& name, const std::vector<TTextRow>& rows);

// Every row of a result from its first: the column texts as the SQL shell shows them
// (UTF-8), joined by "|", NULL as "NULL".
std::vector<std::string> ResultRows(kura::TDataCursor& cursor);
// The result's column names joined by "|".
std::string ResultColumns(kura::TDataCursor& cursor);

}  // namespace testing_support
