// Reductions, sort and top-k.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "halvex/free_functions.h"
#include "halvex/tensor.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

namespace kestrane::halvex {
namespace {

using test::make;
using test::randomTensor;
using test::values;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sequential reference along dim: first element, then the others in order,
// with the accumulator in T.
template <typename T, typename Op>
std::vector<double> naiveAlong(const Tensor& t, int64_t dim, Op op) {
  std::vector<int64_t> shape = t.shape();
  const auto all = values(t);
  int64_t outer = 1, inner = 1;
  for (int64_t d = 0; d < dim; ++d) outer *= shape[d];
  for (size_t d = dim + 1; d < shape.size(); ++d) inner *= shape[d];
  const int64_t s = shape[dim];
  std::vector<double> out;
  for (int64_t o = 0; o < outer; ++o)
    for (int64_t i = 0; i < inner; ++i) {
      T acc = static_cast<T>(all[(o * s) * inner + i]);
      for (int64_t k = 1; k < s; ++k) acc = op(acc, static_cast<T>(all[(o * s + k) * inner + i]));
      out.push_back(static_cast<double>(acc));
    }
  return out;
}

TEST(Reductions, AlongEveryDimensionMatchSequentialLoops) {
  for (const auto& shape : std::vector<std::vector<int64_t>>{{2, 1000}, {1000, 2}, {3, 1, 5}, {4, 5, 6}, {70, 90}}) {
    const Tensor f = randomTensor(shape, DType::Float32, 7, -100, 100, 8);
    const Tensor i8 = randomTensor(shape, DType::Int8, 8, -100, 100, 8);
    const Tensor i64 = randomTensor(shape, DType::Int64, 9, -100, 100, 8);
    for (int64_t dim = 0; dim < static_cast<int64_t>(shape.size()); ++dim) {
      EXPECT_EQ(values(f.sum(dim, false)), (naiveAlong<float>(f, dim, [](float a, float b) { return a + b; })));
      EXPECT_EQ(values(i8.sum(dim, false)),
                (naiveAlong<int8_t>(i8, dim, [](int8_t a, int8_t b) { return int8_t(uint8_t(a) + uint8_t(b)); })));
      EXPECT_EQ(values(std::get<0>(f.max(dim, false))),
                (naiveAlong<float>(f, dim, [](float a, float b) { return b > a ? b : a; })));
      EXPECT_EQ(values(std::get<0>(i8.min(dim, true))),
                (naiveAlong<int8_t>(i8, dim, [](int8_t a, int8_t b) { return b < a ? b : a; })));
      EXPECT_EQ(values(i8.prod(dim, false)),
                (naiveAlong<int8_t>(i8, dim, [](int8_t a, int8_t b) { return int8_t(uint8_t(a) * uint8_t(b)); })));
      EXPECT_EQ(values(std::get<0>(i64.max(dim, false))),
                (naiveAlong<int64_t>(i64, dim, [](int64_t a, int64_t b) { return b > a ? b : a; })));
      // Transposed input: same values as its row-major copy.
      const Tensor tr = f.transpose(0, static_cast<int64_t>(shape.size()) - 1);
      EXPECT_EQ(values(tr.sum(dim, true)), values(tr.contiguous().sum(dim, true)));
    }
    // Negative axes count from the end.
    EXPECT_EQ(values(f.sum(-1, false)), values(f.sum(static_cast<int64_t>(shape.size()) - 1, false)));
  }
}

TEST(Reductions, ShapesAndIndices) {
  const Tensor t = make({1, 3, 3, 2, 2, 1}, DType::Float32, {2, 3});
  auto [v, i] = t.max(1, false);
  EXPECT_EQ(values(v), (std::vector<double>{3, 2}));
  EXPECT_EQ(values(i), (std::vector<double>{1, 0}));
  EXPECT_EQ(std::get<0>(t.max(1, true)).shape(), (std::vector<int64_t>{2, 1}));
  auto [mv, mi] = make({1, 0, 1, -1}, DType::Int32, {2, 2}).min(0, false);
  EXPECT_EQ(values(mv), (std::vector<double>{1, -1}));
  EXPECT_EQ(values(mi), (std::vector<double>{0, 1}));
  const Tensor one = make({5}, DType::Float32, {1, 1});
  EXPECT_EQ(one.sum(0, false).shape(), (std::vector<int64_t>{1}));
  const Tensor zeroD = scalarTensor(3, DType::Int32);
  EXPECT_EQ(zeroD.sum(0, false).shape(), (std::vector<int64_t>{}));
  EXPECT_EQ(values(std::get<1>(zeroD.max(0, false))), (std::vector<double>{0}));
  auto [sv, si] = t.max(0, true);
  EXPECT_EQ(sv.shape(), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(values(std::get<1>(make({4, 2, 7}, DType::Float32, {3, 1}).min(1, false))), (std::vector<double>{0, 0, 0}));
}

TEST(Reductions, WholeTensorDtypesAndWrapping) {
  const Tensor s = make({100, 100}, DType::Int8).sum();
  EXPECT_EQ(s.dtype(), DType::Int8);
  EXPECT_EQ(values(s), (std::vector<double>{-56}));
  const Tensor b = make({1, 1, 1}, DType::Bool).sum();
  EXPECT_EQ(b.dtype(), DType::Int64);
  EXPECT_EQ(values(b), (std::vector<double>{3}));
  const Tensor m = make({1, 2}, DType::Int32).mean();
  EXPECT_EQ(m.dtype(), DType::Float32);
  EXPECT_EQ(values(m), (std::vector<double>{1.5}));
  EXPECT_EQ(make({1, 2}, DType::Float64).mean().dtype(), DType::Float64);
  EXPECT_EQ(values(make({1, 2, 3, 4}, DType::Int32, {2, 2}).mean(1, false)), (std::vector<double>{1.5, 3.5}));
  EXPECT_EQ(values(make({2, 3, 4}, DType::Int16).prod()), (std::vector<double>{24}));
  // Whole-tensor order is row-major even for a transposed view.
  const Tensor tr = test::iota({3, 4}).transpose(0, 1);
  EXPECT_EQ(values(tr.sum()), values(tr.contiguous().sum()));
}

TEST(Reductions, MeanDividesByTheExactCountOfNarrowTypes) {
  // Counts beyond each narrow type's range: the sum wraps in the input type,
  // the count does not. (int8 [100, 0 x 199] sums to 100; uint8 256 ones to 0.)
  struct Case {
    DType dtype;
    int64_t count;
    double first, rest, sum;  // sum: the wrapped sum in the input type
  };
  const Case cases[] = {{DType::Int8, 200, 100, 0, 100},
                        {DType::UInt8, 256, 1, 1, 0},
                        {DType::UInt8, 300, 2, 0, 2},
                        {DType::Int16, 40000, 7, 0, 7},
                        {DType::Bool, 1000, 1, 1, 1000}};
  for (const Case& c : cases) {
    std::vector<double> v(static_cast<size_t>(c.count), c.rest);
    v[0] = c.first;
    const Tensor t = make(v, c.dtype);
    const double mean = static_cast<float>(c.sum) / static_cast<float>(c.count);
    const Tensor whole = t.mean();
    EXPECT_EQ(whole.dtype(), DType::Float32);
    EXPECT_EQ(values(whole), (std::vector<double>{mean})) << dtypeName(c.dtype);
    // Along a dimension: the same line twice, in either layout.
    const Tensor lines = cat({t.reshape({1, -1}), t.reshape({1, -1})}, 0);
    EXPECT_EQ(values(lines.mean(1, false)), (std::vector<double>(2, mean)));
    EXPECT_EQ(values(lines.transpose(0, 1).mean(0, true)), (std::vector<double>(2, mean)));
  }
}

TEST(Reductions, ZeroDAndOneElementInputsIgnoreDim) {
  // dim is not used: any value gives the clone (without the last dimension
  // unless keepdim), and positions 0.
  const Tensor zeroD = scalarTensor(3, DType::Int32);
  const Tensor one = make({5}, DType::Float32, {1, 1, 1});
  for (int64_t dim : {0, -1, 3, -7, 100}) {
    EXPECT_EQ(zeroD.sum(dim, false).shape(), (std::vector<int64_t>{}));
    EXPECT_EQ(values(zeroD.prod(dim, true)), (std::vector<double>{3}));
    auto [v, i] = zeroD.max(dim, false);
    EXPECT_EQ(values(v), (std::vector<double>{3}));
    EXPECT_EQ(i.dtype(), DType::Int64);
    EXPECT_EQ(values(i), (std::vector<double>{0}));
    EXPECT_EQ(values(zeroD.argmax(dim, true)), (std::vector<double>{0}));
    EXPECT_EQ(values(zeroD.mean(dim, false)), (std::vector<double>{3}));
    EXPECT_EQ(one.sum(dim, false).shape(), (std::vector<int64_t>{1, 1}));
    EXPECT_EQ(one.sum(dim, true).shape(), (std::vector<int64_t>{1, 1, 1}));
    auto [mv, mi] = one.min(dim, false);
    EXPECT_EQ(mv.shape(), (std::vector<int64_t>{1, 1}));
    EXPECT_EQ(mi.shape(), (std::vector<int64_t>{1, 1}));
    EXPECT_EQ(values(one.mean(dim, true)), (std::vector<double>{5}));
  }
}

TEST(Reductions, NaNRules) {
  EXPECT_TRUE(std::isnan(values(make({kNaN, 1, 2}, DType::Float32).max())[0]));
  EXPECT_EQ(values(make({1, kNaN, 2}, DType::Float32).max()), (std::vector<double>{2}));
  EXPECT_EQ(values(make({1, kNaN, -2}, DType::Float32).min()), (std::vector<double>{-2}));
  EXPECT_EQ(values(make({kNaN, 1, 2}, DType::Float32).argmax(0, false)), (std::vector<double>{0}));
  EXPECT_EQ(values(make({1, kNaN, 2}, DType::Float32).argmax(0, false)), (std::vector<double>{2}));
}

TEST(Reductions, EmptyInputs) {
  const Tensor e = TensorData({0}, DType::Float32);
  EXPECT_EQ(values(e.sum()), (std::vector<double>{0}));
  EXPECT_EQ(values(e.prod()), (std::vector<double>{1}));
  EXPECT_TRUE(std::isnan(values(e.mean())[0]));
  EXPECT_EQ(values(TensorData({2, 0}, DType::Int32).sum(1, false)), (std::vector<double>{0, 0}));
  EXPECT_EQ(values(TensorData({2, 0}, DType::Int32).prod(1, false)), (std::vector<double>{1, 1}));
  EXPECT_EQ(TensorData({0, 3}, DType::Int32).sum(1, false).shape(), (std::vector<int64_t>{0}));
  kestrane::test::LogCapture log;
  EXPECT_FALSE(e.max().defined());
  EXPECT_FALSE(e.min().defined());
  EXPECT_FALSE(e.argmax(0, false).defined());
  EXPECT_FALSE(std::get<0>(TensorData({2, 0}, DType::Int32).max(1, false)).defined());
  EXPECT_EQ(log.lines().size(), 4u);
}

TEST(Reductions, RefusesBadAxesAndBoolArgmax) {
  kestrane::test::LogCapture log;
  const Tensor t = test::iota({2, 3});
  EXPECT_FALSE(t.sum(2, false).defined());
  EXPECT_FALSE(t.mean(-3, false).defined());
  EXPECT_FALSE(std::get<0>(t.max(5, false)).defined());
  EXPECT_EQ(log.count("out of range"), 3u);
  EXPECT_FALSE(make({1, 0}, DType::Bool).argmax(0, false).defined());
  EXPECT_EQ(log.count("Operator \"argmax\" is not implemented for dtype \"bool\"."), 1u);
}

// Checks that values/indices along dim are a permutation of each input line
// and ordered by cmp.
template <typename Cmp>
void checkSorted(const Tensor& in, const Tensor& v, const Tensor& idx, int64_t dim, Cmp ordered) {
  ASSERT_EQ(v.shape(), idx.shape());
  const int64_t s = in.size(dim), m = v.size(dim), last = static_cast<int64_t>(in.shape().size()) - 1;
  // With dim moved last, each line is a run of the row-major values.
  const auto x = values(in.transpose(dim, last)), got = values(v.transpose(dim, last)),
             pos = values(idx.transpose(dim, last));
  for (int64_t line = 0; line < v.numel() / std::max<int64_t>(m, 1); ++line) {
    std::vector<bool> seen(static_cast<size_t>(s), false);
    for (int64_t k = 0; k < m; ++k) {
      const double val = got[line * m + k];
      const int64_t src = static_cast<int64_t>(pos[line * m + k]);
      ASSERT_TRUE(src >= 0 && src < s && !seen[src]) << src;
      seen[src] = true;
      const double orig = x[line * s + src];
      ASSERT_TRUE(val == orig || (std::isnan(val) && std::isnan(orig)));
      if (k > 0) {
        ASSERT_TRUE(ordered(got[line * m + k - 1], val)) << got[line * m + k - 1] << " then " << val;
      }
    }
  }
}

// NaN counts as the largest value.
bool ascending(double a, double b) { return std::isnan(b) || (!std::isnan(a) && a <= b); }
bool descending(double a, double b) { return ascending(b, a); }

TEST(Sort, LinesArePermutationsInOrder) {
  for (DType d : {DType::Float32, DType::Int8, DType::UInt8, DType::Int64, DType::Float64}) {
    for (const auto& shape : std::vector<std::vector<int64_t>>{{3, 300}, {300, 3}, {2, 5, 4}}) {
      const Tensor in = randomTensor(shape, d, 3, -100, 100, 8);
      for (int64_t dim = 0; dim < static_cast<int64_t>(shape.size()); ++dim) {
        auto [v, i] = in.sort(dim, false);
        checkSorted(in, v, i, dim, ascending);
        auto [dv, di] = in.sort(dim, true);
        checkSorted(in, dv, di, dim, descending);
      }
    }
  }
}

TEST(Sort, ExamplesAndNaN) {
  auto [v, i] = make({3, 1, 2}, DType::Float32).sort(0, false);
  EXPECT_EQ(values(v), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(values(i), (std::vector<double>{1, 2, 0}));
  auto [dv, di] = make({3, 1, 2}, DType::Float32).sort(-1, true);
  EXPECT_EQ(values(dv), (std::vector<double>{3, 2, 1}));
  EXPECT_EQ(values(di), (std::vector<double>{0, 2, 1}));
  auto [bv, bi] = make({1, 0, 1}, DType::Bool).sort(0, false);
  EXPECT_EQ(values(bv), (std::vector<double>{0, 1, 1}));
  std::vector<double> withNaN(200);
  // NaN of either sign is the largest value.
  for (size_t k = 0; k < withNaN.size(); ++k) withNaN[k] = (k % 7 == 3) ? (k % 2 ? kNaN : -kNaN) : double((k * 37) % 101);
  for (int64_t n : {7, 200}) {
    const Tensor in = make(std::vector<double>(withNaN.begin(), withNaN.begin() + n), DType::Float32);
    auto [sv, si] = in.sort(0, false);
    checkSorted(in, sv, si, 0, ascending);
    EXPECT_TRUE(std::isnan(values(sv).back()));
    auto [tv, ti] = in.topk(3, 0, true, true);
    EXPECT_TRUE(std::isnan(values(tv)[0]));
  }
}

TEST(Topk, SelectsExtremesWithPositions) {
  const Tensor in = make({1, 5, 3, 4}, DType::Float32);
  auto [v, i] = in.topk(2, 0, true, true);
  EXPECT_EQ(values(v), (std::vector<double>{5, 4}));
  EXPECT_EQ(values(i), (std::vector<double>{1, 3}));
  auto [sv, si] = in.topk(2, 0, false, true);
  EXPECT_EQ(values(sv), (std::vector<double>{1, 3}));
  EXPECT_EQ(values(si), (std::vector<double>{0, 2}));
  EXPECT_EQ(std::get<0>(in.topk(0, 0, true, true)).shape(), (std::vector<int64_t>{0}));
  const Tensor r = randomTensor({6, 50}, DType::Int32, 9, -100, 100, 8);
  auto [rv, ri] = r.topk(3, 1, true, false);
  EXPECT_EQ(rv.shape(), (std::vector<int64_t>{6, 3}));
  // Unsorted: the same set as the sorted top 3.
  auto [full, fi] = r.sort(1, true);
  for (int64_t row = 0; row < 6; ++row) {
    std::vector<double> got, want;
    for (int64_t k = 0; k < 3; ++k) {
      got.push_back(test::valueAt(rv, {row, k}));
      want.push_back(test::valueAt(full, {row, k}));
      EXPECT_EQ(test::valueAt(r, {row, static_cast<int64_t>(test::valueAt(ri, {row, k}))}), got.back());
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
  }
  kestrane::test::LogCapture log;
  EXPECT_FALSE(std::get<0>(make({1}, DType::Bool).topk(1, 0, true, true)).defined());
  EXPECT_EQ(log.count("Operator \"topk\" is not implemented for dtype \"bool\"."), 1u);
  EXPECT_FALSE(std::get<0>(in.topk(5, 0, true, true)).defined());
  EXPECT_FALSE(std::get<0>(in.sort(1, true)).defined());
}

}  // namespace
}  // namespace kestrane::halvex
