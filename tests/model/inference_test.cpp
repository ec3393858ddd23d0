// Synchronous inference end to end: the shared test models launched on the
// simulated card and run through every request form, core mode and variant.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>

#include "inference_fixture.h"
#include "reposition/record_util.h"
#include "support/log_capture.h"
#include "support/program_assembler.h"
#include "utilkit/fs_utils.h"

namespace kestrane::test {
namespace {

constexpr uint32_t kGlobal0 = 0x1FFFE, kGlobal1 = 0x2FFFE;

// What the card's int8 copy gives back for x with scale 1: x rounded half
// up, saturated.
float int8Step(float x) { return std::min(127.0f, std::max(-128.0f, std::floor(x + 0.5f))); }

Values map(const Values& in, float (*f)(float)) {
  Values out(in.size());
  std::transform(in.begin(), in.end(), out.begin(), f);
  return out;
}

TEST_F(InferenceTest, IdentityRoundsToOneInt8Step) {
  Model& model = launch(testModel("identity_int8"));
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-140, 140);
  Values x(3 * 128);
  for (float& v : x) v = dist(rng);
  const Values want = map(x, int8Step);

  // One item as 3-D, then a batch of three as 4-D.
  StatusCode sc = StatusCode::InternalError;
  auto one = model.infer({arrayOf<float>({4, 4, 8}, Values(x.begin(), x.begin() + 128))}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].shape, (std::vector<int64_t>{4, 4, 8}));
  EXPECT_EQ(valuesOf(one[0]), Values(want.begin(), want.begin() + 128));
  auto three = model.infer({arrayOf<float>({3, 4, 4, 8}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(three[0].shape, (std::vector<int64_t>{3, 4, 4, 8}));
  EXPECT_EQ(valuesOf(three[0]), want);
  for (size_t i = 0; i < x.size(); ++i)
    if (std::abs(x[i]) < 127) {
      EXPECT_LE(std::abs(three[0].ptr()[i] - x[i]), 0.5f) << i;
    }

  // int8 in and out, int8 in and float out, raw pointers, a batch count.
  std::vector<int8_t> q(want.begin(), want.end());
  auto asInt8 = model.infer({arrayOf<int8_t>({3, 4, 4, 8}, q)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(asInt8[0]), q);
  auto asFloat = model.inferToFloat({arrayOf<int8_t>({3, 4, 4, 8}, q)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(asFloat[0]), want);
  auto pointers = model.infer({x.data()}, {{3, 4, 4, 8}}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(pointers[0], want);
  auto counted = model.infer({x.data()}, 3, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(counted[0], want);
  auto single = model.infer({q.data()}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(single[0], std::vector<int8_t>(q.begin(), q.begin() + 128));

  // An output array of the exact shape is written in place.
  std::vector<NDArray<float>> out = {arrayOf<float>({3, 4, 4, 8}, Values(x.size()))};
  const float* storage = out[0].ptr();
  ASSERT_EQ(model.infer({arrayOf<float>({3, 4, 4, 8}, x)}, out), StatusCode::OK);
  EXPECT_EQ(out[0].ptr(), storage);
  EXPECT_EQ(valuesOf(out[0]), want);
}

// One thread's requests reuse what the thread filled for the one before:
// models of other input and output counts, other batches and refused
// requests in between leave no trace in the next request's results.
TEST_F(InferenceTest, OneThreadAlternatesModelsBatchesAndRefusals) {
  Model& identity = launch(testModel("identity_int8"), onCore(0, 0));
  Model& mixed = launch(testModel("mixed_layouts"), onCore(0, 1));
  const Values in0 = steps(64, 0.5f, -60, 60, 3), in1 = steps(24, 0.25f, -100, 100, 4),
               in2 = steps(10, 0.125f, -100, 100, 5), in3 = {3, 1.5f, 0.75f, -7, -2.5f, 1.25f};
  StatusCode sc = StatusCode::InternalError;
  for (int64_t batch : {3, 1, 5, 2}) {
    const Values x = steps(static_cast<size_t>(batch) * 128, 1, -128, 127, static_cast<uint32_t>(batch));
    auto one = identity.infer({arrayOf<float>({batch, 4, 4, 8}, x)}, sc);
    ASSERT_EQ(sc, StatusCode::OK);
    EXPECT_EQ(valuesOf(one[0]), x);
    identity.infer({arrayOf<float>({batch, 4, 4, 7}, Values(static_cast<size_t>(batch) * 112))}, sc);
    EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
    auto four = mixed.infer({arrayOf<float>({2, 4, 8}, in0), arrayOf<float>({2, 2, 6}, in1),
                             arrayOf<float>({1, 1, 10}, in2), arrayOf<float>({1, 2, 3}, in3)},
                            sc);
    ASSERT_EQ(sc, StatusCode::OK);
    ASSERT_EQ(four.size(), 4u);
    EXPECT_EQ(valuesOf(four[0]), in0);
    EXPECT_EQ(valuesOf(four[3]), in3);
  }
}

// A description whose shapes have no batch: the request's batch still
// counts (one item for a 3-D input), never the item's height.
TEST_F(InferenceTest, DescriptionsWithoutBatchTakeTheRequestsBatch) {
  json m = testModel("identity_int8");
  m["metadata"] = {{{"payload", {{"model_description",
                                   {{"inputs", {{{"name", "in"}, {"shape", {4, 4, 8}}}}},
                                    {"outputs", {{{"name", "out"}, {"shape", {4, 4, 8}}}}},
                                    {"layers", {{{"layerName", "model"}, {"inputList", {"in"}},
                                                 {"outputList", {"out"}}}}}}}}}}};
  Model& model = launch(m);
  const Values x = steps(2 * 128, 1, -128, 127, 16);
  StatusCode sc = StatusCode::InternalError;
  auto one = model.infer({arrayOf<float>({4, 4, 8}, Values(x.begin(), x.begin() + 128))}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(one[0].shape, (std::vector<int64_t>{4, 4, 8}));
  EXPECT_EQ(valuesOf(one[0]), Values(x.begin(), x.begin() + 128));
  auto two = model.infer({arrayOf<float>({2, 4, 4, 8}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(two[0]), x);
}

// The card moves every pixel one place back (pixel p gets pixel p + 1, the
// last gets the first), so a mistake made alike on the way in and out (a
// transposed height and width, say) shows against the host's reference.
TEST_F(InferenceTest, ChwEqualsHwc) {
  json rotate = testModel("identity_int8");
  rotate["bundles"][0]["section_binaries"][0]["program"] =
      json::array({"copy ddr+0x2000 ddr+0x1040 960", "copy ddr+0x23C0 ddr+0x1000 64"});
  Model& model = launch(rotate);
  const Values x = steps(2 * 128, 1, -120, 120, 2);
  Values want(x.size());
  for (size_t item = 0; item < 2; ++item)
    for (size_t p = 0; p < 16; ++p)
      for (size_t c = 0; c < 8; ++c) want[(item * 16 + p) * 8 + c] = x[(item * 16 + (p + 1) % 16) * 8 + c];
  StatusCode sc = StatusCode::InternalError;
  auto hwc = model.infer({arrayOf<float>({2, 4, 4, 8}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(hwc[0]), want);
  auto chw = model.inferCHW({arrayOf<float>({2, 8, 4, 4}, toCHW(x, 2, 4, 4, 8))}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(chw[0].shape, (std::vector<int64_t>{2, 8, 4, 4}));
  EXPECT_EQ(valuesOf(chw[0]), toCHW(want, 2, 4, 4, 8));
}

TEST_F(InferenceTest, MixedLayoutsAndElementTypes) {
  Model& model = launch(testModel("mixed_layouts"));
  const Values in0 = steps(64, 0.5f, -60, 60, 3), in1 = steps(24, 0.25f, -100, 100, 4),
               in2 = steps(10, 0.125f, -100, 100, 5), in3 = {3, 1.5f, 0.75f, -7, -2.5f, 1.25f};
  StatusCode sc = StatusCode::InternalError;
  auto out = model.infer({arrayOf<float>({2, 4, 8}, in0), arrayOf<float>({2, 2, 6}, in1),
                          arrayOf<float>({1, 1, 10}, in2), arrayOf<float>({1, 2, 3}, in3)},
                         sc);
  ASSERT_EQ(sc, StatusCode::OK);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(valuesOf(out[0]), in0);
  EXPECT_EQ(valuesOf(out[1]), in1);
  Values affine(in2.size());
  std::transform(in2.begin(), in2.end(), affine.begin(), [](float v) { return v * 1.5f + 1; });
  EXPECT_EQ(valuesOf(out[2]), affine);
  EXPECT_EQ(valuesOf(out[3]), in3);
  // int8 data cannot stand for the float16 and float32 inputs.
  auto bytes = [](size_t n) { return std::vector<int8_t>(n); };
  auto refused = model.infer({arrayOf<int8_t>({2, 4, 8}, bytes(64)), arrayOf<int8_t>({2, 2, 6}, bytes(24)),
                              arrayOf<int8_t>({1, 1, 10}, bytes(10)), arrayOf<int8_t>({1, 2, 3}, bytes(6))},
                             sc);
  EXPECT_EQ(sc, StatusCode::Model_DtypeMismatched);
}

// Many stored copy runs over each other, into the NPU (24 host elements,
// 32 NPU ones: gaps are cleared) and out of it: a request leaves what the
// runs applied in order leave, and creation keeps a form of them that writes
// each element once.
TEST_F(InferenceTest, OverlappingCopyRunsGiveTheRunsInOrder) {
  std::mt19937 rng(39);
  auto randomRuns = [&](uint32_t from, uint32_t to) {
    CopyRuns runs;
    for (int k = 0; k < 300; ++k) {
      const uint32_t length = k % 50 == 0 ? std::min(from, to) : static_cast<uint32_t>(rng() % 9);
      runs.srcOffsets.push_back(static_cast<uint32_t>(rng() % (from - length + 1)));
      runs.lengths.push_back(length);
      runs.dstOffsets.push_back(static_cast<uint32_t>(rng() % (to - length + 1)));
    }
    return runs;
  };
  const CopyRuns in = randomRuns(24, 32), out = randomRuns(32, 24);
  json m = testModel("identity_int8");
  json& bundle = m["bundles"][0];
  for (auto [io, runs] : {std::make_pair(&bundle["inputs"][0], &in), std::make_pair(&bundle["outputs"][0], &out)}) {
    (*io)["original"] = {1, 1, 24};
    (*io)["shape"] = {1, 1, 32};
    (*io)["io_type"] = 2;
    (*io)["io_groups"] = {{{"first", runs->srcOffsets}, {"second", runs->lengths}, {"third", runs->dstOffsets}}};
  }
  bundle["section_binaries"][0]["program"] = {"copy ddr+0x2000 ddr+0x1000 32"};

  const Created created = createModel(m);
  ASSERT_EQ(created.status, StatusCode::OK);
  for (const IORecord* rec : {&created.model->npuOpDescs()[0].inputs()[0], &created.model->npuOpDescs()[0].outputs()[0]})
    EXPECT_TRUE(writeEachElementOnce(rec->disjointRuns));

  Model& model = launch(m);
  const Values x = steps(24, 1, -100, 100, 39);
  const Values npu = runsInOrder(in, x, 24, Values(32), 32, 1, true);
  StatusCode sc = StatusCode::InternalError;
  auto y = model.infer({arrayOf<float>({1, 1, 24}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  const Values want = runsInOrder(out, npu, 32, Values(24, 0.0f), 24, 1, false);
  EXPECT_EQ(valuesOf(y[0]), want);
  auto q = model.infer({arrayOf<int8_t>({1, 1, 24}, std::vector<int8_t>(x.begin(), x.end()))}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(q[0]), std::vector<int8_t>(want.begin(), want.end()));
}

// Regroupings whose pixels spread over reshaped pixels of fewer channels
// than the granule of 64: the gaps they leave let a row start inside the
// row before without meeting it. The card copies the input area to a dense
// output of the NPU shape, which shows where each host element landed.
TEST_F(InferenceTest, SpreadPixelsLandWhereTheirTableSays) {
  const struct {
    std::vector<int> original, reshaped, npu;
    std::vector<size_t> positions;  // of the host elements in HWC order
  } cases[] = {
      // Pixel x of row y at (2 x + y) 64: row 1 lies between the pixels of row 0.
      {{2, 2, 2}, {2, 1, 1}, {1, 4, 64}, {0, 1, 128, 129, 64, 65, 192, 193}},
      // Pixel x at 5 x 64, row 1 of the reshape two pixels on.
      {{1, 2, 5}, {3, 2, 1}, {1, 6, 64}, {0, 1, 2, 3, 4, 320, 321, 322, 323, 324}},
  };
  int core = 0;
  for (const auto& c : cases) {
    json m = testModel("identity_int8");
    json& b = m["bundles"][0];
    const size_t bytes = static_cast<size_t>(c.npu[0] * c.npu[1] * c.npu[2]);
    b["inputs"][0]["original"] = c.original;
    b["inputs"][0]["reshaped"] = c.reshaped;
    b["inputs"][0]["shape"] = c.npu;
    b["outputs"][0]["original"] = b["outputs"][0]["shape"] = c.npu;
    b["outputs"][0]["io_type"] = 5;
    b["section_binaries"][0]["program"] = {"copy ddr+0x2000 ddr+0x1000 " + std::to_string(bytes)};
    Model& model = launch(m, onCore(0, core++));
    const Values x = steps(c.positions.size(), 1, -120, 120, 9);
    Values want(bytes);
    for (size_t i = 0; i < x.size(); ++i) want[c.positions[i]] = x[i];
    StatusCode sc = StatusCode::InternalError;
    auto out = model.infer({arrayOf<float>({c.original[0], c.original[1], c.original[2]}, x)}, sc);
    ASSERT_EQ(sc, StatusCode::OK);
    EXPECT_EQ(valuesOf(out[0]), want);
  }
}

TEST_F(InferenceTest, RefusesRequestsThatDoNotFit) {
  Model& model = launch(testModel("identity_int8"), onCore(0, 0));
  Values x(256);
  struct Case {
    const char* what;
    std::vector<std::vector<int64_t>> shapes;
    std::vector<float*> data;
    const char* line;
  };
  const Case cases[] = {
      {"no input", {}, {}, "(empty input shape) is invalid"},
      {"two dimensions", {{16, 8}}, {x.data()}, "is neither an item"},
      {"five dimensions", {{1, 1, 4, 4, 8}}, {x.data()}, "is neither an item"},
      {"a zero", {{0, 4, 4, 8}}, {x.data()}, "Input shape [(0, 4, 4, 8)] is invalid. Input 0 is neither an item"},
      {"a negative", {{4, -4, 8}}, {x.data()}, "is neither an item"},
      {"another item", {{4, 4, 16}}, {x.data()}, "Input shape [(4, 4, 16)] is invalid."},
      {"two shapes, one pointer", {{4, 4, 8}, {4, 4, 8}}, {x.data()}, "1 inputs come with 2 shapes."},
      {"no data", {{4, 4, 8}}, {nullptr}, "holds no data"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    StatusCode sc = StatusCode::OK;
    model.infer(c.data, c.shapes, sc);
    EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched) << c.what;
    EXPECT_EQ(log.count(c.line), 1u) << c.what << "\n" << log.text();
  }
  // An array whose count disagrees with its shape, batches that differ.
  NDArray<float> lying = arrayOf<float>({4, 4, 8}, Values(64));
  StatusCode sc = StatusCode::OK;
  model.infer({lying}, sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
  Model& twoInputs = launch(testModel("mixed_layouts"), onCore(0, 1));
  LogCapture log;
  twoInputs.infer({x.data(), x.data(), x.data(), x.data()}, {{2, 2, 4, 8}, {3, 2, 2, 6}, {2, 1, 1, 10}, {2, 1, 2, 3}},
                  sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Batch size is not the same for 1th input tensor."), 1u);
  // Batches are compared before ranks: a 2-D input has a batch of one.
  twoInputs.infer({x.data(), x.data(), x.data(), x.data()}, {{2, 2, 4, 8}, {2, 6}, {2, 1, 1, 10}, {2, 1, 2, 3}}, sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
  EXPECT_EQ(log.count("Batch size is not the same for 1th input tensor."), 2u);
}

TEST_F(InferenceTest, VariantsArePickedByShape) {
  Model& model = launch(testModel("two_variants"));
  ASSERT_EQ(model.getNumModelVariants(), 2);
  const Values a = steps(2 * 16, 1, -100, 100, 6), b = steps(32, 1, -100, 100, 7);
  StatusCode sc = StatusCode::InternalError;
  for (int round = 0; round < 2; ++round) {  // the programs are reloaded before every run
    auto ya = model.infer({arrayOf<float>({2, 1, 1, 16}, a)}, sc);
    ASSERT_EQ(sc, StatusCode::OK);
    auto yb = model.infer({arrayOf<float>({1, 1, 32}, b)}, sc);
    ASSERT_EQ(sc, StatusCode::OK);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(ya[0].ptr()[i], a[i] + 1);
    for (size_t i = 0; i < b.size(); ++i) EXPECT_EQ(yb[0].ptr()[i], b[i] - 1);
  }
  model.infer({arrayOf<float>({1, 1, 24}, Values(24))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
}

TEST_F(InferenceTest, ProgramKindsAndSlotsRunTheirPrograms) {
  Model& kinds = launch(testModel("program_kinds"), onCore(0, 0));
  const Values x16 = steps(16, 1, -100, 100, 8), x32 = steps(32, 1, -100, 100, 9), x48 = steps(48, 1, -100, 100, 10);
  StatusCode sc = StatusCode::InternalError;
  for (int v : {0, 1, 2, 0, 2, 1}) {
    const Values& x = v == 0 ? x16 : v == 1 ? x32 : x48;
    auto y = kinds.infer({arrayOf<float>({1, 1, static_cast<int64_t>(x.size())}, x)}, sc);
    ASSERT_EQ(sc, StatusCode::OK) << v;
    for (size_t i = 0; i < x.size(); ++i) {
      const float want = v == 0 ? x[i] + 3 : v == 1 ? std::min(127.0f, std::max(-128.0f, 2 * x[i])) : -x[i];
      EXPECT_EQ(y[0].ptr()[i], want) << v << " " << i;
    }
  }
  for (int v = 0; v < 3; ++v) EXPECT_EQ(kinds.inferSpeedrun(v), StatusCode::OK);

  Model& slots = launch(testModel("two_slots"), onCore(0, 1));
  const Values x = steps(6 * 64, 1, -100, 100, 11);
  auto y = slots.infer({arrayOf<float>({6, 1, 1, 64}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(y[0].ptr()[i], x[i] + 5);

  Model& sequence = launch(testModel("sequence_cache"), onCore(1, 0));
  const Values s = steps(3 * 16, 1, -100, 100, 12);
  auto ys = sequence.infer({arrayOf<float>({3, 1, 16}, s)}, 2, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(ys[0].shape, (std::vector<int64_t>{3, 1, 16}));
  for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(ys[0].ptr()[i], s[i] + 1);
}

// The identity model compiled for every core mode: single on the eight
// local cores, multi over cluster 0 (its global core's program copies each
// local core's area), global, global4 and global8 on the global cores.
json allModesModel() {
  json m = testModel("identity_int8");
  json& b = m["bundles"][0];
  const std::vector<uint32_t> cluster0 = {0x10001, 0x10002, 0x10003, 0x10004, kGlobal0};
  for (uint32_t mode : {1u, 2u, 3u, 4u}) {
    std::vector<uint32_t> cores = cluster0;
    if (mode == 4) cores.insert(cores.end(), {0x20001, 0x20002, 0x20003, 0x20004, kGlobal1});
    for (uint32_t c : cores) b["cores"].push_back({{"core_word", c}, {"mode", mode}});
    json program = {"copy ddr+0x2000 ddr+0x1000 1024"};
    if (mode == 1) {
      program = json::array();
      for (uint64_t ddr : {0x800000000ull, 0x880000000ull, 0x900000000ull, 0x980000000ull}) {
        program.push_back("copy " + std::to_string(ddr + 0x2000) + " " + std::to_string(ddr + 0x1000) + " 1024");
        for (const char* io : {"inputs", "outputs"})
          b[io][0]["designations"].push_back(
              on(0x10001 + static_cast<uint32_t>((ddr - 0x800000000ull) / 0x80000000ull),
                 io[0] == 'i' ? 4096 : 8192, mode));
      }
    } else {
      b["inputs"][0]["designations"].push_back(on(kGlobal0, 4096, mode));
      b["outputs"][0]["designations"].push_back(on(kGlobal0, 8192, mode));
    }
    b["section_binaries"].push_back({{"memory_type", 0},
                                     {"program", program},
                                     {"designations", {{{"core_word", kGlobal0}, {"mode", mode}, {"region", "IMEM"}}}}});
  }
  return m;
}

struct ModeCase {
  const char* name;
  ModelConfig (*config)();
  std::map<uint32_t, uint64_t> postsForTen;  // posts per core for a batch of 10
};

void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.name; }

const ModeCase kModes[] = {
    {"Single", [] { return oneCore(); }, {{0x10001, 10}}},
    {"Multi", [] { ModelConfig c; c.setMultiCoreMode({Cluster::Cluster0}); return c; }, {{kGlobal0, 3}}},
    {"Global", [] { ModelConfig c; c.setGlobalCoreMode({Cluster::Cluster0}); return c; }, {{kGlobal0, 10}}},
    {"Global4", [] { ModelConfig c; c.setGlobal4CoreMode({Cluster::Cluster0}); return c; }, {{kGlobal0, 10}}},
    {"Global8", [] { ModelConfig c; c.setGlobal8CoreMode(); return c; }, {{kGlobal0, 10}, {kGlobal1, 10}}},
};

class CoreModes : public InferenceTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CoreModes, BatchOfTenRunsInTasksOfTheMode) {
  // A global8 file places its program on the global core of cluster 0; the
  // card runs every posted core's own program, so cluster 1's gets one.
  const std::vector<uint8_t> idle = ProgramAssembler().delay(1).bytes();
  ASSERT_TRUE(card_->poke(0x118800000, idle.data(), idle.size()));
  Model& model = launch(allModesModel(), GetParam().config());
  const Values x = steps(10 * 128, 1, -128, 127, 13);
  StatusCode sc = StatusCode::InternalError;
  auto y = model.infer({arrayOf<float>({10, 4, 4, 8}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(y[0]), x);
  EXPECT_EQ(card_->stats().postsByCore, GetParam().postsForTen);
}

INSTANTIATE_TEST_SUITE_P(Modes, CoreModes, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

// Multi-core mode cuts a batch of ten into tasks of four, four and two, item
// j of a task on local core j. The last task leaves cores 2 and 3 with the
// items the second one put there (four, three and three would leave items
// 9 and 3).
TEST_F(InferenceTest, MultiCoreBatchOfTenRunsInTasksOfFourFourAndTwo) {
  ModelConfig config;
  ASSERT_TRUE(config.setMultiCoreMode({Cluster::Cluster0}));
  Model& model = launch(allModesModel(), config);
  Values x;
  for (int item = 0; item < 10; ++item) x.insert(x.end(), 128, static_cast<float>(item + 1));
  StatusCode sc = StatusCode::InternalError;
  auto y = model.infer({arrayOf<float>({10, 4, 4, 8}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(valuesOf(y[0]), x);
  std::vector<int8_t> last;  // the first value of each local core's output area
  for (uint64_t ddr : {0x800000000ull, 0x880000000ull, 0x900000000ull, 0x980000000ull}) {
    int8_t value = 0;
    ASSERT_TRUE(card_->peek(ddr + 0x2000, &value, 1));
    last.push_back(value);
  }
  EXPECT_EQ(last, (std::vector<int8_t>{9, 10, 7, 8}));
  EXPECT_EQ(card_->stats().postsByCore, (std::map<uint32_t, uint64_t>{{kGlobal0, 3}}));
}

// result = (round(2 x) + 1) + 0.5: a host layer, the card, a host layer.
TEST_F(InferenceTest, CpuLayersAroundTheNpuMatchTheHostReference) {
  Model& model = launch(testModel("cpu_layers"));
  const Values x = steps(3 * 16, 0.25f, -200, 200, 14);
  StatusCode sc = StatusCode::InternalError;
  auto y = model.infer({arrayOf<float>({3, 2, 2, 4}, x)}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  ASSERT_EQ(y[0].shape, (std::vector<int64_t>{3, 2, 2, 4}));
  for (size_t i = 0; i < x.size(); ++i) {
    const float npu = std::min(127.0f, int8Step(2 * x[i]) + 1);
    EXPECT_EQ(y[0].ptr()[i], npu + 0.5f) << i;
  }
  Values copy = x;
  auto lists = model.infer({copy.data()}, {{3, 2, 2, 4}}, sc);
  ASSERT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(lists[0], valuesOf(y[0]));

  struct Refusal {
    StatusCode status;
    const char* line;
  };
  LogCapture log;
  model.inferCHW({arrayOf<float>({1, 4, 2, 2}, Values(16))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_ShapeMismatched);
  model.infer({arrayOf<int8_t>({2, 2, 4}, std::vector<int8_t>(16))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_DtypeMismatched);
  EXPECT_EQ(model.inferSpeedrun(0), StatusCode::Model_DtypeMismatched);
  std::vector<Buffer> none;
  EXPECT_EQ(model.inferBuffer({Buffer{}}, none), StatusCode::Model_DtypeMismatched);
  for (const char* line : {"CHW parameter is not expected for a model with CPU-offload.",
                           "Int8 inference is not supported for a model with CPU-offload.",
                           "inferSpeedrun is not supported for a model with CPU-offload.",
                           "inferBuffer is not supported for a model with CPU-offload."})
    EXPECT_EQ(log.count(line), 1u) << line;
}

// A constant joins the run with the request's batch; with
// OPHEL_DEV_DUMP_LAYER_BIN every layer's output is dumped (the constant as
// the description gives it).
TEST_F(InferenceTest, CpuRunDumpsLayersAndRefusesDeadTensors) {
  json desc = testModel("cpu_layers");
  json& md = desc["metadata"][0]["payload"]["model_description"];
  Values bias = steps(16, 0.25f, -8, 8, 17);
  md["tensors"].push_back({{"name", "bias/c"}, {"shape", {1, 2, 2, 4}}});
  const json constant = {{"layerName", "bias/c"}, {"layerType", "InputConstant"}, {"isUnsupported", true},
                         {"constant", bias}, {"constant_shape", {1, 2, 2, 4}}};
  md["layers"].insert(md["layers"].begin(), constant);
  md["layers"][3] = {{"layerName", "result"}, {"layerType", "Adding"}, {"isUnsupported", true},
                     {"inputList", {"npu_out", "bias/c"}}};
  const std::filesystem::path dir = utilkit::createTempDirectory("layers_", 8);
  std::filesystem::create_directory(dir / "layer");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  ::setenv("OPHEL_DEV_DUMP_LAYER_BIN", "1", 1);
  Model& model = launch(desc, onCore(0, 0));
  const Values x = steps(2 * 16, 0.5f, -20, 20, 15);
  StatusCode sc = StatusCode::InternalError;
  auto y = model.infer({arrayOf<float>({2, 2, 2, 4}, x)}, sc);
  ::unsetenv("OPHEL_DEV_DUMP_LAYER_BIN");
  std::filesystem::current_path(before);
  ASSERT_EQ(sc, StatusCode::OK);
  for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(y[0].ptr()[i], int8Step(2 * x[i]) + 1 + bias[i % 16]) << i;
  for (const auto& [name, floats] : std::map<std::string, size_t>{
           {"scaled", 32}, {"npu_out", 32}, {"bias_c", 16}, {"result", 32}}) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(utilkit::readBinaryFile((dir / "layer" / (name + ".bin")).string(), bytes)) << name;
    EXPECT_EQ(bytes.size(), floats * sizeof(float)) << name;
    if (name == "result") {
      EXPECT_EQ(std::memcmp(bytes.data(), y[0].ptr(), bytes.size()), 0);
    }
  }
  std::filesystem::remove_all(dir);

  // A layer that reads a tensor an earlier layer dropped.
  json dead = testModel("cpu_layers");
  dead["metadata"][0]["payload"]["model_description"]["layers"][2]["inputList"] = {"scaled"};
  Model& broken = launch(dead, onCore(0, 1));
  LogCapture log;
  auto none = broken.infer({arrayOf<float>({2, 2, 2, 4}, x)}, sc);
  EXPECT_EQ(sc, StatusCode::Model_BrokenZRB);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(log.count("\"result\" needs the tensor \"scaled\""), 1u) << log.text();
}

// A host layer that gives no result fails the request without outputs,
// wherever that result would have gone: to the model's output, to no layer
// at all (the request would succeed), or into the NPU layer (it would fail
// on the shape).
struct LayerWithoutResult {
  const char* name;
  const char* layer;  // the failing layer's name
  const char* input;
  size_t at;          // its place among the layers
  bool inserted;      // else it replaces the layer there
};

void PrintTo(const LayerWithoutResult& row, std::ostream* os) { *os << row.name; }

class CpuLayerWithoutResult : public InferenceTest, public ::testing::WithParamInterface<LayerWithoutResult> {};

TEST_P(CpuLayerWithoutResult, FailsTheRequest) {
  const LayerWithoutResult& row = GetParam();
  json desc = testModel("cpu_layers");
  json& layers = desc["metadata"][0]["payload"]["model_description"]["layers"];
  const json failing = {{"layerName", row.layer},        {"layerType", "GatherConstant"}, {"isUnsupported", true},
                        {"inputList", {row.input}},      {"constant", {0}},               {"axis", 0},
                        {"is_const_first", true}};
  if (row.inserted) {
    layers.insert(layers.begin() + static_cast<std::ptrdiff_t>(row.at), failing);
  } else {
    layers[row.at] = failing;
  }
  Model& model = launch(desc, onCore(0, 0));
  LogCapture log;
  StatusCode sc = StatusCode::InternalError;
  auto y = model.infer({arrayOf<float>({2, 2, 2, 4}, steps(32, 0.5f, -20, 20, 16))}, sc);
  EXPECT_EQ(sc, StatusCode::Model_PredictError);
  EXPECT_TRUE(y.empty());
  const std::string text = log.text();
  const size_t first = text.find("error|Not Implemented yet");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find("error|Layer " + std::string(row.layer) + " of type GatherConstant gave no result.", first),
            std::string::npos)
      << text;
}

INSTANTIATE_TEST_SUITE_P(Placements, CpuLayerWithoutResult,
                         ::testing::Values(LayerWithoutResult{"AtTheOutput", "result", "npu_out", 2, false},
                                           LayerWithoutResult{"ReadByNoLayer", "unused", "scaled", 1, true},
                                           LayerWithoutResult{"FeedingTheNpuLayer", "scaled", "x", 0, false}),
                         [](const ::testing::TestParamInfo<LayerWithoutResult>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kestrane::test
