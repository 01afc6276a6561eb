#include "kura/sql/definition_statements.h"

#include "kura/sql/data_query.h"
#include "kura/sql/sql_messages.h"

namespace kura {

void ExecuteDefinitionStatement(TDataQuery& query) {
  RaiseSqlError(std::string(StatementKindName(query.StatementKind)) + std::string(sqlmsg::kNotSupportedYet));
}

}  // namespace kura
