// Matrix product, normalisation, softmax, softplus and interpolation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "halvex/free_functions.h"
#include "halvex/functional.h"
#include "halvex/indexing.h"
#include "halvex/tensor.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

namespace kestrane::halvex {
namespace {

using test::make;
using test::randomTensor;
using test::values;
namespace F = nn::functional;

// Bit-exact against a k-ordered loop is checked on the kernel: a product of
// any layout gives the same bits as that of the row-major copies.
TEST(Matmul, AnyLayoutGivesTheBitsOfRowMajorCopies) {
  const Tensor b = randomTensor({29, 41}, DType::Float32, 2);
  const Tensor at = randomTensor({29, 37}, DType::Float32, 3).transpose(0, 1);
  const Tensor bt = randomTensor({41, 29}, DType::Float32, 4).transpose(0, 1);
  // Operands at an offset inside larger storage.
  const Tensor off = randomTensor({40, 50}, DType::Float32, 5)
                         .index({indexing::TensorIndex::slice(3, 40), indexing::TensorIndex::slice(7, 36)});
  for (auto [x, y] : {std::pair{at, bt}, std::pair{off, b}, std::pair{at, b.flip({1})}}) {
    const Tensor got = x.matmul(y).contiguous(), want = x.contiguous().matmul(y.contiguous());
    ASSERT_EQ(got.shape(), want.shape());
    EXPECT_EQ(std::memcmp(got.basePtr(), want.basePtr(), static_cast<size_t>(got.numel()) * sizeof(float)), 0);
  }
}

TEST(Matmul, ShapesAndDtypes) {
  EXPECT_EQ(test::iota({2, 3}).matmul(test::iota({3, 4})).shape(), (std::vector<int64_t>{2, 4}));
  EXPECT_EQ(test::iota({5, 2, 3}).matmul(test::iota({3, 4})).shape(), (std::vector<int64_t>{5, 2, 4}));
  EXPECT_EQ(test::iota({2, 3}).matmul(test::iota({3})).shape(), (std::vector<int64_t>{2}));
  EXPECT_EQ(test::iota({3}).matmul(test::iota({3, 4})).shape(), (std::vector<int64_t>{4}));
  const Tensor dot = test::iota({3}).matmul(test::iota({3}));
  EXPECT_EQ(dot.shape(), (std::vector<int64_t>{}));
  EXPECT_EQ(values(dot), (std::vector<double>{5}));
  EXPECT_EQ(test::iota({2, 3}).matmul(test::iota({3, 2}, DType::Float64)).dtype(), DType::Float64);
  EXPECT_EQ(values(make({1e8, 1, -1e8}, DType::Float32, {1, 3}).matmul(make({1, 1, 1}, DType::Float32))),
            (std::vector<double>{0}));
  const Tensor empty = test::iota({2, 0}).matmul(test::iota({0, 3}));
  EXPECT_EQ(values(empty), std::vector<double>(6, 0.0));
  kestrane::test::LogCapture log;
  EXPECT_FALSE(test::iota({2, 3}).matmul(test::iota({4, 5})).defined());
  EXPECT_EQ(log.count("Unmatched shape, 3 vs. 4"), 1u);
  EXPECT_FALSE(test::iota({2, 3}).matmul(test::iota({3, 1, 1})).defined());
  EXPECT_FALSE(test::iota({2, 3}).matmul(scalarTensor(1, DType::Float32)).defined());
  EXPECT_EQ(log.count("The number of rhs dimension for matmul should be 1 or 2."), 2u);
  EXPECT_FALSE(test::iota({2, 3}, DType::Int32).matmul(test::iota({3, 2}, DType::Int32)).defined());
  EXPECT_EQ(log.count("Matmul of integral types are not implemented yet."), 1u);
}

// float64 softmax of each line along dim.
void expectSoftmax(const Tensor& x, const Tensor& y, int64_t dim) {
  const Tensor xd = x.to(DType::Float64);
  const Tensor m = std::get<0>(xd.max(dim, true));
  const Tensor e = (xd - m).exp();
  const Tensor want = e / e.sum(dim, true);
  const auto got = values(y), ref = values(want);
  ASSERT_EQ(got.size(), ref.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], ref[i], 1e-6) << i;
}

TEST(Softmax, MatchesFloat64ReferenceAlongEveryDimension) {
  const Tensor x = randomTensor({3, 4, 5}, DType::Float32, 11, -20, 20);
  for (int64_t dim = -3; dim < 3; ++dim) expectSoftmax(x, F::softmax(x, dim), dim < 0 ? dim + 3 : dim);
  const auto r = values(F::softmax(make({1, 2, 3}, DType::Float32, {1, 3}), 1));
  EXPECT_NEAR(r[0], 0.0900, 5e-5);
  EXPECT_NEAR(r[1], 0.2447, 5e-5);
  EXPECT_NEAR(r[2], 0.6652, 5e-5);
}

TEST(Softmax, IntegerInputsComputeInFloat32WithoutWrapping) {
  const Tensor i8 = F::softmax(make({100, -100}, DType::Int8), 0);
  EXPECT_EQ(i8.dtype(), DType::Float32);
  EXPECT_GT(values(i8)[0], 0.99);
  const Tensor u8 = F::softmax(make({1, 2}, DType::UInt8), 0);
  expectSoftmax(make({1, 2}, DType::Float32), u8, 0);
  EXPECT_EQ(F::softmax(make({1, 2}, DType::Int32), 0).dtype(), DType::Float32);
  kestrane::test::LogCapture log;
  EXPECT_FALSE(F::softmax(test::iota({2, 2}), 2).defined());
  EXPECT_EQ(log.count("out of range"), 1u);
}

TEST(Softplus, IsLogOfOnePlusExp) {
  const auto r = values(F::softplus(make({0, 1, -2}, DType::Float32)));
  EXPECT_NEAR(r[0], std::log(2.0), 1e-6);
  EXPECT_NEAR(r[1], std::log1p(std::exp(1.0)), 1e-6);
  EXPECT_NEAR(r[2], std::log1p(std::exp(-2.0)), 1e-6);
}

// float64 normalisation of consecutive groups of n elements of x (row-major).
std::vector<double> normaliseGroups(const std::vector<double>& x, size_t n, double eps) {
  std::vector<double> out(x.size());
  for (size_t g = 0; g < x.size() / n; ++g) {
    double mean = 0, var = 0;
    for (size_t i = 0; i < n; ++i) mean += x[g * n + i];
    mean /= double(n);
    for (size_t i = 0; i < n; ++i) var += (x[g * n + i] - mean) * (x[g * n + i] - mean);
    var /= double(n);
    for (size_t i = 0; i < n; ++i) out[g * n + i] = (x[g * n + i] - mean) / std::sqrt(var + eps);
  }
  return out;
}

void expectNear(const std::vector<double>& got, const std::vector<double>& want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << i;
}

TEST(Normalisation, GroupNormFusedAndCompositeAgreeWithReference) {
  const Tensor x = randomTensor({2, 6, 3, 4}, DType::Float32, 21);
  F::GroupNormOptions opt;
  opt.num_groups = 3;
  opt.weight = make({1, 2, 3, 1, 2, 3}, DType::Float32);
  opt.bias = make({0, 0, 1, 1, -1, 0}, DType::Float32);
  const auto norm = normaliseGroups(values(x), 2 * 12, 1e-5);
  std::vector<double> want(norm.size());
  for (size_t i = 0; i < norm.size(); ++i) {
    const size_t c = (i / 12) % 6;
    want[i] = norm[i] * values(opt.weight)[c] + values(opt.bias)[c];
  }
  expectNear(values(F::group_norm(x, opt)), want, 2e-5);
  // A float64 weight takes the composite path and yields float64.
  F::GroupNormOptions opt64 = opt;
  opt64.weight = opt.weight.to(DType::Float64);
  const Tensor y64 = F::group_norm(x, opt64);
  EXPECT_EQ(y64.dtype(), DType::Float64);
  expectNear(values(y64), want, 2e-5);
  // Constant groups normalise to zero.
  F::GroupNormOptions plain;
  plain.num_groups = 2;
  plain.weight = make({1, 1, 1, 1}, DType::Float32);
  plain.bias = make({0, 0, 0, 0}, DType::Float32);
  EXPECT_EQ(values(F::group_norm(make(std::vector<double>(16, 4.0), DType::Float32, {1, 4, 2, 2}), plain)),
            std::vector<double>(16, 0.0));
}

TEST(Normalisation, GroupNormRefusesBadGroupsAndShortParameters) {
  const Tensor x = randomTensor({1, 6, 2, 2}, DType::Float32, 22);
  F::GroupNormOptions opt;
  opt.weight = make(std::vector<double>(6, 1), DType::Float32);
  opt.bias = make(std::vector<double>(6, 0), DType::Float32);
  kestrane::test::LogCapture log;
  opt.num_groups = 4;
  EXPECT_FALSE(F::group_norm(x, opt).defined());
  opt.num_groups = 0;
  EXPECT_FALSE(F::group_norm(x, opt).defined());
  opt.num_groups = 3;
  opt.weight = make({1, 1, 1}, DType::Float32);
  EXPECT_FALSE(F::group_norm(x, opt).defined());
  EXPECT_EQ(log.lines().size(), 3u);
}

TEST(Normalisation, InstanceAndLayerNorm) {
  const Tensor x = randomTensor({2, 3, 4}, DType::Float32, 23);
  F::InstanceNormOptions inst;
  expectNear(values(F::instance_norm(x, inst)), normaliseGroups(values(x), 4, 1e-5), 2e-5);
  inst.bias = make({1, 2, 3}, DType::Float32);
  const auto withBias = values(F::instance_norm(x, inst));
  const auto plain = normaliseGroups(values(x), 4, 1e-5);
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_NEAR(withBias[i], plain[i] + 1 + (i / 4) % 3, 2e-5);
  F::LayerNormOptions ln;
  ln.normalized_shape = {4};
  expectNear(values(F::layer_norm(x, ln)), plain, 2e-5);
  ln.normalized_shape = {3, 4};
  ln.weight = make(std::vector<double>(12, 2), DType::Float32, {3, 4});
  ln.bias = make(std::vector<double>(12, 1), DType::Float32, {3, 4});
  const auto scaled = values(F::layer_norm(x, ln));
  const auto ref = normaliseGroups(values(x), 12, 1e-5);
  for (size_t i = 0; i < ref.size(); ++i) EXPECT_NEAR(scaled[i], ref[i] * 2 + 1, 4e-5);
  kestrane::test::LogCapture log;
  ln.normalized_shape = {3};
  EXPECT_FALSE(F::layer_norm(x, ln).defined());
  ln.normalized_shape = {1, 2, 3, 4};
  EXPECT_FALSE(F::layer_norm(x, ln).defined());
  EXPECT_EQ(log.count("Input tensor shape doesn't match normalized shape option."), 2u);
}

F::InterpolateOptions resizeTo(int64_t h, int64_t w, int8_t mode) {
  F::InterpolateOptions o;
  o.size = {h, w};
  o.mode = mode;
  return o;
}

TEST(Interpolate, IdentitiesForBothModesAndFloatTypes) {
  for (DType d : {DType::Float32, DType::Float64}) {
    const Tensor x = randomTensor({2, 3, 5, 7}, d, 31);
    for (int8_t mode : {F::kInterpolateNearest, F::kInterpolateLinear}) {
      const Tensor same = F::interpolate(x, resizeTo(5, 7, mode));
      EXPECT_EQ(same.dtype(), d);
      EXPECT_EQ(values(same), values(x));
      const Tensor c = F::interpolate(make(std::vector<double>(2 * 9, 1.25), d, {1, 2, 3, 3}), resizeTo(7, 4, mode));
      EXPECT_EQ(values(c), std::vector<double>(2 * 28, 1.25));
    }
    // A linear ramp along the width stays a ramp inside the borders.
    std::vector<double> ramp;
    for (int r = 0; r < 2; ++r)
      for (int k = 0; k < 4; ++k) ramp.push_back(k * 2.0);
    const auto up = values(F::interpolate(make(ramp, d, {1, 1, 2, 4}), resizeTo(2, 8, F::kInterpolateLinear)));
    for (int k = 2; k < 7; ++k) EXPECT_NEAR(up[k] - up[k - 1], 1.0, 1e-6);
    EXPECT_EQ(up[0], 0.0);
    EXPECT_EQ(up[7], 6.0);
  }
  // float64 values that float32 cannot hold survive.
  const Tensor fine = make({1.0 + 1e-12, 2, 3, 4}, DType::Float64, {1, 1, 2, 2});
  EXPECT_EQ(values(F::interpolate(fine, resizeTo(2, 2, F::kInterpolateLinear)))[0], 1.0 + 1e-12);
}

TEST(Interpolate, ExamplesOfTheCoordinateRules) {
  const Tensor x = make({1, 2, 3, 4}, DType::Float32, {1, 1, 2, 2});
  EXPECT_EQ(values(F::interpolate(x, resizeTo(4, 4, F::kInterpolateNearest))),
            (std::vector<double>{1, 1, 1, 2, 1, 1, 1, 2, 1, 1, 1, 2, 3, 3, 3, 4}));
  EXPECT_EQ(values(F::interpolate(x, resizeTo(1, 1, F::kInterpolateNearest))), (std::vector<double>{1}));
  const auto lin = values(F::interpolate(make({0, 0, 4, 4}, DType::Float32, {1, 1, 2, 2}),
                                         resizeTo(4, 2, F::kInterpolateLinear)));
  EXPECT_EQ(lin, (std::vector<double>{0, 0, 1, 1, 3, 3, 4, 4}));
  kestrane::test::LogCapture log;
  EXPECT_FALSE(F::interpolate(x.to(DType::Int32), resizeTo(4, 4, 20)).defined());
  EXPECT_EQ(log.count("`interpolate` is implemented for floating type only."), 1u);
  F::InterpolateOptions one;
  one.size = {4};
  EXPECT_FALSE(F::interpolate(test::iota({1, 2, 3}), one).defined());
  EXPECT_EQ(log.count("`interpolate` expects 4D input only."), 1u);
  EXPECT_FALSE(F::interpolate(x, resizeTo(4, 4, 22)).defined());
  EXPECT_EQ(log.count("Interpolation mode, 22, is not implemented yet."), 1u);
  EXPECT_FALSE(F::interpolate(x, resizeTo(0, 4, 20)).defined());
}

}  // namespace
}  // namespace kestrane::halvex
