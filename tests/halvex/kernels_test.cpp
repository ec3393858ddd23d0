// The numeric kernels on plain arrays, against straightforward loops: bit
// exactness, vectorised against scalar paths, NaN rules; the kernels picked
// per instruction set on every set the CPU offers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "halvex/kernels_elementwise.h"
#include "halvex/kernels_exp.h"
#include "halvex/kernels_matmul.h"
#include "halvex/kernels_reduce.h"
#include "halvex/strided_loop.h"
#include "isa_test_util.h"

namespace kestrane::halvex::kernels {
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

class Kernels : public test::EveryIsa {};
HALVEX_ON_EVERY_ISA(Kernels);

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

TEST_P(Kernels, MatmulMatchesKOrderedReferenceBitForBit) {
  for (auto [m, n, k] : std::vector<std::array<int64_t, 3>>{
           {1, 1, 1}, {3, 5, 7}, {4, 24, 9}, {7, 33, 65}, {13, 70, 31}, {64, 64, 64}, {2, 100, 1}, {9, 17, 128}}) {
    auto a = randomVector<float>(m * k, 1 + m, -10, 10);
    auto b = randomVector<float>(k * n, 2 + n, -10, 10);
    std::vector<float> c(m * n, -1.0f);
    matmulF32(a.data(), b.data(), c.data(), m, n, k);
    auto ref = referenceMatmul(a, b, m, n, k);
    for (size_t i = 0; i < c.size(); ++i) ASSERT_TRUE(sameBits(c[i], ref[i])) << m << "x" << n << "x" << k << " @" << i;
  }
  const int64_t m = 11, n = 37, k = 29;
  auto a = randomVector<double>(m * k, 5);
  auto b = randomVector<double>(k * n, 6);
  std::vector<double> c(m * n);
  matmulF64(a.data(), b.data(), c.data(), m, n, k);
  auto ref = referenceMatmul(a, b, m, n, k);
  for (size_t i = 0; i < c.size(); ++i) ASSERT_EQ(std::memcmp(&c[i], &ref[i], 8), 0) << i;
}

// Distance in units in the last place between a float and the exact value.
double ulpDistance(float got, double exact) {
  const float e = static_cast<float>(exact);
  const double ulp = std::nextafter(std::fabs(e), std::numeric_limits<float>::infinity()) - std::fabs(e);
  return std::fabs(double(got) - exact) / ulp;
}

TEST_P(Kernels, ExpAccurateAndIdenticalOnScalarAndVectorPaths) {
  std::vector<float> x;
  for (float v = -104.5f; v < 89.5f; v += 0.0137f) x.push_back(v);
  x.insert(x.end(), {0.0f, -0.0f, 1e-30f, -1e-30f, kNaN, std::numeric_limits<float>::infinity(),
                     -std::numeric_limits<float>::infinity(), 88.7f, -87.5f, -100.0f});
  std::vector<float> run(x.size());
  expRunF32Dispatch(run.data(), x.data(), static_cast<int64_t>(x.size()));
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

TEST_P(Kernels, ArgmaxTakesFirstExtremeOnLongLines) {
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
  // Zeros: the first of -0.0 and 0.0 wins.
  std::vector<float> z(100, -1.0f);
  z[10] = -0.0f;
  z[20] = 0.0f;
  float best = z[0];
  int64_t idx = 0;
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

TEST_P(Kernels, VectorisedArgLinesFollowTheSequentialRule) {
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

TEST(StridedLoopTest, MergesEvenlyStridedDimensionsAndVisitsRowMajor) {
  // A transposed 3 x 2 float block: shape (2, 3), strides (4, 8).
  StridedLoop<1> loop{{2, 3}, {{std::vector<int64_t>{4, 8}}}};
  std::vector<int64_t> offsets;
  // A real block: pointer arithmetic on a null base is undefined.
  std::vector<char> block(24);
  char* base = block.data();
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
