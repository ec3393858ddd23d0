#include <gtest/gtest.h>

#include <cmath>
#include <new>

#include "halvex/free_functions.h"
#include "halvex/functional.h"
#include "halvex/indexing.h"
#include "halvex/iteration.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

// Under AddressSanitizer a huge malloc must return null, as it does without it.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

TEST(TensorStorage, UndefinedScalarAndEmptyTensors) {
  Tensor u;
  EXPECT_FALSE(u.defined());
  EXPECT_EQ(u.shape(), std::vector<int64_t>{0});
  EXPECT_TRUE(u.strides().empty());
  EXPECT_EQ(u.numel(), 0);
  EXPECT_EQ(u.elementSize(), 0);
  EXPECT_EQ(u.data(), nullptr);
  EXPECT_EQ(TensorData({2, 3}, DType::Int16).strides(), (std::vector<int64_t>{6, 2}));
  TensorData scalar({}, DType::Float64);
  EXPECT_EQ(scalar.numel(), 1);
  EXPECT_TRUE(scalar.strides().empty());
  TensorData empty({3, 0, 2}, DType::Int8);
  EXPECT_TRUE(empty.defined());
  EXPECT_NE(empty.data(), nullptr);
}

TEST(TensorStorage, StridesPast2GiBAreNotWrapped) {
  // A view over caller memory is never read here: only its layout is checked.
  char byte = 0;
  Tensor big(&byte, {3, int64_t{1} << 30}, DType::Int16);
  ASSERT_TRUE(big.defined());
  EXPECT_EQ(big.strides()[0], int64_t{1} << 31);
  EXPECT_EQ(big.select(0, 2).offset(), int64_t{1} << 32);
  EXPECT_EQ(big.reshape({-1}).shape()[0], 3 * (int64_t{1} << 30));
}

TEST(TensorStorage, RefusedShapesGiveUndefinedAndFailedAllocationThrows) {
  LogCapture log;
  EXPECT_THROW(TensorData({int64_t{1} << 59}, DType::Float64), std::bad_alloc);
  EXPECT_EQ(log.count("Failed to allocate memory of bytesize: 4611686018427387904"), 1u);
  EXPECT_FALSE(TensorData({int64_t{1} << 62, 8}, DType::Float64).defined());
  EXPECT_FALSE(TensorData({2, -3}, DType::Float32).defined());
  EXPECT_FALSE(TensorData({2}, DType::Undefined).defined());
  EXPECT_FALSE(TensorData({2}, std::nullopt).defined());
  EXPECT_EQ(log.lines().size(), 5u);
}

TEST(TensorStorage, CopiesAreShallowAndContiguousIgnoresSizeOneStrides) {
  Tensor a = iota({2, 1, 3});
  Tensor b = a;
  EXPECT_EQ(a.owner().use_count(), 2);
  static_cast<float*>(b.data())[0] = 42;
  EXPECT_EQ(values(a)[0], 42);
  EXPECT_EQ(a.asStrided({2, 1, 3}, {12, 999, 4}, 0).contiguous().data(), a.data());
}

TEST(TensorStorage, ItemReadsTheFirstElementInIterationOrder) {
  LogCapture log;
  EXPECT_EQ(scalarTensor(-2.7, DType::Float32).item<int32_t>(), -2);
  EXPECT_EQ(scalarTensor(1, DType::Bool).item<int32_t>(), 1);
  EXPECT_EQ(scalarTensor(std::nan(""), DType::Float32).item<int32_t>(), INT32_MIN);
  EXPECT_FLOAT_EQ(fromVector(std::vector<int64_t>{16777217}).item<float>(), 16777216.0f);
  EXPECT_EQ(fromVector(std::vector<int64_t>{int64_t{1} << 40}).item<int64_t>(), int64_t{1} << 40);
  // A flipped tensor's first element is its top one.
  EXPECT_EQ(iota({3}, DType::Int64).flip({0}).item<int64_t>(), 2);
  EXPECT_EQ(log.lines().size(), 0u);
  EXPECT_EQ(scalarTensor(5, DType::Int8).item<int32_t>(), 0);
  EXPECT_EQ(log.count("Not yet implemented."), 1u);
  EXPECT_EQ(TensorData({0}, DType::Int64).item<int64_t>(), 0);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(TensorStorage, FromVectorOwnsItsCopy) {
  Tensor t;
  {
    std::vector<double> v = {1.5, -2.5};
    t = fromVector(v);
  }
  EXPECT_EQ(t.dtype(), DType::Float64);
  EXPECT_EQ(values(t), (std::vector<double>{1.5, -2.5}));
  EXPECT_EQ(fromVector(std::vector<int32_t>{}).shape(), std::vector<int64_t>{0});
  Tensor narrowed = fromVector(std::vector<int64_t>{300, -1, 4294967297}, DType::Int8);
  EXPECT_EQ(values(narrowed), (std::vector<double>{44, -1, 1}));
  Tensor f = fromVector(std::vector<int32_t>{0}, DType::Float32);
  EXPECT_EQ(f.dtype(), DType::Float32);
  EXPECT_EQ(values(f), std::vector<double>{0});
}

TEST(TensorStorage, AssignValueStoresByDType) {
  LogCapture log;
  uint8_t bytes[8] = {};
  internal::assignValue(bytes, DType::UInt8, 300);
  EXPECT_EQ(bytes[0], 44);
  int64_t wide = 0;
  internal::assignValue(&wide, DType::Int64, -5);
  EXPECT_EQ(wide, -5);
  uint8_t flag = 9;
  internal::assignValue(&flag, DType::Bool, -7);
  EXPECT_EQ(flag, 1);
  uint8_t untouched = 9;
  internal::assignValue(&untouched, DType::Undefined, 1);
  EXPECT_EQ(untouched, 9);
  EXPECT_EQ(log.count("Invalid dtype"), 1u);
}

// Empty tensors may have sizes whose product (or row-major strides) would not
// fit 64 bits before the 0 is reached; nothing about them may overflow, and
// no operation may loop over their (absent) elements.
TEST(TensorStorage, EmptyTensorsWithHugeSizesStayEmptyThroughEveryOperation) {
  using indexing::TensorIndex;
  const int64_t g = int64_t{1} << 31;
  for (const std::vector<int64_t>& s : {std::vector<int64_t>{g, g, 3, 0}, std::vector<int64_t>{0, g, g, 3}}) {
    SCOPED_TRACE(s[0]);
    const bool zeroFirst = s[0] == 0;
    TensorData x(s, DType::Float32);
    ASSERT_TRUE(x.defined());
    EXPECT_EQ(x.numel(), 0);
    EXPECT_TRUE(x.isContiguous());
    EXPECT_TRUE(x.isDense());
    auto empty = [](const Tensor& t, std::vector<int64_t> expected) {
      EXPECT_TRUE(t.defined());
      EXPECT_EQ(t.shape(), expected);
      EXPECT_EQ(t.numel(), 0);
    };
    const std::vector<int64_t> reversed = {s[3], s[2], s[1], s[0]};
    empty(x.clone(), s);
    empty(x.permute({3, 2, 1, 0}).contiguous(), reversed);
    empty(x.flip({0, 1}).clone(), s);
    empty(x.to(DType::Int64), s);
    empty(x.exp(), s);
    empty(x.permute({3, 2, 1, 0}).abs(), reversed);
    empty(x + 1.0, s);
    empty(x * x.flip({2}), s);
    empty(x.maximum(TensorData({1, s[3]}, DType::Float32)), s);
    empty(x.reshape(reversed), reversed);
    empty(x.flatten(2, 3), {s[0], s[1], s[2] * s[3]});
    empty(x.unsqueeze(2).squeeze(2), s);
    empty(x.index({TensorIndex::slice(0, 1), TensorIndex(), TensorIndex::slice(1, 2)}),
          {zeroFirst ? 0 : 1, s[1], 1, s[3]});
    empty(x.select(1, g - 1), {s[0], s[2], s[3]});
    empty(x.index_select(1, fromVector(std::vector<int64_t>{g - 1, 0})), {s[0], 2, s[2], s[3]});
    empty(x.sum(1, false), {s[0], s[2], s[3]});
    empty(std::get<1>(x.max(1, true)), {s[0], 1, s[2], s[3]});
    empty(std::get<0>(x.sort(2, false)), s);
    empty(std::get<1>(x.topk(0, 3, true, true)), {s[0], s[1], s[2], 0});
    empty(cat({x, x}, 3), {s[0], s[1], s[2], 2 * s[3]});
    empty(split(x, {g - 1, 1}, 1).at(1), {s[0], 1, s[2], s[3]});
    empty(x.where(TensorData({1}, DType::Bool), x), s);
    empty(x.tile({g, 1, 1, 1}), {s[0] * g, s[1], s[2], s[3]});
    empty(x.expand({-1, -1, -1, -1}), s);
    empty(nn::functional::softmax(x, 1), s);
    EXPECT_EQ(x.nonzero().shape(), (std::vector<int64_t>{0, 4}));
    EXPECT_EQ(x.sum().item<float>(), 0.0f);
    EXPECT_TRUE(std::isnan(x.mean().item<float>()));
    // Results whose size does not fit are refused, never wrapped.
    LogCapture log;
    EXPECT_EQ(x.flatten(0, 2).defined(), zeroFirst);
    EXPECT_EQ(x.tile({int64_t{1} << 33, 1, 1, 1}).defined(), zeroFirst);
    EXPECT_FALSE(x.sum(zeroFirst ? 0 : 3, false).defined());
  }
}
