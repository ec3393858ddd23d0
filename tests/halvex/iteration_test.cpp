#include <gtest/gtest.h>

#include "halvex/indexing.h"
#include "halvex/iteration.h"
#include "support/log_capture.h"
#include "tensor_test_util.h"

using namespace kestrane::halvex;
using kestrane::halvex::test::iota;
using kestrane::halvex::test::values;
using kestrane::test::LogCapture;
using kestrane::halvex::indexing::TensorIndex;

namespace {

// Byte offsets from the storage block that a walk visits, in order, checked
// against the end iterator and the element count.
std::vector<int64_t> visitedOffsets(const Tensor& t, IntArrayRef ratios = {}) {
  std::vector<int64_t> out;
  Tensor::IterImpl<const char> it(t, true, ratios);
  Tensor::IterImpl<const char> end(t, false, ratios);
  for (; it != end && out.size() < 1000; ++it) out.push_back(&*it - static_cast<const char*>(t.data()));
  return out;
}

}  // namespace

TEST(StridedIteration, FusesRowMajorTensorIntoOneRun) {
  Tensor t = iota({2, 3});
  ContiguousRun run = computeContiguousRun(t, true);
  EXPECT_EQ(run.unit, 4);
  EXPECT_EQ(run.outerDims, 0);
  EXPECT_EQ(run.runBytes, 24);
  Tensor::IterImpl<const float> it(t, true);
  EXPECT_EQ(it.remainingInRun(), 6);
  EXPECT_EQ(visitedOffsets(t), (std::vector<int64_t>{0, 4, 8, 12, 16, 20}));
}

TEST(StridedIteration, WalksTransposeByItsInnerRuns) {
  Tensor t = iota({3, 2}).transpose(0, 1);
  ContiguousRun run = computeContiguousRun(t, true);
  EXPECT_EQ(run.unit, 8);
  EXPECT_EQ(run.outerDims, 1);
  EXPECT_EQ(run.runBytes, 24);
  EXPECT_EQ(visitedOffsets(t), (std::vector<int64_t>{0, 8, 16, 4, 12, 20}));
}

TEST(StridedIteration, WalksFlippedDimensionsFromTheTop) {
  Tensor t = iota({2, 3});
  EXPECT_EQ(visitedOffsets(t.flip({1})), (std::vector<int64_t>{8, 4, 0, 20, 16, 12}));
  EXPECT_EQ(visitedOffsets(t.flip({0})), (std::vector<int64_t>{12, 16, 20, 0, 4, 8}));
  EXPECT_EQ(visitedOffsets(t.flip({0, 1})), (std::vector<int64_t>{20, 16, 12, 8, 4, 0}));
}

TEST(StridedIteration, BroadcastsWithRatiosAndZeroStrides) {
  Tensor col = iota({2, 1});
  std::vector<int64_t> ratios = {1, 3};
  EXPECT_EQ(visitedOffsets(col, ratios), (std::vector<int64_t>{0, 0, 0, 4, 4, 4}));
  // A repeated innermost dimension is one run of step 0, not a run per element.
  Tensor::IterImpl<const float> it(col, true, ratios);
  EXPECT_EQ(it.step(), 0);
  EXPECT_EQ(it.remainingInRun(), 3);
  Tensor expanded = iota({3}).reshape({3, 1}).expand({3, 2});
  EXPECT_EQ(visitedOffsets(expanded), (std::vector<int64_t>{0, 0, 4, 4, 8, 8}));
  LogCapture log;
  std::vector<int64_t> bad = {2, 1};
  EXPECT_EQ(visitedOffsets(col, bad).size(), 2u);
  // One line from each of the begin and end iterators.
  EXPECT_EQ(log.count("Both ratio (2) and shape(2) are not 1."), 2u);
}

TEST(StridedIteration, EmptyAndZeroDimensionalWalks) {
  EXPECT_TRUE(visitedOffsets(TensorData({2, 0, 3}, DType::Float32)).empty());
  std::vector<int64_t> zero = {0, 1};
  EXPECT_TRUE(visitedOffsets(iota({1, 3}), zero).empty());
  EXPECT_EQ(visitedOffsets(TensorData({}, DType::Int64)), std::vector<int64_t>{0});
  EXPECT_TRUE(visitedOffsets(Tensor()).empty());
}

TEST(StridedIteration, GappedSliceKeepsItsRowRuns) {
  Tensor t = iota({4, 5}).index({TensorIndex::slice(1, 3),
                                 TensorIndex::slice(1, 4)});
  EXPECT_EQ(visitedOffsets(t), (std::vector<int64_t>{24, 28, 32, 44, 48, 52}));
}

TEST(BroadcastRatios, PairsTrailingDimensions) {
  std::vector<int64_t> ra, rb, out;
  ASSERT_TRUE(computeBroadcastRatios({3, 1}, {1, 4}, ra, rb, out));
  EXPECT_EQ(ra, (std::vector<int64_t>{1, 4}));
  EXPECT_EQ(rb, (std::vector<int64_t>{3, 1}));
  EXPECT_EQ(out, (std::vector<int64_t>{3, 4}));
  EXPECT_FALSE(computeBroadcastRatios({2, 3}, {3, 2}, ra, rb, out));
}

TEST(DenseLayout, IsDenseInAnyDimensionOrder) {
  EXPECT_TRUE(iota({3, 2}).transpose(0, 1).isDense());
  EXPECT_TRUE(iota({2, 1, 3}).asStrided({2, 1, 3}, {12, -7, 4}, 0).isDense());
  EXPECT_TRUE(iota({4, 4}).index({TensorIndex::slice(0, 2)}).transpose(0, 1).isDense());
  EXPECT_FALSE(iota({4, 4}).index({TensorIndex(), TensorIndex::slice(0, 2)}).isDense());
  EXPECT_FALSE(iota({3, 1}).expand({3, 2}).isDense());
  EXPECT_FALSE(iota({3}).flip({0}).isDense());
}

TEST(CopyInPlace, BroadcastsSourceIntoAnyDestinationLayout) {
  Tensor dst = TensorData({2, 3}, DType::Float32);
  dst.copy_(iota({3}));
  EXPECT_EQ(values(dst), (std::vector<double>{0, 1, 2, 0, 1, 2}));
  dst.copy_(iota({2, 1}));
  EXPECT_EQ(values(dst), (std::vector<double>{0, 0, 0, 1, 1, 1}));
  // Writing through a transposed, flipped view lands in the shared storage.
  Tensor base = TensorData({3, 2}, DType::Float32);
  base.transpose(0, 1).flip({1}).copy_(iota({2, 3}));
  EXPECT_EQ(values(base), (std::vector<double>{2, 5, 1, 4, 0, 3}));
  Tensor scalar = TensorData({}, DType::Float32);
  scalar.copy_(iota({2}).flip({0}).index({TensorIndex::slice(0, 1)}));
  EXPECT_EQ(values(scalar), std::vector<double>{1});
}

TEST(CopyInPlace, RefusesOtherTypesAndShapes) {
  LogCapture log;
  Tensor dst = iota({2, 3});
  dst.copy_(dst);
  dst.copy_(iota({2, 3}, DType::Int32));
  EXPECT_EQ(log.count("copy_: Not implemented yet for the case where this tensor and src tensor have different type."),
            1u);
  Tensor col = TensorData({3, 1}, DType::Float32);
  col.copy_(iota({3}));
  dst.copy_(iota({2, 2, 3}));
  dst.copy_(iota({2, 2}));
  EXPECT_EQ(log.count("copy_: src tensor must be broadcastable to this tensor but it is not."), 3u);
  EXPECT_EQ(values(dst), (std::vector<double>{0, 1, 2, 3, 4, 5}));
}
