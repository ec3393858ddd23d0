#include <gtest/gtest.h>

#include "halvex/indexing.h"
#include "halvex/views.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::indexing::TensorIndex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::seq;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

using Shape = std::vector<int64_t>;

TEST(Reshape, ViewsWhenTheStrideSearchSucceeds) {
  Tensor t = iota({2, 3, 4});
  Tensor r = t.reshape({6, -1});
  EXPECT_EQ(r.shape(), (Shape{6, 4}));
  EXPECT_EQ(r.strides(), (Shape{16, 4}));
  EXPECT_EQ(r.data(), t.data());
  // Rows evenly spaced but not adjacent: splitting or keeping the row
  // dimension stays a view.
  Tensor rows = iota({6, 5}).index({TensorIndex::slice(0, 4), TensorIndex::slice(1, 4)});
  Tensor split = rows.reshape({2, 2, 3});
  EXPECT_EQ(split.strides(), (Shape{40, 20, 4}));
  EXPECT_EQ(split.offset(), rows.offset());
  EXPECT_EQ(values(split), values(rows));
  // Reading a flipped layout as one backwards chunk.
  Tensor flipped = iota({2, 3}).flip({0, 1});
  Tensor flat = flipped.reshape({6});
  EXPECT_EQ(flat.data(), flipped.data());
  EXPECT_EQ(values(flat), seq(5, -1, -1));
  EXPECT_EQ(values(flat.reshape({3, 2})), seq(5, -1, -1));
}

TEST(Reshape, CopiesWhenNoViewExists) {
  Tensor t = iota({3, 2}).transpose(0, 1);
  Tensor r = t.reshape({6});
  EXPECT_NE(r.data(), t.data());
  EXPECT_EQ(values(r), (std::vector<double>{0, 2, 4, 1, 3, 5}));
  Tensor half = iota({2, 3}).flip({0});
  EXPECT_EQ(values(half.reshape({3, 2})), (std::vector<double>{3, 4, 5, 0, 1, 2}));
  LogCapture log;
  EXPECT_FALSE(t.view({6}).defined());
  EXPECT_EQ(log.count("view: Passed shape is not compatible with this tensor's size and stride. Use `reshape` instead."),
            1u);
}

TEST(Reshape, OneElementAndEmptyTensors) {
  Tensor one = iota({1, 1}).asStrided({1, 1}, {-3, 77}, 0);
  Tensor r = one.reshape({1, 1, 1});
  EXPECT_EQ(r.strides(), (Shape{4, 4, 4}));
  // Zero elements: any structure is a view and the search ends.
  Tensor empty = TensorData({2, 0, 3}, DType::Float32).transpose(0, 2);
  EXPECT_EQ(empty.reshape({0, 5}).shape(), (Shape{0, 5}));
  EXPECT_EQ(empty.flatten(0).shape(), (Shape{0}));
  EXPECT_EQ(empty.squeeze().shape(), (Shape{3, 0, 2}));
  EXPECT_EQ(empty.view({-1}).shape(), (Shape{0}));
}

TEST(Reshape, RefusesBadTargets) {
  Tensor t = iota({2, 3, 4});
  LogCapture log;
  EXPECT_FALSE(t.reshape({5, -1}).defined());
  EXPECT_EQ(log.count("reshape: The number of elements in the target shape is not the same as in the original shape"),
            1u);
  // Two -1 could multiply out to the count with negative sizes.
  EXPECT_FALSE(iota({4}).reshape({-1, -1}).defined());
  EXPECT_EQ(log.count("There are 2 or more '-1's in shape."), 1u);
  EXPECT_FALSE(TensorData({0, 3}, DType::Float32).reshape({0, -1}).defined());
  EXPECT_FALSE(iota({4}).reshape({-2, -2}).defined());
  EXPECT_FALSE(t.view({7, 2}).defined());
  EXPECT_EQ(log.count("view: The number of elements in the target shape is not the same as in the original shape. "
                      "n: 24, target_n:14"),
            1u);
  EXPECT_EQ(log.lines().size(), 5u);
  std::vector<int64_t> shape = {2, -1, 0};
  EXPECT_FALSE(fillMinusOneDim(shape, 0));
  EXPECT_EQ(shape, (Shape{2, -1, 0}));
}

TEST(ViewStrides, KeepsSizeOneDimensionsInTheSearch) {
  EXPECT_EQ(computeViewStrides({2, 3}, {12, 4}, {3, 2}), (Shape{8, 4}));
  EXPECT_EQ(computeViewStrides({2, 3}, {4, 8}, {6}), Shape{});
  EXPECT_EQ(computeViewStrides({6}, {4}, {6, 1}), (Shape{4, 4}));
}

TEST(Expand, StretchesSizeOneDimensionsOnly) {
  Tensor t = iota({3, 1});
  Tensor e = t.expand({-1, 4});
  EXPECT_EQ(e.shape(), (Shape{3, 4}));
  EXPECT_EQ(e.strides(), (Shape{4, 0}));
  EXPECT_EQ(values(e), (std::vector<double>{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}));
  LogCapture log;
  EXPECT_FALSE(t.expand({3, 4, 1}).defined());
  EXPECT_EQ(log.count("expand: sizes don't match with shape."), 1u);
  EXPECT_FALSE(iota({2, 3}).expand({2, 4}).defined());
  EXPECT_EQ(log.count("expand: Can't expand on non-1 dimension (1th)"), 1u);
  EXPECT_FALSE(iota({1}).expand({4, 1}).defined());
  Tensor ones = iota({1, 1});
  EXPECT_FALSE(ones.expand({int64_t{1} << 40, int64_t{1} << 40}).defined());
  // Sizes whose product overflows never match an element count.
  EXPECT_FALSE(ones.reshape({int64_t{1} << 40, int64_t{1} << 40}).defined());
  EXPECT_FALSE(ones.reshape({-1, int64_t{1} << 40, int64_t{1} << 40}).defined());
}

TEST(Flatten, MergesTheRangeAndRefusesBadDims) {
  Tensor t = iota({2, 3, 4});
  EXPECT_EQ(t.flatten(1, 2).shape(), (Shape{2, 12}));
  EXPECT_EQ(t.flatten(1).shape(), (Shape{2, 12}));
  EXPECT_EQ(t.flatten(1, 1).data(), t.data());
  Tensor tr = t.transpose(0, 2);
  EXPECT_EQ(values(tr.flatten(0)), values(tr));
  LogCapture log;
  EXPECT_FALSE(t.flatten(3).defined());
  EXPECT_FALSE(t.flatten(0, -1).defined());
  EXPECT_FALSE(t.flatten(2, 1).defined());
  EXPECT_EQ(log.count("Start dim (3) is out of range (ndim: 3)"), 1u);
  EXPECT_EQ(log.count("End dim (-1) is out of range (ndim: 3)"), 1u);
  EXPECT_EQ(log.lines().size(), 3u);
  EXPECT_EQ(log.lines()[0].rfind("warning|", 0), 0u);
}

TEST(Flip, ReversesListedDimensions) {
  Tensor t = iota({2, 3});
  EXPECT_EQ(values(t.flip({-1})), (std::vector<double>{2, 1, 0, 5, 4, 3}));
  EXPECT_EQ(values(t.flip({0, 0})), values(t));
  EXPECT_EQ(t.flip({1}).offset(), t.offset());
  Tensor s = TensorData({}, DType::Int8);
  EXPECT_EQ(s.flip({5}).ndim(), 0);
  LogCapture log;
  EXPECT_FALSE(t.flip({2}).defined());
  EXPECT_EQ(log.count("flip: dim (2) in dims is out of range (ndim: 2)"), 1u);
}

TEST(Permute, ReordersAndRefusesNonPermutations) {
  Tensor t = iota({2, 3, 4});
  Tensor p = t.permute({2, 0, 1});
  EXPECT_EQ(p.shape(), (Shape{4, 2, 3}));
  EXPECT_EQ(p.strides(), (Shape{4, 48, 16}));
  EXPECT_EQ(test::valueAt(p, {3, 1, 2}), test::valueAt(t, {1, 2, 3}));
  LogCapture log;
  EXPECT_FALSE(t.permute({0, 1}).defined());
  EXPECT_EQ(log.count("Ndim mismatch, 2 vs. 3"), 1u);
  EXPECT_FALSE(t.permute({0, 1, 3}).defined());
  EXPECT_FALSE(t.permute({0, 1, 1}).defined());
  EXPECT_FALSE(t.permute({0, -1, 1}).defined());
  EXPECT_EQ(log.lines().size(), 4u);
}

TEST(Transpose, SwapsAndRefusesOutOfRange) {
  Tensor t = iota({2, 3});
  Tensor tr = t.transpose(0, -1);
  EXPECT_EQ(tr.shape(), (Shape{3, 2}));
  EXPECT_EQ(tr.strides(), (Shape{4, 12}));
  LogCapture log;
  EXPECT_FALSE(t.transpose(2, 0).defined());
  EXPECT_FALSE(t.transpose(0, -3).defined());
  EXPECT_EQ(log.count("transpose: dim0 (2) is out of range (ndim: 2)"), 1u);
  EXPECT_EQ(log.count("transpose: dim1 (-3) is out of range (ndim: 2)"), 1u);
}

TEST(SqueezeUnsqueeze, ReturnInputUnchangedOnBadDim) {
  Tensor t = iota({1, 3, 1});
  EXPECT_EQ(t.squeeze().shape(), (Shape{3}));
  EXPECT_EQ(t.squeeze(0).shape(), (Shape{3, 1}));
  EXPECT_EQ(t.squeeze(1).shape(), (Shape{1, 3, 1}));
  Tensor m = iota({2, 3});
  EXPECT_EQ(m.unsqueeze(2).shape(), (Shape{2, 3, 1}));
  EXPECT_EQ(m.unsqueeze(0).shape(), (Shape{1, 2, 3}));
  LogCapture log;
  Tensor s = m.squeeze(5);
  EXPECT_EQ(s.shape(), m.shape());
  EXPECT_EQ(s.data(), m.data());
  Tensor u = m.unsqueeze(3);
  EXPECT_EQ(u.shape(), m.shape());
  EXPECT_EQ(log.count("Dim (5) is out of range"), 1u);
  EXPECT_EQ(log.count("Dim (3) is out of range"), 1u);
}

TEST(Views, UndefinedInputIsRefusedWithOneLine) {
  Tensor u;
  LogCapture log;
  EXPECT_FALSE(u.reshape({1}).defined());
  EXPECT_FALSE(u.permute({0}).defined());
  EXPECT_FALSE(u.flip({0}).defined());
  EXPECT_FALSE(u.unsqueeze(0).defined());
  EXPECT_FALSE(u.contiguous().defined());
  EXPECT_FALSE(u.to(DType::Int8).defined());
  EXPECT_FALSE(u.isContiguous());
  EXPECT_FALSE(u.isDense());
  EXPECT_FALSE(u.select(0, 0).defined());
  EXPECT_FALSE(u.tile({2}).defined());
  EXPECT_FALSE(u.nonzero().defined());
  EXPECT_EQ(log.lines().size(), 9u);
}
