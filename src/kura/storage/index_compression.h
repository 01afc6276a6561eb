#pragma once

// Leaf compression of index pages. K is the index's KeySize; every entry ends with the
// int32 slot number of its record. P is the number of leading key bytes shared with the
// previous key of the page (0 for the first entry), T a number of zero bytes dropped
// from the end of the key; both at most 254.
//
// | compression | entry bytes                                                            |
// |-------------|------------------------------------------------------------------------|
// | NONE        | K key bytes, slot                                                      |
// | DUPBYTE     | P, key bytes P..K-1, slot                                              |
// | TRAILBYTE   | T, the key without its last T zero bytes, slot. A non-unique key counts |
// |             | T before its 4-byte unique id and keeps that id.                       |
// | FULL        | P, T, key bytes from P without the T trailing zeros, slot. T is counted |
// |             | after the prefix; a non-unique key counts it before its unique id and  |
// |             | has T 0 when fewer than 5 bytes follow the prefix.                     |
//
// A compressed leaf is full when its entries need more than 4083 bytes; the page header
// stores the bytes used.

#include <cstdint>

#include "kura/storage/index_key.h"

namespace kura {

constexpr int kMaxCompressionRun = 254;

struct TKeyFormat {
  int KeySize = 0;
  bool Unique = true;
  TIndexCompression Compression = TIndexCompression::None;
};

// P and T of `key` after `previous` (nullptr for the first entry of a page).
void ComputePrefixTrail(const TKeyFormat& format, const uint8_t* previous, const uint8_t* key, uint8_t& prefix,
                        uint8_t& trail);
// Bytes of one leaf entry with these P and T (the slot number included).
int LeafEntrySize(const TKeyFormat& format, uint8_t prefix, uint8_t trail);
// Writes one leaf entry; returns its size.
int EncodeLeafEntry(const TKeyFormat& format, const uint8_t* key, int32_t slot, uint8_t prefix, uint8_t trail,
                    uint8_t* out);
// Reads one leaf entry of `available` bytes at `in` into key (KeySize bytes) and slot.
// previous is the key of the entry before (nullptr for the first). Returns the bytes
// consumed, or -1 when the entry is malformed or does not fit.
int DecodeLeafEntry(const TKeyFormat& format, const uint8_t* in, int available, const uint8_t* previous,
                    uint8_t* key, int32_t& slot);

}  // namespace kura
