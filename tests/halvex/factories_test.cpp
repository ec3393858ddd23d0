// Factories and joins: edge cases, conversions and refusals. Values over
// many layouts are compared with numpy in python/.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "halvex/free_functions.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

using Shape = std::vector<int64_t>;
using Values = std::vector<double>;

TEST(Arange, EdgesOfTheInt32RangeAndZeroStep) {
  EXPECT_EQ(arange(0, -1, 5).shape(), Shape{0});
  EXPECT_EQ(values(arange(INT32_MAX - 1, INT32_MAX, 7)), Values{INT32_MAX - 1});
  EXPECT_EQ(arange(INT32_MIN, INT32_MAX, 1 << 30).numel(), 4);
  EXPECT_EQ(full({}, 2.0f).ndim(), 0);
  LogCapture log;
  EXPECT_FALSE(arange(0, 5, 0).defined());
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(ScalarTensor, ConvertsByTheTableRules) {
  EXPECT_EQ(scalarTensor(300, DType::Int8).ndim(), 0);
  const std::pair<Tensor, double> cases[] = {
      {scalarTensor(300, DType::Int8), 44},         {scalarTensor(2.7, DType::Int32), 2},
      {scalarTensor(-0.5, DType::Bool), 1},         {scalarTensor(std::nan(""), DType::Bool), 1},
      {scalarTensor(-0.0, DType::Bool), 0},         {scalarTensor(1e10, DType::Int64), 1e10},
  };
  for (const auto& [t, want] : cases) EXPECT_EQ(values(t), Values{want});
  LogCapture log;
  EXPECT_FALSE(scalarTensor(1, DType::Undefined).defined());
  EXPECT_FALSE(fromVector(std::vector<int32_t>{1, 2}, DType::Undefined).defined());
  EXPECT_EQ(log.count("Invalid dtype"), 2u);
}

TEST(CatStack, PromoteAndBroadcastBlocksAndRefuseTheRest) {
  Tensor r = cat({iota({2}), fromVector(std::vector<int32_t>{7, 8})}, 0);
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(values(r), (Values{0, 1, 7, 8}));
  EXPECT_EQ(cat({iota({2, 3}), TensorData({0, 3}, DType::Float32)}, 0).shape(), (Shape{2, 3}));
  // Other dimensions of size 1 stretch to the first block's.
  r = cat({iota({2, 3}), iota({1, 3}, DType::Int16)}, 1);
  EXPECT_EQ(r.shape(), (Shape{2, 6}));
  EXPECT_EQ(values(r), (Values{0, 1, 2, 0, 1, 2, 3, 4, 5, 0, 1, 2}));
  r = stack({iota({3}), fromVector(std::vector<double>{9})}, 0);
  EXPECT_EQ(r.shape(), (Shape{2, 3}));
  EXPECT_EQ(values(r), (Values{0, 1, 2, 9, 9, 9}));
  LogCapture log;
  EXPECT_FALSE(cat({iota({2, 3}), iota({2, 4})}, 0).defined());
  EXPECT_FALSE(cat({iota({1, 3}), iota({2, 3})}, 1).defined());
  EXPECT_FALSE(cat({iota({2, 3}), iota({3})}, 0).defined());
  EXPECT_FALSE(cat({iota({2, 3})}, 2).defined());
  EXPECT_FALSE(cat({}, 0).defined());
  EXPECT_FALSE(cat({iota({2}), Tensor()}, 0).defined());
  EXPECT_FALSE(stack({iota({3}), iota({3})}, 2).defined());
  EXPECT_FALSE(stack({iota({3}), iota({2})}, 0).defined());
  EXPECT_FALSE(stack({iota({3}), iota({1, 3})}, 0).defined());
  EXPECT_EQ(log.lines().size(), 9u);
}

TEST(Split, GivesViewsAndRefusesOverruns) {
  Tensor t = iota({5, 2});
  auto parts = split(t, {2, 3}, 0);
  ASSERT_EQ(parts.size(), 2u);
  parts[1].copy_(full({3, 2}, -1.0f));
  EXPECT_EQ(values(t), (Values{0, 1, 2, 3, -1, -1, -1, -1, -1, -1}));
  LogCapture log;
  EXPECT_EQ(split(t, {2, 2}, 0).size(), 2u);
  EXPECT_EQ(log.count("Sum of split_size (4) does not equal to tensor's size (5)."), 1u);
  EXPECT_TRUE(split(t, {4, 2}, 0).empty());
  EXPECT_TRUE(split(t, {1, 1}, 2).empty());
  EXPECT_EQ(log.count("Dim (2)is too big. Ndim is 2."), 1u);
  EXPECT_TRUE(split(t, {6, -1}, 0).empty());
  EXPECT_EQ(log.lines().size(), 4u);
}

// Sizes given to an operation that add or multiply past int64: no result,
// after one line of the operation's own that shows no wrapped figure.
TEST(SizesPastInt64, AreRefusedWithTheOperationsLine) {
  const int64_t max = INT64_MAX, h = int64_t{1} << 62;
  const Tensor x = iota({5, 2});
  const std::string sum = "error|Sum of split_size does not fit 64 bits: it exceeds tensor's size (5).";
  const std::string expand = "error|expand: the expanded tensor has too many elements.";
  const std::pair<std::function<bool()>, std::string> rows[] = {
      {[&] { return !split(x, {2, max}, 0).empty(); }, sum},
      {[&] { return !split(x, {max, 0, max}, 0).empty(); }, sum},
      // 2^62 float32 elements: the count fits, the bytes do not.
      {[&] { return iota({1}).expand({h}).defined(); }, expand},
      {[&] { return iota({1, 1}).expand({h, 4}).defined(); }, expand},
      {[&] { return x.reshape({h, 4}).defined(); },
       "error|reshape: The number of elements in the target shape is not the same as in the original shape"},
  };
  for (const auto& [defined, line] : rows) {
    LogCapture log;
    EXPECT_FALSE(defined()) << line;
    EXPECT_EQ(log.lines(), std::vector<std::string>{line});
  }
}

TEST(Tile, SharesStorageWhenNothingRepeatsAndRefusesBadCounts) {
  Tensor x = iota({2, 2});
  EXPECT_EQ(x.tile({1, 1}).data(), x.data());
  EXPECT_EQ(x.tile({}).data(), x.data());
  EXPECT_EQ(values(scalarTensor(7, DType::Int16).tile({3})), (Values{7, 7, 7}));
  LogCapture log;
  EXPECT_FALSE(x.tile({0, 2}).defined());
  EXPECT_FALSE(x.tile({-1}).defined());
  EXPECT_EQ(log.lines().size(), 2u);
}
