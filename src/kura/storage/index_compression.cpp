#include "kura/storage/index_compression.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"

namespace kura {

namespace {

// The region of the key whose trailing zeros may be dropped, starting at `from`: the
// whole rest for a unique key, the part before the unique id otherwise (empty when
// fewer than 5 bytes follow `from`).
int TrailRegionEnd(const TKeyFormat& f, int from) {
  if (f.Unique) return f.KeySize;
  return f.KeySize - from >= 5 ? f.KeySize - 4 : from;
}

int CountTrailingZeros(const uint8_t* key, int from, int end) {
  int n = 0;
  while (end - n > from && key[end - n - 1] == 0 && n < kMaxCompressionRun) ++n;
  return n;
}

}  // namespace

void ComputePrefixTrail(const TKeyFormat& f, const uint8_t* previous, const uint8_t* key, uint8_t& prefix,
                        uint8_t& trail) {
  prefix = 0;
  trail = 0;
  const int k = f.KeySize;
  if ((f.Compression == TIndexCompression::DupByte || f.Compression == TIndexCompression::Full) && previous) {
    int p = 0;
    // Keys of a page differ, so the prefix is shorter than the key; capping at K - 1
    // keeps at least one byte when a damaged page holds two equal keys.
    while (p < k - 1 && p < kMaxCompressionRun && previous[p] == key[p]) ++p;
    prefix = static_cast<uint8_t>(p);
  }
  if (f.Compression == TIndexCompression::TrailByte) {
    trail = static_cast<uint8_t>(CountTrailingZeros(key, 0, TrailRegionEnd(f, 0)));
  } else if (f.Compression == TIndexCompression::Full) {
    trail = static_cast<uint8_t>(CountTrailingZeros(key, prefix, TrailRegionEnd(f, prefix)));
  }
}

int LeafEntrySize(const TKeyFormat& f, uint8_t prefix, uint8_t trail) {
  switch (f.Compression) {
    case TIndexCompression::None: return f.KeySize + 4;
    case TIndexCompression::DupByte: return 1 + f.KeySize - prefix + 4;
    case TIndexCompression::TrailByte: return 1 + f.KeySize - trail + 4;
    case TIndexCompression::Full: return 2 + f.KeySize - prefix - trail + 4;
  }
  return f.KeySize + 4;
}

int EncodeLeafEntry(const TKeyFormat& f, const uint8_t* key, int32_t slot, uint8_t prefix, uint8_t trail,
                    uint8_t* out) {
  const int k = f.KeySize;
  int at = 0;
  int from = 0;
  int trailFrom = 0;
  switch (f.Compression) {
    case TIndexCompression::None: break;
    case TIndexCompression::DupByte:
      out[at++] = prefix;
      from = prefix;
      trailFrom = k;
      break;
    case TIndexCompression::TrailByte:
      out[at++] = trail;
      break;
    case TIndexCompression::Full:
      out[at++] = prefix;
      out[at++] = trail;
      from = prefix;
      break;
  }
  if (f.Compression == TIndexCompression::None || f.Compression == TIndexCompression::DupByte) {
    std::memcpy(out + at, key + from, static_cast<size_t>(k - from));
    at += k - from;
  } else {
    trailFrom = from;
    const int end = TrailRegionEnd(f, trailFrom);
    const int kept = end - trail - from;
    std::memcpy(out + at, key + from, static_cast<size_t>(kept));
    at += kept;
    std::memcpy(out + at, key + end, static_cast<size_t>(k - end));
    at += k - end;
  }
  WriteI32(out + at, slot);
  return at + 4;
}

int DecodeLeafEntry(const TKeyFormat& f, const uint8_t* in, int available, const uint8_t* previous, uint8_t* key,
                    int32_t& slot) {
  const int k = f.KeySize;
  int at = 0;
  int prefix = 0;
  int trail = 0;
  const bool hasPrefix = f.Compression == TIndexCompression::DupByte || f.Compression == TIndexCompression::Full;
  const bool hasTrail = f.Compression == TIndexCompression::TrailByte || f.Compression == TIndexCompression::Full;
  if (hasPrefix) {
    if (at >= available) return -1;
    prefix = in[at++];
    if (prefix > 0 && !previous) return -1;
    if (prefix >= k && k > 0) return -1;
  }
  if (hasTrail) {
    if (at >= available) return -1;
    trail = in[at++];
    const int end = TrailRegionEnd(f, prefix);
    if (trail > end - prefix) return -1;
  }
  if (prefix > 0) std::memcpy(key, previous, static_cast<size_t>(prefix));
  const int end = hasTrail ? TrailRegionEnd(f, prefix) : k;
  const int kept = end - trail - prefix;
  const int needed = kept + (k - end) + 4;
  if (needed > available - at) return -1;
  std::memcpy(key + prefix, in + at, static_cast<size_t>(kept));
  at += kept;
  std::memset(key + prefix + kept, 0, static_cast<size_t>(trail));
  std::memcpy(key + end, in + at, static_cast<size_t>(k - end));
  at += k - end;
  slot = ReadI32(in + at);
  return at + 4;
}

}  // namespace kura
