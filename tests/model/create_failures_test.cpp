// Every refusal of model creation: one variation of a test model per row,
// with the status and the line it must log. Each hostile file must be
// refused cleanly (also under the sanitizers).

#include <functional>

#include "model_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using Mutate = std::function<void(json&)>;
using Config = ModelConfig (*)();

struct Row;
void PrintTo(const Row& row, std::ostream* out);

struct Row {
  const char* name;
  const char* model;
  Mutate mutate;
  Config config;
  StatusCode status;
  std::string message;  // "{model}": the model file's path
};

ModelConfig defaults() { return ModelConfig(); }
ModelConfig noCores() { ModelConfig c; c.excludeAllCores(); return c; }
ModelConfig forceBundle1() { ModelConfig c; c.forceSingleNPUBundle(1); return c; }
template <int N> ModelConfig autoCores() { ModelConfig c; c.setSingleCoreMode(N); return c; }
ModelConfig globalCluster1() { ModelConfig c; c.setGlobalCoreMode({Cluster::Cluster1}); return c; }
ModelConfig asyncPipeline() { ModelConfig c; c.setAsyncPipelineEnabled(true); return c; }
ModelConfig twoCores() {
  ModelConfig c; c.setSingleCoreMode(std::vector<CoreId>{{Cluster::Cluster0, Core::Core0}, {Cluster::Cluster0, Core::Core1}});
  return c;
}
ModelConfig multiWithoutGlobal() {
  ModelConfig c; c.setMultiCoreMode({Cluster::Cluster0}); c.exclude(Cluster::Cluster0, Core::GlobalCore); return c;
}


json& bundle(json& m, size_t b = 0) { return m["bundles"][b]; }
json& input(json& m, size_t i = 0) { return bundle(m)["inputs"][i]; }
json& output(json& m, size_t i = 0) { return bundle(m)["outputs"][i]; }
json& seq(json& m) { return bundle(m)["sequence_lengths"][0]; }
json& layer(json& m, size_t i, size_t entry = 0) {
  return m["metadata"][entry]["payload"]["model_description"]["layers"][i];
}

json localCores(std::initializer_list<uint32_t> cores) {
  json list = json::array();
  for (uint32_t c : cores) list.push_back({{"core_word", c}, {"mode", 0}});
  return list;
}

// Global mode of cluster 1 is valid (two global cores), but no input is
// placed in it: filtering for that mode leaves nothing.
void globalModeWithoutInputs(json& m) {
  bundle(m)["cores"].push_back({{"core_word", 0x1FFFE}, {"mode", 1}});
  bundle(m)["cores"].push_back({{"core_word", 0x2FFFE}, {"mode", 2}});
  bundle(m)["section_binaries"][0]["designations"].push_back(
      {{"core_word", 0x1FFFE}, {"mode", 1}, {"region", "IMEM"}});
}

// A model for the multi-core mode of cluster 0 only: IO on its four cores,
// the program on its global core.
json multiModel() {
  json m = testModel("identity_int8");
  json& b = bundle(m);
  b["cores"] = json::array();
  json io = json::array();
  for (uint32_t c : {0x10001u, 0x10002u, 0x10003u, 0x10004u, 0x1FFFEu}) {
    b["cores"].push_back({{"core_word", c}, {"mode", 1}});
    if (c != 0x1FFFE) io.push_back(on(c, 4096, 1));
  }
  b["inputs"][0]["designations"] = io;
  for (json& d : io) d["address"] = 8192;
  b["outputs"][0]["designations"] = io;
  b["section_binaries"][0]["designations"] = {{{"core_word", 0x1FFFE}, {"mode", 1}, {"region", "IMEM"}}};
  return m;
}

const Row kRows[] = {
    {"GlobalModeWithoutGlobalCore", "identity_int8", nullptr,
     multiWithoutGlobal,
     StatusCode::Model_NoGlobalCoreWithGlobalMultiMode, "Global/multi mode is requested, but no global core exists."},
    {"ManualWithoutCores", "identity_int8", nullptr,
     noCores,
     StatusCode::Model_NoTargetCores, "No target core specified!"},
    {"BadChecksum", "identity_int8", [](json& m) { m["checksum"] = 1; }, defaults, StatusCode::Model_FailedToLoadZRB,
     "Failed to load model."},
    {"OtherHardware", "identity_int8", [](json& m) { m["target_hardware"] = "Taliss"; }, defaults,
     StatusCode::Model_IsNotSupportedHardware, "Target hardware of model is not supported."},
    {"ForcedBundleOutOfRange", "identity_int8", nullptr,
     forceBundle1,
     StatusCode::Model_ZRBAndModelConfigNotMatch, "contains 1 NPU bundles, with the last index being 0."},
    {"NoBundle", "identity_int8", [](json& m) { m["bundles"] = json::array(); }, defaults, StatusCode::Model_BrokenZRB,
     "No bundle in the ZRB."},
    {"NoInput", "identity_int8", [](json& m) { bundle(m)["inputs"] = json::array(); }, defaults,
     StatusCode::Model_BrokenZRB, "No input data in the ZRB."},
    {"NoOutput", "identity_int8", [](json& m) { bundle(m)["outputs"] = json::array(); }, defaults,
     StatusCode::Model_BrokenZRB, "No output data in the ZRB."},
    {"NoSection", "identity_int8", [](json& m) { bundle(m)["section_binaries"] = json::array(); }, defaults,
     StatusCode::Model_BrokenZRB, "No section binaries data in the ZRB."},
    {"InvalidTargetCore", "identity_int8",
     [](json& m) { bundle(m)["cores"].push_back({{"core_word", 0x1FFFF}, {"mode", 1}}); }, defaults,
     StatusCode::Model_BrokenZRB, "Invalid target core (Core id 0x1ffff) detected."},
    {"InputOnFewerCores", "identity_int8", [](json& m) { input(m)["designations"] = {on(0x10001, 4096)}; }, defaults,
     StatusCode::Model_BrokenZRB, "A core mismatch was detected in INPUT designations (core mode 0x0)."},
    {"OutputOnFewerCores", "identity_int8", [](json& m) { output(m)["designations"] = {on(0x10001, 8192)}; },
     defaults, StatusCode::Model_BrokenZRB, "A core mismatch was detected in OUTPUT designations (core mode 0x0)."},
    {"SectionOnFewerCores", "identity_int8",
     [](json& m) { bundle(m)["section_binaries"][0]["designations"] = {{{"core_word", 0x10001}, {"region", "IMEM"}}}; },
     defaults, StatusCode::Model_BrokenZRB, "A core mismatch was detected in binary section 0x0 (core mode 0x0)."},
    {"ConfigCoresNotInFile", "identity_int8",
     [](json& m) { bundle(m)["cores"] = localCores({0x10001, 0x10002, 0x10003, 0x10004}); }, defaults,
     StatusCode::Model_ZRBAndModelConfigNotMatch, "include cores that are not covered by the ZRB file"},
    {"AutoTooFewCores", "identity_int8", [](json& m) { bundle(m)["cores"] = localCores({0x10001, 0x10002}); },
     autoCores<3>,
     StatusCode::Model_ZRBAndModelConfigNotMatch,
     "the number of supported single-core mode cores (2) in the ZRB file is less than the requested number of cores "
     "(3)"},
    {"AutoWithoutSingleCores", "identity_int8", [](json& m) { m = multiModel(); },
     autoCores<1>,
     StatusCode::Model_ZRBAndModelConfigNotMatch,
     "| Multi      | Cluster0  | [Core0, Core1, Core2, Core3, GlobalCore]                     |"},
    {"AutoCacheOnTwoCores", "sequence_cache", nullptr,
     autoCores<2>,
     StatusCode::Model_ZRBAndModelConfigNotMatch, "Model using cache is allowed to use only one NPU core."},
    {"ManualCacheOnTwoCores", "sequence_cache", nullptr,
     twoCores,
     StatusCode::Model_ZRBAndModelConfigNotMatch, "Model using cache is allowed to use only one NPU core."},
    {"NothingLeftAfterFiltering", "identity_int8",
     globalModeWithoutInputs,
     globalCluster1,
     StatusCode::Model_ZRBAndModelConfigNotMatch, "The ZRB file became invalid after filtering its bundles"},
    {"CoreNotInHardware", "identity_int8",
     [](json& m) {
       bundle(m)["cores"] = localCores({0x10001, 0x10009});
       bundle(m)["section_binaries"][0]["designations"] = {{{"core_word", 0x10001}, {"region", "IMEM"}},
                                                           {{"core_word", 0x10009}, {"address", 0x100800000}}};
     },
     oneCore, StatusCode::Model_BrokenZRB, "Core 0x10009 of the model is not in the hardware description"},

    // Sequence lengths.
    {"SequenceTypeInvalid", "sequence_cache", [](json& m) { seq(m)["sequence_type"] = 255; }, oneCore,
     StatusCode::Model_BrokenZRB, "Invalid SequenceLengthType - mSequenceLengths[0]"},
    {"SequenceInputIndexOutOfRange", "sequence_cache", [](json& m) { seq(m)["input_axes"][0]["key"] = 3; }, oneCore,
     StatusCode::Model_BrokenZRB, "Input index (3) of 0 th SequenceLength is out of valid range [0, 1)."},
    {"SequenceAxisTypeInvalid", "sequence_cache",
     [](json& m) { seq(m)["input_axes"][0]["axes"][0]["axis_type"] = 255; }, oneCore, StatusCode::Model_BrokenZRB,
     "Invalid SequenceLengthAxisType - mSequenceLengths[0].input_axes[0]"},
    {"SequenceAxis15", "sequence_cache", [](json& m) { seq(m)["input_axes"][0]["axes"][0]["axis"] = 15; }, oneCore,
     StatusCode::Model_BrokenZRB, "Invalid Axis - mSequenceLengths[0].input_axes[0]"},
    {"SequenceAxisBeyondChannel", "sequence_cache",
     [](json& m) { seq(m)["output_axes"][0]["axes"][0]["axis"] = 5; }, oneCore, StatusCode::Model_BrokenZRB,
     "Invalid Axis - mSequenceLengths[0].output_axes[0]"},
    {"SequenceRmemIdOutOfRange", "sequence_cache", [](json& m) { seq(m)["sequence_rmem_ids"] = {12}; }, oneCore,
     StatusCode::Model_BrokenZRB, "RmemId index of mSequenceLengths[0] is out of index (12 < 0 || 12 >= 10"},
    {"SequenceRmemIdOfCacheType", "sequence_cache", [](json& m) { seq(m)["sequence_rmem_ids"] = {1}; }, oneCore,
     StatusCode::Model_BrokenZRB, "Invalid RmemType - 1 th RmemId should be SequenceLength"},
    {"CacheRmemIdOfSequenceType", "sequence_cache", [](json& m) { seq(m)["cache_rmem_ids"] = {0}; }, oneCore,
     StatusCode::Model_BrokenZRB, "Invalid RmemType - 0 th RmemId should be related to Cache"},
    {"InputSequenceIndexNotExpected", "sequence_cache", [](json& m) { input(m)["seq_index"] = {-1, -1, -1}; },
     oneCore, StatusCode::Model_BrokenZRB,
     "Input 0 doesn't match correct Sequencelength (expected: [0, -1, -1], actual: [-1, -1, -1])"},
    {"TwoSequencesOnOneAxis", "sequence_cache",
     [](json& m) {
       json second = seq(m);
       second["output_axes"] = json::array();
       bundle(m)["sequence_lengths"].push_back(second);
     },
     oneCore, StatusCode::Model_BrokenZRB, "Multiple SequenceLengths (0, 1) are pointing the same input axis."},
    {"SequenceDividesByZero", "sequence_cache",
     [](json& m) { seq(m)["input_axes"][0]["axes"][0]["multiplier"] = 0.0; }, oneCore, StatusCode::Model_BrokenZRB,
     "divides input 0 by a slope of 0"},
    {"SequenceWithoutInputAxis", "sequence_cache",
     [](json& m) {
       seq(m)["input_axes"][0]["axes"] = json::array();
       input(m)["seq_index"] = {-1, -1, -1};
     },
     oneCore, StatusCode::Model_BrokenZRB, "SequenceLength 0 has no input axis to take its length from"},
    {"SequenceNegativeMaximum", "sequence_cache", [](json& m) { seq(m)["max_size"] = 0xFFFFFFF0u; }, oneCore,
     StatusCode::Model_BrokenZRB, "has a negative maximum size (-16)"},

    // The default cache area between the inputs and the outputs.
    {"DefaultCacheInverted", "sequence_cache",
     [](json& m) {
       bundle(m).erase("cache_designations");
       output(m)["designations"][0]["address"] = 2048;
     },
     oneCore, StatusCode::Model_BrokenZRB,
     "[0x10001] Failed to initialize CacheDesignation -Invalid cache area (0x1080 ~ 0x800)"},
    {"DefaultCacheSizesDiffer", "sequence_cache",
     [](json& m) {
       bundle(m).erase("cache_designations");
       bundle(m)["cores"] = localCores({0x10001, 0x10002});
       output(m)["designations"] = {on(0x10001, 8192), on(0x10002, 12288)};
     },
     oneCore, StatusCode::Model_BrokenZRB, "Failed to initialize CacheDesignation - Different size"},
    {"DefaultCacheOutsideMemory", "sequence_cache", [](json& m) { bundle(m).erase("cache_designations"); }, oneCore,
     StatusCode::Model_BrokenZRB, "Cache \"cache_0\" of NPU operation 0 (0x1080, 3968 bytes) lies outside device memory."},
    {"CacheOutsideMemory", "sequence_cache",
     [](json& m) { bundle(m)["cache_designations"][0]["entries"][0]["designations"][0].erase("region"); }, oneCore,
     StatusCode::Model_BrokenZRB, "Cache \"kv_0\" of NPU operation 0 (0x8000, 32 bytes) lies outside device memory."},

    // Descriptions.
    {"DescriptionNotMessagePack", "cpu_layers",
     [](json& m) { m["metadata"][0]["payload"] = {{"random", {{"size", 64}, {"seed", 3}}}}; }, defaults,
     StatusCode::Model_BrokenZRB, "Failed to read model description of metadata entry 0 of {model}: "},
    // Nested arrays past any stack: the reader must stop at the bound.
    {"DescriptionNestedTooDeep", "cpu_layers",
     [](json& m) {
       std::string hex;
       for (int level = 0; level < 100000; ++level) hex += "91";
       m["metadata"][0]["payload"] = {{"hex", hex + "c0"}};
     },
     defaults, StatusCode::Model_BrokenZRB, "Model description of metadata entry 0 of {model} nests deeper than 256 levels"},
    {"DescriptionWithoutPayload", "cpu_layers", [](json& m) { m["metadata"][0] = {{"no_payload", true}, {"size", 0}}; },
     defaults, StatusCode::Model_FailedToOpenModelDescFile, "Failed to open model description JSON file, "},
    {"DescriptionOfWrongType", "cpu_layers",
     [](json& m) { m["metadata"][0]["payload"] = {{"msgpack", {{"info", {{"modelInputList", "x"}}}}}}; }, defaults,
     StatusCode::Model_BrokenZRB, "Model description of metadata entry 0 of {model} is malformed: "},
    // Named by the file the user opened and its entry, not the extracted file.
    {"DescriptionOfSecondEntryNamesTheFileAndEntry", "two_variants",
     [](json& m) { m["metadata"][1]["payload"] = {{"msgpack", {{"info", {{"modelInputList", "x"}}}}}}; }, defaults,
     StatusCode::Model_BrokenZRB, "Model description of metadata entry 1 of {model} is malformed: "},
    // A refused layer object: the line names the layer and the key as well.
    {"LayerKeyOfWrongType", "cpu_layers", [](json& m) { layer(m, 0)["constant"] = "2"; }, defaults,
     StatusCode::Model_BrokenZRB,
     "Model description of metadata entry 0 of {model} is malformed: layer \"scaled\", key \"constant\": "
     "type must be array, but is string"},
    {"LayerKeyMissing", "cpu_layers", [](json& m) { layer(m, 2)["layerType"] = "Transpose"; }, defaults,
     StatusCode::Model_BrokenZRB,
     "Model description of metadata entry 0 of {model} is malformed: layer \"result\", key \"perm\": missing"},
    {"LayerKeyValueDoesNotFit", "cpu_layers",
     [](json& m) {
       layer(m, 0)["constant"] = {1, 2, 3};
       layer(m, 0)["constant_shape"] = {2, 2};
     },
     defaults, StatusCode::Model_BrokenZRB,
     "Model description of metadata entry 0 of {model} is malformed: layer \"scaled\", key \"constant\": "
     "its values do not fit \"constant_shape\""},
    {"LayerKeyOfSecondEntry", "two_variants", [](json& m) { layer(m, 0, 1)["bundleIndex"] = "1"; }, defaults,
     StatusCode::Model_BrokenZRB,
     "Model description of metadata entry 1 of {model} is malformed: layer \"model\", key \"bundleIndex\": "
     "type must be number, but is string"},
    {"LayerNotAnObject", "cpu_layers",
     [](json& m) {
       const json info = {{"modelInputList", json::array()}, {"modelOutputList", json::array()},
                          {"srcShapeMap", json::object()}, {"layerOrder", {"t"}}};
       m["metadata"][0]["payload"] = {{"msgpack", {{"info", info}, {"t", 3}}}};
     },
     defaults, StatusCode::Model_BrokenZRB,
     "Model description of metadata entry 0 of {model} is malformed: layer \"t\": a layer must be an object, "
     "but is number"},
    {"DescriptionWithoutNpuLayer", "cpu_layers",
     [](json& m) { m["metadata"][0]["payload"]["model_description"]["layers"].erase(1); }, defaults,
     StatusCode::Model_BrokenZRB, "The ZRB file must contain at least one supported OpDesc, but none were found."},
    {"DescriptionWithUnknownLayer", "cpu_layers",
     [](json& m) { m["metadata"][0]["payload"]["model_description"]["layers"][0]["layerType"] = "Bogus"; }, defaults,
     StatusCode::NotImplemented, "Layer Bogus is not implemented yet in cpp."},
    {"DescriptionBundleIndexTooLarge", "cpu_layers",
     [](json& m) { m["metadata"][0]["payload"]["model_description"]["layers"][1]["bundleIndex"] = 1; }, defaults,
     StatusCode::Model_BrokenZRB, "Layer \"npu\" runs NPU operation 1, but the model has 1 NPU operations."},
    {"TwoBundlesWithoutDescription", "two_variants", [](json& m) { m.erase("metadata"); }, defaults,
     StatusCode::Model_BrokenZRB, "If metadata is not given, the number of bundle has to be 1, but it is 2"},
    {"AsyncWithCpuLayers", "cpu_layers", nullptr,
     asyncPipeline,
     StatusCode::NotImplemented, "Asynchronous inference is not supported yet for models that require CPU offloading."},

    // What the file must hold for requests to run safely.
    {"EmptyDimension", "identity_int8", [](json& m) { input(m)["shape"] = {4, 4, 0}; }, defaults,
     StatusCode::Model_BrokenZRB, "Input 0 of NPU operation 0 has an empty dimension"},
    {"ZeroScale", "identity_int8", [](json& m) { input(m)["scales"] = {0.0}; }, defaults,
     StatusCode::Model_InvalidScaleValue, "Input 0 of NPU operation 0 has an unusable scale (0)."},
    {"ScaleWithInfiniteInverse", "identity_int8", [](json& m) { input(m)["scales"] = {1e-45}; }, defaults,
     StatusCode::Model_InvalidScaleValue, "Input 0 of NPU operation 0 has an unusable scale"},
    {"ZeroChannelScale", "mixed_layouts", [](json& m) { output(m, 3)["scales"] = {1.0, 0.0, 0.25}; }, defaults,
     StatusCode::Model_InvalidScaleValue, "Output 3 of NPU operation 0 has an unusable scale (0) for channel 1."},
    {"CopyRunKindWithoutRuns", "mixed_layouts",
     [](json& m) {
       output(m, 3)["io_type"] = 2;
       output(m, 3)["io_groups"] = json::array();
     },
     defaults, StatusCode::Model_BrokenZRB, "has no copy runs"},
    {"UnknownLayoutKind", "identity_int8", [](json& m) { input(m)["io_type"] = 7; }, defaults,
     StatusCode::Model_BrokenZRB, "has no copy runs"},
    {"CopyRunOutsideSlice", "mixed_layouts", [](json& m) { input(m, 3)["io_groups"][0]["third"] = {0, 6}; }, defaults,
     StatusCode::Model_BrokenZRB, "leaves the slice"},
    {"OutputIoTypeTooLarge", "identity_int8", [](json& m) { output(m)["kind"] = 6; }, defaults,
     StatusCode::Model_BrokenZRB, "Output 0 of NPU operation 0 has the invalid IO type 6."},
    {"InputIoTypeOfOutputs", "identity_int8", [](json& m) { input(m)["kind"] = 3; }, defaults,
     StatusCode::Model_BrokenZRB, "Input 0 of NPU operation 0 has the invalid IO type 3."},
    {"WriteBackWithoutInput", "identity_int8",
     [](json& m) {
       json second = output(m);
       second["kind"] = 1;
       second["designations"][0]["address"] = 12288;
       bundle(m)["outputs"].push_back(second);
     },
     defaults, StatusCode::Model_BrokenZRB, "has IO type 1, but there is no input 1 to write back to."},
    {"SectionOutsideMemory", "identity_int8",
     [](json& m) { bundle(m)["section_binaries"][0]["designations"][0].erase("region"); }, defaults,
     StatusCode::Model_BrokenZRB, "Section binary 0 of NPU operation 0 (0x0, 64 bytes) lies outside device memory."},
    {"InputOutsideMemory", "identity_int8",
     [](json& m) {
       input(m)["designations"][0]["flag"] = true;
       input(m)["designations"][0]["address"] = 0x400000000;
     },
     defaults, StatusCode::Model_BrokenZRB, "(0x400000000, 1024 bytes) lies outside device memory."},
    {"OutputPastLastDdr", "identity_int8", [](json& m) { output(m)["designations"][0]["address"] = 0x7FFFFF00; },
     defaults, StatusCode::Model_BrokenZRB, "Output 0 of NPU operation 0 on core 0x20004 (0xbffffff00, 1024 bytes)"},
    {"SecondAreaOverlapsFirst", "two_slots",
     [](json& m) { bundle(m)["section_binaries"][1]["designations"][0]["address"] = 2048; }, defaults,
     StatusCode::Model_BrokenZRB, "The second IO area of bundle 0 (0x800000840, 4160 bytes) overlaps its first"},
    {"SecondAreaOfUnknownSequence", "two_slots", [](json& m) { output(m)["seq_index"] = {3, -1, -1}; }, defaults,
     StatusCode::Model_BrokenZRB, "Failed to find target SequenceLength"},
    // An IO area that cannot be sized is refused after the operation's own
    // checks, which name the culprit.
    {"SecondAreaOfUnknownSequenceNamesTheOutput", "two_slots",
     [](json& m) { output(m)["seq_index"] = {3, -1, -1}; }, defaults, StatusCode::Model_BrokenZRB,
     "Output 0 doesn't match correct Sequencelength (expected: [-1, -1, -1], actual: [3, -1, -1])"},
    {"SecondAreaUnsizedAndNothingLeftAfterFiltering", "two_slots",
     [](json& m) {
       output(m)["seq_index"] = {3, -1, -1};
       globalModeWithoutInputs(m);
     },
     globalCluster1,
     StatusCode::Model_ZRBAndModelConfigNotMatch, "The ZRB file became invalid after filtering its bundles"},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class CreateFailure : public ::testing::TestWithParam<Row> {};

TEST_P(CreateFailure, RefusedWithStatusAndLine) {
  const Row& row = GetParam();
  json description = testModel(row.model);
  if (row.mutate) row.mutate(description);
  LogCapture log;
  const Created c = createModel(description, row.config());
  EXPECT_EQ(c.status, row.status) << statusCodeName(c.status);
  EXPECT_EQ(c.model, nullptr);
  std::string message = row.message;
  const size_t model = message.find("{model}");
  if (model != std::string::npos) {
    message.replace(model, 7, c.file->path());
    EXPECT_EQ(log.count("model_meta"), 0u) << "names the extracted description\n" << log.text();
  }
  EXPECT_EQ(log.count(message), 1u) << log.text();
  EXPECT_EQ(log.count("Model constructed."), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, CreateFailure, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(CreateFailureTest, BrokenFileNamesEveryMissingPartThenGivesUp) {
  json description = testModel("identity_int8");
  bundle(description)["inputs"] = json::array();
  bundle(description)["outputs"] = json::array();
  LogCapture log;
  const Created c = createModel(description);
  EXPECT_EQ(c.status, StatusCode::Model_BrokenZRB);
  EXPECT_EQ(log.count("No input data in the ZRB."), 1u);
  EXPECT_EQ(log.count("No output data in the ZRB."), 1u);
  EXPECT_EQ(log.count("The ZRB file is invalid. Please check if it was compiled properly."), 1u);
}

TEST(CreateFailureTest, MissingFileIsNotLoaded) {
  LogCapture log;
  StatusCode status = StatusCode::OK;
  EXPECT_EQ(ModelImpl::create("/nonexistent/model.zrb", ModelConfig(), status), nullptr);
  EXPECT_EQ(status, StatusCode::Model_FailedToLoadZRB);
  EXPECT_EQ(log.count("Failed to load model."), 1u);
}

}  // namespace
}  // namespace kestrane::test
