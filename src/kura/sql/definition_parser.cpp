#include "kura/sql/definition_parser.h"

#include "kura/sql/data_query.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sql_reader.h"

namespace kura {

void ParseDefinitionStatement(TDataQuery& query, TSqlReader& /*reader*/) {
  RaiseSqlError(std::string(StatementKindName(query.StatementKind)) + std::string(sqlmsg::kNotSupportedYet));
}

}  // namespace kura
