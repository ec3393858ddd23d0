// Inference on buffers in NPU layout: acquisition, reposition, inference on
// the caller's buffers, release, and the variant handles.

#include <algorithm>
#include <cmath>

#include "inference_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

float int8Step(float x) { return std::min(127.0f, std::max(-128.0f, std::floor(x + 0.5f))); }

Values rounded(Values v) {
  std::transform(v.begin(), v.end(), v.begin(), int8Step);
  return v;
}

TEST_F(InferenceTest, BuffersRoundTrip) {
  Model& model = launch(testModel("identity_int8"));
  const Values x = steps(3 * 128, 0.25f, -600, 600, 1);

  // One item: the single-list forms.
  std::vector<Buffer> in = model.acquireInputBuffer(), out = model.acquireOutputBuffer();
  ASSERT_EQ(in.size(), 1u);
  ASSERT_EQ(in[0].size, 1024u);  // 4 x 4 x 64 channels in blocks
  EXPECT_TRUE(std::all_of(static_cast<uint8_t*>(in[0].data), static_cast<uint8_t*>(in[0].data) + 1024,
                          [](uint8_t b) { return b == 0; }));
  ASSERT_EQ(model.repositionInputs({const_cast<float*>(x.data())}, in), StatusCode::OK);
  ASSERT_EQ(model.inferBuffer(in, out), StatusCode::OK);
  Values y(128);
  std::vector<float*> into = {y.data()};
  ASSERT_EQ(model.repositionOutputs(out, into), StatusCode::OK);
  EXPECT_EQ(y, rounded(Values(x.begin(), x.begin() + 128)));
  std::vector<NDArray<float>> arrays;
  ASSERT_EQ(model.inferBufferToFloat(in, arrays), StatusCode::OK);
  EXPECT_EQ(arrays[0].shape, (std::vector<int64_t>{4, 4, 8}));
  EXPECT_EQ(valuesOf(arrays[0]), y);

  // Three items: the [input][item] forms.
  auto ins = model.acquireInputBuffers(3), outs = model.acquireOutputBuffers(3);
  ASSERT_EQ(ins.size(), 1u);
  ASSERT_EQ(ins[0].size(), 3u);
  ASSERT_EQ(model.repositionInputs({const_cast<float*>(x.data())}, ins), StatusCode::OK);
  ASSERT_EQ(model.inferBuffer(ins, outs), StatusCode::OK);
  std::vector<std::vector<float>> lists;
  ASSERT_EQ(model.repositionOutputs(outs, lists), StatusCode::OK);
  EXPECT_EQ(lists[0], rounded(x));
  ASSERT_EQ(model.inferBufferToFloat(ins, arrays), StatusCode::OK);
  EXPECT_EQ(arrays[0].shape, (std::vector<int64_t>{3, 4, 4, 8}));
  EXPECT_EQ(valuesOf(arrays[0]), rounded(x));

  // Lists of no items run nothing; no input list at all is a speed run.
  const auto posts = card_->stats().postsByCore;
  std::vector<std::vector<Buffer>> noItems = {{}}, noOutputs = {{}};
  EXPECT_EQ(model.inferBuffer(noItems, noOutputs), StatusCode::OK);
  EXPECT_EQ(card_->stats().postsByCore, posts);
  EXPECT_EQ(model.inferBuffer({}, out), StatusCode::OK);
  EXPECT_EQ(model.inferSpeedrun(0), StatusCode::OK);

  EXPECT_EQ(model.releaseBuffer(in), StatusCode::OK);
  EXPECT_TRUE(in.empty());
  EXPECT_EQ(model.releaseBuffer(in), StatusCode::OK);
  EXPECT_EQ(model.releaseBuffer(out), StatusCode::OK);
  EXPECT_EQ(model.releaseBuffers(ins), StatusCode::OK);
  EXPECT_EQ(model.releaseBuffers(outs), StatusCode::OK);
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  std::vector<Buffer> gone = {Buffer{}};
  EXPECT_EQ(model.releaseBuffer(gone), StatusCode::Model_NotLaunched);
  EXPECT_TRUE(model.acquireInputBuffer().empty());
}

TEST_F(InferenceTest, BufferBatchOfNoItemsRunsNothing) {
  Model& model = launch(testModel("mixed_layouts"));
  const auto posts = card_->stats().postsByCore;
  // However many lists the caller passes: no item, no task.
  const std::vector<std::vector<std::vector<Buffer>>> inputs = {{{}}, {{}, {}, {}, {}}};
  const std::vector<std::vector<std::vector<Buffer>>> outputs = {{}, {{}}, {{}, {}, {}, {}}};
  for (const auto& in : inputs) {
    for (auto out : outputs) EXPECT_EQ(model.inferBuffer(in, out), StatusCode::OK) << in.size() << " " << out.size();
    // The forms that convert the outputs agree, and leave them as they were.
    std::vector<NDArray<float>> arrays;
    std::vector<std::vector<float>> lists = {{1.5f}};
    EXPECT_EQ(model.inferBufferToFloat(in, arrays), StatusCode::OK) << in.size();
    EXPECT_EQ(model.inferBufferToFloat(in, lists), StatusCode::OK) << in.size();
    EXPECT_TRUE(arrays.empty());
    EXPECT_EQ(lists, (std::vector<std::vector<float>>{{1.5f}}));
  }
  EXPECT_EQ(card_->stats().postsByCore, posts);
  // An item in a later list still needs one in every list.
  auto some = model.acquireInputBuffers(1);
  ASSERT_EQ(some.size(), 4u);
  some[0].clear();
  std::vector<std::vector<Buffer>> out = model.acquireOutputBuffers(1);
  EXPECT_EQ(model.inferBuffer(some, out), StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(card_->stats().postsByCore, posts);
}

TEST_F(InferenceTest, BuffersThatDoNotFitAreRefused) {
  Model& model = launch(testModel("identity_int8"));
  auto ins = model.acquireInputBuffers(2), outs = model.acquireOutputBuffers(2);
  std::vector<uint8_t> own(1024);
  auto with = [](std::vector<std::vector<Buffer>> lists, size_t i, size_t j, Buffer b) {
    lists[i][j] = b;
    return lists;
  };
  struct Case {
    const char* what;
    std::vector<std::vector<Buffer>> in, out;
    StatusCode status;
  };
  const Buffer small{ins[0][1].data, 512}, large{outs[0][0].data, 4096};
  const Case cases[] = {
      {"not from the pool", with(ins, 0, 0, Buffer{own.data(), 1024}), outs, StatusCode::MemoryPool_BufNotFound},
      {"smaller than an item", with(ins, 0, 1, small), outs, StatusCode::Model_BufferSizeMismatched},
      {"larger than an item", ins, with(outs, 0, 0, large), StatusCode::Model_BufferSizeMismatched},
      {"fewer output items", ins, {{outs[0][0]}}, StatusCode::Model_ShapeMismatched},
      {"an output list too many", ins, {outs[0], outs[0]}, StatusCode::Model_ShapeMismatched},
      {"no input list", {}, outs, StatusCode::Model_ShapeMismatched},
  };
  const auto posts = card_->stats().postsByCore;
  for (const Case& c : cases) {
    std::vector<std::vector<Buffer>> out = c.out;
    EXPECT_EQ(model.inferBuffer(c.in, out), c.status) << c.what;
  }
  EXPECT_EQ(card_->stats().postsByCore, posts);  // nothing reached the card

  Values x(256);
  LogCapture log;
  EXPECT_EQ(model.repositionInputs({x.data(), x.data()}, ins), StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Size of inputs and input_bufss is mismatched (inputs.size(): 2, input_bufss.size(): 1"), 1u);
  std::vector<std::vector<Buffer>> shortOnes = with(ins, 0, 1, small);
  EXPECT_EQ(model.repositionInputs({x.data()}, shortOnes), StatusCode::Model_BufferSizeMismatched);
  EXPECT_EQ(model.repositionInputs({x.data()}, ins, {{1, 1}}), StatusCode::Model_ShapeMismatched);
  std::vector<float*> into = {x.data()};
  EXPECT_EQ(model.repositionOutputs(shortOnes, into), StatusCode::Model_BufferSizeMismatched);
  EXPECT_TRUE(model.acquireInputBuffer({{1, 1, 1}, {1, 1, 1}}).empty());
  EXPECT_TRUE(model.acquireInputBuffer({{1, 0, 1}}).empty());
  std::vector<Buffer> foreign = {Buffer{own.data(), 1024}};
  EXPECT_EQ(model.releaseBuffer(foreign), StatusCode::MemoryPool_BufNotFound);
  // Reposition writes only into blocks the pool has handed out.
  EXPECT_EQ(model.repositionInputs({x.data()}, foreign), StatusCode::MemoryPool_BufNotFound);
  std::vector<Buffer> released = model.acquireInputBuffer();
  const std::vector<Buffer> kept = released;
  ASSERT_EQ(model.releaseBuffer(released), StatusCode::OK);
  EXPECT_EQ(model.repositionOutputs(kept, into), StatusCode::MemoryPool_BufNotFound);
  EXPECT_EQ(model.releaseBuffers(ins), StatusCode::OK);
  EXPECT_EQ(model.releaseBuffers(outs), StatusCode::OK);
  std::vector<Buffer> held = model.acquireInputBuffer();
  ASSERT_EQ(model.dispose(), StatusCode::OK);
  EXPECT_EQ(model.repositionInputs({x.data()}, held), StatusCode::Model_NotLaunched);
}

TEST_F(InferenceTest, VariantHandlesWorkOnTheirVariant) {
  Model& model = launch(testModel("two_variants"));
  StatusCode sc = StatusCode::OK;
  for (int bad : {-1, 2}) {
    LogCapture log;
    EXPECT_EQ(model.getModelVariantHandle(bad, sc), nullptr);
    EXPECT_EQ(sc, StatusCode::Model_InvalidVariantIdx);
    EXPECT_EQ(log.count("Please use a value between 0 and 1 (inclusive)."), 1u);
  }
  auto first = model.getModelVariantHandle(0, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(first->getModelInputShape(), model.getModelInputShape());
  EXPECT_EQ(first->getModelOutputShape(), model.getModelOutputShape());
  EXPECT_EQ(first->getInputBufferInfo()[0].original_channel, model.getInputBufferInfo()[0].original_channel);
  EXPECT_EQ(first->getOutputScale()[0].scale_list, model.getOutputScale()[0].scale_list);

  auto second = model.getModelVariantHandle(1, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(second->getVariantIdx(), 1);
  EXPECT_EQ(second->getModelInputShape()[0], (std::vector<int64_t>{1, 1, 32}));
  EXPECT_EQ(second->getOutputBufferInfo()[0].original_channel, 32u);
  std::vector<Buffer> in = second->acquireInputBuffer(), out = second->acquireOutputBuffer();
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].size, 32u);
  const Values x = steps(32, 1, -100, 100, 2);
  ASSERT_EQ(second->repositionInputs({const_cast<float*>(x.data())}, in), StatusCode::OK);
  // The shapes pick the variant for buffer inference.
  ASSERT_EQ(model.inferBuffer(in, out, {{1, 1, 32}}), StatusCode::OK);
  std::vector<std::vector<float>> y;
  ASSERT_EQ(second->repositionOutputs(out, y), StatusCode::OK);
  for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(y[0][i], x[i] - 1);
  EXPECT_EQ(model.inferBuffer(in, out), StatusCode::Model_BufferSizeMismatched);  // variant 0 takes 16 bytes
  EXPECT_EQ(second->releaseBuffer(in), StatusCode::OK);
  EXPECT_EQ(second->releaseBuffer(out), StatusCode::OK);
}

}  // namespace
}  // namespace kestrane::test
