#pragma once

// The statement model: one TDataQuery per parsed statement, UNION member or sub-select,
// and one object per clause item. The model is plain data owned by its query: a query
// owns its clause objects, their expression trees and its source tables; pointers
// between objects of one query (a join's target, a result field's source) never own.
//
// Life of a query: reset (ParseStatement clears every clause), parsed, prepared
// (PrepareQuery), executed (ExecuteQuery, repeatable). The grammar of data and
// transaction statements is read in statement_parser.cpp, that of definition statements
// in definition_parser.cpp (definition_statements.cpp runs them); both read the token
// stream of the owning statement's one expression parser (through TSqlReader), so that
// sub-selects and UNION members are parsed re-entrantly on one position.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/field_types.h"
#include "kura/engine/column_reader.h"
#include "kura/engine/data_cursor.h"
#include "kura/expr/exp_token.h"
#include "kura/storage/field_definition.h"
#include "kura/storage/index_key.h"
#include "kura/storage/text_index_words.h"

namespace kura {

class TDataDirectory;
class TDataQuery;
class TFilter;
class TQueryStatement;
class TResultTable;

// The kind of a statement; the values are the codes callers see.
enum class TStatementKind : uint8_t {
  Unknown = 0,
  Select = 1,
  Insert = 2,
  Update = 3,
  Delete = 4,
  CreateTable = 5,
  AlterTable = 6,
  DropTable = 7,
  CreateIndex = 8,
  DropIndex = 9,
  StartTransaction = 10,
  Rollback = 11,
  Commit = 12,
};

// "SELECT", "INSERT", ..., "START TRANSACTION", "ROLLBACK", "COMMIT"; "UNKNOWN" for
// anything else. Messages name statements by these.
std::string_view StatementKindName(TStatementKind kind);

// Definition statements (CREATE, ALTER and DROP of tables and indexes).
constexpr bool IsDefinitionStatement(TStatementKind kind) {
  return kind >= TStatementKind::CreateTable && kind <= TStatementKind::DropIndex;
}
// INSERT, UPDATE and DELETE.
constexpr bool IsDataStatement(TStatementKind kind) {
  return kind >= TStatementKind::Insert && kind <= TStatementKind::Delete;
}
constexpr bool IsTransactionStatement(TStatementKind kind) {
  return kind >= TStatementKind::StartTransaction && kind <= TStatementKind::Commit;
}

enum class TAggregateKind : uint8_t { None = 0, Sum = 1, RunSum = 2, Min = 3, Max = 4, Avg = 5, Count = 6 };

enum class TJoinKind : uint8_t { Inner = 1, LeftOuter = 2, RightOuter = 3 };

// The kind of a join link: Plain links carry no condition (every row of the target for
// every row of the driver); RightOuter links exist only until the link tree is re-rooted
// at their target.
enum class TLinkKind : uint8_t { Plain = 0, Inner = 1, LeftOuter = 2, RightOuter = 3 };

struct TSourceTable;

// One link of a canned query's join tree: for every row of Driver, the rows of Target
// that satisfy Condition (all rows for an empty condition); a LeftOuter link yields one
// row with Target's columns NULL when none does.
struct TJoin {
  TSourceTable* Driver = nullptr;  // not owned
  TSourceTable* Target = nullptr;  // not owned
  TLinkKind Kind = TLinkKind::Plain;
  // Compares columns of Driver (and tables before it) with columns of Target; bound
  // against the query's sources while the query runs.
  TExpTree Condition;
  // The filter that positions Target for the current driving row (installed on Target's
  // cursor while the query runs; owned by that cursor).
  TFilter* Filter = nullptr;
  // When the last run found Target's rows by hashing instead: how ("hash on ...").
  std::string HashProbe;
};

// One item of a select list.
struct TResultField {
  explicit TResultField(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  // Resolved while the query is prepared; null until then and for expressions.
  struct TSourceTable* SourceTable = nullptr;
  std::string SourceColumnName;  // "*" for the all-columns item
  int16_t SourceFieldNo = 0;
  std::string CorrelationName;   // written before the column, "" when none
  // The column of the result; sizes are physical (a string's counts its terminator).
  TFieldType DataType = TFieldType::Unknown;
  TFieldSubType SubType = TFieldSubType::None;
  uint8_t Size = 0;
  uint8_t Scale = 0;
  std::string ColumnName;  // from AS, else derived when the result is made
  bool AutoName = true;    // false once AS (or a bare alias) named the column
  int16_t ResultFieldNo = 0;
  // The column it is taken from.
  TFieldType SourceType = TFieldType::Unknown;
  TFieldSubType SourceSubType = TFieldSubType::None;
  uint8_t SourceSize = 0;
  uint8_t SourceScale = 0;
  bool IsExpression = false;
  TAggregateKind AggregateKind = TAggregateKind::None;
  int16_t AvgCountField = 0;
  bool CountStar = false;
  // The item as written (at most 255 characters), used in messages; empty for an
  // aggregate over a single column.
  std::string ColumnText;
  TExpTree Expression;
};

// An ascending index of a source whose first field is an integer one: it can serve a key
// range instead of a filter (see index_range.h).
struct TRangeIndex {
  int Number = 0;  // as TDataCursor::SetIndexNumber takes it
  std::string Name;
  uint16_t Field = 0;  // the first index field
  bool UniqueOnField = false;  // unique, and that field is its only one
};

// One table named in FROM, JOIN, INSERT INTO, UPDATE, DELETE or a definition statement.
struct TSourceTable {
  explicit TSourceTable(TDataQuery& owner) : Owner(owner) {}
  ~TSourceTable();
  TSourceTable(const TSourceTable&) = delete;
  TSourceTable& operator=(const TSourceTable&) = delete;

  // Takes the table's name as written: path separators normalised; the table name is
  // the file-name part without a trailing ".DAT"; the directory is "Memory" for an
  // in-memory table, the path part when the name has one (without trailing
  // separators), else the statement directory's path. The correlation name follows the
  // table name until SetCorrelationName gives one. Ignored while the cursor is open.
  void SetSourceName(const std::string& name);
  // Ignored while the cursor is open.
  void SetCorrelationName(const std::string& name);
  // Opens the table for the query (nothing when it is open): the directory ("Memory"
  // for an in-memory table, else Directory), a cursor in record-number order
  // (NaturalOrder), shared, read-only unless requestLive, with the statement's password
  // callback; the record buffer gets the table's record size. Raises what opening the
  // cursor raises (KURA_OSENOENT for a missing table, ...); nothing stays open then.
  void OpenSource(bool requestLive);
  // Closes the cursor and the directory opened for it (nothing when closed).
  void CloseSource();

  TDataQuery& Owner;
  // Opened for the source while the query is prepared (directory and cursor, not owned
  // by the model but released by ~TSourceTable).
  TDataDirectory* OpenedDirectory = nullptr;
  std::unique_ptr<TDataCursor> Cursor;
  bool InMemory = false;
  int16_t Ordinal = 0;         // 1-based position in the statement
  std::string Directory;       // "Memory", a path, or the statement directory's path
  std::string TableName;
  std::string CorrelationName;
  bool CorrelationNameGiven = false;
  // The WHERE filters placed on the cursor for the current run (owned by the cursor).
  std::vector<TFilter*> Filters;
  // The current row of the source while rows are produced (RecordSize bytes once open).
  std::vector<uint8_t> RecordBuffer;
  // Reads the cursor's fields into expression nodes (made when the source opens).
  std::unique_ptr<TColumnReader> Reader;
  // The links that leave this table, in the order they are applied.
  std::vector<std::unique_ptr<TJoin>> JoinLinks;
  // Conditions on this table alone taken out of its incoming link's condition;
  // evaluated on every row read from it.
  TExpTree LocalCondition;
  // The current loop over this table has no further row: its columns read as NULL
  // (the missing side of an outer join).
  bool AtEnd = false;
  // 1-based position in the query's JoinOrder (the order of row production).
  int16_t JoinPosition = 0;
  // The indexes that can serve a key range, found at the first run that looks for one.
  std::optional<std::vector<TRangeIndex>> RangeIndexes;
  // A key range serves part of WHERE in the current run: the index the cursor had
  // before, and the range's text for explanations.
  bool RangeApplied = false;
  int IndexBeforeRange = 0;
  std::string RangeText;
};

// One JOIN clause: its kind, the table named after JOIN and the ON condition.
struct TJoinExpression {
  explicit TJoinExpression(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  TJoinKind Kind = TJoinKind::Inner;
  TSourceTable* Target = nullptr;
  TExpTree Condition;
};

// One item of ORDER BY: a column name (with its correlation name) or a 1-based result
// column number (ColumnNumber 0 when a name was written).
struct TOrderByField {
  std::string ColumnName;
  std::string CorrelationName;
  int16_t ColumnNumber = 0;
  bool Descending = false;
  int16_t ResultColumn = 0;  // the 1-based result column it names, once resolved
};

// One item of GROUP BY, as TOrderByField without a direction.
struct TGroupByField {
  std::string ColumnName;
  std::string CorrelationName;
  int16_t ColumnNumber = 0;
  int16_t ResultColumn = 0;  // the 1-based result column it names, once resolved
};

// The target column of INSERT's column list or of an UPDATE assignment ("*" alone
// stands for every column in table order).
struct TUpdateField {
  explicit TUpdateField(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  std::string ColumnName;
  std::string CorrelationName;
  int16_t FieldNo = 0;  // resolved when the statement is prepared
  std::string ColumnText;
  TExpTree Expression;
};

// A value of INSERT ... VALUES or of an UPDATE assignment.
struct TUpdateValue {
  explicit TUpdateValue(TDataQuery& owner) : Owner(owner) {}
  TDataQuery& Owner;
  std::string ColumnText;
  TExpTree Expression;
};

// What an ALTER TABLE item does to a column or to the primary key; CREATE TABLE's
// columns and CREATE INDEX's index are Add.
enum class TDefinitionAction : uint8_t { Add = 1, Redefine = 2, Drop = 3 };

// One column of CREATE TABLE, or one column item of ALTER TABLE.
struct TCreateField {
  TDefinitionAction Action = TDefinitionAction::Add;
  std::string Name;
  std::string NewName;  // REDEFINE old new type: the new name ("" when not renamed)
  bool TypeGiven = false;  // a data type was written (always for ADD and CREATE)
  TFieldType DataType = TFieldType::Unknown;
  TFieldSubType SubType = TFieldSubType::None;
  uint16_t Size = 0;  // characters of a string, bytes of BYTES and VARBYTES
  uint8_t Scale = 0;  // BCD decimal places
  std::optional<std::string> Description;
  std::optional<bool> Required;
  std::optional<TCharCase> CharCase;
  std::optional<std::string> DefaultValue;
  std::optional<std::string> MinValue;
  std::optional<std::string> MaxValue;
  int32_t Position = 0;  // AT n (1-based), 0 when not given
  std::string ColumnText;
};

// CREATE INDEX's index, a PRIMARY KEY clause, or (named "Sys Text") the TEXT INDEX
// clause.
struct TCreateIndex {
  TDefinitionAction Action = TDefinitionAction::Add;
  std::string Name;
  bool Unique = false;
  bool Descending = false;
  bool CaseInsensitive = false;
  TIndexCompression Compression = TIndexCompression::None;
  std::vector<std::string> Columns;
};

// The table options of CREATE TABLE and ALTER TABLE, and the LANGUAGE, SORT and
// ENCRYPTED WITH options of SELECT. Each is empty when it was not written.
struct TTableOptions {
  std::optional<uint16_t> LocaleId;  // LANGUAGE
  std::optional<uint16_t> SortId;    // SORT
  std::optional<std::string> Description;
  std::optional<int32_t> BlobBlockSize;
  std::optional<std::string> Password;  // ENCRYPTED WITH; "" means not encrypted
  std::optional<uint16_t> UserMajorVersion;
  std::optional<uint16_t> UserMinorVersion;
  std::optional<int32_t> LastAutoInc;
  bool NoBackup = false;  // ALTER TABLE only
  // TEXT INDEX: the columns, and its word rules when written.
  std::optional<TCreateIndex> TextIndex;
  std::optional<std::vector<std::string>> StopWords;
  std::optional<TCharSet> SpaceChars;
  std::optional<TCharSet> IncludeChars;
};

// The sub-select of an IN (SELECT ...) operand, as the expression tree holds it: the
// query belongs to the statement's Queries, which outlive the trees that point here.
struct TSubSelect : TExpSubQuery {
  explicit TSubSelect(TDataQuery& query) : Query(query) {}
  TDataQuery& Query;
};

// The first column's values of a sub-query's result, gathered for IN (SELECT ...) once
// per execution, as the sub-query runs.
struct TSubSelectValues {
  bool Operand = false;  // the query is the sub-select of an IN operand
  bool Gathered = false;
  std::vector<TExpTree> Values;
};

class TDataQuery {
public:
  explicit TDataQuery(TQueryStatement& statement);
  // Closes and frees the source tables (and a result cursor that is not live).
  ~TDataQuery();
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;

  // Parses one statement starting at the statement parser's current token. Clears the
  // query first. A sub-select (of IN or of INSERT ... SELECT) and a UNION member leave
  // the token after them to their caller; a top-level statement must end at ";" (read)
  // or at the end of the text. Raises KURA_SQLPARSE with the message of the grammar.
  void ParseStatement(bool isSubSelect, bool isUnionMember, TDataQuery* parentQuery);
  // Prepares the parsed query for execution: definition and transaction statements
  // only fix where their table lies.
  void PrepareQuery();
  // Runs the prepared query; `resultCursor` receives the cursor of a SELECT's result
  // (owned by the query or, for a live result, the source's cursor) and null otherwise.
  void ExecuteQuery(TDataCursor*& resultCursor);

  TQueryStatement& Statement() const { return FStatement; }
  TDataDirectory& Directory() const;

  // ---- what the parser found ----
  TStatementKind StatementKind = TStatementKind::Unknown;
  bool IsSubSelect = false;    // IN (SELECT ...) or the source of INSERT ... SELECT
  bool IsUnionMember = false;
  bool Parenthesised = false;  // the statement began with "("
  bool Executed = false;
  bool RequestLive = false;
  int32_t MaxRowCount = -1;  // -1: no limit
  int32_t TopCount = -1;     // -1: no TOP
  int32_t Rows = 0;              // rows of the last run
  double ExecutionTime = 0;      // seconds of the last run

  // Clause flags.
  bool Distinct = false;
  bool HasAvgColumn = false;
  bool HasComputedColumn = false;
  bool HasComputedBlobColumn = false;
  bool HasBlobColumn = false;
  bool SeveralSources = false;  // a comma in FROM, or any JOIN
  bool NoJoinOptimize = false;
  bool HasWhere = false;
  bool HasHaving = false;
  bool HasOrderBy = false;
  bool OrderByIndexed = false;  // ORDER BY served by an index of a live result
  bool OrderByNoCase = false;
  bool Grouped = false;          // GROUP BY, or aggregates without it
  bool ImplicitGrouping = false; // aggregates without GROUP BY
  bool HasUnion = false;
  bool UnionAll = true;
  bool IntoMemory = false;
  bool InsertSelect = false;
  bool WithLocks = false;
  bool NoAutoInc = false;
  bool SelectStar = false;
  bool LiveResult = false;

  // Links between the queries of one statement (not owned: the statement owns them).
  TDataQuery* NextUnionQuery = nullptr;
  TDataQuery* ParentQuery = nullptr;
  TDataQuery* InsertSourceQuery = nullptr;

  std::string IntoTableName;  // "" when there is no INTO name

  // In FROM order, which column resolution follows; never reordered once prepared.
  std::vector<std::unique_ptr<TSourceTable>> SourceTables;
  // The order in which a canned query produces rows: the root of the link tree first.
  // Starts as SourceTables' order; re-rooting (RIGHT OUTER JOIN, the join order choice)
  // changes only this.
  std::vector<TSourceTable*> JoinOrder;
  // Tables named inside LASTAUTOINC() and IDENT_CURRENT(), in order, without repeats.
  std::vector<std::string> FunctionTables;
  std::vector<std::unique_ptr<TJoinExpression>> JoinExpressions;
  std::vector<std::unique_ptr<TResultField>> ResultFields;
  std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
  std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
  std::vector<TOrderByField> OrderByFields;
  std::vector<TGroupByField> GroupByFields;

  TExpTree WhereCondition;
  TExpTree HavingCondition;
  // Derived from WHERE while a SELECT, UPDATE or DELETE is prepared.
  TExpTree ResidualCondition;
  TExpTree PostFilterCondition;

  // The result of the last SELECT run (see ExecuteQuery).
  TDataCursor* ResultCursor = nullptr;
  // A canned SELECT's result table, made while the query is prepared.
  std::unique_ptr<TResultTable> CannedResult;

  // For a sub-select: its values as IN (SELECT ...) uses them (see sub_select.h).
  TSubSelectValues SubSelectValues;

  // ---- decided while a SELECT is prepared ----
  // The language and sort order expressions use: LANGUAGE and SORT, else the first
  // source's.
  uint16_t LocaleId = 0;
  uint16_t SortId = 0;
  // The tables of FunctionTables, opened read-only.
  std::vector<std::unique_ptr<TSourceTable>> FunctionSources;
  // One source and COUNT(*) as the only column: answered from the filtered count.
  bool SingleCount = false;
  // The source index that serves ORDER BY for a live result, -1 when none.
  int OrderByIndex = -1;
  // A canned result's grouping or DISTINCT sort already gives the ORDER BY's order.
  bool OrderByImplied = false;

  // Tail options: LANGUAGE, SORT, ENCRYPTED WITH and, for definition statements, the
  // table options.
  TTableOptions Options;
  // COMMIT clause of INSERT, UPDATE and DELETE: INTERVAL n (0 when not written) and
  // FLUSH. Of the COMMIT statement: Flush.
  int32_t CommitInterval = 0;
  bool CommitFlush = false;

  // ---- definition statements ----
  // The target table is SourceTables[0].
  bool IfNotExists = false;  // CREATE TABLE / CREATE INDEX
  bool IfExists = false;     // DROP TABLE / DROP INDEX
  std::vector<TCreateField> CreateFields;    // CREATE TABLE columns, ALTER TABLE column items
  std::vector<TCreateIndex> CreateIndexes;   // CREATE INDEX's index; PRIMARY KEY clauses
  std::string IndexName;                     // DROP INDEX

  // ---- used by the parsers ----
  // A new source table with the next ordinal of the statement, appended.
  TSourceTable& AddSourceTable();
  // Raises the duplicate correlation name message when another source table of this
  // query has `table`'s correlation name (any letter case).
  void CheckCorrelationName(const TSourceTable& table) const;

private:
  // Clears every clause (the start of ParseStatement).
  void Reset();
  // START TRANSACTION, COMMIT and ROLLBACK on the statement's directory.
  void ExecuteTransaction();

  TQueryStatement& FStatement;
};

}  // namespace kura
