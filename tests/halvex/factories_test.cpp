#include <gtest/gtest.h>

#include <cmath>

#include "halvex/free_functions.h"
#include "halvex/indexing.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::indexing::TensorIndex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::valueAt;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

using Shape = std::vector<int64_t>;
using Values = std::vector<double>;

TEST(Arange, CountsValuesBetweenStartAndEnd) {
  Tensor a = arange(0, 5, 1);
  EXPECT_EQ(a.dtype(), DType::Int64);
  EXPECT_EQ(values(a), (Values{0, 1, 2, 3, 4}));
  EXPECT_EQ(values(arange(0, 5, 2)), (Values{0, 2, 4}));
  EXPECT_EQ(arange(2, 2, 1).shape(), Shape{0});
  EXPECT_EQ(values(arange(0, 1, 5)), Values{0});
  // A step pointing away from end gives nothing; a negative step counts down.
  EXPECT_EQ(arange(5, 0, 1).shape(), Shape{0});
  EXPECT_EQ(arange(0, -1, 5).shape(), Shape{0});
  EXPECT_EQ(values(arange(5, 0, -1)), (Values{5, 4, 3, 2, 1}));
  EXPECT_EQ(values(arange(5, 0, -2)), (Values{5, 3, 1}));
  EXPECT_EQ(values(arange(INT32_MAX - 1, INT32_MAX, 7)), Values{INT32_MAX - 1});
  EXPECT_EQ(arange(INT32_MIN, INT32_MAX, 1 << 30).numel(), 4);
  LogCapture log;
  EXPECT_FALSE(arange(0, 5, 0).defined());
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(Full, FillsFloat32) {
  Tensor f = full({2, 3}, 1.5f);
  EXPECT_EQ(f.dtype(), DType::Float32);
  EXPECT_EQ(f.shape(), (Shape{2, 3}));
  EXPECT_EQ(values(f), Values(6, 1.5));
  EXPECT_EQ(full({}, 2.0f).ndim(), 0);
}

TEST(ScalarTensor, ConvertsByTheTableRules) {
  EXPECT_EQ(scalarTensor(300, DType::Int8).ndim(), 0);
  EXPECT_EQ(values(scalarTensor(300, DType::Int8)), Values{44});
  EXPECT_EQ(values(scalarTensor(2.7, DType::Int32)), Values{2});
  EXPECT_EQ(values(scalarTensor(-0.5, DType::Bool)), Values{1});
  EXPECT_EQ(values(scalarTensor(std::nan(""), DType::Bool)), Values{1});
  EXPECT_EQ(values(scalarTensor(-0.0, DType::Bool)), Values{0});
  EXPECT_EQ(values(scalarTensor(1e10, DType::Int64)), Values{1e10});
  LogCapture log;
  EXPECT_FALSE(scalarTensor(1, DType::Undefined).defined());
  EXPECT_FALSE(fromVector(std::vector<int32_t>{1, 2}, DType::Undefined).defined());
  EXPECT_EQ(log.count("Invalid dtype"), 2u);
}

TEST(Cat, JoinsAlongADimensionFromAnyLayout) {
  Tensor a = iota({2, 3});
  Tensor b = iota({4, 3}).flip({0});
  Tensor r = cat({a, b}, 0);
  EXPECT_EQ(r.shape(), (Shape{6, 3}));
  Values want = values(a);
  for (double v : values(b)) want.push_back(v);
  EXPECT_EQ(values(r), want);
  Tensor c = cat({a, iota({5, 2}).transpose(0, 1)}, 1);
  EXPECT_EQ(c.shape(), (Shape{2, 8}));
  EXPECT_EQ(valueAt(c, {1, 3}), 1);
  EXPECT_EQ(valueAt(c, {0, 7}), 8);
  EXPECT_EQ(cat({a, TensorData({0, 3}, DType::Float32)}, 0).shape(), (Shape{2, 3}));
}

TEST(Cat, ConvertsBlocksAndRefusesMismatchedShapes) {
  Tensor r = cat({iota({2}), fromVector(std::vector<int32_t>{7, 8})}, 0);
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(values(r), (Values{0, 1, 7, 8}));
  LogCapture log;
  EXPECT_FALSE(cat({iota({2, 3}), iota({2, 4})}, 0).defined());
  EXPECT_FALSE(cat({iota({2, 3}), iota({3})}, 0).defined());
  EXPECT_FALSE(cat({iota({2, 3})}, 2).defined());
  EXPECT_FALSE(cat({}, 0).defined());
  EXPECT_FALSE(cat({iota({2}), Tensor()}, 0).defined());
  EXPECT_EQ(log.lines().size(), 5u);
}

TEST(Stack, AddsADimension) {
  Tensor a = iota({3});
  Tensor b = iota({3}).flip({0});
  Tensor s0 = stack({a, b}, 0);
  EXPECT_EQ(s0.shape(), (Shape{2, 3}));
  EXPECT_EQ(values(s0), (Values{0, 1, 2, 2, 1, 0}));
  Tensor s1 = stack({a, b}, 1);
  EXPECT_EQ(s1.shape(), (Shape{3, 2}));
  EXPECT_EQ(values(s1), (Values{0, 2, 1, 1, 2, 0}));
  LogCapture log;
  EXPECT_FALSE(stack({a, b}, 2).defined());
  EXPECT_FALSE(stack({a, iota({2})}, 0).defined());
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(Split, GivesViewsAndRefusesOverruns) {
  Tensor t = iota({5, 2});
  auto parts = split(t, {2, 3}, 0);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].shape(), (Shape{2, 2}));
  EXPECT_EQ(parts[1].shape(), (Shape{3, 2}));
  parts[1].copy_(full({3, 2}, -1.0f));
  EXPECT_EQ(values(t), (Values{0, 1, 2, 3, -1, -1, -1, -1, -1, -1}));
  auto cols = split(iota({2, 3}).flip({1}), {1, 2}, 1);
  ASSERT_EQ(cols.size(), 2u);
  EXPECT_EQ(values(cols[1]), (Values{1, 0, 4, 3}));
  LogCapture log;
  auto shortParts = split(t, {2, 2}, 0);
  EXPECT_EQ(shortParts.size(), 2u);
  EXPECT_EQ(log.count("Sum of split_size (4) does not equal to tensor's size (5)."), 1u);
  EXPECT_TRUE(split(t, {4, 2}, 0).empty());
  EXPECT_TRUE(split(t, {1, 1}, 2).empty());
  EXPECT_EQ(log.count("Dim (2)is too big. Ndim is 2."), 1u);
  EXPECT_TRUE(split(t, {6, -1}, 0).empty());
  EXPECT_EQ(log.lines().size(), 4u);
}

TEST(Tile, RepeatsBlocksOfTheInput) {
  Tensor x = iota({2, 2});
  Tensor t = x.tile({2, 3});
  EXPECT_EQ(t.shape(), (Shape{4, 6}));
  EXPECT_EQ(values(t), (Values{0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3}));
  EXPECT_EQ(x.tile({1, 1}).data(), x.data());
  EXPECT_EQ(x.tile({}).data(), x.data());
  EXPECT_EQ(iota({3}).tile({2, 2}).shape(), (Shape{2, 6}));
  EXPECT_EQ(iota({2, 3}).tile({2}).shape(), (Shape{2, 6}));
  // Any layout is tiled by its logical order: element (i, j) of the result is
  // element (i mod 2, j mod 3) of the view.
  Tensor v = iota({3, 2}).transpose(0, 1).flip({1});
  Tensor tv = v.tile({2, 2});
  for (int64_t i = 0; i < 4; ++i) {
    for (int64_t j = 0; j < 6; ++j) EXPECT_EQ(valueAt(tv, {i, j}), valueAt(v, {i % 2, j % 3}));
  }
  EXPECT_EQ(values(scalarTensor(7, DType::Int16).tile({3})), (Values{7, 7, 7}));
  LogCapture log;
  EXPECT_FALSE(x.tile({0, 2}).defined());
  EXPECT_FALSE(x.tile({-1}).defined());
  EXPECT_EQ(log.lines().size(), 2u);
}
