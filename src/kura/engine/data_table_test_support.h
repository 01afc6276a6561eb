#pragma once

// Helpers shared by the session, directory and table tests: a small table definition,
// appending raw records through a table's data file, and the engine code an action
// raises.

#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_table.h"

namespace kura::session_test {

inline TFieldDefinition Field(const std::string& name, TFieldType type, uint8_t size = 0) {
  TFieldDefinition d;
  d.Name = name;
  d.FieldType = type;
  d.Size = size;
  return d;
}

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

// The engine code `action` raises, or 0 when it raises nothing.
inline TErrorCode ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EKuraEngineError& error) {
    return error.ErrorCode;
  }
  return 0;
}

}  // namespace kura::session_test
