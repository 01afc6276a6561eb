#pragma once

// Resolving and typing a SELECT's select list once its sources are open.

namespace kura {

class TDataQuery;

// Expands "*" and "T.*" items into one column per field of their tables (in FROM and
// field order), binds every column's expression against the sources, gives each its
// source and result types (sizes as ResultColumnType rules them; an aggregate's result
// is its function's type over the argument's), its result field number and its unique
// result name (the alias, else derived), and marks the query's computed and BLOB
// columns. Raises KURA_SQLPARSE: an alias on "*", a correlation name or column that
// names nothing ("Invalid column name '...' or table correlation name '...' specified
// in source columns"), more than 1024 columns, aggregates beside columns without GROUP
// BY (not for sub-selects, nor UNION members whose head is grouped), a UNION member
// whose column count or types differ from the query before it (that member must be
// resolved first); and the binder's messages. Result sizes are physical: a string's
// counts its terminator.
void ResolveSelectList(TDataQuery& query);

}  // namespace kura
