#pragma once

// Conversion of a field value from one field type to another, in place in a value
// buffer holding the record encoding of the source type (field_types.h).
//
// The conversions, by source type (every pair not listed fails):
//
// - same type: strings and bytes are copied, cut to the target size; a BCD with other
//   places than the target scale is re-encoded with the target scale (rounding ties
//   to even); every other value stays as it is.
// - any type to Bytes or VarBytes: the source value's bytes, as many as fit.
// - Bytes or VarBytes to any type but Blob: their bytes, as many as fit.
// - String: to Date, Time, Timestamp, Boolean by the text parsers; to SmallInt,
//   Integer, Word as a decimal 32-bit integer (the 16-bit targets keep its low 16
//   bits); to LargeInt as a decimal 64-bit integer; to Float by TryTextToFloat; to Bcd
//   by TryTextToFixed, written with the target scale.
// - Date: to String (DateToText); to Timestamp at midnight.
// - Time: to String (TimeToText); to Timestamp on 1899-12-30.
// - Timestamp: to String; to Date (its day); to Time (its time of day).
// - Boolean: to String ("True"/"False"); to SmallInt, Integer, Word, LargeInt 1 or 0;
//   to Bcd 1 or 0.
// - SmallInt: to String; to Boolean (non-zero is 1); to Integer and LargeInt
//   sign-extended; to Word the same 16 bits; to Float and Bcd exactly.
// - Integer: to String; to SmallInt and Word the low 16 bits; to LargeInt
//   sign-extended; to Float and Bcd exactly.
// - Word: to String; to Boolean (non-zero is 1); to SmallInt the same 16 bits; to
//   Integer and LargeInt zero-extended; to Float and Bcd exactly.
// - LargeInt: to String; to SmallInt and Word the low 16 bits; to Integer the low 32
//   bits; to Float the nearest double; to Bcd exactly (fails beyond the fixed-point
//   range).
// - Float: to String (FloatToText); to SmallInt, Integer, Word, LargeInt truncated
//   toward zero to a 64-bit integer (fails beyond its range, and for NaN), then the
//   low bits; to Bcd through the fixed-point value (value * 10000, ties to even).
// - Bcd: to String the fixed-point value as FixedToText; to the integers the
//   fixed-point value truncated toward zero, then the low bits; to Float the
//   fixed-point value / 10000.
//
// Narrowing integer conversions never fail: they keep the low-order bits. Invalid
// source values (a day number outside the calendar, a malformed BCD) fail.
// Nothing here allocates or raises.

#include <cstdint>

#include "kura/base/field_types.h"

namespace kura {

// Size of the buffer ConvertValue works in: the largest value any field type holds.
constexpr int kValueBufferSize = kMaxDataSize;

// Converts the value in `buffer` (kValueBufferSize bytes, the record encoding of
// `sourceType`) into `targetType`, in place. `sourceSize` and `targetSize` are the
// DataSize of the source and target fields (for strings the characters plus the
// terminator; values are clamped to the buffer size); the scales are the BCD places
// (0 for other types). The buffer is cleared and the result written cut to
// `targetSize` bytes; a string result keeps its last byte as the terminator. Returns
// false, with the buffer cleared, for a conversion that is not defined or whose
// source value cannot be read or represented.
bool ConvertValue(TFieldType sourceType, int sourceSize, int sourceScale, uint8_t* buffer, int targetScale,
                  int targetSize, TFieldType targetType);

}  // namespace kura
