// The element-wise drivers, unary and binary operations, clamp and relu.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "halvex/free_functions.h"
#include "halvex/tensor.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

namespace kestrane::halvex {
namespace {

using test::make;
using test::values;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

const DType kAllTypes[] = {DType::UInt8, DType::Int8,    DType::Int16,   DType::Int32,
                           DType::Int64, DType::Float32, DType::Float64, DType::Bool};

// The promotion rule spelt out: bool loses, otherwise the larger code wins.
DType expectedPromotion(DType a, DType b) {
  if (a == DType::Bool) return b;
  if (b == DType::Bool) return a;
  return static_cast<uint8_t>(a) >= static_cast<uint8_t>(b) ? a : b;
}

TEST(Promotion, TableOverAllPairsAndUnsetSides) {
  EXPECT_EQ(promoteTypes(DType::UInt8, DType::Int8), DType::Int8);
  EXPECT_EQ(promoteTypes(DType::Bool, DType::UInt8), DType::UInt8);
  EXPECT_EQ(promoteTypes(DType::Bool, DType::Bool), DType::Bool);
  EXPECT_EQ(promoteTypes(DType::Int64, DType::Float32), DType::Float32);
  EXPECT_EQ(promoteTypes(DType::Float64, DType::Float32), DType::Float64);
  using Shape = std::vector<int64_t>;
  // Full, 0-d and one-element operands: (left shape, right shape, result shape).
  const std::array<Shape, 3> shapes[] = {{Shape{2, 3}, Shape{3}, Shape{2, 3}},
                                         {Shape{2, 3}, Shape{}, Shape{2, 3}},
                                         {Shape{}, Shape{2, 3}, Shape{2, 3}},
                                         {Shape{1}, Shape{1, 1}, Shape{1}}};
  for (DType a : kAllTypes) {
    EXPECT_EQ(promoteTypes(a, std::nullopt), a);
    EXPECT_EQ(promoteTypes(std::nullopt, a), a);
    for (DType b : kAllTypes) {
      // The driver computes and returns in the promoted dtype.
      for (const auto& [sa, sb, sr] : shapes) {
        const Tensor r = zeros(sa, a).maximum(zeros(sb, b));
        ASSERT_TRUE(r.defined());
        EXPECT_EQ(r.dtype(), expectedPromotion(a, b)) << dtypeName(a) << " " << dtypeName(b);
        EXPECT_EQ(r.shape(), sr);
      }
    }
  }
}

TEST(BinaryOps, ScalarOperandsFollowTheirOwnDtypeRules) {
  const Tensor i32 = make({7, -7}, DType::Int32);
  Tensor r = i32 / 2;
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(values(r), (std::vector<double>{3.5, -3.5}));
  r = i32 + 1.5;
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(values(r), (std::vector<double>{8.5, -5.5}));
  r = make({255, 1}, DType::UInt8) + 1;
  EXPECT_EQ(r.dtype(), DType::UInt8);
  EXPECT_EQ(values(r), (std::vector<double>{0, 2}));
  // A 0-d left operand stays the left operand: 1 - x.
  r = scalarTensor(1, DType::Float32) - make({1, 2, 3}, DType::Float32, {1, 3});
  EXPECT_EQ(r.shape(), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(values(r), (std::vector<double>{0, -1, -2}));
  // Two one-element operands: the left operand's shape.
  EXPECT_EQ((make({1}, DType::Int32) + make({2}, DType::Int32, {1, 1})).shape(), (std::vector<int64_t>{1}));
}

TEST(BinaryOps, BroadcastStridedAndFlippedOperandsAreReadInLogicalOrder) {
  const Tensor r = test::iota({4, 1}) * test::iota({1, 5});
  ASSERT_EQ(r.shape(), (std::vector<int64_t>{4, 5}));
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 5; ++j) EXPECT_EQ(test::valueAt(r, {i, j}), i * j);
  // [4, 3] views of a [3, 4] block: transposed minus transposed with reversed columns.
  const Tensor base = test::iota({3, 4});
  EXPECT_EQ(values(base.transpose(0, 1) - base.flip({1}).transpose(0, 1)),
            (std::vector<double>{-3, -3, -3, -1, -1, -1, 1, 1, 1, 3, 3, 3}));
  kestrane::test::LogCapture log;
  EXPECT_FALSE((test::iota({2, 3}) + test::iota({2})).defined());
  EXPECT_EQ(log.count("Cannot broadcast"), 1u);
}

TEST(BinaryOps, LargeTransposedOperandsMatchRowMajorCopies) {
  // Big enough for the tiled walk of transposed layouts.
  const Tensor a = test::iota({130, 100}).transpose(0, 1);
  const Tensor b = test::iota({100, 130});
  EXPECT_EQ(values(a + b), values(a.contiguous() + b));
  EXPECT_EQ(values(a * a), values(a.contiguous() * a.contiguous()));
  EXPECT_EQ(values(a.clamp(b, b + 50.0)), values(a.contiguous().clamp(b, b + 50.0)));
  const Tensor p = test::iota({3, 70, 80}, DType::Int32).permute({0, 2, 1});
  EXPECT_EQ(values(p.flip({1}) - p), values(p.flip({1}).contiguous() - p.contiguous()));
  // Both operands transposed (the tile-transposing path), with a leading
  // dimension, a flipped operand and a bool result.
  EXPECT_EQ(values(p + p), values(p.contiguous() + p.contiguous()));
  EXPECT_EQ(values(p < p.flip({2})), values(p.contiguous() < p.flip({2}).contiguous()));
  const Tensor q = test::iota({37, 21}).transpose(0, 1);
  EXPECT_EQ(values(q.maximum(q * 0.5)), values(q.contiguous().maximum(q.contiguous() * 0.5)));
  const Tensor f = test::iota({70, 3, 80}).permute({1, 2, 0});
  EXPECT_EQ(values(f.exp()), values(f.contiguous().exp()));
}

TEST(BinaryOps, EmptyOperandWithScalarGivesEmptyResult) {
  const Tensor e = TensorData({0, 3}, DType::Float32);
  EXPECT_EQ((e + 1.0).shape(), (std::vector<int64_t>{0, 3}));
  EXPECT_EQ((scalarTensor(1.0, DType::Float32) * e).shape(), (std::vector<int64_t>{0, 3}));
}

TEST(BinaryOps, MissingKernelIsReportedOnce) {
  kestrane::test::LogCapture log;
  const Tensor b = make({1, 0}, DType::Bool);
  EXPECT_FALSE((b - b).defined());
  EXPECT_EQ(log.count("Operator \"-\" is not implemented for the dtype \"bool\"."), 1u);
  EXPECT_FALSE(b.pow(b).defined());
  EXPECT_EQ(log.count("Operator \"pow\" is not implemented for the dtype \"bool\"."), 1u);
}

TEST(BinaryOps, ArithmeticRulesOfTheTables) {
  const Tensor a = make({5, -5, 5, -5}, DType::Float32), b = make({3, 3, -3, -3}, DType::Float32);
  EXPECT_EQ(values(a.remainder(b)), (std::vector<double>{2, 1, -1, -2}));
  EXPECT_EQ(values(a.fmod(b)), (std::vector<double>{2, -2, 2, -2}));
  EXPECT_EQ(a.to(DType::Int32).remainder(b.to(DType::Int32)).dtype(), DType::Float32);
  EXPECT_EQ(values(make({2, 2, 2, 0}, DType::Int32).pow(make({10, 0, -1, 0}, DType::Int32))),
            (std::vector<double>{1024, 1, 2, 1}));
  EXPECT_EQ(values(make({2}, DType::UInt8).pow(make({8}, DType::UInt8))), (std::vector<double>{0}));
  EXPECT_EQ(values(make({2}, DType::Float32).pow(make({-1}, DType::Float32))), (std::vector<double>{0.5}));
  EXPECT_EQ(make({1, 0}, DType::Bool).pow(make({2, 2}, DType::Int32)).dtype(), DType::Int64);
  // Comparisons run in the promoted dtype: uint8 200 becomes int8 -56.
  EXPECT_EQ(values(make({200}, DType::UInt8) == make({-56}, DType::Int8)), (std::vector<double>{1}));
  const Tensor x = make({1, 0}, DType::Bool), y = make({1, 1}, DType::Bool);
  EXPECT_EQ(values(x + y), (std::vector<double>{1, 1}));
  EXPECT_EQ(values(x * y), (std::vector<double>{1, 0}));
  EXPECT_EQ(values(x.logical_xor(y)), (std::vector<double>{0, 1}));
}

TEST(BinaryOps, ClampMinAndMaxByANumber) {
  // NaN rules of the operations are checked on the kernels.
  const Tensor c = make({-2.5, 0, 3}, DType::Float32);
  EXPECT_EQ(values(c.clamp_min(0.0)), (std::vector<double>{0, 0, 3}));
  EXPECT_EQ(values(c.clamp_max(0.0)), (std::vector<double>{-2.5, 0, 0}));
  EXPECT_EQ(make({1}, DType::Int32).clamp_min(0.0).dtype(), DType::Float32);
}

TEST(UnaryOps, DtypesAndValueRules) {
  EXPECT_EQ(values(make({-128, 5}, DType::Int8).abs()), (std::vector<double>{-128, 5}));
  EXPECT_FALSE(std::signbit(values(make({-0.0}, DType::Float32).abs())[0]));
  EXPECT_EQ(make({1}, DType::Int32).exp().dtype(), DType::Float32);
  EXPECT_EQ(make({1}, DType::Float64).exp().dtype(), DType::Float64);
  EXPECT_EQ(make({0}, DType::UInt8).sigmoid().dtype(), DType::Float32);
  EXPECT_EQ(values(make({0}, DType::Float32).sigmoid()), (std::vector<double>{0.5}));
  const Tensor sq = make({1, 0}, DType::Bool).square();
  EXPECT_EQ(sq.dtype(), DType::Int64);
  EXPECT_EQ(values(sq), (std::vector<double>{1, 0}));
  EXPECT_EQ(values(make({16}, DType::Int8).square()), (std::vector<double>{0}));
  EXPECT_EQ(values(make({0, -0.0, kNaN, 2.5}, DType::Float32).logical_not()), (std::vector<double>{1, 1, 0, 0}));
  const auto hs = values(make({-4, -3, 0, 1, 3, 4}, DType::Float32).hardswish());
  const std::vector<double> want = {0, 0, 0, 2.0 / 3.0, 3, 4};
  for (size_t i = 0; i < hs.size(); ++i) EXPECT_NEAR(hs[i], want[i], 1e-6);
  kestrane::test::LogCapture log;
  EXPECT_FALSE(make({1}, DType::Bool).abs().defined());
  EXPECT_EQ(log.count("Operator \"abs\" is not implemented for dtype \"bool\"."), 1u);
  EXPECT_FALSE(make({1}, DType::Int32).hardswish().defined());
  EXPECT_EQ(log.count("Operator \"hardswish\" is not implemented for the dtype \"int32\"."), 1u);
}

TEST(UnaryOps, DenseLayoutIsKeptAndStridedInputGivesRowMajor) {
  const Tensor r = test::iota({2, 3}).transpose(0, 1).exp();  // float32 strides (4, 12)
  EXPECT_EQ(r.strides(), (std::vector<int64_t>{4, 12}));
  EXPECT_EQ(values(r)[1], std::exp(3.0f));
  const Tensor fr = test::iota({2, 3}).flip({1}).sqrt();
  EXPECT_EQ(fr.strides(), (std::vector<int64_t>{12, 4}));
  EXPECT_EQ(values(fr)[0], std::sqrt(2.0f));
  // A sliced (non-dense) view.
  EXPECT_EQ(values(test::iota({4, 4}, DType::Int32).select(1, 2).square()), (std::vector<double>{4, 36, 100, 196}));
}

TEST(Clamp, TensorAndNumericBounds) {
  const Tensor i32 = make({-5, 0, 5}, DType::Int32);
  EXPECT_EQ(i32.clamp(make({-1}, DType::Float32), make({1}, DType::Float32)).dtype(), DType::Float32);
  EXPECT_EQ(i32.clamp(-1.0, 1.0).dtype(), DType::Float32);
  EXPECT_EQ(values(i32.clamp(-1.0, 1.0)), (std::vector<double>{-1, 0, 1}));
  EXPECT_EQ(make({1}, DType::Float64).clamp(0.0, 1.0).dtype(), DType::Float64);
  EXPECT_EQ(values(i32.clamp(5.0, 3.0)), (std::vector<double>{3, 3, 3}));
  const auto nanRules = values(make({kNaN, 0.5}, DType::Float32).clamp(make({0, kNaN}, DType::Float32),
                                                                          make({1, 1}, DType::Float32)));
  EXPECT_TRUE(std::isnan(nanRules[0]));
  EXPECT_EQ(nanRules[1], 0.5);
  const Tensor r = test::iota({2, 3}).clamp(test::iota({3}), test::iota({2, 1}) + 1);
  EXPECT_EQ(r.shape(), (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(values(r), (std::vector<double>{0, 1, 1, 2, 2, 2}));
  kestrane::test::LogCapture log;
  EXPECT_FALSE(test::iota({2, 3}).clamp(test::iota({2}), test::iota({3})).defined());
  EXPECT_EQ(log.count("clamp: `this`, `min` and `other` cannot be broadcasted together."), 1u);
  const Tensor b = make({1}, DType::Bool);
  EXPECT_FALSE(b.clamp(b, b).defined());
  EXPECT_EQ(log.count("clamp: not implemented for the dtype \"bool\"."), 1u);
}

TEST(Clamp, ReluKeepsDtype) {
  const Tensor r = make({-3, 0, 5}, DType::Int8).relu();
  EXPECT_EQ(r.dtype(), DType::Int8);
  EXPECT_EQ(values(r), (std::vector<double>{0, 0, 5}));
}

}  // namespace
}  // namespace kestrane::halvex
