#include "kura/sql/data_query.h"

#include <chrono>

#include "kura/base/names_paths.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_statements.h"
#include "kura/sql/definition_statements.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/result_table.h"
#include "kura/sql/result_rows.h"
#include "kura/sql/select_execute.h"
#include "kura/sql/select_prepare.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sub_select.h"
#include "kura/storage/table_files.h"

namespace kura {

std::string_view StatementKindName(TStatementKind kind) {
  switch (kind) {
    case TStatementKind::Select: return "SELECT";
    case TStatementKind::Insert: return "INSERT";
    case TStatementKind::Update: return "UPDATE";
    case TStatementKind::Delete: return "DELETE";
    case TStatementKind::CreateTable: return "CREATE TABLE";
    case TStatementKind::AlterTable: return "ALTER TABLE";
    case TStatementKind::DropTable: return "DROP TABLE";
    case TStatementKind::CreateIndex: return "CREATE INDEX";
    case TStatementKind::DropIndex: return "DROP INDEX";
    case TStatementKind::StartTransaction: return "START TRANSACTION";
    case TStatementKind::Rollback: return "ROLLBACK";
    case TStatementKind::Commit: return "COMMIT";
    case TStatementKind::Unknown: break;
  }
  return "UNKNOWN";
}

// ---------------------------------------------------------------------------------------
// TDataQuery

TDataQuery::TDataQuery(TQueryStatement& statement) : FStatement(statement) {}

TDataQuery::~TDataQuery() = default;

TDataDirectory& TDataQuery::Directory() const { return FStatement.Directory(); }

void TDataQuery::Reset() {
  StatementKind = TStatementKind::Unknown;
  IsSubSelect = IsUnionMember = Parenthesised = Executed = false;
  TopCount = -1;
  Rows = 0;
  ExecutionTime = 0;
  Distinct = HasAvgColumn = HasComputedColumn = HasComputedBlobColumn = HasBlobColumn = SeveralSources = NoJoinOptimize = false;
  HasWhere = HasHaving = HasOrderBy = OrderByIndexed = OrderByNoCase = Grouped = ImplicitGrouping = false;
  HasUnion = false;
  UnionAll = true;
  IntoMemory = InsertSelect = WithLocks = NoAutoInc = SelectStar = LiveResult = false;
  NextUnionQuery = ParentQuery = InsertSourceQuery = nullptr;
  IntoTableName.clear();
  SourceTables.clear();
  JoinOrder.clear();
  SubSelectValues = {};
  FunctionTables.clear();
  JoinExpressions.clear();
  ResultFields.clear();
  UpdateFields.clear();
  UpdateValues.clear();
  OrderByFields.clear();
  GroupByFields.clear();
  WhereCondition.reset();
  HavingCondition.reset();
  ResidualCondition.reset();
  PostFilterCondition.reset();
  ResultCursor = nullptr;
  CannedResult.reset();
  LocaleId = SortId = 0;
  FunctionSources.clear();
  SingleCount = false;
  OrderByIndex = -1;
  OrderByImplied = false;
  Options = {};
  CommitInterval = 0;
  CommitFlush = false;
  IfNotExists = IfExists = false;
  CreateFields.clear();
  CreateIndexes.clear();
  IndexName.clear();
}

TSourceTable& TDataQuery::AddSourceTable() {
  // Ordinals run across the statement: the sources of every query of it count.
  int16_t ordinal = 0;
  for (const auto& query : FStatement.Queries()) ordinal = static_cast<int16_t>(ordinal + query->SourceTables.size());
  auto table = std::make_unique<TSourceTable>(*this);
  table->Ordinal = static_cast<int16_t>(ordinal + 1);
  SourceTables.push_back(std::move(table));
  return *SourceTables.back();
}

void TDataQuery::CheckCorrelationName(const TSourceTable& table) const {
  for (const auto& other : SourceTables) {
    if (other.get() != &table && SameText(other->CorrelationName, table.CorrelationName)) {
      RaiseSqlError(std::string(sqlmsg::kDuplicateCorrelationPrefix) + table.CorrelationName + "'" +
                    std::string(sqlmsg::kDuplicateCorrelationSuffix));
    }
  }
}

void TDataQuery::PrepareQuery() {
  // Definition and transaction statements open nothing here: their table's place was
  // fixed when the name was read.
  if (StatementKind == TStatementKind::Select) {
    PrepareSelect(*this);
  } else if (IsDataStatement(StatementKind)) {
    PrepareDataStatement(*this);
  }
}

void TDataQuery::ExecuteQuery(TDataCursor*& resultCursor) {
  resultCursor = nullptr;
  const auto started = std::chrono::steady_clock::now();
  Rows = 0;
  if (IsDefinitionStatement(StatementKind)) {
    ExecuteDefinitionStatement(*this);
  } else if (IsTransactionStatement(StatementKind)) {
    ExecuteTransaction();
  } else if (StatementKind == TStatementKind::Select) {
    ExecuteSelect(*this);
    // The members of a UNION ran before their head (they were made after it): the
    // head's result takes in theirs.
    if (HasUnion && !IsUnionMember) {
      MergeUnion(*this);
      Rows = ResultCursor->GetRecordCount();
    }
    // Before the query that uses them runs, which may change the table they come from.
    if (SubSelectValues.Operand) GatherSubSelectValues(*this);
    resultCursor = ResultCursor;
  } else if (IsDataStatement(StatementKind)) {
    ExecuteDataStatement(*this);
  } else {
    RaiseSqlError(std::string(StatementKindName(StatementKind)) + std::string(sqlmsg::kNotSupportedYet));
  }
  ExecutionTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  Executed = true;
}

void TDataQuery::ExecuteTransaction() {
  TDataDirectory& directory = Directory();
  std::string name = directory.DatabaseName();
  if (name.empty()) name = StripDelimiters(directory.Path());
  switch (StatementKind) {
    case TStatementKind::StartTransaction:
      if (directory.InTransaction()) RaiseSqlError(std::string(sqlmsg::kTransactionInProgress) + name + "'");
      directory.StartTransaction();
      break;
    case TStatementKind::Rollback:
      if (!directory.InTransaction()) RaiseSqlError(std::string(sqlmsg::kTransactionNotInProgress) + name + "'");
      directory.Rollback();
      break;
    case TStatementKind::Commit:
      if (!directory.InTransaction()) RaiseSqlError(std::string(sqlmsg::kTransactionNotInProgress) + name + "'");
      directory.Commit(true, CommitFlush);
      break;
    default:
      break;
  }
}

}  // namespace kura
