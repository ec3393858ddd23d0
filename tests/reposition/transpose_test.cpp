// The transposition kernels against the plain definition, for every channel
// count of the dispatch table and item sizes off the tile grid.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "model/transpose.h"

namespace kestrane::test {
namespace {

template <typename T>
std::vector<T> randomElements(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> v(n);
  for (T& x : v) x = static_cast<T>(rng());
  return v;
}

template <typename T>
void checkEveryChannelCount() {
  const std::pair<uint32_t, uint32_t> items[] = {{1, 13}, {3, 24}, {5, 7}, {1, 1}};
  for (uint32_t c = 1; c <= 20; ++c) {
    for (const auto& [h, w] : items) {
      const size_t n = size_t{h} * w;
      const std::vector<T> chw = randomElements<T>(n * c, c * 100 + h);
      std::vector<T> hwc(n * c), back(n * c);
      transposeCHWToHWC<T>(hwc.data(), chw.data(), h, w, c);
      for (size_t p = 0; p < n; ++p)
        for (size_t ch = 0; ch < c; ++ch)
          ASSERT_EQ(hwc[p * c + ch], chw[ch * n + p]) << sizeof(T) << "-byte C=" << c << " N=" << n;
      transposeHWCToCHW<T>(back.data(), hwc.data(), h, w, c);
      ASSERT_EQ(back, chw) << sizeof(T) << "-byte C=" << c << " N=" << n;
    }
  }
}

TEST(Transpose, EveryWidthAndChannelCountMatchesTheDefinition) {
  checkEveryChannelCount<uint8_t>();
  checkEveryChannelCount<uint16_t>();
  checkEveryChannelCount<uint32_t>();
}

TEST(Transpose, InterleavesTwoPlanes) {
  const std::vector<uint8_t> src = {'a', 'b', 'c', 'd', 'e', 'f'};
  std::vector<uint8_t> hwc(6), chw(6);
  transposeCHWToHWC<uint8_t>(hwc.data(), src.data(), 1, 3, 2);
  EXPECT_EQ(hwc, (std::vector<uint8_t>{'a', 'd', 'b', 'e', 'c', 'f'}));
  transposeHWCToCHW<uint8_t>(chw.data(), hwc.data(), 1, 3, 2);
  EXPECT_EQ(chw, src);
}

// The building blocks over rectangles: only the rectangle is written.
template <typename T>
void checkBuildingBlocks() {
  const uint64_t a = 19, b = 27;
  const std::vector<T> src = randomElements<T>(a * b, 5);
  auto reference = [&](uint64_t r0, uint64_t c0, uint64_t r1, uint64_t c1) {
    std::vector<T> out(a * b, T(0x5A));
    for (uint64_t r = r0; r < r1; ++r)
      for (uint64_t c = c0; c < c1; ++c) out[c * a + r] = src[r * b + c];
    return out;
  };
  std::vector<T> dst(a * b, T(0x5A));
  transposeTile<T>(dst.data(), src.data(), a, b, 3, 5, 17, 26);
  EXPECT_EQ(dst, reference(3, 5, 17, 26));
  for (auto [rows, cols] : {std::pair<uint64_t, uint64_t>{a, b}, {b, a}}) {
    const std::vector<T> m = randomElements<T>(rows * cols, 9);
    std::vector<T> strided(rows * cols), tiled(rows * cols);
    transposeStrided<T>(strided.data(), m.data(), rows, cols);
    transposeTile<T>(tiled.data(), m.data(), rows, cols, 0, 0, rows, cols);
    EXPECT_EQ(strided, tiled);
    if constexpr (sizeof(T) < 4) {
      std::vector<T> blocked(rows * cols);
      transposeBlocked8<T>(blocked.data(), m.data(), rows, cols);
      EXPECT_EQ(blocked, tiled);
    }
  }
}

TEST(Transpose, BuildingBlocksAgree) {
  checkBuildingBlocks<uint8_t>();
  checkBuildingBlocks<uint16_t>();
  checkBuildingBlocks<uint32_t>();
}

}  // namespace
}  // namespace kestrane::test
