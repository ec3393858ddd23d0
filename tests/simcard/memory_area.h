#pragma once

// Areas of a test span of the card's device memory, and the span's bytes as
// a test expects them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "simcard/device_memory.h"

namespace kestrane::test {

inline constexpr uint64_t kPage = simcard::DeviceMemory::kPageSize;
inline constexpr uint64_t kBase = 0x1000000;
inline constexpr uint64_t kSpan = 8 * kPage;  // the area the cases use

// Bytes [offset, offset + size) of the span, written with `fill`.
struct Area {
  uint64_t offset, size;
  uint8_t fill;
};

inline std::vector<uint8_t> contents(const simcard::DeviceMemory& memory) {
  std::vector<uint8_t> bytes(kSpan, 0xEE);
  EXPECT_TRUE(memory.read(kBase, bytes.data(), kSpan));
  return bytes;
}

inline void apply(std::vector<uint8_t>& bytes, const Area& a) {
  std::fill_n(bytes.begin() + static_cast<long>(a.offset), a.size, a.fill);
}

}  // namespace kestrane::test
