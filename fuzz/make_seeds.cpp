// Writes the seed corpora of the fuzz targets into <dir>/model_file,
// <dir>/hardware_description, <dir>/layer and <dir>/model_run: model files of
// every format version, made by the model-file writer from the test
// descriptions; hardware descriptions of every format version (the
// compiled-in one among them); one layer object of every host layer type
// with small inputs, in the layer target's input form; for the model_run
// target, the test models under each of its paths, the identity model in
// every core mode, a model whose description nests too deep, models with
// float shape numbers, models whose host memory only the card bounds, and
// host layers whose sizes pass int64, each after the target's choice bytes.
//
//     make_seeds DIR

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "hwdep/builtin_description.h"
#include "hwdep/descriptions.h"
#include "support/zrb_json.h"
#include "support/zrb_writer.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool writeSeed(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

json testModel(const char* name) {
  std::ifstream in(fs::path(KESTRANE_SOURCE_DIR) / "tests" / "models" / (std::string(name) + ".json"));
  return json::parse(in);
}

// The model_run target's choice bytes (see fuzz_model_run.cpp).
using Choices = std::array<uint8_t, 7>;
constexpr Choices kFloatOnOneCore = {0, 0, 0, 0, 0, 0, 0};

bool writeRunSeed(const fs::path& path, const Choices& choices, const json& model) {
  std::vector<uint8_t> bytes(choices.begin(), choices.end());
  const auto written = kestrane::test::zrbw::write(kestrane::test::zrbw::modelFromJson(model));
  bytes.insert(bytes.end(), written.bytes.begin(), written.bytes.end());
  return writeSeed(path, bytes);
}

bool modelFiles(const fs::path& dir) {
  const fs::path descriptions = fs::path(KESTRANE_SOURCE_DIR) / "tests" / "zrb" / "descriptions";
  bool ok = true;
  for (const auto& entry : fs::directory_iterator(descriptions)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    const auto model = kestrane::test::zrbw::modelFromJson(json::parse(in), descriptions.string());
    ok = writeSeed(dir / (entry.path().stem().string() + ".zrb"), kestrane::test::zrbw::write(model).bytes) && ok;
  }
  return ok;
}

// A model whose description nests ten thousand one-element arrays: the shape
// of a file that once overflowed the stack of model creation.
bool deepDescription(const fs::path& dir) {
  json model = testModel("cpu_layers");
  std::string hex;
  for (int level = 0; level < 10000; ++level) hex += "91";
  model["metadata"][0]["payload"] = {{"hex", hex + "c0"}};
  return writeRunSeed(dir / "deep_description.zrb", kFloatOnOneCore, model);
}

// Models whose description gives a shape number that no 64-bit integer
// equals (too large, infinite, NaN, a fraction), in a model input, a model
// output and the output of the NPU layer: files whose conversion was once
// undefined behaviour. The description is MessagePack written directly, as
// JSON text has no NaN or infinity.
bool floatShapes(const fs::path& dir) {
  const json model = testModel("cpu_layers");
  const json document = json::from_msgpack(kestrane::test::zrbw::modelFromJson(model).metadata[0].payload);
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, double> numbers[] = {
      {"huge", 1e300}, {"minus_inf", -inf}, {"nan", std::numeric_limits<double>::quiet_NaN()}, {"fraction", 2.5}};
  bool ok = true;
  for (const char* tensor : {"x", "result", "npu_out"}) {
    for (const auto& [label, number] : numbers) {
      json changed = document;
      changed["info"]["srcShapeMap"][tensor][1] = number;
      json withShape = model;
      withShape["metadata"][0]["payload"] = {{"msgpack", changed}};
      ok = writeRunSeed(dir / (std::string("float_shape_") + tensor + "_" + label + ".zrb"), kFloatOnOneCore,
                        withShape) &&
           ok;
    }
  }
  return ok;
}

// Every test model under each path of the target, on one core: float and
// int8 arrays (CHW, to float, batches), buffers of the model and of variant
// 1's handle, four asynchronous requests, and the cache operations (files
// too) after a request of length 2 with a cache of 2, on a tail of 2 and a
// head of 1.
bool testModels(const fs::path& dir) {
  const std::pair<const char*, Choices> paths[] = {
      {"float", kFloatOnOneCore},
      {"float_chw_batch2", {0x28, 0, 0, 0, 0, 0, 0}},
      {"int8", {0x01, 0, 0, 0, 0, 0, 0}},
      {"int8_to_float_chw", {0x19, 0, 0, 0, 0, 0, 0}},
      {"buffers", {0x02, 0, 0, 0, 0, 0, 0}},
      {"variant_buffers_batch2", {0x23, 0, 1, 0, 0, 0, 0}},
      {"async", {0x64, 0, 0, 0, 0, 0, 0}},
      {"cache", {0x0D, 0, 0, 1, 2, 2, 1}},
  };
  bool ok = true;
  for (const char* name :
       {"cpu_layers", "identity_int8", "mixed_layouts", "program_kinds", "sequence_cache", "two_slots", "two_variants"}) {
    const json model = testModel(name);
    for (const auto& [path, choices] : paths)
      ok = writeRunSeed(dir / (std::string(name) + "_" + path + ".zrb"), choices, model) && ok;
  }
  return ok;
}

// The identity model also for multi-core mode (both clusters: the areas on
// the local cores, the program on the global ones), global4 (cluster 0) and
// global8 (areas and program on the global core of cluster 0), requested in
// each core choice of the target, a batch of three.
bool coreModes(const fs::path& dir) {
  json model = testModel("identity_int8");
  json& b = model["bundles"][0];
  for (uint32_t mode : {1u, 3u, 4u}) {
    for (uint32_t cluster : {0x10000u, 0x20000u}) {
      if (mode == 3 && cluster == 0x20000u) continue;
      const uint32_t global = cluster + 0xFFFE;
      for (uint32_t core : {cluster + 1, cluster + 2, cluster + 3, cluster + 4, global}) {
        b["cores"].push_back({{"core_word", core}, {"mode", mode}});
        if (mode == 1 ? core == global : (core != global || cluster != 0x10000u)) continue;
        b["inputs"][0]["designations"].push_back({{"core_word", core}, {"mode", mode}, {"address", 4096}});
        b["outputs"][0]["designations"].push_back({{"core_word", core}, {"mode", mode}, {"address", 8192}});
      }
      if (mode == 1 || cluster == 0x10000u)
        b["section_binaries"][0]["designations"].push_back(
            {{"core_word", global}, {"mode", mode}, {"region", "IMEM"}});
    }
  }
  bool ok = true;
  for (uint8_t cores = 1; cores < 6; ++cores)
    ok = writeRunSeed(dir / ("core_mode" + std::to_string(cores) + ".zrb"), {0x40, cores, 0, 0, 0, 0, 0}, model) &&
         ok;
  return ok;
}

// Files of a few kilobytes whose host memory only the card bounds: an input
// of 10^8 elements (its index table alone 400 MB) and eight outputs of 64 Mi
// elements over one device area (gigabytes of host blocks per request). The
// target refuses them as out of memory.
bool hostMemoryOfTheCard(const fs::path& dir) {
  json table = testModel("identity_int8");
  json& in = table["bundles"][0]["inputs"][0];
  in["original"] = in["reshaped"] = in["shape"] = {1, 1562500, 64};
  json outputs = testModel("identity_int8");
  json& b = outputs["bundles"][0];
  json out = b["outputs"][0];
  out["original"] = out["shape"] = {1024, 1024, 64};
  out["io_type"] = 5;
  b["outputs"] = json::array();
  for (int i = 0; i < 8; ++i) {
    out["name"] = "out" + std::to_string(i);
    b["outputs"].push_back(out);
  }
  return writeRunSeed(dir / "index_table_of_1e8.zrb", kFloatOnOneCore, table) &&
         writeRunSeed(dir / "eight_outputs_of_64Mi.zrb", kFloatOnOneCore, outputs);
}

// The host layer "result" of the cpu_layers model replaced by layers whose
// sizes add or multiply past int64 (once undefined behaviour in the tensor
// library): each request must fail cleanly. "empty" is a tensor of shape
// (2^62, 2^62, 0).
bool hostileSizes(const fs::path& dir) {
  auto layer = [](const char* name, const char* type, json inputs, json attributes) {
    json l = {{"layerName", name},   {"layerType", type},    {"isUnsupported", true},
              {"inputList", inputs}, {"outputList", {name}}, {"srcShape", json::array()},
              {"removeActList", json::array()}};
    l.update(attributes);
    return l;
  };
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kTwo62 = int64_t{1} << 62;
  const double huge = static_cast<double>(kTwo62);
  const json empty = {
      layer("sizes", "InputConstant", json::array(), {{"constant", {huge, huge, 0.0}}, {"constant_shape", {1, 3}}}),
      layer("first", "Slice", {"sizes"}, {{"axes", {0}}, {"starts", {0}}, {"ends", {1}}, {"steps", {1}}}),
      layer("empty", "ConstantOfShape", {"first"}, {{"value", 0}})};
  const uint64_t beyondInt64 = std::numeric_limits<uint64_t>::max();
  const struct {
    const char* label;
    const char* type;
    json inputs, attributes;
  } cases[] = {
      {"split_sum", "Split", {"npu_out"}, {{"split", {2, kMax}}, {"axis", 3}, {"split_index", 0}}},
      {"split_beyond_int64", "Split", {"npu_out"}, {{"split", {2u, beyondInt64}}, {"axis", -1}, {"split_index", 1}}},
      {"tile", "Tile", {"npu_out"}, {{"repeats", {1, 1, 1, kTwo62}}}},
      {"expand", "Expand", {"npu_out"}, {{"constant", {72057594037927936.0, 2.0, 2.0, 2.0, 4.0}}}},
      {"reshape", "Reshape", {"npu_out"}, {{"srcShape", {1, kTwo62, kTwo62, 4}}, {"allowzero", true}}},
      {"resize", "Resize", {"npu_out"}, {{"srcShape", {2, 2, kTwo62, kTwo62}}, {"resize_mode", "nearest"}}},
      {"concatenate", "Concatenate", {"empty", "empty"}, {{"axis", 0}}},
      {"flatten", "Flatten", {"empty"}, {{"axis", 2}}},
      {"gather_nd", "GatherND", {"npu_out", "empty"}, {{"batch_dims", 0}}},
      {"slice", "Slice", {"empty"}, {{"axes", {0}}, {"starts", {0}}, {"ends", {-1}}, {"steps", {1}}}},
  };
  bool ok = true;
  for (const auto& c : cases) {
    json model = testModel("cpu_layers");
    json& layers = model["metadata"][0]["payload"]["model_description"]["layers"];
    layers.erase(2);
    if (std::find(c.inputs.begin(), c.inputs.end(), "empty") != c.inputs.end())
      for (const json& l : empty) layers.push_back(l);
    layers.push_back(layer("result", c.type, c.inputs, c.attributes));
    ok = writeRunSeed(dir / (std::string("hostile_sizes_") + c.label + ".zrb"), kFloatOnOneCore, model) && ok;
  }
  return ok;
}

bool hardwareDescriptions(const fs::path& dir) {
  using namespace kestrane::test;
  const uint8_t* builtin = kestrane::hwdep::kBuiltinDescription;
  bool ok = writeSeed(dir / "builtin.bin", {builtin, builtin + kestrane::hwdep::kBuiltinDescriptionLength});
  ok = writeSeed(dir / "v4.bin", DescriptionV4::card().render()) && ok;
  DescriptionV1 v1;
  for (uint32_t k = 1; k < 52; ++k) v1.words[k] = 10 + k;
  for (uint32_t id : {2u, 0u, 1u}) {
    DescriptionV1::Entry e{id, {}};
    for (uint32_t k = 0; k < e.fields.size(); ++k) e.fields[k] = 0x1000 * (id + 1) + k;
    v1.entries.push_back(e);
  }
  ok = writeSeed(dir / "v1.bin", v1.render()) && ok;
  DescriptionV2 v2;
  v2.system = {{0x20000, 1, {1, 2}}, {1, 0, {}}, {2, 1, {}}, {0x10000, 0, {1, 0xFFFE}}, {0xFFFE, 3, {}}};
  for (size_t r = 0; r < 3; ++r) {
    for (size_t i = 0; i < 21; ++i) v2.rows[r][i] = 0x100ull * (r + 1) + i;
  }
  ok = writeSeed(dir / "v2.bin", v2.render()) && ok;
  DescriptionV3 v3;
  v3.system = {{0x10000, 0, {1, 2, 0xFFFE}}, {0x20000, 1, {1, 2, 0xFFFE}}, {1, 0, {}}, {2, 1, {}}, {0xFFFE, 4, {}}};
  for (size_t r = 0; r < 3; ++r) {
    for (size_t i = 0; i < 10; ++i) v3.rows[r][i] = 0x100ull * (r + 1) + i;
  }
  return writeSeed(dir / "v3.bin", v3.render()) && ok;
}

// One input of the layer target: dtype code, then the sizes (each 0 to 5).
struct Input {
  uint8_t dtype;
  std::vector<uint8_t> shape;
};
constexpr uint8_t kF32 = 5, kI64 = 4, kBool = 7;

bool layers(const fs::path& dir) {
  const json common = {{"layerName", "seed"},       {"inputList", {"a", "b", "c"}}, {"outputList", {"out"}},
                       {"isUnsupported", true},    {"srcShape", {2, 3}},           {"removeActList", json::array()}};
  const std::vector<std::pair<json, std::vector<Input>>> seeds = {
      {{{"layerType", "Relu"}}, {{kF32, {2, 3}}}},
      {{{"layerType", "Sigmoid"}}, {{kF32, {3}}}},
      {{{"layerType", "Softplus"}}, {{kF32, {2, 2}}}},
      {{{"layerType", "Adding"}}, {{kF32, {2, 3}}, {kF32, {3}}}},
      {{{"layerType", "Div"}}, {{kF32, {2, 1}}, {kF32, {1, 3}}}},
      {{{"layerType", "MatMul"}}, {{kF32, {2, 3}}, {kF32, {3, 2}}}},
      {{{"layerType", "AddingConstant"}, {"constant", {1.5, 2}}, {"constant_shape", {2}}}, {{kF32, {3, 2}}}},
      {{{"layerType", "SubConstant"}, {"constant", {1}}, {"is_const_first", true}}, {{kF32, {4}}}},
      {{{"layerType", "Greater"}, {"constant", {0.5}}}, {{kF32, {2, 2}}}},
      {{{"layerType", "Where"}, {"constant", {1, 0, 1}}, {"is_const_first", true}}, {{kF32, {3}}, {kF32, {3}}}},
      {{{"layerType", "Expand"}}, {{kF32, {3, 1}}, {kI64, {2}}}},
      {{{"layerType", "Reshape"}, {"allowzero", false}}, {{kF32, {2, 3}}}},
      {{{"layerType", "Transpose"}, {"perm", {1, 0}}}, {{kF32, {2, 3}}}},
      {{{"layerType", "Split"}, {"split", {1, 2}}, {"axis", 1}, {"split_index", 1}}, {{kF32, {2, 3}}}},
      // Sizes whose sum passes int64.
      {{{"layerType", "Split"}, {"split", {2, std::numeric_limits<int64_t>::max()}}, {"axis", 1}, {"split_index", 0}},
       {{kF32, {2, 3}}}},
      {{{"layerType", "Concatenate"}, {"axis", 1}}, {{kF32, {2, 3}}, {kF32, {1, 2}}}},
      {{{"layerType", "Gather"}, {"axis", 1}}, {{kF32, {2, 3}}, {kI64, {2}}}},
      {{{"layerType", "GatherND"}, {"batch_dims", 0}}, {{kF32, {2, 3}}, {kI64, {2, 2}}}},
      {{{"layerType", "ScatterND"}, {"reduction", "add"}}, {{kF32, {4}}, {kF32, {2}}, {kI64, {2, 1}}}},
      {{{"layerType", "Slice"}, {"axes", {1}}, {"starts", {-1}}, {"ends", {-1000}}, {"steps", {-1}}}, {{kF32, {2, 3}}}},
      {{{"layerType", "Squeeze"}, {"axes", {1}}}, {{kF32, {2, 1, 3}}}},
      {{{"layerType", "Unsqueeze"}, {"axes", {0, -1}}}, {{kF32, {3}}}},
      {{{"layerType", "Flatten"}, {"axis", 1}}, {{kF32, {2, 3, 2}}}},
      {{{"layerType", "Softmax"}, {"axis", -1}}, {{kF32, {2, 3}}}},
      {{{"layerType", "ArgMax"}, {"axis", 0}, {"keepdims", true}}, {{kF32, {3, 2}}}},
      {{{"layerType", "ReduceMean"}, {"keep_dims", false}, {"noop_with_empty_axes", false}, {"reduce_axes", {1, 0}}},
       {{kF32, {2, 3}}}},
      {{{"layerType", "TopKValues"}, {"axis", 1}, {"largest", true}, {"sorted", true}, {"constant", {2}}},
       {{kF32, {2, 4}}}},
      {{{"layerType", "Tile"}, {"repeats", {2, 1}}}, {{kF32, {2, 3}}}},
      {{{"layerType", "Tile"}, {"repeats", {int64_t{1} << 62, 4}}}, {{kF32, {2, 3}}}},
      {{{"layerType", "Pow"}, {"pow", {2, 3}}, {"pow_shape", {2}}}, {{kF32, {3, 2}}}},
      {{{"layerType", "Range"}, {"constant", {5}}, {"is_const_second", true}}, {{kF32, {1}}, {kF32, {1}}}},
      {{{"layerType", "Shape"}, {"start", 0}, {"end", 2}}, {{kF32, {2, 3}}}},
      {{{"layerType", "ConstantOfShape"}, {"value", 2.5}}, {{kI64, {2}}}},
      {{{"layerType", "Cast"}, {"data_type", "int8"}}, {{kF32, {5}}}},
      {{{"layerType", "NonZero"}}, {{kBool, {2, 3}}}},
      {{{"layerType", "Mod"}, {"fmod", 0}}, {{kF32, {3}}, {kF32, {3}}}},
      {{{"layerType", "Resize"}, {"resize_mode", "linear"}, {"srcShape", {1, 1, 4, 4}}}, {{kF32, {1, 1, 2, 2}}}},
      {{{"layerType", "LayerNormalization"}, {"scale", {1, 2, 3}}, {"scale_shape", {3}}, {"bias", {0, 0, 1}},
        {"bias_shape", {3}}, {"epsilon", 1e-5}, {"normalized_shape", {3}}},
       {{kF32, {2, 3}}}},
      {{{"layerType", "GroupNormalization"}, {"scale", {1, 2}}, {"scale_shape", {2}}, {"bias", {0, 1}},
        {"bias_shape", {2}}, {"epsilon", 1e-5}, {"num_group", 1}},
       {{kF32, {1, 2, 2, 2}}}},
      {{{"layerType", "Bridge"}, {"squeeze_axes", {2}}, {"unsqueeze_axes", json::array()},
        {"permute_axes", {0, 1}}},
       {{kF32, {2, 3, 1}}}},
      {{{"layerType", "Reverse"}, {"reverse_axes", {0, -1}}}, {{kF32, {2, 3}}}},
      {{{"layerType", "NMS"}, {"max_output", 2}, {"iou_thres", 0.5}, {"score_thres", 0.1}, {"is_center", false}},
       {{kF32, {1, 3, 4}}, {kF32, {1, 1, 3}}}},
  };
  bool ok = true;
  int n = 0;
  for (const auto& [attributes, inputs] : seeds) {
    json layer = common;
    layer.update(attributes);
    const std::string text = layer.dump();
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    bytes.push_back(static_cast<uint8_t>(inputs.size()));
    for (const Input& in : inputs) {
      bytes.push_back(in.dtype);
      bytes.push_back(static_cast<uint8_t>(in.shape.size()));
      bytes.insert(bytes.end(), in.shape.begin(), in.shape.end());
    }
    // Element bytes: small floats and integers alike.
    for (uint8_t v : {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00, 0x00}) bytes.push_back(v);
    ok = writeSeed(dir / ("layer" + std::to_string(n++) + ".bin"), bytes) && ok;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds DIR\n";
    return 2;
  }
  const fs::path root = argv[1];
  try {
    for (const char* target : {"model_file", "hardware_description", "layer", "model_run"}) {
      fs::create_directories(root / target);
    }
    const bool ok = modelFiles(root / "model_file") && hardwareDescriptions(root / "hardware_description") &&
                    layers(root / "layer") && deepDescription(root / "model_run") &&
                    floatShapes(root / "model_run") && testModels(root / "model_run") &&
                    coreModes(root / "model_run") && hostMemoryOfTheCard(root / "model_run") &&
                    hostileSizes(root / "model_run");
    if (!ok) std::cerr << "make_seeds: a seed could not be written\n";
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "make_seeds: " << e.what() << '\n';
    return 1;
  }
}
