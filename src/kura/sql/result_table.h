#pragma once

// The table that holds a canned SELECT's rows.

#include <memory>
#include <string>

#include "kura/engine/data_cursor.h"

namespace kura {

class TDataDirectory;
class TDataQuery;
struct TResultField;

// A canned result: the directory it lies in (opened for it) and the cursor on it. When
// it goes, a temporary result's files are deleted (also after a failure half-way
// through its making); an INTO table stays.
class TResultTable {
public:
  TResultTable() = default;
  ~TResultTable();
  TResultTable(const TResultTable&) = delete;
  TResultTable& operator=(const TResultTable&) = delete;

  TDataDirectory* Directory = nullptr;
  std::unique_ptr<TDataCursor> Cursor;
};

// The result table's field for a result column: named by the column, of its result type
// (a string's Size in characters; an auto-increment subtype dropped), numbered fieldNo,
// the source field's description for a plain column.
TFieldDefinition ResultFieldOf(const TResultField& column, uint16_t fieldNo);

// Creates and opens the result table of a prepared, canned SELECT (its select list
// resolved) as query.CannedResult, replacing one made before: INTO MEMORY [name] in the
// in-memory database, INTO a path in that directory, INTO a plain name in the
// statement's directory (each kept, an existing table of the name replaced), otherwise a
// temporary table in the session's private directory. One field per result column, in
// order, named by the result column: a plain column has its source field's type, size
// and scale (an auto-increment field becomes a plain integer; the source's validity
// checks are not carried over, a result row must take what the query gives), any other
// column its result type; every AVG column is followed by a hidden integer field
// "Sys__Avg__Count" + its field number, recorded as the column's AvgCountField. No index;
// the query's language and sort order, BLOB block size 512, user version 1.0, encrypted
// with the ENCRYPTED WITH password (added to the session while the table opens when the
// session does not know it). The cursor is exclusive, writable and a result-set cursor.
// Raises what creating and opening the table raise.
void CreateResultTable(TDataQuery& query);

}  // namespace kura
