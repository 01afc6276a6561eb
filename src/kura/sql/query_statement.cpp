#include "kura/sql/query_statement.h"

#include <cstring>

#include "kura/base/byte_order.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/sql_messages.h"

namespace kura {

TQueryStatement::TQueryStatement(TDataDirectory& directory) : FDirectory(directory), FParser(this) {
  FParser.SetErrorContext(KURA_SQLPARSE, "", std::string(kSqlContext));
  FQueries.push_back(std::make_unique<TDataQuery>(*this));
}

TQueryStatement::~TQueryStatement() { FreeQueries(); }

void TQueryStatement::FreeQueries() {
  // Parameters point into the queries' trees.
  FParams.clear();
  // Later queries (sub-selects, UNION members) go first: the master's links point to
  // them, never the other way.
  while (!FQueries.empty()) FQueries.pop_back();
}

void TQueryStatement::SetMaxRowCount(int32_t count) {
  FMaxRowCount = count;
  if (!FQueries.empty() && MasterQuery().StatementKind == TStatementKind::Select) MasterQuery().MaxRowCount = count;
}

TDataQuery& TQueryStatement::NewQuery() {
  FQueries.push_back(std::make_unique<TDataQuery>(*this));
  return *FQueries.back();
}

TProgressReporter TQueryStatement::ProgressReporter(bool& abort) {
  return TProgressReporter(
      [this, &abort](int32_t percent) {
        if (FProgressCallback) FProgressCallback(*this, percent, abort);
      },
      FDirectory.Session().ProgressSteps());
}

void TQueryStatement::AddParameter(TExpToken* node) { FParams.push_back(node); }

std::shared_ptr<TExpSubQuery> TQueryStatement::ParseSubSelect(TExpressionParser& /*parser*/, uint32_t /*flags*/) {
  TDataQuery& query = NewQuery();
  query.RequestLive = true;
  query.ParseStatement(true, false, nullptr);
  query.SubSelectValues.Operand = true;
  return std::make_shared<TSubSelect>(query);
}

void TQueryStatement::LoadText(std::string_view sql) {
  FParser.SetErrorContext(KURA_SQLPARSE, "", std::string(kSqlContext));
  FParser.SetText(sql);
  FParser.NextToken();
}

void TQueryStatement::Prepare(std::string_view sql) {
  LoadText(sql);
  ParseAndPrepare();
}

void TQueryStatement::Parse(std::string_view sql) {
  LoadText(sql);
  ParseAndPrepare(false);
}

void TQueryStatement::ParseAndPrepare(bool prepare) {
  // A statement that fails to parse leaves nothing that could be run.
  FPrepared = false;
  FreeQueries();
  FQueries.push_back(std::make_unique<TDataQuery>(*this));
  TDataQuery& master = MasterQuery();
  master.ParseStatement(false, false, nullptr);
  if (master.StatementKind == TStatementKind::Select) {
    master.RequestLive = RequestLive;
    master.MaxRowCount = FMaxRowCount;
  } else {
    master.RequestLive = true;
    master.MaxRowCount = -1;
  }
  FStatementKind = master.StatementKind;
  FSelectStar = master.SelectStar;
  FLiveResult = false;
  if (!prepare) return;
  // Sub-selects and UNION members are prepared before the queries that use them.
  for (size_t i = FQueries.size(); i-- > 0;) FQueries[i]->PrepareQuery();
  FLiveResult = master.LiveResult;
  FPrepared = true;
}

void TQueryStatement::RunStatement(TDataCursor*& resultCursor, double& seconds, int32_t& rows) {
  resultCursor = nullptr;
  seconds = 0;
  for (size_t i = FQueries.size(); i-- > 0;) {
    TDataCursor* cursor = nullptr;
    FQueries[i]->ExecuteQuery(cursor);
    seconds += FQueries[i]->ExecutionTime;
    if (i == 0 && MasterQuery().StatementKind == TStatementKind::Select) resultCursor = cursor;
  }
  // A UNION's rows are those of its head's final result.
  rows = MasterQuery().Rows;
}

void TQueryStatement::Execute(std::span<const TFieldDefinition> definitions, const uint8_t* values,
                              TDataCursor*& resultCursor) {
  resultCursor = nullptr;
  FContinuingScript = false;
  if (!FPrepared) RaiseSqlError(sqlmsg::kNotPrepared);
  if (!definitions.empty()) BindParameters(definitions, values);

  double seconds = 0;
  int32_t rows = 0;
  FExecutionTime = 0;
  FRowsAffected = 0;
  RunStatement(resultCursor, seconds, rows);
  double totalTime = seconds;
  int32_t totalRows = rows;
  int32_t savedRows = totalRows;
  FExecutionTime = totalTime;
  FRowsAffected = totalRows;

  while (!FParser.IsTokenKind(kTokenEnd)) {
    FContinuingScript = true;
    // The previous statement's result goes with its queries.
    resultCursor = nullptr;
    ParseAndPrepare();
    RunStatement(resultCursor, seconds, rows);
    totalTime += seconds;
    switch (FStatementKind) {
      case TStatementKind::StartTransaction: savedRows = totalRows; break;
      case TStatementKind::Rollback: totalRows = savedRows; break;
      default: totalRows += rows; break;
    }
    FExecutionTime = totalTime;
    FRowsAffected = totalRows;
  }
}

void TQueryStatement::BindParameters(std::span<const TFieldDefinition> definitions, const uint8_t* values) {
  const size_t count = std::min(definitions.size(), FParams.size());
  for (size_t i = 0; i < count; ++i) {
    const TFieldDefinition& definition = definitions[i];
    TExpToken& node = *FParams[i];
    const uint8_t* at = values + definition.Offset;
    node.DataType = definition.FieldType;
    node.SubType = definition.SubType;
    const bool isNull = at[0] == 0;
    if (definition.FieldType == TFieldType::Blob) {
      const int32_t length = std::max<int32_t>(0, ReadI32(at + 1));
      const uint8_t* bytes = nullptr;
      std::memcpy(&bytes, at + 1 + sizeof(int32_t), sizeof(bytes));
      const bool memo = definition.SubType == TFieldSubType::Memo;
      const int32_t size = memo ? length + 1 : length;
      node.ReserveData(size);
      if (length > 0 && bytes != nullptr) std::memcpy(node.Data.data(), bytes, static_cast<size_t>(length));
      if (memo) node.Data[static_cast<size_t>(length)] = 0;
      node.DataLength = size;
      node.DataScale = 0;
    } else {
      node.ReserveData(definition.DataSize);
      // A value of no bytes (a NULL of unknown type) leaves Data without storage.
      if (definition.DataSize > 0) std::memcpy(node.Data.data(), at + 1, definition.DataSize);
      node.DataLength = definition.DataSize;
      node.DataScale = definition.DataScale;
    }
    node.IsNull = isNull ? 1 : 0;
  }
}

}  // namespace kura
