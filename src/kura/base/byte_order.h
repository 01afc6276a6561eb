#pragma once

// Little-endian reads and writes of the integers and floats stored in table files. Every
// on-disk layout goes through these; no struct is ever cast over a buffer.

#include <bit>
#include <cstdint>
#include <cstring>

namespace kura {

inline uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadU64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}
inline int16_t ReadI16(const uint8_t* p) { return static_cast<int16_t>(ReadU16(p)); }
inline int32_t ReadI32(const uint8_t* p) { return static_cast<int32_t>(ReadU32(p)); }
inline int64_t ReadI64(const uint8_t* p) { return static_cast<int64_t>(ReadU64(p)); }
inline double ReadF64(const uint8_t* p) { return std::bit_cast<double>(ReadU64(p)); }

inline void WriteU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void WriteU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void WriteI16(uint8_t* p, int16_t v) { WriteU16(p, static_cast<uint16_t>(v)); }
inline void WriteI32(uint8_t* p, int32_t v) { WriteU32(p, static_cast<uint32_t>(v)); }
inline void WriteI64(uint8_t* p, int64_t v) { WriteU64(p, static_cast<uint64_t>(v)); }
inline void WriteF64(uint8_t* p, double v) { WriteU64(p, std::bit_cast<uint64_t>(v)); }

}  // namespace kura
