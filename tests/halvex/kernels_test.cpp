// The numeric kernels on plain arrays, against straightforward loops.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "halvex/kernels_elementwise.h"
#include "halvex/kernels_exp.h"
#include "halvex/kernels_functional.h"
#include "halvex/kernels_matmul.h"
#include "halvex/kernels_reduce.h"
#include "halvex/kernels_sort.h"
#include "halvex/strided_loop.h"

namespace kestrane::halvex::kernels {
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

template <typename T>
std::vector<T> randomVector(size_t n, uint32_t seed, double lo = -1.0, double hi = 1.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<T> v(n);
  for (auto& x : v) x = static_cast<T>(dist(gen));
  return v;
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The reference product: i, k, j order, product rounded before the sum.
template <typename T>
std::vector<T> referenceMatmul(const std::vector<T>& a, const std::vector<T>& b, int64_t m, int64_t n, int64_t k) {
  std::vector<T> c(static_cast<size_t>(m * n), T(0));
  for (int64_t i = 0; i < m; ++i)
    for (int64_t kk = 0; kk < k; ++kk) {
      volatile T av = a[i * k + kk];
      for (int64_t j = 0; j < n; ++j) {
        volatile T p = av * b[kk * n + j];
        c[i * n + j] = kk == 0 ? T(p) : T(c[i * n + j] + p);
      }
    }
  return c;
}

TEST(MatmulKernel, MatchesKOrderedReferenceBitForBit) {
  for (auto [m, n, k] : std::vector<std::array<int64_t, 3>>{
           {1, 1, 1}, {3, 5, 7}, {4, 24, 9}, {7, 33, 65}, {13, 70, 31}, {64, 64, 64}, {2, 100, 1}, {9, 17, 128}}) {
    auto a = randomVector<float>(m * k, 1 + m, -10, 10);
    auto b = randomVector<float>(k * n, 2 + n, -10, 10);
    std::vector<float> c(m * n, -1.0f);
    matmulF32(a.data(), b.data(), c.data(), m, n, k);
    auto ref = referenceMatmul(a, b, m, n, k);
    for (size_t i = 0; i < c.size(); ++i) ASSERT_TRUE(sameBits(c[i], ref[i])) << m << "x" << n << "x" << k << " @" << i;
  }
}

TEST(MatmulKernel, Float64MatchesReference) {
  const int64_t m = 11, n = 37, k = 29;
  auto a = randomVector<double>(m * k, 5);
  auto b = randomVector<double>(k * n, 6);
  std::vector<double> c(m * n);
  matmulF64(a.data(), b.data(), c.data(), m, n, k);
  auto ref = referenceMatmul(a, b, m, n, k);
  for (size_t i = 0; i < c.size(); ++i) ASSERT_EQ(std::memcmp(&c[i], &ref[i], 8), 0) << i;
}

TEST(MatmulKernel, SumsInFloat32WithoutFusing) {
  // 1e8 + 1 rounds to 1e8 before -1e8 is added.
  const float a[3] = {1e8f, 1.0f, -1e8f};
  const float b[3] = {1.0f, 1.0f, 1.0f};
  float c = -5.0f;
  matmulF32(a, b, &c, 1, 1, 3);
  EXPECT_EQ(c, 0.0f);
}

TEST(MatmulKernel, EmptyInnerDimensionGivesZeros) {
  std::vector<float> c(6, 7.0f);
  matmulF32(nullptr, nullptr, c.data(), 2, 3, 0);
  for (float v : c) EXPECT_EQ(v, 0.0f);
}

// Distance in units in the last place between a float and the exact value.
double ulpDistance(float got, double exact) {
  const float e = static_cast<float>(exact);
  const double ulp = std::nextafter(std::fabs(e), std::numeric_limits<float>::infinity()) - std::fabs(e);
  return std::fabs(double(got) - exact) / ulp;
}

TEST(ExpKernel, AccurateAndIdenticalOnScalarAndVectorPaths) {
  std::vector<float> x;
  for (float v = -104.5f; v < 89.5f; v += 0.0137f) x.push_back(v);
  x.insert(x.end(), {0.0f, -0.0f, 1e-30f, -1e-30f, kNaN, std::numeric_limits<float>::infinity(),
                     -std::numeric_limits<float>::infinity(), 88.7f, -87.5f, -100.0f});
  std::vector<float> run(x.size());
  expRunF32(run.data(), x.data(), static_cast<int64_t>(x.size()));
  double worst = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const float scalar = expF32(x[i]);
    ASSERT_TRUE(sameBits(scalar, run[i]) || (std::isnan(scalar) && std::isnan(run[i]))) << x[i];
    if (std::isnan(x[i])) {
      EXPECT_TRUE(std::isnan(scalar));
      continue;
    }
    const double exact = std::exp(double(x[i]));
    if (exact > std::numeric_limits<float>::max()) {
      EXPECT_EQ(scalar, std::numeric_limits<float>::infinity()) << x[i];
      continue;
    }
    worst = std::max(worst, ulpDistance(scalar, exact));
  }
  EXPECT_LE(worst, 2.0);
  EXPECT_EQ(expF32(0.0f), 1.0f);
}

TEST(ElementwiseKernels, BinaryRunsHonourStridesAndBroadcast) {
  std::vector<int8_t> a = {100, 100, -128, 5};
  std::vector<int8_t> out(4);
  const int8_t one = 100;
  binaryKernel<int8_t, AddOp>()(out.data(), a.data(), &one, 4, 1, 1, 0);
  EXPECT_EQ(out, (std::vector<int8_t>{-56, -56, -28, 105}));
  // Left operand broadcast stays the left operand: 1 - x.
  std::vector<float> x = {1, 2, 3}, y(3);
  const float l = 1.0f;
  binaryKernel<float, SubOp>()(y.data(), &l, x.data(), 3, 1, 0, 1);
  EXPECT_EQ(y, (std::vector<float>{0, -1, -2}));
  // Strided: every second element.
  std::vector<int32_t> s = {1, 9, 2, 9, 3, 9}, r(3);
  binaryKernel<int32_t, MulOp>()(r.data(), s.data(), s.data(), 3, 1, 2, 2);
  EXPECT_EQ(r, (std::vector<int32_t>{1, 4, 9}));
}

TEST(ElementwiseKernels, NaNRulesOfMaximumAndComparisons) {
  EXPECT_TRUE(std::isnan(MaximumOp::apply(kNaN, 1.0f)));
  EXPECT_EQ(MaximumOp::apply(1.0f, kNaN), 1.0f);
  EXPECT_EQ(ClampMaxOp::apply(1.0f, kNaN), 1.0f);
  EXPECT_EQ(LessOp::apply(kNaN, 1.0f), 0);
  EXPECT_EQ(EqualOp::apply(kNaN, kNaN), 0);
  EXPECT_EQ(NotEqualOp::apply(kNaN, kNaN), 1);
  EXPECT_EQ(LogicalAndOp::apply(kNaN, 1.0f), 1);
  EXPECT_EQ(LogicalAndOp::apply(-0.0f, 1.0f), 0);
  EXPECT_EQ(LogicalNotOp::apply(kNaN), 0);
  EXPECT_TRUE(std::isnan(HardswishOp::apply(kNaN)));
}

TEST(ElementwiseKernels, IntegerRulesWrap) {
  EXPECT_EQ(AbsOp::apply(int8_t(-128)), int8_t(-128));
  EXPECT_EQ(SquareOp::apply(int8_t(16)), int8_t(0));
  EXPECT_EQ(PowOp::apply(int32_t(2), int32_t(10)), 1024);
  EXPECT_EQ(PowOp::apply(int32_t(2), int32_t(-1)), 2);
  EXPECT_EQ(PowOp::apply(uint8_t(2), uint8_t(8)), 0);
  EXPECT_EQ(PowOp::apply(int64_t(3), int64_t(0)), 1);
  EXPECT_EQ(RemainderOp::apply(-5.0f, 3.0f), 1.0f);
  EXPECT_EQ(RemainderOp::apply(5.0f, -3.0f), -1.0f);
  EXPECT_EQ(FmodOp::apply(-5.0f, 3.0f), -2.0f);
}

template <typename T, typename F>
void checkReduceAgainstLoop(const std::vector<T>& in, int64_t rows, int64_t cols) {
  // Along dimension 0 (outputs contiguous) and dimension 1 (lines contiguous).
  std::vector<T> acc0(in.begin(), in.begin() + cols), acc1(rows);
  reduceKernel<T, F>()(acc0.data(), in.data() + cols, cols, 1, rows - 1, cols);
  for (int64_t r = 0; r < rows; ++r) acc1[r] = in[r * cols];
  reduceKernel<T, F>()(acc1.data(), in.data() + 1, rows, cols, cols - 1, 1);
  for (int64_t c = 0; c < cols; ++c) {
    T a = in[c];
    for (int64_t r = 1; r < rows; ++r) a = F::apply(a, in[r * cols + c]);
    ASSERT_EQ(std::memcmp(&a, &acc0[c], sizeof(T)), 0) << c;
  }
  for (int64_t r = 0; r < rows; ++r) {
    T a = in[r * cols];
    for (int64_t c = 1; c < cols; ++c) a = F::apply(a, in[r * cols + c]);
    ASSERT_EQ(std::memcmp(&a, &acc1[r], sizeof(T)), 0) << r;
  }
}

TEST(ReduceKernels, MatchSequentialLoopsInBothDirections) {
  for (auto [rows, cols] : std::vector<std::pair<int64_t, int64_t>>{{2, 1000}, {1000, 2}, {3, 5}, {17, 100}}) {
    auto f = randomVector<float>(rows * cols, 11, -100, 100);
    checkReduceAgainstLoop<float, SumReduce>(f, rows, cols);
    checkReduceAgainstLoop<float, MaxReduce>(f, rows, cols);
    checkReduceAgainstLoop<float, MinReduce>(f, rows, cols);
    auto i8 = randomVector<int8_t>(rows * cols, 12, -128, 127);
    checkReduceAgainstLoop<int8_t, SumReduce>(i8, rows, cols);
    checkReduceAgainstLoop<int8_t, ProdReduce>(i8, rows, cols);
    auto i64 = randomVector<int64_t>(rows * cols, 13, -1e6, 1e6);
    checkReduceAgainstLoop<int64_t, SumReduce>(i64, rows, cols);
    checkReduceAgainstLoop<int64_t, MaxReduce>(i64, rows, cols);
  }
}

TEST(ReduceKernels, Int8SumWraps) {
  std::vector<int8_t> v(1000, 100);
  int8_t acc = v[0];
  reduceKernel<int8_t, SumReduce>()(&acc, v.data() + 1, 1, 0, 999, 1);
  EXPECT_EQ(acc, static_cast<int8_t>(static_cast<uint8_t>(100 * 1000 % 256)));
}

TEST(ReduceKernels, MaxKeepsLeadingNaNAndIgnoresLaterNaN) {
  float lead[3] = {kNaN, 1, 2};
  float acc = lead[0];
  reduceKernel<float, MaxReduce>()(&acc, lead + 1, 1, 0, 2, 1);
  EXPECT_TRUE(std::isnan(acc));
  float mid[3] = {1, kNaN, 2};
  acc = mid[0];
  reduceKernel<float, MaxReduce>()(&acc, mid + 1, 1, 0, 2, 1);
  EXPECT_EQ(acc, 2.0f);
}

TEST(ReduceKernels, ArgmaxTakesFirstExtremeOnLongLines) {
  std::vector<float> v = randomVector<float>(300, 21);
  v[50] = 5.0f;
  v[200] = 5.0f;
  v[7] = kNaN;
  for (bool longLine : {true, false}) {
    const int64_t n = longLine ? 300 : 60;
    float best = v[0];
    int64_t idx = 0;
    argReduceKernel<float, ArgReduce<true>>()(&best, &idx, v.data() + 1, 1, 0, n - 1, 1, 1);
    EXPECT_EQ(idx, 50);
    EXPECT_EQ(best, 5.0f);
  }
  // A NaN in front stays the best value.
  std::vector<float> w = {kNaN, 1, 2};
  float best = w[0];
  int64_t idx = 0;
  argReduceKernel<float, ArgReduce<true>>()(&best, &idx, w.data() + 1, 1, 0, 2, 1, 1);
  EXPECT_EQ(idx, 0);
  // Zeros: the first of -0.0 and 0.0 wins.
  std::vector<float> z(100, -1.0f);
  z[10] = -0.0f;
  z[20] = 0.0f;
  best = z[0];
  idx = 0;
  argReduceKernel<float, ArgReduce<true>>()(&best, &idx, z.data() + 1, 1, 0, 99, 1, 1);
  EXPECT_EQ(idx, 10);
  EXPECT_TRUE(std::signbit(best));
}

template <typename T, bool kMax>
void checkArgAgainstSequential(uint32_t seed) {
  for (int64_t n : {64, 100, 1000, 5000}) {
    // Few distinct values: many ties across lanes.
    auto v = randomVector<T>(static_cast<size_t>(n), seed + static_cast<uint32_t>(n), std::is_unsigned_v<T> ? 0 : -3, 3);
    if constexpr (std::is_floating_point_v<T>) {
      v[n / 3] = std::numeric_limits<T>::quiet_NaN();
      v[n / 2] = T(-0.0);
    }
    T best = v[0];
    int64_t idx = 0;
    argReduceKernel<T, ArgReduce<kMax>>()(&best, &idx, v.data() + 1, 1, 0, n - 1, 1, 1);
    T want = v[0];
    int64_t wantIdx = 0;
    for (int64_t k = 1; k < n; ++k) {
      if (ArgReduce<kMax>::better(v[k], want)) {
        want = v[k];
        wantIdx = k;
      }
    }
    ASSERT_EQ(idx, wantIdx) << n;
    ASSERT_EQ(std::memcmp(&best, &want, sizeof(T)), 0) << n;
  }
}

TEST(ReduceKernels, VectorisedArgLinesFollowTheSequentialRule) {
  for (uint32_t seed = 0; seed < 5; ++seed) {
    checkArgAgainstSequential<float, true>(seed);
    checkArgAgainstSequential<float, false>(seed);
    checkArgAgainstSequential<double, true>(seed);
    checkArgAgainstSequential<int32_t, true>(seed);
    checkArgAgainstSequential<int64_t, false>(seed);
    checkArgAgainstSequential<int8_t, true>(seed);
    checkArgAgainstSequential<uint8_t, false>(seed);
    checkArgAgainstSequential<int16_t, true>(seed);
  }
}

TEST(SortKernels, SortOrdersNaNLargestAndReturnsPermutation) {
  for (int64_t n : {5, 200}) {
    auto v = randomVector<float>(n, 31, -50, 50);
    v[1] = kNaN;
    v[n - 1] = -kNaN;
    v[2] = v[3];
    for (bool desc : {false, true}) {
      std::vector<float> out(n);
      std::vector<int64_t> idx(n);
      SortScratch<float> s;
      sortLine(v.data(), n, 1, out.data(), 1, idx.data(), 1, desc, s);
      std::vector<bool> seen(n, false);
      for (int64_t i = 0; i < n; ++i) {
        ASSERT_FALSE(seen[idx[i]]);
        seen[idx[i]] = true;
        ASSERT_TRUE(sameBits(out[i], v[idx[i]]));
        if (i > 0) {
          ASSERT_FALSE(desc ? sortLess(out[i - 1], out[i]) : sortLess(out[i], out[i - 1])) << i;
        }
      }
      EXPECT_TRUE(std::isnan(desc ? out[0] : out[n - 1]));
    }
  }
}

TEST(SortKernels, IntegerKeysKeepSignedness) {
  std::vector<int8_t> v(100);
  for (int i = 0; i < 100; ++i) v[i] = static_cast<int8_t>(i * 37);
  std::vector<int8_t> out(100);
  std::vector<int64_t> idx(100);
  SortScratch<int8_t> s;
  sortLine(v.data(), 100, 1, out.data(), 1, idx.data(), 1, false, s);
  for (int i = 1; i < 100; ++i) ASSERT_LE(out[i - 1], out[i]);
  std::vector<uint8_t> u = {200, 100};
  std::vector<uint8_t> uo(2);
  SortScratch<uint8_t> su;
  sortLine(u.data(), 2, 1, uo.data(), 1, idx.data(), 1, false, su);
  EXPECT_EQ(uo, (std::vector<uint8_t>{100, 200}));
}

TEST(SortKernels, TopkPicksExtremes) {
  std::vector<float> v = {1, 5, 3, 4};
  std::vector<float> out(2);
  std::vector<int64_t> idx(2);
  SortScratch<float> s;
  topkLine(v.data(), 4, 1, 2, true, true, out.data(), 1, idx.data(), 1, s);
  EXPECT_EQ(out, (std::vector<float>{5, 4}));
  EXPECT_EQ(idx, (std::vector<int64_t>{1, 3}));
  topkLine(v.data(), 4, 1, 2, false, true, out.data(), 1, idx.data(), 1, s);
  EXPECT_EQ(out, (std::vector<float>{1, 3}));
  EXPECT_EQ(idx, (std::vector<int64_t>{0, 2}));
}

TEST(FunctionalKernels, SoftmaxMatchesDoubleReference) {
  const int64_t outer = 3, s = 7, inner = 5;
  auto x = randomVector<float>(outer * s * inner, 41, -20, 20);
  std::vector<float> y(x.size());
  softmaxBlock(x.data(), y.data(), outer, s, inner);
  for (int64_t o = 0; o < outer; ++o)
    for (int64_t i = 0; i < inner; ++i) {
      double m = -1e300, sum = 0;
      for (int64_t k = 0; k < s; ++k) m = std::max(m, double(x[(o * s + k) * inner + i]));
      for (int64_t k = 0; k < s; ++k) sum += std::exp(x[(o * s + k) * inner + i] - m);
      for (int64_t k = 0; k < s; ++k)
        EXPECT_NEAR(y[(o * s + k) * inner + i], std::exp(x[(o * s + k) * inner + i] - m) / sum, 1e-6);
    }
}

TEST(FunctionalKernels, InterpolationFollowsTruncatedCoordinates) {
  const float in[4] = {1, 2, 3, 4};  // 2 x 2
  float out[16];
  resizeNearest(in, out, 1, 2, 2, 4, 4);
  const float rows[4] = {1, 1, 1, 3};  // rows 0, 0, 0, 1; columns 0, 0, 0, 1
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(out[r * 4 + 0], rows[r]);
    EXPECT_EQ(out[r * 4 + 3], rows[r] + 1);
  }
  resizeLinear(in, out, 1, 2, 2, 4, 4);
  const float col0[4] = {1, 1.5f, 2.5f, 3};  // r0, .75 r0 + .25 r1, .25 r0 + .75 r1, r1
  for (int r = 0; r < 4; ++r) EXPECT_FLOAT_EQ(out[r * 4], col0[r]);
}

TEST(StridedLoopTest, MergesEvenlyStridedDimensionsAndVisitsRowMajor) {
  // A transposed 3 x 2 float block: shape (2, 3), strides (4, 8).
  StridedLoop<1> loop{{2, 3}, {{std::vector<int64_t>{4, 8}}}};
  std::vector<int64_t> offsets;
  char* base = nullptr;
  loop.run({base}, [&](const std::array<char*, 1>& p, int64_t n, const std::array<int64_t, 1>& step) {
    for (int64_t i = 0; i < n; ++i) offsets.push_back((p[0] - base) + i * step[0]);
  });
  EXPECT_EQ(offsets, (std::vector<int64_t>{0, 8, 16, 4, 12, 20}));
  int runs = 0;
  StridedLoop<2> dense{{2, 1, 3}, {{std::vector<int64_t>{12, 12, 4}, std::vector<int64_t>{12, 4, 4}}}};
  dense.run({base, base}, [&](const std::array<char*, 2>&, int64_t n, const std::array<int64_t, 2>&) {
    ++runs;
    EXPECT_EQ(n, 6);
  });
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace kestrane::halvex::kernels
