#pragma once

// Helpers shared by the session, directory and table tests: a small table definition and
// appending raw records through a table's data file.

#include <cstdint>

#include "kura/engine/data_directory.h"
#include "kura/engine/data_table.h"
#include "testing/definition_builders.h"

namespace kura::session_test {

using testing_support::Field;

// ID (32-bit integer, primary key) and NAME (string of 20); with `blob` also NOTE (BLOB).
inline TTableDefinition SimpleDefinition(bool blob = false, int32_t blobBlockSize = 0) {
  TTableDefinition definition;
  definition.Fields.push_back(Field("ID", TFieldType::Integer));
  definition.Fields.push_back(Field("NAME", TFieldType::String, 20));
  if (blob) definition.Fields.push_back(Field("NOTE", TFieldType::Blob));
  TIndexDefinition primary;
  primary.Fields = {1};
  definition.PrimaryIndex = primary;
  definition.BlobBlockSize = blobBlockSize;
  return definition;
}

// Appends an empty active record through the table's data file cache (no index is
// touched) and returns its number. The change is only buffered.
inline int32_t AppendRawRecord(TDataTable& table) {
  TRecord* record = table.DataFile().AllocateRecord();
  const int32_t recNo = record->RecNo;
  table.DataFile().ReleaseRecord(record);
  return recNo;
}

}  // namespace kura::session_test
