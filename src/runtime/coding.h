#pragma once

// The only place that shifts bytes. DBF and NTX integers are little-endian, FPT integers
// big-endian, CDX mixes both: every file format calls these instead of shifting by hand.

#include <cstdint>
#include <cstring>

namespace tav::rt {

inline uint16_t getLE16(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t getLE32(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
inline uint64_t getLE64(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return static_cast<uint64_t>(getLE32(b)) | (static_cast<uint64_t>(getLE32(b + 4)) << 32);
}
inline uint16_t getBE16(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t getBE32(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}
inline uint64_t getBE64(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return (static_cast<uint64_t>(getBE32(b)) << 32) | getBE32(b + 4);
}

inline void putLE16(void* p, uint16_t v) {
  auto b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLE32(void* p, uint32_t v) {
  auto b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putLE64(void* p, uint64_t v) {
  auto b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putBE16(void* p, uint16_t v) {
  auto b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v >> 8);
  b[1] = static_cast<uint8_t>(v);
}
inline void putBE32(void* p, uint32_t v) {
  auto b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void putBE64(void* p, uint64_t v) {
  putBE32(p, static_cast<uint32_t>(v >> 32));
  putBE32(static_cast<uint8_t*>(p) + 4, static_cast<uint32_t>(v));
}

inline uint64_t doubleBits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
inline double bitsDouble(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

}  // namespace tav::rt
