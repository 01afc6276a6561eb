#pragma once

// Running CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX through the
// table maintenance operations of the engine.

namespace kura {

class TDataQuery;

// Runs the parsed definition statement `query` on its target table
// (query.SourceTables[0]). Definition statements report 0 rows. Raises KURA_SQLPARSE
// for the statement's own messages and the engine errors of the table operations.
void ExecuteDefinitionStatement(TDataQuery& query);

}  // namespace kura
