// Model files that would let requests write outside the memory creation
// sized, or make creation itself take memory out of proportion to the file:
// each is refused at creation with its status and exactly one error line,
// with the card's cores left alone. Valid files close to the same bounds
// are created and launched.

#include <limits>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "inference_fixture.h"
#include "support/log_capture.h"
#include "support/zrb_json.h"

namespace kestrane::test {
namespace {

using Mutate = void (*)(json&);

json& bundle(json& m) { return m["bundles"][0]; }
json& input(json& m) { return bundle(m)["inputs"][0]; }
json& output(json& m) { return bundle(m)["outputs"][0]; }
json& length(json& m) { return bundle(m)["sequence_lengths"][0]; }

// A description of one NPU layer "npu" over the bundle, with the given
// model inputs and outputs ({name, shape} each).
void describe(json& m, const json& inputs, const json& outputs) {
  json names = json::array(), produced = json::array();
  for (const json& in : inputs) names.push_back(in["name"]);
  for (const json& out : outputs) produced.push_back(out["name"]);
  m["metadata"] = {{{"payload",
                     {{"model_description",
                       {{"inputs", inputs},
                        {"outputs", outputs},
                        {"layers", {{{"layerName", "npu"}, {"inputList", names}, {"outputList", produced}}}}}}}}}};
}

// identity_int8: one input and one output of 4 x 4 x 8, no sequence lengths.
void identityInput(json& m, const json& shape) {
  describe(m, {{{"name", "in"}, {"shape", shape}}}, {{{"name", "out"}, {"shape", {1, 4, 4, 8}}}});
}

// sequence_cache: x of (L, 1, 16), L up to 8 (sequence length 0).
void sequenceInput(json& m, int64_t height) {
  describe(m, {{{"name", "x"}, {"shape", {1, height, 1, 16}}}}, {{{"name", "y"}, {"shape", {1, -1, 1, 16}}}});
}

// n variants, variant v an NPU layer on a copy of bundle 0 (bundle v), each
// described by the same model inputs and outputs.
void variants(json& m, size_t n, const json& inputs, const json& outputs) {
  describe(m, inputs, outputs);
  const json first = bundle(m), entry = m["metadata"][0];
  m["bundles"] = m["metadata"] = json::array();
  for (size_t v = 0; v < n; ++v) {
    m["bundles"].push_back(first);
    m["metadata"].push_back(entry);
    m["metadata"][v]["payload"]["model_description"]["layers"][0]["bundleIndex"] = v;
  }
}

// identity_int8 with an int8 input of `shape` laid out as the host's at
// DDR+0x1000 and an output of 1 KiB past it, the same places in n variants.
void largeInputVariants(json& m, size_t n, const json& shape, uint32_t layoutKind) {
  input(m)["original"] = input(m)["shape"] = shape;
  input(m)["io_type"] = layoutKind;
  output(m)["original"] = output(m)["shape"] = {1, 1, 1024};
  output(m)["io_type"] = 5;
  const uint64_t end = 0x1000 + shape[0].get<uint64_t>() * shape[1].get<uint64_t>() * shape[2].get<uint64_t>();
  output(m)["designations"] = {{{"each_core", true}, {"address", end}}};
  variants(m, n, {{{"name", "in"}, {"shape", {1, shape[0], shape[1], shape[2]}}}},
           {{{"name", "out"}, {"shape", {1, 1, 1, 1024}}}});
}

// sequence_cache with n caches "kv_<i>" of `size` bytes, all at the place
// of its one cache.
void caches(json& m, size_t n, uint64_t size) {
  json& list = bundle(m)["cache_designations"];
  const json first = list[0];
  list = json::array();
  for (size_t i = 0; i < n; ++i) {
    list.push_back(first);
    list[i]["name"] = "kv_" + std::to_string(i);
    list[i]["size"] = size;
  }
}

struct Row {
  const char* name;
  const char* model;
  Mutate mutate;
  StatusCode status;
  std::string line;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const Row kRows[] = {
    {"DescriptionLargerThanItsRecord", "identity_int8", [](json& m) { identityInput(m, {1, 4, 4, 16}); },
     StatusCode::Model_BrokenZRB,
     "Input \"in\" of variant 0, described as (1, 4, 4, 16), does not fit input 0 of NPU operation 0: dimension 3 "
     "(16) exceeds 8 x 1."},
    {"DescriptionNotAWholeMultiple", "identity_int8", [](json& m) { identityInput(m, {1, 4, 4, 12}); },
     StatusCode::Model_BrokenZRB, "dimension 3 (12) is not a whole multiple of 8."},
    {"DescriptionOfSequenceBeyondItsMaximum", "sequence_cache", [](json& m) { sequenceInput(m, 9); },
     StatusCode::Model_BrokenZRB, "described as (1, 9, 1, 16), does not fit input 0 of NPU operation 0: dimension 1 "
                                  "(9) exceeds 1 x 8."},
    {"DescriptionOfFixedLengthBeyondItsMaximum", "sequence_cache",
     [](json& m) {
       length(m)["sequence_type"] = 1;
       sequenceInput(m, -9);
     },
     StatusCode::Model_BrokenZRB, "dimension 1 (-9) exceeds 1 x 8."},
    {"DescriptionOfProductLengthBeyondTheArea", "sequence_cache",
     [](json& m) {
       // A product length names no axis of its own: its input's area holds
       // one item.
       length(m)["sequence_type"] = 2;
       input(m)["seq_index"] = {-1, -1, -1};
       output(m)["seq_index"] = {-1, -1, -1};
       sequenceInput(m, -2);
     },
     StatusCode::Model_BrokenZRB, "dimension 1 (-2) exceeds 1 x 1."},
    {"OutputLargerThanTheInputAreaItWritesBackInto", "identity_int8",
     [](json& m) {
       output(m)["kind"] = 1;
       output(m)["original"] = {8, 4, 8};
       output(m)["shape"] = {8, 4, 64};
     },
     StatusCode::Model_BrokenZRB,
     "Output 0 of NPU operation 0 of 2048 bytes is written back into input 0, whose area holds 1024 bytes."},
    {"MoreInputsThanTheBundle", "identity_int8",
     [](json& m) {
       describe(m, {{{"name", "in"}, {"shape", {1, 4, 4, 8}}}, {{"name", "extra"}, {"shape", {1, 4, 4, 8}}}},
                {{{"name", "out"}, {"shape", {1, 4, 4, 8}}}});
     },
     StatusCode::Model_BrokenZRB, "Layer \"npu\" of variant 0 has 2 inputs and 1 outputs, but NPU operation 0 has 1 and 1."},
    {"ZeroDimension", "identity_int8", [](json& m) { identityInput(m, {1, 4, 0, 8}); }, StatusCode::Model_BrokenZRB,
     "dimension 2 is 0."},
    {"SmallestDimension", "identity_int8",
     [](json& m) { identityInput(m, {1, 4, 4, std::numeric_limits<int64_t>::min()}); }, StatusCode::Model_BrokenZRB,
     "dimension 3 (-9223372036854775808) has no whole multiples."},
    {"ZeroOutputDimension", "identity_int8",
     [](json& m) {
       describe(m, {{{"name", "in"}, {"shape", {1, 4, 4, 8}}}}, {{{"name", "out"}, {"shape", {1, 4, 0, 8}}}});
     },
     StatusCode::Model_BrokenZRB, "Output \"out\" of variant 0, described as (1, 4, 0, 8), does not fit output 0"},
    {"HugeOriginalShapeInATinyArea", "identity_int8",
     [](json& m) {
       // About a kilobyte of file claiming 2^28 elements of one item: no
       // index table may be built for it.
       input(m)["original"] = {1, 1, 268435456};
       input(m)["reshaped"] = {1, 1, 268435456};
       input(m)["shape"] = {1, 1, 16};
     },
     StatusCode::Model_BrokenZRB,
     "Input 0 of NPU operation 0 (layout kind 0) places two host elements on one NPU position (268435456 host "
     "elements, 16 NPU elements per slice)"},
    {"LayoutPastItsSliceRefusedBeforeItsTables", "identity_int8",
     [](json& m) {
       // A kilobyte claiming 10^9 elements, channels of 1000 in blocks of
       // 64: refused from its dimensions, before any table is built.
       input(m)["original"] = input(m)["reshaped"] = input(m)["shape"] = {1000, 1000, 1000};
     },
     StatusCode::Model_BrokenZRB,
     "Input 0 of NPU operation 0 (layout kind 0) lays its elements out up to NPU position 1023999975, past its "
     "1000000000 NPU elements per slice"},
    {"SpreadRowsMeetingInTheirTables", "identity_int8",
     [](json& m) {
       // Pixels of two channels spread over reshaped pixels of one leave
       // gaps of a granule, where row 2 meets row 0: only the built table
       // shows it.
       input(m)["original"] = {3, 2, 2};
       input(m)["reshaped"] = {1, 1, 1};
       input(m)["shape"] = {1, 5, 64};
     },
     StatusCode::Model_BrokenZRB,
     "Input 0 of NPU operation 0 (layout kind 0) places two host elements on NPU position 128"},
    {"RecordsTogetherBeyondTheCard", "identity_int8",
     [](json& m) {
       // Nine areas of 2 GiB each fit the card alone, not together.
       json in = input(m);
       in["original"] = in["shape"] = {1024, 8192, 64};
       in["io_type"] = 5;
       in["word2_nibble"] = 0;
       in["designations"] = {{{"each_core", true}, {"address", 0}}};
       bundle(m)["inputs"] = json::array();
       for (int i = 0; i < 9; ++i) bundle(m)["inputs"].push_back(in);
     },
     StatusCode::Model_BrokenZRB,
     "Input 8 of NPU operation 0 brings the device areas of the inputs and outputs of NPU operation 0 to more than "
     "the"},
    {"IndexTablesOfVariantsBeyondTheCard", "identity_int8",
     [](json& m) {
       // Each variant's 2^30 table elements fit the card, not 20 Gi of them.
       largeInputVariants(m, 20, {1024, 1024, 1024}, 0);
     },
     StatusCode::Model_BrokenZRB,
     "Input 0 of NPU operation 16 brings the index-table elements of the model's layout-kind-0 records to more "
     "than"},
    {"CachesOfOneOperationBeyondTheCard", "sequence_cache", [](json& m) { caches(m, 100, 2000000000); },
     StatusCode::Model_BrokenZRB,
     "Cache \"kv_8\" of NPU operation 0 brings the operation's caches to more than the"},
    {"EmptySectionThatLaunchReads", "identity_int8",
     [](json& m) {
       bundle(m)["section_binaries"].push_back(
           {{"memory_type", 7}, {"payload", json::array()}, {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}});
     },
     StatusCode::Model_BrokenZRB, "Section binary 1 of NPU operation 0 (memory type 7) is empty, but launch reads it."},
    {"LayoutWithoutRuns", "identity_int8", [](json& m) { input(m)["io_type"] = 7; }, StatusCode::Model_BrokenZRB,
     "Input 0 of NPU operation 0 (layout kind 7) has no copy runs"},
};

class HostileFile : public InferenceTest, public ::testing::WithParamInterface<Row> {};

TEST_P(HostileFile, RefusedWithItsStatusAndOneLine) {
  const Row& row = GetParam();
  json description = testModel(row.model);
  row.mutate(description);
  accelerator();
  const auto file = writeModel(description);
  LogCapture log;
  StatusCode status = StatusCode::OK;
  const std::unique_ptr<Model> model = Model::create(file->path(), oneCore(), status);
  EXPECT_EQ(status, row.status) << statusCodeName(status);
  EXPECT_EQ(model, nullptr);
  size_t errors = 0;
  for (const std::string& line : log.lines()) errors += line.rfind("error|", 0) == 0;
  EXPECT_EQ(errors, 1u) << log.text();
  EXPECT_EQ(log.count(row.line), 1u) << log.text();
  EXPECT_EQ(log.count("Model constructed."), 0u);
  EXPECT_TRUE(card_->claimedCores().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileFile, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

struct ValidRow {
  const char* name;
  const char* model;
  Mutate mutate;
  bool everyCore;  // else one core
};

void PrintTo(const ValidRow& row, std::ostream* out) { *out << row.name; }

// Areas and caches that variants share, or that one operation holds up to
// nearly the card, in device memory the simulated card keeps sparse.
const ValidRow kValidRows[] = {
    {"VariantsSharingOneLargeArea", "identity_int8",
     [](json& m) { largeInputVariants(m, 11, {1024, 1024, 1536}, 5); }, false},
    {"VariantsSharingOneLargeAreaOnEveryCore", "identity_int8",
     [](json& m) { largeInputVariants(m, 11, {1024, 1024, 1536}, 5); }, true},
    {"RecordsOfOneOperationNearlyFillingTheCard", "identity_int8",
     [](json& m) {
       json in = input(m);
       in["original"] = in["shape"] = {1024, 1024, 2047};
       in["io_type"] = 5;
       bundle(m)["inputs"] = json::array();
       for (int i = 0; i < 8; ++i) {
         bundle(m)["inputs"].push_back(in);
         bundle(m)["inputs"][i]["name"] = "in" + std::to_string(i);
       }
     },
     false},
    {"CachesOfOneOperationNearlyFillingTheCard", "sequence_cache", [](json& m) { caches(m, 8, 0x7FFF0000); },
     false},
    {"SixteenCachesAtOnePlace", "sequence_cache", [](json& m) { caches(m, 16, 64 << 20); }, false},
    {"VariantsSharingOneLargeCache", "sequence_cache",
     [](json& m) {
       caches(m, 1, 0x7FFF0000);
       variants(m, 11, {{{"name", "x"}, {"shape", {1, 1, 1, 16}}}}, {{{"name", "y"}, {"shape", {1, -1, 1, 16}}}});
     },
     false},
};

class ValidFile : public InferenceTest, public ::testing::WithParamInterface<ValidRow> {};

TEST_P(ValidFile, NearABoundIsCreatedAndLaunched) {
  const ValidRow& row = GetParam();
  json description = testModel(row.model);
  row.mutate(description);
  LogCapture log;
  Model* model = create(description, row.everyCore ? ModelConfig() : oneCore());
  ASSERT_NE(model, nullptr) << log.text();
  EXPECT_EQ(model->launch(accelerator()), StatusCode::OK);
  EXPECT_EQ(log.count("error|"), 0u) << log.text();
  EXPECT_EQ(card_->claimedCores().size(), row.everyCore ? 8u : 1u);
  EXPECT_EQ(model->dispose(), StatusCode::OK);
}

INSTANTIATE_TEST_SUITE_P(Rows, ValidFile, ::testing::ValuesIn(kValidRows),
                         [](const ::testing::TestParamInfo<ValidRow>& info) { return std::string(info.param.name); });

// A dimension of "srcShapeMap" that no 64-bit integer equals: floats and
// integers too large are refused where they are read, naming the tensor.
// JSON text holds neither NaN nor infinities, so the shape is changed in the
// MessagePack document the writer made.
TEST_F(InferenceTest, ShapeNumberThatIsNoInt64IsRefused) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<json, const char*> numbers[] = {{1e300, "1e+300"},
                                                  {-inf, "-inf"},
                                                  {std::numeric_limits<double>::quiet_NaN(), "nan"},
                                                  {2.5, "2.5"},
                                                  {uint64_t{1} << 63, "9223372036854775808"}};
  // cpu_layers: model input "x", model output "result", NPU layer output "npu_out".
  for (const char* tensor : {"x", "result", "npu_out"}) {
    for (const auto& [number, shown] : numbers) {
      json description = testModel("cpu_layers");
      const zrbw::Model written = zrbw::modelFromJson(description);
      json document = json::from_msgpack(written.metadata[0].payload);
      document["info"]["srcShapeMap"][tensor][1] = number;
      description["metadata"][0]["payload"] = {{"msgpack", document}};
      accelerator();
      const auto file = writeModel(description);
      LogCapture log;
      StatusCode status = StatusCode::OK;
      const std::unique_ptr<Model> model = Model::create(file->path(), oneCore(), status);
      EXPECT_EQ(status, StatusCode::Model_BrokenZRB) << tensor << " " << shown;
      EXPECT_EQ(model, nullptr);
      size_t errors = 0;
      for (const std::string& line : log.lines()) errors += line.rfind("error|", 0) == 0;
      EXPECT_EQ(errors, 1u) << log.text();
      const std::string line = fmt::format("dimension 1 of the shape of \"{}\" is {}, not a 64-bit integer", tensor, shown);
      EXPECT_EQ(log.count(line), 1u) << line << "\n" << log.text();
      EXPECT_TRUE(card_->claimedCores().empty());
    }
  }
}

// A whole number written as a float is that number.
TEST_F(InferenceTest, ShapeNumberThatIsAWholeFloatIsItsInteger) {
  json description = testModel("cpu_layers");
  json document = json::from_msgpack(zrbw::modelFromJson(description).metadata[0].payload);
  for (const char* tensor : {"x", "result", "npu_out"}) document["info"]["srcShapeMap"][tensor][1] = 2.0;
  ASSERT_TRUE(document["info"]["srcShapeMap"]["x"][1].is_number_float());
  description["metadata"][0]["payload"] = {{"msgpack", document}};
  Model& model = launch(description, oneCore());
  EXPECT_EQ(model.getModelInputShape(), (std::vector<std::vector<int64_t>>{{2, 2, 4}}));
  EXPECT_EQ(model.getModelOutputShape(), (std::vector<std::vector<int64_t>>{{2, 2, 4}}));
}

TEST_F(InferenceTest, SectionsLaunchNeverReadsMayBeEmpty) {
  // One bundle: its program (memory types 1 to 3) stays where registration
  // uploaded it, so an empty one is never read into a host buffer.
  json description = testModel("identity_int8");
  bundle(description)["section_binaries"].push_back(
      {{"memory_type", 2}, {"payload", json::array()}, {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}});
  Model& model = launch(description, oneCore());
  std::vector<NDArray<float>> out;
  EXPECT_EQ(model.infer({arrayOf<float>({4, 4, 8}, Values(128, 1.0f))}, out), StatusCode::OK);
}

TEST_F(InferenceTest, InvalidNPUTypeLoadsWithALineAndFailsWhereALayoutStepIsNeeded) {
  json description = testModel("identity_int8");
  output(description)["word2_nibble"] = 3;
  LogCapture log;
  Model& model = launch(description, oneCore());
  EXPECT_EQ(log.count("Output 0 of NPU operation 0 has the invalid NPU dtype 3"), 1u) << log.text();
  std::vector<NDArray<float>> out;
  EXPECT_EQ(model.infer({arrayOf<float>({4, 4, 8}, Values(128, 1.0f))}, out), StatusCode::Model_InvalidNPUDtype);
  EXPECT_EQ(log.count("An item of NPU dtype 3 (layout kind 0) cannot be laid out"), 1u) << log.text();
}

}  // namespace
}  // namespace kestrane::test
