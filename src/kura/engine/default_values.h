#pragma once

// Default values of a new record, and the clock that CURRENT_DATE, CURRENT_TIME and
// CURRENT_TIMESTAMP read (in default texts and in minimum and maximum texts).

#include <cstdint>
#include <functional>

namespace kura {

class TDataCursor;

// A local date (day number) and time of day (milliseconds since midnight).
struct TLocalDateTime {
  int32_t Date = 0;
  int32_t Time = 0;
};

// Returns the local date and time the engine uses for CURRENT_DATE and friends.
using TLocalClock = std::function<TLocalDateTime()>;

// Replaces the process-wide clock (tests fix "now" with it); an empty function restores
// the machine's clock. Returns the clock that was in force.
TLocalClock SetLocalClock(TLocalClock clock);
// The clock's reading: date and time come from one reading, so they never straddle
// midnight.
TLocalDateTime LocalNow();

// Stores the default value of every field with a non-empty default text into the record
// image (record-size bytes, normally zero-filled before), through the cursor's SetField:
//   string                 the text (cut, trimmed and cased as SetField does)
//   date                   CURRENT_DATE (any letter case): today; else the text as a date
//   time                   CURRENT_TIME: the time of day; else the text as a time
//   timestamp              CURRENT_TIMESTAMP: now; CURRENT_DATE: today at midnight;
//                          CURRENT_TIME: the time of day on 1899-12-30; else the text
//   boolean                TRUE / FALSE in any letter case
//   16-, 32-, unsigned 16- and 64-bit integers   decimal text in the type's range
//   float, BCD             a decimal number (BCD with the field's scale)
// Fields of other types get no default. A default text that is no value of its field's
// type raises KURA_INVALIDVCHKSTRUCT naming the field. The cursor must be open.
void ApplyDefaultValues(TDataCursor& cursor, uint8_t* buffer);

}  // namespace kura
