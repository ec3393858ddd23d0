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

TEST(IndexViews, IntegerSliceAndFullEntries) {
  Tensor t = iota({2, 3});
  Tensor row = t.index({TensorIndex(1)});
  EXPECT_EQ(row.shape(), Shape{3});
  EXPECT_EQ(row.data(), t.data());
  EXPECT_EQ(values(row), (Values{3, 4, 5}));
  Tensor cols = t.index({TensorIndex(), TensorIndex::slice(1, -1)});
  EXPECT_EQ(cols.shape(), (Shape{2, 2}));
  EXPECT_EQ(values(cols), (Values{1, 2, 4, 5}));
  EXPECT_EQ(t.index({TensorIndex(1), TensorIndex(2), TensorIndex(0)}).ndim(), 0);
  EXPECT_EQ(values(t.select(1, 2)), (Values{2, 5}));
  // A stop past the end reaches to the end.
  EXPECT_EQ(t.index({TensorIndex::slice(1, 10)}).shape(), (Shape{1, 3}));
}

TEST(IndexViews, FlippedDimensionsIndexByLogicalPosition) {
  Tensor t = iota({4, 5}).flip({0, 1});
  EXPECT_EQ(values(t.index({TensorIndex(0)})), (Values{19, 18, 17, 16, 15}));
  EXPECT_EQ(values(t.index({TensorIndex(3), TensorIndex(4)})), Values{0});
  Tensor s = t.index({TensorIndex::slice(1, 3), TensorIndex::slice(2, 5)});
  EXPECT_EQ(values(s), (Values{12, 11, 10, 7, 6, 5}));
  // Further views of the slice stay inside it.
  EXPECT_EQ(values(s.flip({1}).index({TensorIndex(1), TensorIndex::slice(0, 2)})), (Values{5, 6}));
  EXPECT_EQ(values(s.reshape({6})), values(s));
  EXPECT_EQ(values(iota({3}).flip({0}).index({TensorIndex(makeTensorIndices(fromVector(std::vector<int64_t>{0}))[0])})),
            (Values{2}));
}

TEST(IndexViews, OneElementIndexTensors) {
  Tensor t = iota({4, 5});
  Tensor lead = t.index({TensorIndex(fromVector(std::vector<int64_t>{2}))});
  EXPECT_EQ(lead.shape(), (Shape{1, 5}));
  EXPECT_EQ(values(lead), (Values{10, 11, 12, 13, 14}));
  Tensor flat = t.index({TensorIndex(scalarTensor(2, DType::Int64))});
  EXPECT_EQ(flat.shape(), Shape{5});
  // Index tensors of other integer types give their position, not 0.
  EXPECT_EQ(values(t.index({TensorIndex(scalarTensor(3, DType::Int16))})), (Values{15, 16, 17, 18, 19}));
  EXPECT_EQ(values(t.index({TensorIndex(scalarTensor(1.9, DType::Float32))})), (Values{5, 6, 7, 8, 9}));
  auto records = makeTensorIndices(fromVector(std::vector<int32_t>{3, 1}, DType::Int32));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(values(t.index(records)), Values{16});
  EXPECT_EQ(makeTensorIndices(scalarTensor(1, DType::Int64)).size(), 1u);
  LogCapture log;
  TensorIndex many(fromVector(std::vector<int64_t>{1, 2}));
  EXPECT_EQ(log.count("Slicing with a tensor, which has other than 1 element, is only supported for bool tensor."), 1u);
}

TEST(IndexViews, OutOfRangePositionsAreRefused) {
  Tensor t = iota({2, 3});
  LogCapture log;
  EXPECT_FALSE(t.index({TensorIndex(2)}).defined());
  EXPECT_FALSE(t.index({TensorIndex(-1)}).defined());
  EXPECT_FALSE(t.index({TensorIndex::slice(3, 5)}).defined());
  EXPECT_FALSE(t.index({TensorIndex::slice(-1, 1)}).defined());
  EXPECT_FALSE(t.index({TensorIndex(fromVector(std::vector<int64_t>{7}))}).defined());
  EXPECT_FALSE(t.select(2, 0).defined());
  EXPECT_FALSE(t.select(1, 3).defined());
  EXPECT_EQ(log.lines().size(), 7u);
}

TEST(MaskIndex, SelectsInRowMajorOrderFromAnyLayout) {
  Tensor t = iota({2, 3}, DType::Int16).transpose(0, 1);  // 0 3 / 1 4 / 2 5
  Tensor mask = boolTensor({1, 0, 0, 1, 1, 0}, {3, 2});
  Tensor picked = t.index({TensorIndex(mask)});
  EXPECT_EQ(picked.shape(), Shape{3});
  EXPECT_EQ(picked.dtype(), DType::Int16);
  EXPECT_EQ(values(picked), (Values{0, 4, 2}));
  LogCapture log;
  EXPECT_FALSE(t.index({TensorIndex(boolTensor({1, 0}, {2}))}).defined());
  EXPECT_EQ(log.count("index: For indexing by bool tensor, the shape of bool tensor must match this tensor which is indexed."),
            1u);
  EXPECT_FALSE(t.index({TensorIndex(mask), TensorIndex()}).defined());
  EXPECT_EQ(log.count("index: For indexing by bool tensor, the size of indices must be 1. But the size is 2"), 1u);
}

TEST(IndexPut, MaskWritesConvertedValues) {
  Tensor t = iota({2, 3});
  Tensor mask = boolTensor({0, 1, 0, 1, 0, 1}, {2, 3});
  t.index_put_({TensorIndex(mask)}, scalarTensor(-1.0, DType::Float32));
  EXPECT_EQ(values(t), (Values{0, -1, 2, -1, 4, -1}));
  // Narrower values are converted, not read at the destination's width.
  Tensor d = iota({2, 3}, DType::Float64);
  d.index_put_({TensorIndex(mask)}, fromVector(std::vector<int32_t>{7, 8, 9}, DType::Int8));
  EXPECT_EQ(values(d), (Values{0, 7, 2, 8, 4, 9}));
  // Through a flipped view into shared storage.
  Tensor base = iota({2, 3});
  base.flip({1}).index_put_({TensorIndex(mask)}, fromVector(std::vector<int32_t>{10, 11, 12}, DType::Float32));
  EXPECT_EQ(values(base), (Values{0, 10, 2, 12, 4, 11}));
  LogCapture log;
  t.index_put_({TensorIndex(mask)}, iota({2}));
  EXPECT_EQ(log.count("index_put_: rhs tensor must be broadcastable to shape [3]. But it is not."), 1u);
  t.index_put_({TensorIndex(mask)}, iota({3, 1}));
  t.index_put_({TensorIndex(boolTensor({1}, {1}))}, iota({1}));
  EXPECT_EQ(log.count("index_put_: For indexing by bool tensor, the shape of bool tensor must match this tensor which is indexed."),
            1u);
  t.index_put_({TensorIndex(mask), TensorIndex(0)}, iota({1}));
  EXPECT_EQ(log.count("index_put_: For indexing by bool Tensor, the size of indices must be 1. But the size is 2"), 1u);
  EXPECT_EQ(values(t), (Values{0, -1, 2, -1, 4, -1}));
}

TEST(IndexPut, IndexFormCopiesIntoTheView) {
  Tensor t = iota({3, 4});
  t.index_put_({TensorIndex::slice(1, 3), TensorIndex(2)}, iota({2}).flip({0}));
  EXPECT_EQ(values(t.select(1, 2)), (Values{2, 1, 0}));
  LogCapture log;
  t.index_put_({TensorIndex(5)}, iota({4}));
  t.index_put_({TensorIndex(0)}, iota({4}, DType::Int32));
  EXPECT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(values(t.select(0, 0)), (Values{0, 1, 2, 3}));
}

TEST(IndexSelect, GathersRunsAlongADimension) {
  Tensor t = iota({6, 2});
  Tensor g = t.index_select(0, fromVector(std::vector<int64_t>{3, 4, 5, 1}));
  EXPECT_EQ(g.shape(), (Shape{4, 2}));
  EXPECT_EQ(values(g), (Values{6, 7, 8, 9, 10, 11, 2, 3}));
  Tensor c = t.transpose(0, 1).flip({1}).index_select(1, fromVector(std::vector<int32_t>{0, 0, 5}, DType::UInt8));
  EXPECT_EQ(values(c), (Values{10, 10, 0, 11, 11, 1}));
  EXPECT_EQ(t.index_select(0, TensorData({0}, DType::Int64)).shape(), (Shape{0, 2}));
  LogCapture log;
  EXPECT_FALSE(t.index_select(2, fromVector(std::vector<int64_t>{0})).defined());
  EXPECT_FALSE(t.index_select(0, fromVector(std::vector<int64_t>{6})).defined());
  EXPECT_FALSE(t.index_select(0, fromVector(std::vector<int64_t>{-1})).defined());
  EXPECT_FALSE(t.index_select(0, scalarTensor(1, DType::Int64)).defined());
  EXPECT_EQ(log.count("Index is in unexpected form, ndim is 0."), 1u);
  EXPECT_EQ(log.lines().size(), 4u);
}

TEST(NonZero, ListsCoordinatesInRowMajorOrder) {
  Tensor t = fromVector(std::vector<double>{0, 1, 2, 0}).reshape({2, 2});
  Tensor nz = t.nonzero();
  EXPECT_EQ(nz.dtype(), DType::Int64);
  EXPECT_EQ(nz.shape(), (Shape{2, 2}));
  EXPECT_EQ(values(nz), (Values{0, 1, 1, 0}));
  EXPECT_EQ(values(t.transpose(0, 1).nonzero()), (Values{0, 1, 1, 0}));
  EXPECT_EQ(values(t.flip({1}).nonzero()), (Values{0, 0, 1, 1}));
  EXPECT_EQ(TensorData({2, 2}, DType::Int8).index_put_({TensorIndex()}, scalarTensor(0, DType::Int8)).nonzero().shape(),
            (Shape{0, 2}));
  Tensor special = fromVector(std::vector<double>{-0.0, NAN, 0.0}).to(DType::Float32);
  EXPECT_EQ(values(special.nonzero()), Values{1});
  EXPECT_EQ(scalarTensor(3, DType::Int32).nonzero().shape(), (Shape{1, 0}));
  EXPECT_EQ(scalarTensor(0, DType::Bool).nonzero().shape(), (Shape{0, 0}));
}

TEST(Where, BroadcastsThreeOperandsAndPromotes) {
  Tensor cond = boolTensor({1, 0, 1}, {3, 1});
  Tensor a = iota({1, 4}, DType::Int32);
  Tensor b = scalarTensor(-1.5, DType::Float32);
  Tensor r = a.where(cond, b);
  EXPECT_EQ(r.shape(), (Shape{3, 4}));
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(values(r), (Values{0, 1, 2, 3, -1.5, -1.5, -1.5, -1.5, 0, 1, 2, 3}));
  Tensor f = iota({2, 3}).flip({0}).where(boolTensor({1, 0, 1}, {3}), iota({2, 3}).transpose(0, 1).reshape({2, 3}));
  EXPECT_EQ(values(f), (Values{3, 3, 5, 0, 2, 2}));
  LogCapture log;
  EXPECT_FALSE(a.where(fromVector(std::vector<int32_t>{1}, DType::UInt8), b).defined());
  EXPECT_EQ(log.count("where: `cond` is not boolean."), 1u);
  EXPECT_FALSE(iota({2}).where(boolTensor({1, 0, 1}, {3}), b).defined());
  EXPECT_EQ(log.count("where: `cond`, `this` and `other` cannot be broadcasted together."), 1u);
}
