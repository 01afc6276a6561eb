#pragma once

// Scrambling of encrypted tables. A key is a pair of bytes (K1, K2); each byte of a
// buffer is XORed with K1 ^ K2, after which K1 steps up and K2 steps down by one
// (mod 256). The operation is its own inverse, so the same call scrambles and
// unscrambles.

#include <cstddef>
#include <cstdint>

namespace kura {

struct TScrambleKey {
  uint8_t K1;
  uint8_t K2;
};

// Key of the field definitions, record slots, index pages and BLOB blocks.
inline constexpr TScrambleKey kRecordKey{0x6E, 0x1B};
// Key of the Description and Password texts of the data file header.
inline constexpr TScrambleKey kHeaderTextKey{0x2D, 0xB4};

// Scrambles (or unscrambles) `length` bytes in place. A buffer whose length has its low
// 16 bits all zero is left unchanged: that is part of the stored format, so existing
// files depend on it.
void Scramble(uint8_t* buffer, size_t length, TScrambleKey key);

}  // namespace kura
