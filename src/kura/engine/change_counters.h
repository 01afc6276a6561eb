#pragma once

#include <cstdint>

namespace kura {

// Counters a cursor compares with its own copy: any change that cursors must notice
// (own-session write, MarkChanged of an exclusive table, CheckForChanges finding another
// writer's change, buffers discarded) makes them differ from every earlier value. They
// only ever grow, so a cursor's stale copy can never match again by accident.
struct TChangeCounters {
  int32_t Data = 0, Index = 0, Blob = 0;
  friend bool operator==(const TChangeCounters&, const TChangeCounters&) = default;
};

}  // namespace kura
