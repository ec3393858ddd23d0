// The transposition kernels against the plain definition, for every channel
// count of the dispatch table, item sizes off the tile grid and every
// instruction set (those the CPU lacks fall back to the widest it has).

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "dataplane/kernel_isa.h"
#include "dataplane/transpose.h"

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
  for (uint32_t c = 1; c <= 40; ++c) {
    for (const auto& [h, w] : {std::pair<uint32_t, uint32_t>{1, 13}, {3, 24}, {5, 7}, {1, 1}, {2, 41}}) {
      const size_t n = size_t{h} * w;
      const std::vector<T> chw = randomElements<T>(n * c, c * 100 + h);
      std::vector<T> hwc(n * c), back(n * c);
      transposeCHWToHWC<T>(hwc.data(), chw.data(), h, w, c);
      for (size_t p = 0; p < n; ++p)
        for (size_t ch = 0; ch < c; ++ch) ASSERT_EQ(hwc[p * c + ch], chw[ch * n + p]) << sizeof(T) << " " << c;
      transposeHWCToCHW<T>(back.data(), hwc.data(), h, w, c);
      ASSERT_EQ(back, chw) << sizeof(T) << "-byte C=" << c << " N=" << n;
    }
  }
  // The building blocks: a rectangle of tiles writes only the rectangle.
  const std::vector<T> m = randomElements<T>(19 * 27, 5);
  std::vector<T> tiled(19 * 27, T(0x5A)), strided(19 * 27);
  transposeTile<T>(tiled.data(), m.data(), 19, 27, 3, 5, 17, 26);
  for (size_t r = 0; r < 19; ++r)
    for (size_t c = 0; c < 27; ++c)
      ASSERT_EQ(tiled[c * 19 + r], r >= 3 && r < 17 && c >= 5 && c < 26 ? m[r * 27 + c] : T(0x5A));
  transposeStrided<T>(strided.data(), m.data(), 19, 27);
  transposeTile<T>(tiled.data(), m.data(), 19, 27, 0, 0, 19, 27);
  EXPECT_EQ(strided, tiled);
  if constexpr (sizeof(T) < 4) {
    transposeBlocked8<T>(tiled.data(), m.data(), 19, 27);
    EXPECT_EQ(strided, tiled);
  }
}

TEST(Transpose, EveryWidthAndChannelCountMatchesTheDefinition) {
  for (KernelIsa isa : {KernelIsa::Baseline, KernelIsa::Avx2, KernelIsa::Avx512}) {
    limitKernelIsa(isa);
    checkEveryChannelCount<uint8_t>();
    checkEveryChannelCount<uint16_t>();
    checkEveryChannelCount<uint32_t>();
  }
  limitKernelIsa(KernelIsa::Avx512);
}

// Matrices with whole bands of 64 rows and their edges, in both directions:
// the widest byte blocks and what is left around them.
TEST(Transpose, WideByteBlocksAndTheirEdgesMatchTheDefinition) {
  for (KernelIsa isa : {KernelIsa::Avx2, KernelIsa::Avx512}) {
    limitKernelIsa(isa);
    for (uint32_t c : {64u, 70u, 129u}) {
      for (const auto& [h, w] : {std::pair<uint32_t, uint32_t>{8, 8}, {7, 19}, {1, 200}}) {
        const size_t n = size_t{h} * w;
        const std::vector<uint8_t> chw = randomElements<uint8_t>(n * c, c + h);
        std::vector<uint8_t> hwc(n * c), back(n * c);
        transposeCHWToHWC<uint8_t>(hwc.data(), chw.data(), h, w, c);
        for (size_t p = 0; p < n; ++p)
          for (size_t ch = 0; ch < c; ++ch) ASSERT_EQ(hwc[p * c + ch], chw[ch * n + p]) << "C=" << c << " N=" << n;
        transposeHWCToCHW<uint8_t>(back.data(), hwc.data(), h, w, c);
        ASSERT_EQ(back, chw) << "C=" << c << " N=" << n;
      }
    }
  }
  limitKernelIsa(KernelIsa::Avx512);
}

TEST(Transpose, InterleavesTwoPlanes) {
  const std::vector<uint8_t> src = {'a', 'b', 'c', 'd', 'e', 'f'};
  std::vector<uint8_t> hwc(6), chw(6);
  transposeCHWToHWC<uint8_t>(hwc.data(), src.data(), 1, 3, 2);
  EXPECT_EQ(hwc, (std::vector<uint8_t>{'a', 'd', 'b', 'e', 'c', 'f'}));
  transposeHWCToCHW<uint8_t>(chw.data(), hwc.data(), 1, 3, 2);
  EXPECT_EQ(chw, src);
}

}  // namespace
}  // namespace kestrane::test
