#pragma once

// The SQL text that recreates a table: a CREATE TABLE statement for its fields, primary
// key, text index and table options, and a CREATE INDEX statement for each secondary
// index. The texts are in the table's own bytes (names, descriptions and value texts in
// its code page), like every statement the engine prepares; each ends with ";" and a
// line break.
//
// What the grammar cannot say is written as close as it can and told in a /* */ comment
// (the comment is part of the statement and skipped by the scanner):
//   - the password of an encrypted table is never written: a comment stands where
//     ENCRYPTED WITH would be, so that a script made from the text gives an unencrypted
//     table unless its reader adds the password;
//   - LongWord and Extended fields, which no SQL data type names, become LARGEINT and
//     FLOAT; a BLOB of another subtype than memo, binary or graphic becomes BLOB;
//   - an index key whose fields are not all ascending or all descending is written
//     with the index's own DESC flag.
// Names that are not plain identifiers, or that are words of the grammar, are written
// in double quotes (a double-quoted string is a name where the grammar wants one; unlike
// brackets it also holds the bytes ']' and '\' that Shift-JIS trail bytes can be).

#include <string>
#include <string_view>

#include "kura/storage/index_file.h"

namespace kura {

struct TTableDefinition;

// The name as the grammar reads it back: bare when it is an ASCII identifier and no word
// of the grammar, otherwise in double quotes with each '"' doubled.
std::string SqlName(std::string_view name);
// Text as a single-quoted string constant, each "'" doubled.
std::string SqlString(std::string_view text);

// "CREATE TABLE name (...);" recreating `definition` (as TDataCursor::TableDefinition
// gives it) under `tableName`.
std::string CreateTableText(const std::string& tableName, const TTableDefinition& definition);
// "CREATE [UNIQUE] [DESC] [NOCASE] INDEX name ON table (columns) [COMPRESS ...];" for a
// secondary index of the table; its field numbers name `definition`'s fields.
std::string CreateIndexText(const std::string& tableName, const TTableDefinition& definition,
                            const TIndexDefinition& index);

}  // namespace kura
