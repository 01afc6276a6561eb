#pragma once

// The grammar of CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX.

namespace kura {

class TDataQuery;
class TSqlReader;

// Reads the rest of a definition statement into `query`, whose StatementKind the
// dispatch has set. On entry the current token follows "CREATE TABLE", "CREATE" (for
// CREATE [UNIQUE] [ASC|DESC] [NOCASE] INDEX: those words are still to be read),
// "ALTER TABLE", "DROP TABLE" or "DROP INDEX". Ends with the end-of-statement rule.
// The target table becomes query.SourceTables[0]. Raises KURA_SQLPARSE.
void ParseDefinitionStatement(TDataQuery& query, TSqlReader& reader);

}  // namespace kura
