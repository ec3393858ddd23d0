// Shape operations: which reshapes are views, and every refusal with its
// message. Values over many layouts are compared with numpy in python/.
#include <gtest/gtest.h>

#include "halvex/indexing.h"
#include "halvex/views.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::indexing::TensorIndex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;

using Shape = std::vector<int64_t>;

TEST(Reshape, ViewsWhenTheStrideSearchSucceeds) {
  // Rows evenly spaced but not adjacent: splitting the row dimension stays a view.
  Tensor rows = iota({6, 5}).index({TensorIndex::slice(0, 4), TensorIndex::slice(1, 4)});
  Tensor split = rows.reshape({2, 2, 3});
  EXPECT_EQ(split.strides(), (Shape{40, 20, 4}));
  EXPECT_EQ(split.offset(), rows.offset());
  // A flipped layout read as one backwards chunk.
  Tensor flipped = iota({2, 3}).flip({0, 1});
  Tensor flat = flipped.reshape({6});
  EXPECT_EQ(flat.data(), flipped.data());
  EXPECT_EQ(values(flat.reshape({3, 2})), (std::vector<double>{5, 4, 3, 2, 1, 0}));
  // One element: any strides; zero elements: any structure is a view.
  EXPECT_EQ(iota({1, 1}).asStrided({1, 1}, {-3, 77}, 0).reshape({1, 1, 1}).strides(), (Shape{4, 4, 4}));
  Tensor empty = TensorData({2, 0, 3}, DType::Float32).transpose(0, 2);
  EXPECT_EQ(empty.reshape({0, 5}).shape(), (Shape{0, 5}));
  EXPECT_EQ(empty.view({-1}).shape(), (Shape{0}));
  EXPECT_EQ(computeViewStrides({2, 3}, {12, 4}, {3, 2}), (Shape{8, 4}));
  EXPECT_EQ(computeViewStrides({2, 3}, {4, 8}, {6}), Shape{});
  EXPECT_EQ(computeViewStrides({6}, {4}, {6, 1}), (Shape{4, 4}));
}

TEST(Reshape, RefusesBadTargetsAndOverflowingSizes) {
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
  EXPECT_FALSE(t.transpose(0, 1).view({24}).defined());
  EXPECT_EQ(log.count("view: Passed shape is not compatible with this tensor's size and stride. Use `reshape` instead."),
            1u);
  EXPECT_EQ(log.lines().size(), 6u);
  std::vector<int64_t> shape = {2, -1, 0};
  EXPECT_FALSE(fillMinusOneDim(shape, 0));
  EXPECT_EQ(shape, (Shape{2, -1, 0}));
  // Sizes whose product overflows never match an element count.
  Tensor ones = iota({1, 1});
  EXPECT_FALSE(ones.expand({int64_t{1} << 40, int64_t{1} << 40}).defined());
  EXPECT_FALSE(ones.reshape({int64_t{1} << 40, int64_t{1} << 40}).defined());
  EXPECT_FALSE(ones.reshape({-1, int64_t{1} << 40, int64_t{1} << 40}).defined());
}

TEST(Views, RefusalsOfBadDimensionsAndTheirMessages) {
  Tensor t = iota({2, 3, 4});
  Tensor m = iota({2, 3});
  EXPECT_EQ(TensorData({}, DType::Int8).flip({5}).ndim(), 0);
  LogCapture log;
  EXPECT_FALSE(iota({3, 1}).expand({3, 4, 1}).defined());
  EXPECT_EQ(log.count("expand: sizes don't match with shape."), 1u);
  EXPECT_FALSE(m.expand({2, 4}).defined());
  EXPECT_EQ(log.count("expand: Can't expand on non-1 dimension (1th)"), 1u);
  EXPECT_FALSE(iota({1}).expand({4, 1}).defined());
  EXPECT_FALSE(t.flatten(3).defined());
  EXPECT_FALSE(t.flatten(0, -1).defined());
  EXPECT_FALSE(t.flatten(2, 1).defined());
  EXPECT_EQ(log.count("warning|Start dim (3) is out of range (ndim: 3)"), 1u);
  EXPECT_EQ(log.count("End dim (-1) is out of range (ndim: 3)"), 1u);
  EXPECT_FALSE(m.flip({2}).defined());
  EXPECT_EQ(log.count("flip: dim (2) in dims is out of range (ndim: 2)"), 1u);
  EXPECT_FALSE(t.permute({0, 1}).defined());
  EXPECT_EQ(log.count("Ndim mismatch, 2 vs. 3"), 1u);
  EXPECT_FALSE(t.permute({0, 1, 3}).defined());
  EXPECT_FALSE(t.permute({0, 1, 1}).defined());
  EXPECT_FALSE(t.permute({0, -1, 1}).defined());
  EXPECT_FALSE(m.transpose(2, 0).defined());
  EXPECT_FALSE(m.transpose(0, -3).defined());
  EXPECT_EQ(log.count("transpose: dim0 (2) is out of range (ndim: 2)"), 1u);
  EXPECT_EQ(log.count("transpose: dim1 (-3) is out of range (ndim: 2)"), 1u);
  EXPECT_EQ(log.lines().size(), 13u);
  // squeeze and unsqueeze return the input unchanged on a bad dimension.
  Tensor s = m.squeeze(5);
  EXPECT_EQ(s.shape(), m.shape());
  EXPECT_EQ(s.data(), m.data());
  EXPECT_EQ(m.unsqueeze(3).shape(), m.shape());
  EXPECT_EQ(log.count("Dim (5) is out of range"), 1u);
  EXPECT_EQ(log.count("Dim (3) is out of range"), 1u);
}

TEST(Views, UndefinedInputIsRefusedWithOneLine) {
  Tensor u;
  LogCapture log;
  for (Tensor r : {u.reshape({1}), u.permute({0}), u.flip({0}), u.unsqueeze(0), u.contiguous(), u.to(DType::Int8),
                   u.select(0, 0), u.tile({2}), u.nonzero()}) {
    EXPECT_FALSE(r.defined());
  }
  EXPECT_FALSE(u.isContiguous());
  EXPECT_FALSE(u.isDense());
  EXPECT_EQ(log.lines().size(), 9u);
}
