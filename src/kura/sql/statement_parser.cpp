// The grammar of SELECT, INSERT, UPDATE, DELETE and the transaction statements, and the
// dispatch of every statement by its first words.

#include "kura/sql/data_query.h"
#include "kura/sql/definition_parser.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sql_reader.h"

namespace kura {

namespace {

// The dispatch: the kind of the statement at the current token, leaving the token
// after the words that decide it (see ParseDefinitionStatement for the definition
// kinds).
TStatementKind ReadStatementKind(TSqlReader& r) {
  if (r.Accept("SELECT")) return TStatementKind::Select;
  if (r.Accept("INSERT")) return TStatementKind::Insert;
  if (r.Accept("UPDATE")) return TStatementKind::Update;
  if (r.Accept("DELETE")) return TStatementKind::Delete;
  if (r.Accept("CREATE")) {
    if (r.Accept("TABLE")) return TStatementKind::CreateTable;
    if (r.AtAny({"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
      return TStatementKind::CreateIndex;
    }
    r.RaiseExpected(sqlmsg::kCreateWhatExpected);
  }
  if (r.Accept("ALTER")) {
    r.Expect("TABLE", sqlmsg::kAlterTableExpected);
    return TStatementKind::AlterTable;
  }
  if (r.Accept("DROP")) {
    if (r.Accept("TABLE")) return TStatementKind::DropTable;
    if (r.Accept("INDEX")) return TStatementKind::DropIndex;
    r.RaiseExpected(sqlmsg::kDropWhatExpected);
  }
  if (r.Accept("START")) {
    r.Expect("TRANSACTION", sqlmsg::kTransactionExpected);
    return TStatementKind::StartTransaction;
  }
  if (r.Accept("ROLLBACK")) return TStatementKind::Rollback;
  if (r.Accept("COMMIT")) return TStatementKind::Commit;
  r.RaiseExpected(sqlmsg::kStatementKeywordExpected);
}

}  // namespace

void TDataQuery::ParseStatement(bool isSubSelect, bool isUnionMember, TDataQuery* parentQuery) {
  Reset();
  IsSubSelect = isSubSelect;
  IsUnionMember = isUnionMember;
  ParentQuery = parentQuery;
  TSqlReader r(FStatement.Parser());
  if (r.AcceptSymbol('(')) {
    Parenthesised = true;
    if (!r.At("SELECT")) r.RaiseExpected(sqlmsg::kSelectKeywordExpected);
  }
  StatementKind = ReadStatementKind(r);
  switch (StatementKind) {
    case TStatementKind::CreateTable:
    case TStatementKind::AlterTable:
    case TStatementKind::DropTable:
    case TStatementKind::CreateIndex:
    case TStatementKind::DropIndex:
      ParseDefinitionStatement(*this, r);
      return;
    case TStatementKind::Commit:
      r.Accept("WORK");
      CommitFlush = r.Accept("FLUSH");
      break;
    case TStatementKind::Rollback:
      r.Accept("WORK");
      break;
    case TStatementKind::StartTransaction:
      break;
    default:
      RaiseSqlError(std::string(StatementKindName(StatementKind)) + std::string(sqlmsg::kNotSupportedYet));
  }
  r.ExpectEndOfStatement(StatementKindName(StatementKind));
}

}  // namespace kura
