// Reading and writing unsigned integers of 1 to 8 bytes in either byte
// order: DSDIFF is big-endian, DSF, WAV and the channel-word files are
// little-endian. Plain functions of bytes in memory.
#pragma once

#include <cstdint>

inline uint64_t LoadBigEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

inline uint64_t LoadLittleEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

inline void StoreLittleEndian(uint64_t value, int count, uint8_t* out) {
  for (int i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void StoreBigEndian(uint64_t value, int count, uint8_t* out) {
  for (int i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (count - 1 - i)));
}
