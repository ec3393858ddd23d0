// Indexing: index-tensor rules, refusal messages, NaN and promotion rules.
// Values over many layouts are compared with numpy in python/.
#include <gtest/gtest.h>

#include <cmath>

#include "halvex/free_functions.h"
#include "halvex/indexing.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::indexing::makeTensorIndices;
using kestrane::halvex::indexing::TensorIndex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

using Shape = std::vector<int64_t>;
using Values = std::vector<double>;

namespace {
Tensor boolTensor(const std::vector<int32_t>& bits, Shape shape) { return fromVector(bits, DType::Bool).reshape(shape); }
}  // namespace

TEST(IndexViews, OneElementIndexTensorsOfAnyType) {
  Tensor t = iota({4, 5});
  Tensor lead = t.index({TensorIndex(fromVector(std::vector<int64_t>{2}))});
  EXPECT_EQ(lead.shape(), (Shape{1, 5}));
  EXPECT_EQ(values(lead), (Values{10, 11, 12, 13, 14}));
  EXPECT_EQ(t.index({TensorIndex(scalarTensor(2, DType::Int64))}).shape(), Shape{5});
  // Index tensors of other types give their position, not 0.
  EXPECT_EQ(values(t.index({TensorIndex(scalarTensor(3, DType::Int16))})), (Values{15, 16, 17, 18, 19}));
  EXPECT_EQ(values(t.index({TensorIndex(scalarTensor(1.9, DType::Float32))})), (Values{5, 6, 7, 8, 9}));
  auto records = makeTensorIndices(fromVector(std::vector<int32_t>{3, 1}, DType::Int32));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(values(t.index(records)), Values{16});
  EXPECT_EQ(makeTensorIndices(scalarTensor(1, DType::Int64)).size(), 1u);
  // A stop past the end reaches to the end.
  EXPECT_EQ(t.index({TensorIndex::slice(1, 10)}).shape(), (Shape{3, 5}));
  LogCapture log;
  TensorIndex many(fromVector(std::vector<int64_t>{1, 2}));
  EXPECT_EQ(log.count("Slicing with a tensor, which has other than 1 element, is only supported for bool tensor."), 1u);
  EXPECT_FALSE(t.select(2, 0).defined());
  EXPECT_FALSE(t.select(1, 5).defined());
  EXPECT_EQ(log.lines().size(), 3u);
}

TEST(MaskIndex, RefusesMasksOfAnotherShapeOrCount) {
  Tensor t = iota({2, 3}, DType::Int16).transpose(0, 1);
  Tensor mask = boolTensor({1, 0, 0, 1, 1, 0}, {3, 2});
  LogCapture log;
  EXPECT_FALSE(t.index({TensorIndex(boolTensor({1, 0}, {2}))}).defined());
  EXPECT_EQ(log.count("index: For indexing by bool tensor, the shape of bool tensor must match this tensor which is indexed."),
            1u);
  EXPECT_FALSE(t.index({TensorIndex(mask), TensorIndex()}).defined());
  EXPECT_EQ(log.count("index: For indexing by bool tensor, the size of indices must be 1. But the size is 2"), 1u);
}

TEST(IndexPut, RefusalsLeaveTheTensorUnchanged) {
  Tensor t = iota({2, 3});
  Tensor mask = boolTensor({0, 1, 0, 1, 0, 1}, {2, 3});
  LogCapture log;
  t.index_put_({TensorIndex(mask)}, iota({2}));
  EXPECT_EQ(log.count("index_put_: rhs tensor must be broadcastable to shape [3]. But it is not."), 1u);
  t.index_put_({TensorIndex(mask)}, iota({3, 1}));
  t.index_put_({TensorIndex(boolTensor({1}, {1}))}, iota({1}));
  EXPECT_EQ(log.count("index_put_: For indexing by bool tensor, the shape of bool tensor must match this tensor which is indexed."),
            1u);
  t.index_put_({TensorIndex(mask), TensorIndex(0)}, iota({1}));
  EXPECT_EQ(log.count("index_put_: For indexing by bool Tensor, the size of indices must be 1. But the size is 2"), 1u);
  t.index_put_({TensorIndex(5)}, iota({3}));
  t.index_put_({TensorIndex(0)}, iota({3}, DType::Int32));
  EXPECT_EQ(log.lines().size(), 6u);
  EXPECT_EQ(values(t), (Values{0, 1, 2, 3, 4, 5}));
  // The index form copies into the view.
  t.index_put_({TensorIndex::slice(0, 2), TensorIndex(2)}, iota({2}).flip({0}));
  EXPECT_EQ(values(t.select(1, 2)), (Values{1, 0}));
}

TEST(IndexSelect, EmptyIndexAndRefusals) {
  Tensor t = iota({6, 2});
  EXPECT_EQ(t.index_select(0, TensorData({0}, DType::Int64)).shape(), (Shape{0, 2}));
  LogCapture log;
  EXPECT_FALSE(t.index_select(0, fromVector(std::vector<int64_t>{-1})).defined());
  EXPECT_FALSE(t.index_select(0, scalarTensor(1, DType::Int64)).defined());
  EXPECT_EQ(log.count("Index is in unexpected form, ndim is 0."), 1u);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(NonZero, NaNCountsAndZerosOfBothSignsDoNot) {
  Tensor special = fromVector(std::vector<double>{-0.0, NAN, 0.0}).to(DType::Float32);
  EXPECT_EQ(values(special.nonzero()), Values{1});
  EXPECT_EQ(zeros({2, 2}, DType::Int8).nonzero().shape(), (Shape{0, 2}));
  EXPECT_EQ(scalarTensor(3, DType::Int32).nonzero().shape(), (Shape{1, 0}));
  EXPECT_EQ(scalarTensor(0, DType::Bool).nonzero().shape(), (Shape{0, 0}));
}

TEST(Where, PromotesAndRefuses) {
  Tensor r = iota({1, 4}, DType::Int32).where(boolTensor({1, 0, 1}, {3, 1}), scalarTensor(-1.5, DType::Float32));
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(values(r), (Values{0, 1, 2, 3, -1.5, -1.5, -1.5, -1.5, 0, 1, 2, 3}));
  LogCapture log;
  EXPECT_FALSE(iota({2}).where(fromVector(std::vector<int32_t>{1}, DType::UInt8), iota({2})).defined());
  EXPECT_EQ(log.count("where: `cond` is not boolean."), 1u);
  EXPECT_FALSE(iota({2}).where(boolTensor({1, 0, 1}, {3}), iota({2})).defined());
  EXPECT_EQ(log.count("where: `cond`, `this` and `other` cannot be broadcasted together."), 1u);
}
