// Model descriptions: the MessagePack document, the default description of
// a file without one, bundle indices and the Graphviz dump.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include <fmt/format.h>

#include "bundle_builders.h"
#include "model/model_desc.h"
#include "model_fixture.h"
#include "support/log_capture.h"
#include "support/zrb_json.h"
#include "utilkit/fs_utils.h"

namespace kestrane::test {
namespace {

namespace fs = std::filesystem;

class ModelDescTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = utilkit::createTempDirectory("modeldesc_", 8); }
  void TearDown() override {
    unsetenv("OPHEL_DEV_DUMP_GRAPH");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // NPU operations of `count` bundles with one input and one output each.
  void makeOps(size_t count) {
    bundles_.assign(count, bundleOf({io<zrb::Input>(1, 1, 4)}, {io<zrb::Output>(1, 1, 4)}));
    ops_.clear();
    for (const zrb::Bundle& b : bundles_) {
      StatusCode status = StatusCode::OK;
      ops_.emplace_back(b, status);
      ASSERT_EQ(status, StatusCode::OK);
    }
  }

  // A description document from the short form of the test models.
  static json document(const json& shortForm) {
    json model = testModel("identity_int8");
    model["metadata"] = {{{"payload", {{"model_description", shortForm}}}}};
    return json::from_msgpack(zrbw::modelFromJson(model).metadata[0].payload);
  }

  StatusCode initDocument(const json& doc, ModelDesc& desc) {
    const std::vector<uint8_t> bytes = json::to_msgpack(doc);
    const std::string path = (dir_ / "desc.msgpack").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return desc.init(&path, ops_);
  }

  StatusCode init(const json& shortForm, ModelDesc& desc) { return initDocument(document(shortForm), desc); }

  std::string graphPath() {
    const std::string path = (dir_ / "graph.dot").string();
    setenv("OPHEL_DEV_DUMP_GRAPH", path.c_str(), 1);
    return path;
  }

  static std::string read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }

  fs::path dir_;
  std::vector<zrb::Bundle> bundles_;
  std::vector<NPUOpDesc> ops_;
};

json npuLayer(const std::string& name, std::vector<std::string> in, std::vector<std::string> out) {
  return {{"layerName", name}, {"inputList", in}, {"outputList", out}};
}

json tensor(const std::string& name, std::vector<int64_t> shape) { return {{"name", name}, {"shape", shape}}; }

TEST_F(ModelDescTest, ShapesLoseTheirBatchAndLeadingOne) {
  makeOps(1);
  const json d = {
      {"inputs",
       {tensor("a", {1, 224, 224, 3}), tensor("b", {5, 224, 224, 3}), tensor("c", {224, 224, 3}),
        tensor("d", {1, 2, 3, 4, 5})}},
      {"outputs", {tensor("p", {1, 1000}), tensor("q", {1}), tensor("r", {2, 1000}), tensor("s", {1, 1, 8}),
                   tensor("t", {})}},
      {"layers", {npuLayer("model", {"a"}, {"p", "q"})}}};
  ModelDesc desc;
  ASSERT_EQ(init(d, desc), StatusCode::OK);
  using Shapes = std::vector<ModelDesc::Shape>;
  EXPECT_EQ(desc.inputShapes, (Shapes{{224, 224, 3}, {224, 224, 3}, {224, 224, 3}, {1, 2, 3, 4, 5}}));
  EXPECT_EQ(desc.fullInputShapes[1], (ModelDesc::Shape{5, 224, 224, 3}));
  EXPECT_EQ(desc.outputShapes, (Shapes{{1000}, {}, {2, 1000}, {1, 8}, {}}));
  EXPECT_EQ(ops_[0].outputShapes(), (Shapes{{1, 1000}, {1}}));
  EXPECT_EQ(ops_[0].inputNames(), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(desc.isNpuOnly);
  EXPECT_EQ(desc.descPath, (dir_ / "desc.msgpack").string());
}

TEST_F(ModelDescTest, NpuOnlyNeedsOneNpuLayerAfterInputLayersAreDropped) {
  makeOps(1);
  const json io = {{"inputs", {tensor("x", {1, 4})}}, {"outputs", {tensor("y", {1, 4})}}};
  json withInput = io, withCpu = io;
  withInput["layers"] = {{{"layerName", "x"}, {"layerType", "input"}}, npuLayer("npu", {"x"}, {"y"})};
  withCpu["layers"] = {npuLayer("npu", {"x"}, {"y"}),
                       {{"layerName", "act"}, {"layerType", "Relu"}, {"isUnsupported", true}, {"inputList", {"y"}}}};
  ModelDesc a, b;
  ASSERT_EQ(init(withInput, a), StatusCode::OK);
  EXPECT_TRUE(a.isNpuOnly);
  ASSERT_EQ(a.opDescs.size(), 1u);
  EXPECT_EQ(a.firstSupportedOp(), &a.opDescs[0]);
  ASSERT_EQ(init(withCpu, b), StatusCode::OK);
  EXPECT_FALSE(b.isNpuOnly);
  EXPECT_EQ(b.lastSupportedOp()->layerName, "npu");
  const ModelDesc copy = b;  // positions, not pointers, survive a copy
  EXPECT_EQ(copy.firstSupportedOp(), &copy.opDescs[0]);
}

TEST_F(ModelDescTest, NegativeBundleIndexFollowsThePreviousNpuLayer) {
  makeOps(3);
  json d = {{"inputs", {tensor("x", {1, 4})}},
            {"outputs", {tensor("z", {1, 4})}},
            {"tensors", {tensor("y", {1, 4})}},
            {"layers", {npuLayer("first", {"x"}, {"y"}), npuLayer("second", {"y"}, {"z"})}}};
  d["layers"][0]["bundleIndex"] = 1;
  d["layers"][1]["bundleIndex"] = -1;
  ModelDesc desc;
  ASSERT_EQ(init(d, desc), StatusCode::OK);
  EXPECT_EQ(desc.firstNpuOpIndex(), 1);
  EXPECT_EQ(desc.lastNpuOpIndex(), 2);
  EXPECT_EQ(desc.opDescs[1].bundleIndex, 2);
  EXPECT_TRUE(ops_[0].inputNames().empty());
  EXPECT_EQ(ops_[2].outputNames(), (std::vector<std::string>{"z"}));

  d["layers"][0].erase("bundleIndex");
  d["layers"][1]["bundleIndex"] = 3;
  LogCapture log;
  ModelDesc refused;
  EXPECT_EQ(init(d, refused), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(log.count("Layer \"second\" runs NPU operation 3, but the model has 3 NPU operations."), 1u);
}

// A layer order that names a layer twice is refused with one line before any
// layer is built: the layer's own object, broken or not, is not read.
TEST_F(ModelDescTest, LayerNamedTwiceInTheOrderIsRefusedBeforeAnyLayerIsBuilt) {
  makeOps(1);
  const json relu = {{"layerName", "h"}, {"layerType", "Relu"}, {"isUnsupported", true}, {"inputList", {"y"}}};
  json broken = relu;
  broken["inputList"] = 5;
  json early = relu;
  early["layerName"] = "a";
  early["inputList"] = {"x"};
  struct Row {
    const char* name;
    json layers;
    const char* repeated;
  };
  const json npu = npuLayer("npu", {"x"}, {"y"});
  const Row rows[] = {
      {"host layer twice in a row", {npu, relu, relu}, "h"},
      {"host layer around others", {early, npu, relu, early}, "a"},
      {"NPU layer twice", {npu, npu}, "npu"},
      {"broken layer twice", {npu, broken, broken}, "h"},
  };
  for (const Row& row : rows) {
    LogCapture log;
    ModelDesc desc;
    const json d = {{"inputs", {tensor("x", {1, 4})}}, {"outputs", {tensor("h", {1, 4})}},
                    {"tensors", {tensor("y", {1, 4})}}, {"layers", row.layers}};
    EXPECT_EQ(init(d, desc), StatusCode::Model_BrokenZRB) << row.name;
    EXPECT_EQ(log.count(fmt::format("Model description {} names layer \"{}\" more than once in its layer order.",
                                    (dir_ / "desc.msgpack").string(), row.repeated)),
              1u)
        << row.name << ": " << log.text();
    EXPECT_EQ(log.count("error|"), 1u) << row.name << ": " << log.text();
    EXPECT_TRUE(desc.opDescs.empty()) << row.name;
  }
}

// A shape is an array of numbers that each equal a 64-bit integer; the
// JSON library would read true as 1.
TEST_F(ModelDescTest, ShapeOfAnythingButIntegersIsRefusedNamingTheTensor) {
  makeOps(1);
  const json d = {{"inputs", {tensor("x", {1, 4})}}, {"outputs", {tensor("y", {1, 4})}},
                  {"layers", {npuLayer("npu", {"x"}, {"y"})}}};
  const std::pair<json, std::string> rows[] = {
      {json::array({1, true}), "dimension 1 of the shape of \"x\" is true, not a 64-bit integer"},
      {json::array({"1", 4}), "dimension 0 of the shape of \"x\" is \"1\", not a 64-bit integer"},
      {json::array({1, json::array({4})}), "dimension 1 of the shape of \"x\" is an array, not a 64-bit integer"},
      {"1, 4", "the shape of \"x\" is \"1, 4\", not an array of integers"}};
  for (const auto& [shape, line] : rows) {
    json doc = document(d);
    doc["info"]["srcShapeMap"]["x"] = shape;
    LogCapture log;
    ModelDesc desc;
    EXPECT_EQ(initDocument(doc, desc), StatusCode::Model_BrokenZRB) << shape;
    EXPECT_EQ(log.count(line), 1u) << log.text();
    EXPECT_EQ(log.count("Model description " + (dir_ / "desc.msgpack").string() + " is malformed"), 1u);
  }
}

// A shape has at most 32 dimensions, wherever it is read (the model's inputs
// and outputs, an NPU layer's outputs, the graph dump): the descriptions copy
// a shape for every name that refers to it.
TEST_F(ModelDescTest, ShapeOfMoreThan32DimensionsIsRefusedNamingTheTensor) {
  makeOps(1);
  const json relu = {{"layerName", "h"}, {"layerType", "Relu"}, {"isUnsupported", true}, {"inputList", {"y"}}};
  const json d = {{"inputs", {tensor("x", {1, 4})}},
                  {"outputs", {tensor("h", {1, 4})}},
                  {"tensors", {tensor("y", {1, 4}), tensor("drawn", {4})}},
                  {"layers", {npuLayer("npu", {"x"}, {"y"}), relu}}};
  const std::string graph = graphPath();
  for (const char* name : {"x", "h", "y", "drawn"}) {
    for (const size_t rank : {32, 33}) {
      json doc = document(d);
      doc["info"]["srcShapeMap"][name] = std::vector<int64_t>(rank, 2);
      LogCapture log;
      ModelDesc desc;
      const StatusCode status = initDocument(doc, desc);
      const std::string line = fmt::format("the shape of \"{}\" has {} dimensions, more than 32", name, rank);
      if (rank == 32) {
        EXPECT_EQ(status, StatusCode::OK) << name << ": " << log.text();
        EXPECT_EQ(log.count("error|"), 0u) << name << ": " << log.text();
        // The shape is read whole where the model keeps it, or only drawn.
        const std::vector<ModelDesc::Shape> kept = {desc.fullInputShapes.at(0), desc.outputShapes.at(0),
                                                    ops_[0].outputShapes().at(0)};
        const auto whole = std::count_if(kept.begin(), kept.end(), [](const auto& s) { return s.size() == 32; });
        EXPECT_EQ(whole, std::string(name) == "drawn" ? 0 : 1) << name;
        EXPECT_NE(read(graph).find("[2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, "
                                   "2, 2, 2, 2, 2, 2]"),
                  std::string::npos)
            << name;
      } else {
        EXPECT_EQ(status, StatusCode::Model_BrokenZRB) << name;
        EXPECT_EQ(log.count(line), 1u) << line << "\n" << log.text();
        EXPECT_EQ(log.count("Model description " + (dir_ / "desc.msgpack").string() + " is malformed"), 1u);
        EXPECT_EQ(log.count("error|"), 1u) << name << ": " << log.text();
      }
    }
  }
}

// The MessagePack reader recurses once per level: a document nested past
// the bound is refused before it is read further, one at the bound is read.
TEST_F(ModelDescTest, NestingPastTheBoundIsRefusedUnread) {
  makeOps(1);
  struct Row {
    size_t levels;
    const char* line;
  };
  for (const Row& row : {Row{kMaxDescriptionNesting, "is malformed"},
                         Row{kMaxDescriptionNesting + 1, "nests deeper than 256 levels"},
                         Row{100000, "nests deeper than 256 levels"}}) {
    // One-element arrays around nil, as raw MessagePack.
    std::vector<char> bytes(row.levels, '\x91');
    bytes.push_back('\xc0');
    const std::string path = (dir_ / "nested.msgpack").string();
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    LogCapture log;
    ModelDesc desc;
    EXPECT_EQ(desc.init(&path, ops_), StatusCode::Model_BrokenZRB) << row.levels;
    EXPECT_EQ(log.count(row.line), 1u) << row.levels << log.text();
    EXPECT_EQ(log.count(path), 1u) << log.text();
  }

  // A layer object is the second level; its value adds the rest.
  json deep = nullptr;
  for (size_t level = 2; level < kMaxDescriptionNesting; ++level) deep = json::array({deep});
  json layer = npuLayer("model", {"x"}, {"y"});
  layer["deep"] = deep;
  ModelDesc desc;
  EXPECT_EQ(init({{"inputs", {tensor("x", {1, 4})}}, {"outputs", {tensor("y", {1, 4})}}, {"layers", {layer}}}, desc),
            StatusCode::OK);
}

TEST_F(ModelDescTest, DefaultDescriptionOfTheSingleOperation) {
  zrb::Input sequence = io<zrb::Input>(2, 1, 16, {0, -1, -1});
  zrb::Bundle b = bundleOf({sequence, io<zrb::Input>(2, 3, 4)}, {io<zrb::Output>(1, 5, 6)});
  b.sequence_lengths = {length(0, 8, {{0, {axis(0)}}})};
  StatusCode status = StatusCode::OK;
  ops_.emplace_back(b, status);
  ASSERT_EQ(status, StatusCode::OK);
  ModelDesc desc;
  ASSERT_EQ(desc.init(nullptr, ops_), StatusCode::OK);
  EXPECT_EQ(desc.inputNames, (std::vector<std::string>{"input_0", "input_1"}));
  EXPECT_EQ(desc.outputNames, (std::vector<std::string>{"output_0"}));
  EXPECT_EQ(desc.inputShapes, (std::vector<ModelDesc::Shape>{{-2, 1, 16}, {2, 3, 4}}));
  EXPECT_EQ(desc.outputShapes, (std::vector<ModelDesc::Shape>{{1, 5, 6}}));
  ASSERT_EQ(desc.opDescs.size(), 1u);
  EXPECT_EQ(desc.opDescs[0].layerName, "model");
  EXPECT_EQ(desc.opDescs[0].layerType, "DeepLearning");
  EXPECT_EQ(desc.firstNpuOpIndex(), 0);
  EXPECT_TRUE(desc.isNpuOnly);
  EXPECT_EQ(ops_[0].outputShapes(), (std::vector<ModelDesc::Shape>{{1, 1, 5, 6}}));

  ops_.emplace_back(b, status);
  LogCapture log;
  ModelDesc two;
  EXPECT_EQ(two.init(nullptr, ops_), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(log.count("If metadata is not given, the number of bundle has to be 1, but it is 2"), 1u);
}

uint64_t fnv1a(const std::string& text) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

std::string opNode(const std::string& name, const std::string& type, int index) {
  return fmt::format(
      "  \"op_{0}\" [shape=plaintext label=<\n    <table align='center'>\n      <tr><td>{1}</td><td>{0}</td></tr>\n"
      "      <tr><td colspan='2' bgcolor='#{2:x}'>{3}</td></tr>\n    </table>>]\n",
      name, index, fnv1a(type) & 0xFFFFFF, type);
}

TEST_F(ModelDescTest, GraphDumpDrawsLayersThenTensors) {
  makeOps(1);
  const std::string path = graphPath();
  const json d = {
      {"inputs", {tensor("x", {1, 4})}},
      {"outputs", {tensor("act", {1, 4})}},
      {"tensors", {tensor("y", {1, 4}), tensor("c", {4})}},
      {"layers",
       {npuLayer("npu", {"x"}, {"y"}),
        {{"layerName", "c"}, {"layerType", "inputConstant"}, {"isUnsupported", true}, {"inputList", {"x"}},
         {"constant", {1, 2, 3, 4}}},
        {{"layerName", "act"}, {"layerType", "Relu"}, {"isUnsupported", true}, {"inputList", {"y"}}}}}};
  ModelDesc desc;
  ASSERT_EQ(init(d, desc), StatusCode::OK);
  const std::string expected = "digraph network {\n"
                               "  \"tensor_x\" -> \"op_npu\"\n" + opNode("npu", "DeepLearning", 1) +
                               "  \"op_npu\" -> \"tensor_y\"\n\n" + opNode("c", "inputConstant", 2) +
                               "  \"op_c\" -> \"tensor_c\"\n\n"
                               "  \"tensor_y\" -> \"op_act\"\n" + opNode("act", "Relu", 3) +
                               "  \"op_act\" -> \"tensor_act\"\n\n"
                               "  \"tensor_act\" [label=\"act\\n[1, 4]\" color=blue]\n"
                               "  \"tensor_c\" [label=\"c\\n[4]\"]\n"
                               "  \"tensor_x\" [label=\"x\\n[1, 4]\" color=blue]\n"
                               "  \"tensor_y\" [label=\"y\\n[1, 4]\"]\n"
                               "}\n";
  EXPECT_EQ(read(path), expected);
}

// The dump draws every shape of the map, those nothing else reads among
// them, and reads each as strictly as the model's own.
TEST_F(ModelDescTest, GraphDumpRefusesAShapeNumberNoInt64Equals) {
  makeOps(1);
  json doc = document({{"inputs", {tensor("x", {1, 4})}},
                       {"outputs", {tensor("y", {1, 4})}},
                       {"tensors", {tensor("drawn", {1, 4})}},
                       {"layers", {npuLayer("npu", {"x"}, {"y"})}}});
  doc["info"]["srcShapeMap"]["drawn"][1] = 1e300;
  ModelDesc undrawn;
  EXPECT_EQ(initDocument(doc, undrawn), StatusCode::OK);
  graphPath();
  LogCapture log;
  ModelDesc drawn;
  EXPECT_EQ(initDocument(doc, drawn), StatusCode::Model_BrokenZRB);
  EXPECT_EQ(log.count("dimension 1 of the shape of \"drawn\" is 1e+300, not a 64-bit integer"), 1u) << log.text();
}

TEST_F(ModelDescTest, GraphOfTheLastVariantAndUnwritableGraphs) {
  const std::string path = graphPath();
  {
    const Created c = createModel(testModel("two_variants"));
    ASSERT_EQ(c.status, StatusCode::OK);
    EXPECT_EQ(c.model->modelDescs().size(), 2u);
  }
  EXPECT_NE(read(path).find("[1, 1, 1, 32]"), std::string::npos);
  EXPECT_EQ(read(path).find("[1, 1, 1, 16]"), std::string::npos);

  setenv("OPHEL_DEV_DUMP_GRAPH", dir_.string().c_str(), 1);  // a directory
  LogCapture log;
  const Created c = createModel(testModel("identity_int8"));
  EXPECT_EQ(c.status, StatusCode::OK);
  EXPECT_EQ(log.count("Failed to open a file, " + dir_.string()), 1u);
}

}  // namespace
}  // namespace kestrane::test

namespace kestrane::test {
namespace {

// A positive dimension must be equal, -k takes any positive multiple of k;
// CHW requests are read as (C, H, W), and 3-D requests are one item.
TEST(ModelDescMatch, DimensionsMatchByValueOrMultiple) {
  ModelDesc desc;
  desc.inputShapes = {{-16, 4, 8}};
  struct Case {
    std::vector<int64_t> shape;
    MemoryFormat format;
    bool match;
  };
  const Case cases[] = {
      {{16, 4, 8}, MemoryFormat::HWC, true},      {{2, 32, 4, 8}, MemoryFormat::HWC, true},
      {{48, 4, 8}, MemoryFormat::HWC, true},      {{24, 4, 8}, MemoryFormat::HWC, false},
      {{16, 4, 16}, MemoryFormat::HWC, false},    {{1, 8, 16, 4}, MemoryFormat::CHW, true},
      {{1, 16, 4, 8}, MemoryFormat::CHW, false},  {{16, 4, 8}, MemoryFormat::None, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(desc.doesInputShapeMatch({c.shape}, c.format), c.match) << ::testing::PrintToString(c.shape);
  EXPECT_FALSE(desc.doesInputShapeMatch({{16, 4, 8}, {16, 4, 8}}, MemoryFormat::HWC));  // one input only
}

}  // namespace
}  // namespace kestrane::test
