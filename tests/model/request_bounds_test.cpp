// Requests whose sequence multipliers go past what creation sized the device
// areas for: on every axis (a length of type 0, a fixed length, no length),
// on the outputs a length drives, and in every form a request takes. Each is
// refused with Model_ShapeMismatched and one line before any buffer is
// filled; requests within the bounds run.

#include <functional>
#include <string>

#include "inference_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

// x of (L, 2, 4 C): L (length 0, type 0) up to 2; C (length 1, fixed) up to
// 2; the width has no length. y of (2 L, 2, 4): length 0 doubles its height,
// whose own maximum is 2, so L = 2 would overflow it.
json boundedModel() {
  auto io = [](const char* name, uint32_t address, json seq) {
    return json{{"name", name},      {"original", {1, 2, 4}}, {"io_type", 5}, {"kind", 0},
                {"word2_nibble", 2}, {"seq_index", seq},      {"designations", {{{"each_core", true}, {"address", address}}}}};
  };
  auto axis = [](int a, double slope) {
    return json{{"axis_type", 0}, {"axis", a}, {"multiplier", slope}, {"offset", 0.0}};
  };
  return {{"version", 6},
          {"target_hardware", "Taliss2"},
          {"metadata",
           {{{"payload",
              {{"model_description",
                {{"inputs", {{{"name", "x"}, {"shape", {1, -1, -2, -4}}}}},
                 {"outputs", {{{"name", "y"}, {"shape", {1, -1, 2, 4}}}}},
                 {"layers", {{{"layerName", "npu"}, {"inputList", {"x"}}, {"outputList", {"y"}}}}}}}}}}}},
          {"bundles",
           {{{"cores", {{{"all_local", true}, {"mode", 0}}}},
             {"inputs", {io("x", 4096, {0, -1, 1})}},
             {"outputs", {io("y", 8192, {0, -1, -1})}},
             {"sequence_lengths",
              {{{"sequence_type", 0},
                {"max_size", 2},
                {"input_axes", {{{"key", 0}, {"axes", {axis(0, 1.0)}}}}},
                {"output_axes", {{{"key", 0}, {"axes", {axis(0, 2.0)}}}}}},
               {{"sequence_type", 1}, {"max_size", 2}, {"input_axes", {{{"key", 0}, {"axes", {axis(2, 1.0)}}}}}}}},
             {"section_binaries",
              {{{"memory_type", 0},
                {"program", {"copy ddr+0x2000 ddr+0x1000 8"}},
                {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}}}}}}}};
}

using Shape = std::vector<int64_t>;

struct Beyond {
  const char* what;
  Shape shape;  // HWC, batch first
  std::string line;
};

const Beyond kBeyond[] = {
    {"length of type 0", {1, 3, 2, 4}, "Sequence length of inputs[0] exceeds maximum value (3 > 2)"},
    {"axis without a length", {1, 1, 4, 4}, "Sequence length of inputs[0] exceeds maximum value (2 > 1)"},
    {"fixed length", {1, 1, 2, 12}, "Sequence length of inputs[0] exceeds maximum value (3 > 2)"},
    {"output a length drives", {1, 2, 2, 4}, "Sequence length of outputs[0] exceeds maximum value (4 > 2)"},
};

size_t errorLines(const LogCapture& log) {
  size_t n = 0;
  for (const std::string& line : log.lines()) n += line.rfind("error|", 0) == 0;
  return n;
}

int64_t count(const Shape& s) {
  int64_t n = 1;
  for (int64_t d : s) n *= d;
  return n;
}

class RequestBounds : public InferenceTest {
 protected:
  // Every form of a shape-driven request, on `model` (and `async`, made with
  // the asynchronous pipeline).
  std::vector<std::pair<std::string, std::function<StatusCode(const Shape&)>>> forms(Model& model, Model& async) {
    return {
        {"float arrays",
         [&](const Shape& s) {
           std::vector<NDArray<float>> out;
           return model.infer({arrayOf<float>(s, Values(static_cast<size_t>(count(s)), 1.0f))}, out);
         }},
        {"int8 arrays",
         [&](const Shape& s) {
           std::vector<NDArray<int8_t>> out;
           return model.infer({arrayOf<int8_t>(s, std::vector<int8_t>(static_cast<size_t>(count(s)), 1))}, out);
         }},
        {"CHW arrays",
         [&](const Shape& s) {
           std::vector<NDArray<float>> out;
           const Shape chw = {s[0], s[3], s[1], s[2]};
           return model.inferCHW({arrayOf<float>(chw, Values(static_cast<size_t>(count(s)), 1.0f))}, out);
         }},
        {"pointers",
         [&](const Shape& s) {
           Values data(static_cast<size_t>(count(s)), 1.0f);
           std::vector<std::vector<float>> out;
           return model.infer({data.data()}, {s}, out);
         }},
        {"buffers",
         [&](const Shape& s) {
           // Output buffers for the multipliers of a request of height 1.
           std::vector<Buffer> in = model.acquireInputBuffer(), out = model.acquireOutputBuffer({{2, 1, 1}});
           const StatusCode status = model.inferBuffer(in, out, {s});
           model.releaseBuffer(in);
           model.releaseBuffer(out);
           return status;
         }},
        {"buffers to float",
         [&](const Shape& s) {
           std::vector<Buffer> in = model.acquireInputBuffer();
           std::vector<NDArray<float>> out;
           const StatusCode status = model.inferBufferToFloat(in, out, {s});
           model.releaseBuffer(in);
           return status;
         }},
        {"asynchronous",
         [&](const Shape& s) {
           StatusCode status = StatusCode::OK;
           Future<float> f = async.inferAsync({arrayOf<float>(s, Values(static_cast<size_t>(count(s)), 1.0f))}, status);
           if (status == StatusCode::OK) f.get(status);
           return status;
         }},
    };
  }
};

TEST_F(RequestBounds, EveryFormRefusesMultipliersBeyondTheAreas) {
  Model& model = launch(boundedModel(), onCore(0, 0));
  ModelConfig withPipeline = onCore(0, 1);
  withPipeline.setAsyncPipelineEnabled(true);
  Model& async = launch(boundedModel(), withPipeline);
  for (const auto& [form, request] : forms(model, async)) {
    for (const Beyond& b : kBeyond) {
      LogCapture log;
      EXPECT_EQ(request(b.shape), StatusCode::Model_ShapeMismatched) << form << ", " << b.what;
      EXPECT_EQ(log.count(b.line), 1u) << form << ", " << b.what << "\n" << log.text();
      EXPECT_EQ(errorLines(log), 1u) << form << ", " << b.what << "\n" << log.text();
    }
    // At the bounds the request runs (the buffer forms with buffers of one
    // item of the original shape). Asynchronous inference takes no sequence
    // multipliers at all, so it has no bound to run at.
    if (form == "asynchronous") continue;
    const bool buffers = form.rfind("buffers", 0) == 0;
    EXPECT_EQ(request(buffers ? Shape{1, 1, 2, 4} : Shape{1, 1, 2, 8}), StatusCode::OK) << form;
  }
}

TEST_F(RequestBounds, BufferAcquisitionAndRepositionRefuseMultipliersBeyondTheAreas) {
  Model& model = launch(boundedModel(), onCore(0, 0));
  const struct {
    std::vector<std::vector<int>> seqlens;
    bool isInput;
    std::string line;
  } cases[] = {
      {{{3, 1, 1}}, true, "Sequence length of inputs[0] exceeds maximum value (3 > 2)"},
      {{{1, 2, 1}}, true, "Sequence length of inputs[0] exceeds maximum value (2 > 1)"},
      {{{1, 1, 3}}, true, "Sequence length of inputs[0] exceeds maximum value (3 > 2)"},
      {{{3, 1, 1}}, false, "Sequence length of outputs[0] exceeds maximum value (3 > 2)"},
      {{{1, 1, 2}}, false, "Sequence length of outputs[0] exceeds maximum value (2 > 1)"},
  };
  // Buffers of the largest item each side allows, for the reposition calls.
  std::vector<Buffer> in = model.acquireInputBuffer({{2, 1, 2}});
  std::vector<Buffer> out = model.acquireOutputBuffer({{2, 1, 1}});
  ASSERT_EQ(in.size(), 1u);
  ASSERT_EQ(out.size(), 1u);
  Values host(64, 1.0f);
  for (const auto& c : cases) {
    LogCapture log;
    if (c.isInput) {
      EXPECT_TRUE(model.acquireInputBuffer(c.seqlens).empty());
      EXPECT_TRUE(model.acquireInputBuffers(2, c.seqlens).empty());
      EXPECT_EQ(model.repositionInputs({host.data()}, in, c.seqlens), StatusCode::Model_ShapeMismatched);
    } else {
      EXPECT_TRUE(model.acquireOutputBuffer(c.seqlens).empty());
      EXPECT_TRUE(model.acquireOutputBuffers(2, c.seqlens).empty());
      std::vector<float*> pointers = {host.data()};
      EXPECT_EQ(model.repositionOutputs(out, pointers, c.seqlens), StatusCode::Model_ShapeMismatched);
    }
    EXPECT_EQ(log.count(c.line), 3u) << log.text();
    EXPECT_EQ(errorLines(log), 3u) << log.text();
  }
  EXPECT_EQ(model.repositionInputs({host.data()}, in, {{2, 1, 2}}), StatusCode::OK);
  std::vector<float*> pointers = {host.data()};
  EXPECT_EQ(model.repositionOutputs(out, pointers, {{2, 1, 1}}), StatusCode::OK);
  EXPECT_EQ(model.releaseBuffer(in), StatusCode::OK);
  EXPECT_EQ(model.releaseBuffer(out), StatusCode::OK);
}

}  // namespace
}  // namespace kestrane::test
