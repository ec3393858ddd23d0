#include "model_graph.h"

#include <fstream>
#include <string_view>
#include <unordered_set>

#include <fmt/format.h>

#include "core/log.h"
#include "shape_map.h"

namespace kestrane {

namespace {

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string opNode(const OpDesc& layer, size_t index) {
  return fmt::format(
      "  \"op_{0}\" [shape=plaintext label=<\n"
      "    <table align='center'>\n"
      "      <tr><td>{1}</td><td>{0}</td></tr>\n"
      "      <tr><td colspan='2' bgcolor='#{2:x}'>{3}</td></tr>\n"
      "    </table>>]\n",
      layer.layerName, index + 1, fnv1a(layer.layerType) & 0xFFFFFFu, layer.layerType);
}

}  // namespace

ModelGraph::ModelGraph() : text_("digraph network {\n") {}

void ModelGraph::addLayer(const OpDesc& layer, size_t index) {
  const bool drawInputs = !layer.isUnsupported || layer.layerType != "inputConstant";
  if (drawInputs) {
    for (const std::string& input : layer.inputList)
      text_ += fmt::format("  \"tensor_{}\" -> \"op_{}\"\n", input, layer.layerName);
  }
  text_ += opNode(layer, index);
  if (layer.isUnsupported) {
    text_ += fmt::format("  \"op_{0}\" -> \"tensor_{0}\"\n", layer.layerName);
  } else {
    for (const std::string& output : layer.outputList)
      text_ += fmt::format("  \"op_{}\" -> \"tensor_{}\"\n", layer.layerName, output);
  }
  text_ += "\n";
}

void ModelGraph::addTensors(const nlohmann::json& shapeMap, const std::vector<std::string>& inputNames,
                            const std::vector<std::string>& outputNames) {
  std::unordered_set<std::string_view> modelTensors(inputNames.begin(), inputNames.end());
  modelTensors.insert(outputNames.begin(), outputNames.end());
  for (const auto& entry : shapeMap.items()) {
    const std::string& name = entry.key();
    const bool model = modelTensors.count(name) != 0;
    text_ += fmt::format("  \"tensor_{0}\" [label=\"{0}\\n[{1}]\"{2}]\n", name,
                         fmt::join(readShape(shapeMap, name), ", "), model ? " color=blue" : "");
  }
}

void ModelGraph::write(const std::string& path) {
  text_ += "}\n";
  std::ofstream out(path, std::ios::trunc);
  if (!out) {
    KLOG_ERROR("Failed to open a file, {}", path);
    return;
  }
  out << text_;
}

}  // namespace kestrane
