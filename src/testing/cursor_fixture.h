#pragma once

// A session with a directory in a fresh temporary folder, for the tests of cursors and
// what builds on them, and the small "people" table most of them use.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/storage/data_file.h"
#include "testing/temp_dir.h"

namespace testing_support {

// The "people" table: ID (primary), NAME, GRP, VAL; secondary indexes
//   1 "ByGroup"     GRP, NAME (not unique)
//   2 "ByNameDesc"  NAME, descending (not unique)
kura::TTableDefinition PeopleDefinition(bool primary = true);

struct TPerson {
  int32_t Id;
  std::string Name;
  int32_t Group;
  int32_t Value;
};

// A record image of the "people" table holding `p`.
std::vector<uint8_t> PersonRecord(const kura::TDataFile& data, const TPerson& p);

// A session whose directory is a fresh temporary folder; lock retries do not sleep.
class TCursorFixture : public ::testing::Test {
protected:
  TCursorFixture();
  ~TCursorFixture() override = default;

  void CreatePeople(const std::string& name = "people", bool primary = true);
  std::unique_ptr<kura::TDataCursor> Open(const std::string& name = "people", bool exclusive = false,
                                          bool natural = false);

  // Appends people 1..count: NAME "N<i>" zero-padded, GRP i % groups, VAL i.
  static void Fill(kura::TDataCursor& cursor, int count, int groups = 7);
  // The ID of every record a forward (backward) walk delivers.
  static std::vector<int32_t> WalkForward(kura::TDataCursor& cursor);
  static std::vector<int32_t> WalkBackward(kura::TDataCursor& cursor);
  // The ID of the current record, -1 when there is none.
  static int32_t CurrentId(kura::TDataCursor& cursor);

  TTempDir Temp;
  kura::TDataSession Session;
  kura::TDataDirectory* Directory = nullptr;
};

}  // namespace testing_support
