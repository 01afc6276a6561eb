#pragma once

// Engine-internal access to a cursor: the shared table object behind it and the parts of
// its view that the engine's own code (filters, field values, maintenance) and the
// engine's tests work with. The layers above the engine use TDataCursor's public
// operations only and never include this header; the benchmarks' bulk loader, which
// writes through the table's files on purpose, is the one exception outside engine/.

#include <cstdint>
#include <utility>

#include "kura/engine/data_cursor.h"
#include "kura/engine/data_table.h"

namespace kura {

struct TCursorInternals {
  // The table the open cursor shares with the session's other cursors on it. Needs an
  // open cursor.
  static TDataTable& Table(const TDataCursor& cursor) { return *cursor.FTable; }
  // Whether the cursor walks its visible-record bitmap (natural order, or active
  // filters) instead of counting keys.
  static bool BitmapMode(const TDataCursor& cursor) { return cursor.FBitmapMode; }
  // The range's first position in the current index (0 for an empty range).
  static int32_t RangeStart(const TDataCursor& cursor) { return cursor.FRangeStart; }
  // The BLOB steps of posting and deleting a record (see TDataCursor's private members).
  static void WriteOpenBlobs(TDataCursor& cursor, uint8_t* record, const uint8_t* stored) {
    cursor.WriteOpenBlobs(record, stored);
  }
  static void FreeStoredBlobs(TDataCursor& cursor, const uint8_t* stored) { cursor.FreeStoredBlobs(stored); }
  // Runs an engine step that walks the cursor's indexes or reads its records under the
  // cursor's read guard (TDataCursor::Guarded); the step must be safe to run twice.
  template <typename TBody>
  static auto Guarded(TDataCursor& cursor, TBody&& body) -> decltype(body()) {
    return cursor.Guarded(std::forward<TBody>(body));
  }
};

}  // namespace kura
