#pragma once

// Appends and deletes made straight through a shared table's files, the way the cursor's
// editing does them (every index kept, headers written through unless the table is
// exclusive or in a transaction), for tests that need records without the editing layer.
// A failed index step is reported as a test failure.

#include <cstdint>
#include <vector>

#include "kura/engine/data_table.h"

namespace testing_support {

// Appends a record (field area taken from `record`) under the write lock and returns
// its record number.
int32_t AppendDirect(kura::TDataTable& table, const std::vector<uint8_t>& record);
// Deletes the active record `recNo` under the write lock.
void DeleteDirect(kura::TDataTable& table, int32_t recNo);

}  // namespace testing_support
