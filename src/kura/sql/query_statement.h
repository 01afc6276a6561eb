#pragma once

// The entry of the SQL engine: one TQueryStatement per SQL text prepared on a database
// directory. Prepare parses and prepares the text's first statement; Execute binds the
// parameter values to its `?` placeholders, runs it, then parses and runs every further
// statement of the text (a script of statements separated by ";").
//
// Contract of a script run (Execute):
//   - the first statement is run with its bound parameters; later statements are parsed
//     when they are reached and their placeholders stay unbound;
//   - ExecutionTime is the sum of the statements' times, RowsAffected the sum of their
//     rows, except that START TRANSACTION remembers the sum and ROLLBACK goes back to it
//     (the rows of a rolled-back transaction are not counted);
//   - a failing statement raises; the statements before it stay applied (an open
//     transaction stays open) and the totals describe them;
//   - only the last statement's SELECT result is handed back; after a script the
//     statement holds the last statement's queries, and a further Execute runs those.
//
// Every grammar and preparation error is EKuraEngineError KURA_SQLPARSE ("SQL error - "
// and the message); errors of the tables arrive as their own engine errors.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kura/engine/data_cursor.h"
#include "kura/engine/progress_reporter.h"
#include "kura/expr/expression_parser.h"
#include "kura/sql/data_query.h"
#include "kura/storage/field_definition.h"

namespace kura {

class TDataDirectory;

// Told the progress of a running query in percent; setting `abort` stops the query's
// row loop: the rows made so far are its result (no error).
using TQueryProgressCallback = std::function<void(TQueryStatement& statement, int32_t percentDone, bool& abort)>;

class TQueryStatement : public TExpressionParserOwner {
public:
  // Registers nothing with the directory beyond using it; the directory must outlive
  // the statement. MasterQuery exists from the start.
  explicit TQueryStatement(TDataDirectory& directory);
  // Frees every query (closing their tables).
  ~TQueryStatement() override;
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;

  TDataDirectory& Directory() const { return FDirectory; }
  TExpressionParser& Parser() { return FParser; }

  // ---- settings (made by the caller before Prepare) ----
  bool RequestLive = false;
  int32_t MaxRowCount() const { return FMaxRowCount; }
  // -1: no limit. Reaches the master query at once, so that a change between Prepare
  // and Execute takes effect.
  void SetMaxRowCount(int32_t count);
  void SetPasswordCallback(TPasswordCallback callback) { FPasswordCallback = std::move(callback); }
  const TPasswordCallback& PasswordCallback() const { return FPasswordCallback; }
  void SetProgressCallback(TQueryProgressCallback callback) { FProgressCallback = std::move(callback); }
  const TQueryProgressCallback& ProgressCallback() const { return FProgressCallback; }
  // A reporter of a query's progress (the session's ProgressSteps) to the callback, which
  // may set `abort` (the caller's flag, which must outlive the reporter).
  TProgressReporter ProgressReporter(bool& abort);

  // ---- running ----
  // Parses and prepares the first statement of `sql`. Afterwards StatementKind,
  // ParamCount, LiveResult and SelectStar describe it. Raises KURA_SQLPARSE for any
  // grammar error (the statement is then not prepared).
  void Prepare(std::string_view sql);
  // Parses the first statement of `sql` without preparing it: nothing is opened, and
  // the statement cannot be executed until it is prepared. For checking the grammar
  // (tools, tests) where the tables need not exist.
  void Parse(std::string_view sql);
  // Binds parameters i = 1 .. min(definitions, ParamCount) to the placeholders in
  // order of appearance: the i-th definition's type, subtype, DataSize and DataScale,
  // its value at Offset in `values` (a null-flag byte, 1 = has a value, then the value
  // in the record encoding; a BLOB holds an int32 length and a pointer to its bytes).
  // Then runs the script (see the contract above). `resultCursor` receives the last
  // statement's SELECT result, null for any other statement.
  void Execute(std::span<const TFieldDefinition> definitions, const uint8_t* values, TDataCursor*& resultCursor);
  // Execute without parameters.
  void Execute(TDataCursor*& resultCursor) { Execute({}, nullptr, resultCursor); }

  // ---- what the last Prepare or Execute found ----
  TStatementKind StatementKind() const { return FStatementKind; }
  int32_t ParamCount() const { return static_cast<int32_t>(FParams.size()); }
  bool LiveResult() const { return FLiveResult; }
  bool SelectStar() const { return FSelectStar; }
  double ExecutionTime() const { return FExecutionTime; }
  int32_t RowsAffected() const { return FRowsAffected; }

  // ---- the model ----
  // The queries of the current statement in creation order; the first is the master.
  const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return FQueries; }
  TDataQuery& MasterQuery() const { return *FQueries.front(); }
  // A new query appended to Queries (used for UNION members and sub-selects).
  TDataQuery& NewQuery();
  // The `?` placeholders of the current statement in order of appearance. The nodes
  // belong to the queries' trees.
  const std::vector<TExpToken*>& Params() const { return FParams; }
  // True while a script's second or later statement is parsed and run.
  bool ContinuingScript() const { return FContinuingScript; }

  // ---- TExpressionParserOwner ----
  void AddParameter(TExpToken* node) override;
  std::shared_ptr<TExpSubQuery> ParseSubSelect(TExpressionParser& parser, uint32_t flags) override;

private:
  // Parses one statement at the current token into a fresh master query and, with
  // `prepare`, prepares every query, the last created first. Until it has prepared,
  // nothing can be executed.
  void ParseAndPrepare(bool prepare = true);
  void LoadText(std::string_view sql);
  // Runs every query of the statement, the last created first; returns its time and
  // rows through ExecutionTime and Rows of the master.
  void RunStatement(TDataCursor*& resultCursor, double& seconds, int32_t& rows);
  void BindParameters(std::span<const TFieldDefinition> definitions, const uint8_t* values);
  void FreeQueries();

  TDataDirectory& FDirectory;
  TExpressionParser FParser;
  std::vector<std::unique_ptr<TDataQuery>> FQueries;
  std::vector<TExpToken*> FParams;
  int32_t FMaxRowCount = -1;
  TPasswordCallback FPasswordCallback;
  TQueryProgressCallback FProgressCallback;
  TStatementKind FStatementKind = TStatementKind::Unknown;
  bool FLiveResult = false;
  bool FSelectStar = false;
  bool FPrepared = false;
  bool FContinuingScript = false;
  double FExecutionTime = 0;
  int32_t FRowsAffected = 0;
};

}  // namespace kura
