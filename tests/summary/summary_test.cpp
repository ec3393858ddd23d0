// The model summary: the whole report of a two-variant model, the layer
// table of a model with CPU layers and a three-output NPU layer, and the
// reports of files that cannot be read.

#include "kestrane/summary.h"

#include <sstream>

#include "model/description_nesting.h"
#include "model/summary.h"
#include "model_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

const std::string kVariantRule = "+" + std::string(87, '-') + "+\n";

std::string pathRow(const std::string& path) {
  return "| ZRB File Path   | " + path + std::string(67 - path.size(), ' ') + " |\n";
}

TEST(ModelSummary, TwoVariantModelGolden) {
  const auto file = writeModel(testModel("two_variants"));
  const std::string expected =
      "+-----------------+---------------------------------------------------------------------+\n" +
      pathRow(file->path()) +
      "+-----------------+---------------------------------------------------------------------+\n"
      "| Target Hardware | Taliss2                                                             |\n"
      "+-----------------+---------------------------------------------------------------------+\n"
      "\n"
      "+---------------------------------------------------------------------------------------+\n"
      "|                            Supported Core Modes and Cores                             |\n"
      "+------------+-----------+--------------------------------------------------------------+\n"
      "| Core Mode  | Cluster   | Cores                                                        |\n"
      "+------------+-----------+--------------------------------------------------------------+\n"
      "| Single     | Cluster0  | [Core0, Core1, Core2, Core3]                                 |\n"
      "|            | Cluster1  | [Core0, Core1, Core2, Core3]                                 |\n"
      "+------------+-----------+--------------------------------------------------------------+\n"
      "\n"
      "                    +-----------------------------------------------+\n"
      "                    |       Total Number of Model Variants: 2       |\n"
      "                    +-----------------------------------------------+\n"
      "+---------------------------------------------------------------------------------------+\n"
      "|                                   Model Variant #0                                    |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "| Input shapes  : [(1, 1, 16)]                                                          |\n"
      "| Output shapes : [(1, 1, 16)]                                                          |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "| Idx  Layer                                          Output shape          Input Layer |\n"
      "|      (type)                                                               Idxes       |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "|   0  model                                          [(1, 1, 1, 16)]       -           |\n"
      "|      (DeepLearning)                                                                   |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "\n"
      "+---------------------------------------------------------------------------------------+\n"
      "|                                   Model Variant #1                                    |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "| Input shapes  : [(1, 1, 32)]                                                          |\n"
      "| Output shapes : [(1, 1, 32)]                                                          |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "| Idx  Layer                                          Output shape          Input Layer |\n"
      "|      (type)                                                               Idxes       |\n"
      "+---------------------------------------------------------------------------------------+\n"
      "|   0  model                                          [(1, 1, 1, 32)]       -           |\n"
      "|      (DeepLearning)                                                                   |\n"
      "+---------------------------------------------------------------------------------------+\n";
  EXPECT_EQ(getModelSummary(file->path()), expected);
}

// Five model inputs; layer 0 on the CPU fed by a model input, layer 1 on the
// NPU with three outputs, layer 2 fed by layer 1, layer 3 by layers 0 and 2.
TEST(ModelSummary, LayerTableOfMixedModel) {
  json m = testModel("cpu_layers");
  json& d = m["metadata"][0]["payload"]["model_description"];
  d["inputs"] = json::array();
  for (const char* name : {"x", "b", "c", "d", "e"}) d["inputs"].push_back({{"name", name}, {"shape", {1, 2, 2, 4}}});
  d["outputs"] = {{{"name", "sum"}, {"shape", {1, 2, 2, 4}}}};
  d["tensors"] = {{{"name", "scaled"}, {"shape", {1, 2, 2, 4}}}, {{"name", "o0"}, {"shape", {1, 2, 2, 4}}},
                  {{"name", "o1"}, {"shape", {1, 8}}},           {{"name", "o2"}, {"shape", {1, 16}}},
                  {{"name", "result"}, {"shape", {1, 2, 2, 4}}}};
  d["layers"][1]["outputList"] = {"o0", "o1", "o2"};
  d["layers"][2]["inputList"] = {"o1"};
  d["layers"].push_back({{"layerName", "sum"}, {"layerType", "Adding"}, {"isUnsupported", true},
                         {"inputList", {"scaled", "result"}}});
  json& outputs = m["bundles"][0]["outputs"];
  outputs.push_back(outputs[0]);
  outputs.push_back(outputs[0]);
  const auto file = writeModel(m);
  const std::string summary = getModelSummary(file->path());
  auto after = [&](const std::string& marker) {
    const size_t at = summary.find(marker);
    EXPECT_NE(at, std::string::npos) << marker;
    return at == std::string::npos ? std::string() : summary.substr(at);
  };
  EXPECT_EQ(after("| Input shapes").substr(0, 2 * 90),
            "| Input shapes  : [(2, 2, 4), (2, 2, 4), (2, 2, 4), (2, 2, 4), " + std::string(25, ' ') + "|\n" +
                "|" + std::string(17, ' ') + " (2, 2, 4)]" + std::string(59, ' ') + "|\n");
  const std::string table =
      "|   0  scaled                                         (1, 2, 2, 4)          -           |\n"
      "|      (MultiplyConstant)                                                               |\n"
      "|   1  npu                                            [(1, 2, 2, 4),        0           |\n"
      "|      (DeepLearning)                                  (1, 8),                          |\n"
      "|                                                      (1, 16)]                         |\n"
      "|   2  result                                         (1, 2, 2, 4)          1           |\n"
      "|      (AddingConstant)                                                                 |\n"
      "|   3  sum                                            (1, 2, 2, 4)          0, 2        |\n"
      "|      (Adding)                                                                         |\n" +
      kVariantRule;
  EXPECT_EQ(after("|   0  scaled"), table);
}

// "scaled" is made by layer 0 (its name) and again by the NPU layer 1 (an
// output): the first producer feeds. A host layer's outputList makes
// nothing, and a name first made by the layer itself or a later one feeds
// from nowhere.
TEST(ModelSummary, InputsFeedFromTheirFirstProducer) {
  json m = testModel("cpu_layers");
  json& layers = m["metadata"][0]["payload"]["model_description"]["layers"];
  layers[0]["outputList"] = {"npu_out"};
  layers[1]["outputList"] = {"npu_out", "scaled"};
  layers[2]["inputList"] = {"scaled", "npu_out", "later", "result", "npu", "scaled"};
  layers.push_back({{"layerName", "later"}, {"layerType", "Relu"}, {"isUnsupported", true}, {"inputList", {"npu_out"}}});
  const auto file = writeModel(m);
  const std::string summary = getModelSummary(file->path());
  const size_t rows = summary.find("|   0  scaled");
  ASSERT_NE(rows, std::string::npos) << summary;
  EXPECT_EQ(summary.substr(rows),
            "|   0  scaled                                         (1, 2, 2, 4)          -           |\n"
            "|      (MultiplyConstant)                                                               |\n"
            "|   1  npu                                            [(1, 2, 2, 4),        0           |\n"
            "|      (DeepLearning)                                  (1, 2, 2, 4)]                    |\n"
            "|   2  result                                         (1, 2, 2, 4)          0, 1, 0     |\n"
            "|      (AddingConstant)                                                                 |\n"
            "|   3  later                                          ()                    1           |\n"
            "|      (Relu)                                                                           |\n" +
                kVariantRule);
}

// An NPU layer whose operation has no outputs has its type row only: no
// row with an empty shape list before it.
TEST(ModelSummary, NpuLayerWithoutOutputsShowsItsTypeRowOnly) {
  json m = testModel("two_variants");
  m["bundles"][1]["outputs"] = json::array();
  m["metadata"][1]["payload"]["model_description"]["outputs"] = json::array();
  m["metadata"][1]["payload"]["model_description"]["layers"][0]["outputList"] = json::array();
  const auto file = writeModel(m);
  const std::string summary = getModelSummary(file->path());
  const size_t variant1 = summary.find("Model Variant #1");
  ASSERT_NE(variant1, std::string::npos) << summary;
  const std::string header = "|      (type)                                                               Idxes       |\n" +
                             kVariantRule;
  const size_t rows = summary.find(header, variant1);
  ASSERT_NE(rows, std::string::npos) << summary;
  EXPECT_EQ(summary.substr(rows + header.size()),
            "|      (DeepLearning)                                                                   |\n" + kVariantRule);
}

TEST(ModelSummary, UnreadableFilesGiveEmptyReports) {
  LogCapture log;
  EXPECT_EQ(getModelSummary("/nonexistent/model.zrb"), "");
  EXPECT_EQ(log.count("Failed to load zrb file: /nonexistent/model.zrb"), 1u);

  json m = testModel("two_variants");
  m["metadata"][1]["payload"]["model_description"]["layers"][0]["bundleIndex"] = 7;
  const auto file = writeModel(m);
  std::ostringstream out;
  writeModelSummary(file->path(), out);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(log.count("Failed to init ModelDesc from metadatas in zrb file: " + file->path()), 1u);
}

// A description nested past the bound is refused unread, as at creation.
TEST(ModelSummary, DescriptionNestedPastTheBoundGivesAnEmptyReport) {
  for (const size_t levels : {kMaxDescriptionNesting + 1, size_t{100000}}) {
    json m = testModel("cpu_layers");
    std::string hex;
    for (size_t level = 0; level < levels; ++level) hex += "91";
    m["metadata"][0]["payload"] = {{"hex", hex + "c0"}};
    const auto file = writeModel(m);
    LogCapture log;
    EXPECT_EQ(getModelSummary(file->path()), "") << levels;
    EXPECT_EQ(log.count("nests deeper than 256 levels"), 1u) << levels << "\n" << log.text();
    EXPECT_EQ(log.count("Failed to init ModelDesc from metadatas in zrb file: " + file->path()), 1u) << log.text();
  }
}

// Every NPU layer shows its operation's outputs as last described: layers
// that share an operation must each list as many outputs as it has, or the
// rows would grow with the square of the file. One layer alone may list
// another number (it shows its own list).
TEST(ModelSummary, LayersSharingAnOperationMustListItsOutputs) {
  static auto description = [](json& m, size_t v) -> json& {
    return m["metadata"][v]["payload"]["model_description"];
  };
  struct Row {
    const char* name;
    void (*mutate)(json&);
    const char* line;  // nullptr: rendered
  };
  const Row rows[] = {
      {"one layer listing three",
       [](json& m) { description(m, 0)["layers"][1]["outputList"] = {"npu_out", "scaled", "x"}; }, nullptr},
      {"two layers of one variant, one listing three",
       [](json& m) {
         json& layers = description(m, 0)["layers"];
         layers.push_back({{"layerName", "again"},
                           {"bundleIndex", 0},
                           {"inputList", {"result"}},
                           {"outputList", {"npu_out", "scaled", "x"}}});
       },
       "NPU operation 0 is run by 2 layers, but layer \"again\" of variant 0 lists 3 outputs of its 1."},
      {"two variants, the second listing two",
       [](json& m) {
         m["metadata"].push_back(m["metadata"][0]);
         description(m, 1)["layers"][1]["outputList"] = {"npu_out", "scaled"};
       },
       "NPU operation 0 is run by 2 layers, but layer \"npu\" of variant 1 lists 2 outputs of its 1."},
      {"two variants listing its one output", [](json& m) { m["metadata"].push_back(m["metadata"][0]); }, nullptr},
  };
  for (const Row& row : rows) {
    json m = testModel("cpu_layers");
    row.mutate(m);
    const auto file = writeModel(m);
    LogCapture log;
    const std::string summary = getModelSummary(file->path());
    if (row.line == nullptr) {
      EXPECT_NE(summary.find("(DeepLearning)"), std::string::npos) << row.name << "\n" << log.text();
      continue;
    }
    EXPECT_EQ(summary, "") << row.name;
    EXPECT_EQ(log.count(row.line), 1u) << row.name << "\n" << log.text();
    EXPECT_EQ(log.count("Failed to init ModelDesc from metadatas in zrb file: " + file->path()), 1u) << log.text();
  }
}

TEST(ModelSummary, ShapeLinesAndHardwareTexts) {
  using Shapes = std::vector<std::vector<int64_t>>;
  EXPECT_EQ(formatShapeLines({}, 4), std::vector<std::string>{"[]"});
  EXPECT_EQ(formatShapeLines(Shapes{{1}, {2}, {3}, {4}, {5}, {6}}, 2),
            (std::vector<std::string>{"[(1), (2), ", "(3), (4), ", "(5), (6)]"}));
  const std::pair<uint32_t, const char*> texts[] = {
      {0, "R412T"}, {4, "Ebrill2"}, {0x7FFFFFFE, "Dummy"}, {0x7FFFFFFF, "Error"}, {9, "Unreachable"}};
  LogCapture log;
  for (const auto& [value, text] : texts) EXPECT_EQ(hardwareVersionText(value), text) << value;
  EXPECT_EQ(log.count("Unhandled zrb::HardwareVersion value (raw = 9): reached unreachable code path. "
                      "zrb::HardwareVersion enum may be incomplete or corrupted."),
            1u);
}

}  // namespace
}  // namespace kestrane::test
