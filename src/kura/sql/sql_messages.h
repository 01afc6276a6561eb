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
// Execute before a successful Prepare (or after a script statement failed to parse).
inline constexpr std::string_view kNotPrepared = "No SQL statement has been prepared";
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

// ---- INSERT, UPDATE and DELETE (data_statements.cpp) ----
// kInvalidSourceColumnPrefix + C + "'" + kInvalidSourceColumnMiddle + "'" + T + "'" + suffix
inline constexpr std::string_view kTableColumnsSuffix = " specified in table columns";
inline constexpr std::string_view kValueCountMismatch = "The number of values must match the number of table columns";
inline constexpr std::string_view kContextUpdateValues = "update values";
inline constexpr std::string_view kContextInsertValues = "insert values";
// + value text + "'" + " in update values"
inline constexpr std::string_view kTemporalValueExpected = "Date, time, or timestamp expression expected, instead found '";
// prefix + "column" + " " + "'" + column + "'" + " and " + kind + " " + "'" + value text + "'" + " in update values"
inline constexpr std::string_view kTypeMismatchBetween = "Type mismatch between ";
inline constexpr std::string_view kInUpdateValues = " in update values";
// At execution: prefix + column + middle + value text + " in INSERT statement" (or UPDATE)
inline constexpr std::string_view kValueMismatchPrefix = "Type mismatch between column ";
inline constexpr std::string_view kValueMismatchMiddle = " and constant value ";

// ---- transactions ----
// + database name + "'"
inline constexpr std::string_view kTransactionInProgress = "Transaction already in progress for database '";
inline constexpr std::string_view kTransactionNotInProgress = "Transaction not in progress for database '";

// ---- SELECT, INSERT, UPDATE, DELETE (statement_parser.cpp) ----
inline constexpr std::string_view kAggregatesNested = "Aggregate functions cannot be nested";
inline constexpr std::string_view kAggregatesInExpression = "Aggregate functions cannot be used within expressions";
inline constexpr std::string_view kAliasAfterAs = "Symbol or string expected after AS keyword, instead found '";
inline constexpr std::string_view kAliasAfterCorrelation =
    "Symbol or string expected after table correlation name, instead found '";
inline constexpr std::string_view kIntoOnlyMaster = "The INTO clause can only be used with the master query";
inline constexpr std::string_view kIntoNameExpected = "Result table name expected in INTO clause, instead found '";
inline constexpr std::string_view kFromExpected = "FROM keyword expected, instead found '";
inline constexpr std::string_view kFromTableExpected = "Table name expected after FROM keyword, instead found '";
// "Duplicate table correlation name '" + name + "'" + kDuplicateCorrelationSuffix
inline constexpr std::string_view kDuplicateCorrelationPrefix = "Duplicate table correlation name '";
inline constexpr std::string_view kDuplicateCorrelationSuffix = " found in source tables";
inline constexpr std::string_view kJoinAfterInner = "JOIN keyword expected after INNER keyword, instead found '";
inline constexpr std::string_view kJoinAfterLeft = "JOIN keyword expected after LEFT or OUTER keyword, instead found '";
inline constexpr std::string_view kJoinAfterRight =
    "JOIN keyword expected after RIGHT or OUTER keyword, instead found '";
inline constexpr std::string_view kJoinTableExpected = "Table name expected after JOIN keyword, instead found '";
inline constexpr std::string_view kOnExpected = "ON keyword expected in JOIN clause, instead found '";
inline constexpr std::string_view kFullJoinUnsupported =
    "Full outer joins are currently not supported in SQL SELECT statements";
inline constexpr std::string_view kMismatchedJoinParentheses = "Mismatched join parentheses";
inline constexpr std::string_view kByAfterGroup = "BY keyword expected after GROUP keyword, instead found '";
inline constexpr std::string_view kGroupByItemExpected =
    "Column name or column number expected in GROUP BY clause, instead found '";
inline constexpr std::string_view kByAfterOrder = "BY keyword expected after ORDER keyword, instead found '";
inline constexpr std::string_view kOrderByItemExpected =
    "Column name or column number expected in ORDER BY clause, instead found '";
inline constexpr std::string_view kTopInteger = "Integer value expected after TOP keyword, instead found '";
inline constexpr std::string_view kLocksAfterWith = "LOCKS keyword expected after WITH keyword, instead found '";
// "Invalid language constant '" + name + "'" + " specified after LANGUAGE keyword"
inline constexpr std::string_view kInvalidLanguagePrefix = "Invalid language constant '";
inline constexpr std::string_view kInvalidLanguageSuffix = " specified after LANGUAGE keyword";
inline constexpr std::string_view kInvalidSortPrefix = "Invalid sort constant '";
inline constexpr std::string_view kInvalidSortSuffix = " specified after SORT keyword";
inline constexpr std::string_view kWithAfterEncrypted = "WITH keyword expected after ENCRYPTED keyword, instead found '";
inline constexpr std::string_view kPasswordExpected = "Password expected after ENCRYPTED WITH keywords, instead found '";
inline constexpr std::string_view kSelectRightParenthesis =
    "Right parentheses expected after SELECT statement, instead found '";
inline constexpr std::string_view kOrderByInUnion = "You cannot use an ORDER BY clause within a UNIONed query";
inline constexpr std::string_view kIntoExpected = "INTO keyword expected, instead found '";
inline constexpr std::string_view kInsertTableAfterInto = "Table name expected after INTO clause, instead found '";
inline constexpr std::string_view kInsertTableAfterIntoKeyword =
    "Table name expected after INTO keyword, instead found '";
inline constexpr std::string_view kColumnListRightParenthesis =
    "Right parentheses expected after list of table columns, instead found '";
inline constexpr std::string_view kValuesLeftParenthesis =
    "Left parentheses expected after VALUES keyword, instead found '";
inline constexpr std::string_view kValuesRightParenthesis =
    "Right parentheses expected after list of values, instead found '";
// Two blanks before "keyword", as callers have always seen it.
inline constexpr std::string_view kValuesOrSelectExpected = "VALUES or SELECT  keyword expected, instead found '";
inline constexpr std::string_view kUpdateTableExpected = "Table name expected, instead found '";
inline constexpr std::string_view kSetExpected = "SET keyword expected, instead found '";
inline constexpr std::string_view kAssignmentExpected =
    "Assignment (=) operator expected after column name, instead found '";
inline constexpr std::string_view kUpdateFromMismatch =
    "The first source table specified in FROM clause must match the table being updated in the UPDATE statement";
inline constexpr std::string_view kIntervalInteger = "Integer value expected after INTERVAL keyword, instead found '";
inline constexpr std::string_view kCommitOptionsExpected =
    "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '";

// ---- SELECT preparation: result columns (result_columns.cpp) ----
// "Column expression '" + column text + "'" + kColumnTooLargeSuffix
inline constexpr std::string_view kColumnTooLargePrefix = "Column expression '";
inline constexpr std::string_view kColumnTooLargeSuffix = " exceeds the maximum allowable field size";
inline constexpr std::string_view kColumnNullConstant =
    "Column expression cannot be a NULL constant, use the CAST() function to specify a data type";
// "Invalid use of column correlation name '" + alias + "'" + kStarAliasSuffix
inline constexpr std::string_view kStarAliasPrefix = "Invalid use of column correlation name '";
inline constexpr std::string_view kStarAliasSuffix = " for '*' specified in source columns";
// "Invalid column name '" + C + "'" + middle + "'" + T + "'" + suffix
inline constexpr std::string_view kInvalidSourceColumnPrefix = "Invalid column name '";
inline constexpr std::string_view kInvalidSourceColumnMiddle = " or table correlation name ";
inline constexpr std::string_view kInvalidSourceColumnSuffix = " specified in source columns";
inline constexpr std::string_view kTooManyResultColumns = "Maximum number of columns (1024) in result set exceeded";
inline constexpr std::string_view kGroupByMissing =
    "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing";
inline constexpr std::string_view kHavingWithoutGroupBy = "A GROUP BY clause must exist in order to use the HAVING clause";
// ORDER BY, GROUP BY and DISTINCT over the result columns; clause is "ORDER BY",
// "GROUP BY" or "DISTINCT":
//   "Invalid column number '" + n + "'" + " specified in " + clause + " clause"
//   "Invalid column name '" + C + "'" + " or table correlation name " + "'" + T + "'"
//     + " specified in " + clause + " clause"
//   "Invalid BLOB column '" + name + "'" + " specified in " + clause + " clause"
//   "Maximum number of columns (1024) in " + clause + " clause exceeded"
inline constexpr std::string_view kInvalidColumnNumberPrefix = "Invalid column number '";
inline constexpr std::string_view kInvalidBlobColumnPrefix = "Invalid BLOB column '";
inline constexpr std::string_view kSpecifiedIn = " specified in ";
inline constexpr std::string_view kClauseSuffix = " clause";
inline constexpr std::string_view kMaxColumnsInPrefix = "Maximum number of columns (1024) in ";
inline constexpr std::string_view kMaxColumnsInSuffix = " clause exceeded";
// prefix + "UNION" or "UNION ALL" + suffix (two double blanks, as callers know them)
inline constexpr std::string_view kUnionColumnCountPrefix = "The number of columns  in the ";
inline constexpr std::string_view kUnionColumnCountSuffix = " query must match the  number of columns in the master query";
// prefix + other column text + "'" + " in the " + kind + middle + "'" + own column text + "'" + suffix
inline constexpr std::string_view kUnionTypeMismatchPrefix = "Type mismatch between column expression '";
inline constexpr std::string_view kUnionTypeMismatchMiddle = " query and column expression ";
inline constexpr std::string_view kUnionTypeMismatchSuffix = " in the master query";

// ---- running a SELECT (join links, filter placement, row production) ----
inline constexpr std::string_view kJoinMultipleCorrelations =
    "The join condition cannot contain multiple table correlation names in either the left or right operand in WHERE "
    "or JOIN clause";
inline constexpr std::string_view kJoinValidateError =
    "Internal join error attempting to validate table correlation names involved in join";
inline constexpr std::string_view kJoinCombineError = "Internal join error attempting to combine join expressions";
// kJoinErrorPrefix + "JOIN clause expression for table \"" + name + "\" is invalid", and
// kJoinCorrelationPrefix + name + "\"" + one of the three suffixes after it
inline constexpr std::string_view kJoinClauseInvalidPrefix = "Internal join error - JOIN clause expression for table \"";
inline constexpr std::string_view kJoinClauseInvalidSuffix = "\" is invalid";
inline constexpr std::string_view kJoinCorrelationPrefix = "Internal join error - table correlation name \"";
inline constexpr std::string_view kJoinDriverInvalidSuffix = "\" in JOIN clause expression is invalid";
inline constexpr std::string_view kJoinMultipleTargetSuffix =
    "\" is target of multiple join conditions in WHERE or JOIN clause";
inline constexpr std::string_view kJoinRightOuterTargetSuffix = "\" cannot be the target of a RIGHT OUTER JOIN";
inline constexpr std::string_view kJoinOptimizationError = "Internal join optimization error";
inline constexpr std::string_view kTableFilterError = "Internal table filter error";
// kWhereCorrelationPrefix + name + "'" + kWhereCorrelationSuffix
inline constexpr std::string_view kWhereCorrelationPrefix = "Table correlation name '";
inline constexpr std::string_view kWhereCorrelationSuffix = " referenced in WHERE clause is not defined in the FROM clause";
inline constexpr std::string_view kWhereNotBoolean = "WHERE or JOIN clause must be a boolean expression";
inline constexpr std::string_view kIllegalFunctionTables = "Illegal use of LASTAUTOINC() or IDENT_CURRENT() functions";
inline constexpr std::string_view kHavingExpressionNotFound = "Expression in HAVING clause not found in source columns";
inline constexpr std::string_view kHavingNotBoolean = "HAVING clause must be a boolean expression";

// ---- definition statements (definition_parser.cpp, definition_statements.cpp) ----
// CREATE TABLE and CREATE INDEX
inline constexpr std::string_view kNotAfterIf = "NOT keyword expected after IF keyword, instead found '";
inline constexpr std::string_view kExistsAfterNot = "EXISTS keyword expected after NOT keyword, instead found '";
inline constexpr std::string_view kTableNameAfterCreateTable =
    "Table name expected after CREATE TABLE keywords, instead found '";
inline constexpr std::string_view kLeftParenBeforeColumns =
    "Left parentheses expected before list of table columns, instead found '";
inline constexpr std::string_view kRightParenAfterCreateTable =
    "Right parentheses expected after CREATE TABLE statement, instead found '";
inline constexpr std::string_view kIndexExpected = "INDEX keyword expected, instead found '";
inline constexpr std::string_view kIndexNameAfterIndex = "Index name expected after INDEX keyword, instead found '";
inline constexpr std::string_view kOnAfterIndexName = "ON keyword expected after index name, instead found '";
inline constexpr std::string_view kTableNameAfterOn = "Table name expected after ON keyword, instead found '";
// Column definitions
inline constexpr std::string_view kNullAfterNot = "NULL keyword expected after NOT keyword, instead found '";
inline constexpr std::string_view kCharCaseExpected =
    "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '";
inline constexpr std::string_view kDefaultExpected = "Default expression expected after DEFAULT keyword, instead found '";
inline constexpr std::string_view kMinimumExpected =
    "Minimum expression expected after MIN or MINIMUM keyword, instead found '";
inline constexpr std::string_view kMaximumExpected =
    "Maximum expression expected after MAX or MAXIMUM keyword, instead found '";
// Primary keys and index columns
inline constexpr std::string_view kPrimaryExpected = "PRIMARY keyword expected, instead found '";
inline constexpr std::string_view kKeyAfterPrimary = "KEY keyword expected after PRIMARY keyword, instead found '";
inline constexpr std::string_view kLeftParenExpected = "Left parentheses expected, instead found '";
inline constexpr std::string_view kRightParenExpected = "Right parentheses expected, instead found '";
inline constexpr std::string_view kCompressionExpected =
    "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '";
inline constexpr std::string_view kContextIndexColumn = "index column";
inline constexpr std::string_view kEmptyIndexColumn = "Index column name is empty";
// kCorrelationInIndexPrefix + name + "'" + kCorrelationInIndexSuffix
inline constexpr std::string_view kCorrelationInIndexPrefix = "Invalid use of table correlation name '";
inline constexpr std::string_view kCorrelationInIndexSuffix = " specified in indexed columns";
// Table options
inline constexpr std::string_view kIndexAfterText = "INDEX keyword expected after TEXT keyword, instead found '";
inline constexpr std::string_view kLeftParenAfterTextIndex =
    "Left parentheses expected after TEXTINDEX keyword, instead found '";
inline constexpr std::string_view kRightParenAfterTextIndex =
    "Right parentheses expected after TEXT INDEX clause, instead found '";
inline constexpr std::string_view kWordsAfterStop = "WORDS keyword expected after STOP keyword, instead found '";
inline constexpr std::string_view kCharsAfterSpace = "CHARS keyword expected after SPACE keyword, instead found '";
inline constexpr std::string_view kCharsAfterInclude = "CHARS keyword expected after INCLUDE keyword, instead found '";
inline constexpr std::string_view kBlockAfterBlob = "BLOCK keyword expected after BLOB keyword, instead found '";
inline constexpr std::string_view kSizeAfterBlock = "SIZE keyword expected after BLOCK keyword, instead found '";
inline constexpr std::string_view kIntegerAfterSize = "Integer value expected after SIZE keyword, instead found '";
inline constexpr std::string_view kMajorOrMinorExpected =
    "MAJOR or MINOR keyword expected after USER keyword, instead found '";
inline constexpr std::string_view kVersionAfterMajor = "VERSION keyword expected after MAJOR keyword, instead found '";
inline constexpr std::string_view kVersionAfterMinor = "VERSION keyword expected after MINOR keyword, instead found '";
inline constexpr std::string_view kIntegerAfterVersion = "Integer value expected after VERSION keyword, instead found '";
inline constexpr std::string_view kAutoIncAfterLast = "AUTOINC keyword expected after LAST keyword, instead found '";
inline constexpr std::string_view kContextStopWords = "stop words";
inline constexpr std::string_view kEmptyStopWords = "Stop words are empty";
inline constexpr std::string_view kContextCharacterSet = "character set";
inline constexpr std::string_view kEmptyCharacterSet = "Character set is empty";
inline constexpr std::string_view kContextNextAutoInc = "next auto-increment number";
inline constexpr std::string_view kEmptyNextAutoInc = "Next auto-increment number is empty";
// + the value as written + "'"
inline constexpr std::string_view kIntegerConstantAfterAutoInc =
    "Integer constant expected after AUTOINC keyword, instead found '";
// ALTER TABLE
inline constexpr std::string_view kTableNameAfterAlterTable =
    "Table name expected after ALTER TABLE keywords, instead found '";
inline constexpr std::string_view kIntegerAfterAt = "Integer value expected after AT keyword, instead found '";
// DROP TABLE and DROP INDEX
inline constexpr std::string_view kExistsAfterIf = "EXISTS keyword expected after IF keyword, instead found '";
inline constexpr std::string_view kTableNameAfterDropTable =
    "Table name expected after DROP TABLE keywords, instead found '";
inline constexpr std::string_view kTableNameAfterDropIndex =
    "Table name expected after DROP INDEX keywords, instead found '";
inline constexpr std::string_view kContextIndexName = "index name expression";
inline constexpr std::string_view kEmptyIndexName = "Index name expression is empty";
// Execution: kInvalidIndexFieldPrefix + name + "'" + kInvalidIndexFieldSuffix + "'" +
// index name + "'" (kInvalidTextIndexFieldSuffix for the text index)
inline constexpr std::string_view kInvalidIndexFieldPrefix = "Invalid field name '";
inline constexpr std::string_view kInvalidIndexFieldSuffix = " specified for index ";
inline constexpr std::string_view kInvalidTextIndexFieldSuffix = " specified for text index";
// kColumnNotFoundPrefix + name + kColumnNotFoundSuffix
inline constexpr std::string_view kColumnNotFoundPrefix = "Column ";
inline constexpr std::string_view kColumnNotFoundSuffix = " not found";
inline constexpr std::string_view kPrimaryKeyAddExisting = "Cannot REDEFINE the primary key using the ADD keyword";

}  // namespace sqlmsg
}  // namespace kura
