#pragma once

// Every message of the SQL layer, in one table, and the one helper that raises them.
// All are raised as EKuraEngineError KURA_SQLPARSE with the message as the extra text
// (the error layer composes "SQL error - " + message). A message ending in
// "instead found '" is completed by TSqlReader::RaiseExpected with the current token's
// text and "'". Texts are byte for byte what callers and tests compare; change none.

#include <string>
#include <string_view>

namespace kura {

// Raises KURA_SQLPARSE with `message` cut to 255 characters.
[[noreturn]] void RaiseSqlError(std::string_view message);

namespace sqlmsg {

// ---- statements, scripts and parameters ----
inline constexpr std::string_view kStatementKeywordExpected =
    "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '";
inline constexpr std::string_view kSelectKeywordExpected = "SELECT keyword expected, instead found '";
inline constexpr std::string_view kCreateWhatExpected =
    "TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, instead found '";
inline constexpr std::string_view kAlterTableExpected = "TABLE keyword expected, instead found '";
inline constexpr std::string_view kDropWhatExpected = "TABLE or INDEX keyword expected, instead found '";
inline constexpr std::string_view kTransactionExpected = "TRANSACTION keyword expected, instead found '";
// "End of " + kind name + kEndOfStatementSuffix + token + "'"
inline constexpr std::string_view kEndOfStatementPrefix = "End of ";
inline constexpr std::string_view kEndOfStatementSuffix = " statement expected, instead found '";
// Data statements whose execution the engine does not offer yet: kind name + this.
inline constexpr std::string_view kNotSupportedYet = " statements cannot be executed yet";

// ---- expression contexts and their empty-expression messages ----
inline constexpr std::string_view kContextSourceColumn = "source column expression";
inline constexpr std::string_view kEmptySourceColumn = "Source column expression is empty";
inline constexpr std::string_view kContextWhere = "WHERE clause";
inline constexpr std::string_view kEmptyWhere = "WHERE clause is empty";
inline constexpr std::string_view kContextJoin = "JOIN clause";
inline constexpr std::string_view kEmptyJoin = "JOIN clause is empty";
inline constexpr std::string_view kContextHaving = "HAVING clause";
inline constexpr std::string_view kEmptyHaving = "HAVING clause is empty";
inline constexpr std::string_view kContextTableColumn = "table column";
inline constexpr std::string_view kEmptyTableColumn = "Table column name is empty";
inline constexpr std::string_view kContextValue = "value expression";
inline constexpr std::string_view kEmptyValue = "Value expression is empty";

// ---- transactions ----
// + database name + "'"
inline constexpr std::string_view kTransactionInProgress = "Transaction already in progress for database '";
inline constexpr std::string_view kTransactionNotInProgress = "Transaction not in progress for database '";

// ---- SELECT, INSERT, UPDATE, DELETE (statement_parser.cpp) ----

// ---- definition statements (definition_parser.cpp, definition_statements.cpp) ----

}  // namespace sqlmsg
}  // namespace kura
