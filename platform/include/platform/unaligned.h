#pragma once

// Reads and writes of plain values at any byte offset of a record, in the
// host's byte order (little-endian on every host this runs on), without
// the undefined behaviour of a misaligned pointer cast.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrane::platform {

template <typename T>
T load(const void* base, size_t offset) {
  T v;
  std::memcpy(&v, static_cast<const uint8_t*>(base) + offset, sizeof v);
  return v;
}

template <typename T>
void store(void* base, size_t offset, T v) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &v, sizeof v);
}

}  // namespace kestrane::platform
