#pragma once

// The packed BCD encoding of DECIMAL and NUMERIC values (field type Bcd), 34 bytes:
//
// | offset | size | meaning                                                              |
// |--------|------|----------------------------------------------------------------------|
// | 0      | 1    | precision: the number of digits, 32; 0 means the value zero          |
// | 1      | 1    | bit 7: negative; bits 0-5: decimal places (the field's Scale)        |
// | 2      | 16   | 32 decimal digits, two per byte, high nibble first, most significant |
// |        |      | digit first; the last `places` of them are the fraction              |
// | 18     | 16   | zero                                                                 |
//
// The engine writes precision 32; a reader accepts any precision from 1 to 32 and then
// takes the first `precision` digit nibbles. Zero is written with precision 0, no sign
// and the places of the field.
//
// Values cross into arithmetic through the fixed-point form (fixed_point.h): a BCD
// with more than four places is rounded to four (ties to even) on the way in, and a
// fixed-point value written with fewer than four places is rounded (ties to even).
// Nothing here allocates or raises.

#include <cstdint>
#include <optional>

#include "kura/base/field_types.h"

namespace kura {

constexpr int kBcdDigits = 32;
constexpr int kBcdMaxPlaces = 32;

// The places (scale) recorded in a BCD value.
inline int BcdPlaces(const uint8_t* bcd) { return bcd[1] & 0x3F; }
// True when the bytes are a well-formed BCD value (precision 0 to 32, places 0 to 32,
// the digits in use 0 to 9).
bool IsValidBcd(const uint8_t* bcd);

// The BCD value as fixed-point, rounded to four decimals (ties to even) when it has
// more places. Empty for a malformed value or one beyond the fixed-point range.
std::optional<int64_t> BcdToFixed(const uint8_t* bcd);
// Writes the fixed-point value as a BCD with `places` decimals (0 to 32) into the
// 34 bytes at `bcd`. Returns false, leaving the bytes zero, when places is out of range
// or the whole part needs more than 32 - places digits.
bool FixedToBcd(int64_t value, int places, uint8_t* bcd);
// Re-encodes a BCD value with other places, digit by digit and without passing
// through fixed-point, so no digit is lost when places grow; fewer places round
// ties to even. `source` and `target` may be the same buffer. False, with `target`
// zero, for a malformed source, invalid places or a whole part that no longer fits.
bool RescaleBcd(const uint8_t* source, int places, uint8_t* target);

// Longest text BcdToChars writes: a sign, "0." and 32 places.
constexpr int kMaxBcdTextLength = 35;
// The exact decimal text of a BCD value into [first, last), every digit kept: the
// whole part without leading zeros (at least one digit), then "." and exactly `places`
// fraction digits when the value has places ("1.50", "-0.05", "0.000", "12"). A minus
// sign only for a value other than zero. Returns the end of what was written (nothing
// terminated), or nullptr for a malformed value or too little room.
char* BcdToChars(const uint8_t* bcd, char* first, char* last);

}  // namespace kura
