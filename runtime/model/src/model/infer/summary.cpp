// The model summary: fixed-width tables of 89 columns.

#include "model/summary.h"

#include <exception>
#include <new>
#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "core/log.h"
#include "kestrane/summary.h"
#include "model/core_mode_table.h"
#include "model/model_desc.h"
#include "model/npu_op_desc.h"
#include "zrb/zrb.h"

namespace kestrane {

namespace {

using Shape = std::vector<int64_t>;

constexpr const char* kFileRule =
    "+-----------------+---------------------------------------------------------------------+";
constexpr const char* kCountRule = "                    +-----------------------------------------------+";
constexpr const char* kVariantRule =
    "+---------------------------------------------------------------------------------------+";
constexpr const char* kLayerHeader1 =
    "| Idx  Layer                                          Output shape          Input Layer |";
constexpr const char* kLayerHeader2 =
    "|      (type)                                                               Idxes       |";

std::string shapeText(const Shape& shape) { return fmt::format("({})", fmt::join(shape, ", ")); }

void writeLayerRow(std::ostream& out, const std::string& index, const std::string& name, const std::string& shape,
                   const std::string& inputs) {
  out << fmt::format("|{:>4}  {:<47}{:<22}{:<12}|\n", index, name, shape, inputs);
}

void writeShapeRows(std::ostream& out, const char* label, const std::vector<Shape>& shapes) {
  const std::vector<std::string> lines = formatShapeLines(shapes, 4);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0) {
      out << fmt::format("| {} : {:<70}|\n", label, lines[i]);
    } else {
      out << fmt::format("|{:17}{:<70}|\n", "", " " + lines[i]);
    }
  }
}

// The first layer that produces each tensor: a CPU layer the tensor of its
// own name, an NPU layer those of its outputList. Keys view the layers.
using Producers = std::unordered_map<std::string_view, size_t>;

Producers firstProducers(const std::vector<OpDesc>& layers) {
  Producers first;
  for (size_t j = 0; j < layers.size(); ++j) {
    const OpDesc& layer = layers[j];
    if (layer.isUnsupported) {
      first.emplace(layer.layerName, j);
    } else {
      for (const std::string& name : layer.outputList) first.emplace(name, j);
    }
  }
  return first;
}

// The indexes of the earlier layers that produce layer k's inputs, or "-":
// when the first producer of all is not earlier, none is.
std::string feedingLayers(const Producers& producers, const OpDesc& layer, size_t k) {
  std::vector<size_t> found;
  for (const std::string& name : layer.inputList) {
    const auto it = producers.find(name);
    if (it != producers.end() && it->second < k) found.push_back(it->second);
  }
  return found.empty() ? "-" : fmt::format("{}", fmt::join(found, ", "));
}

void writeLayerRows(std::ostream& out, const std::vector<OpDesc>& layers, size_t k, const Producers& producers,
                    const std::vector<NPUOpDesc>& npuOps) {
  const OpDesc& layer = layers[k];
  const std::string index = std::to_string(k);
  const std::string inputs = feedingLayers(producers, layer, k);
  const std::string type = "(" + layer.layerType + ")";
  if (layer.isUnsupported) {
    writeLayerRow(out, index, layer.layerName, shapeText(layer.srcShape), inputs);
    writeLayerRow(out, "", type, "", "");
    return;
  }
  static const std::vector<Shape> kNoShapes;
  const auto op = static_cast<size_t>(layer.bundleIndex);
  const std::vector<Shape>& shapes = op < npuOps.size() ? npuOps[op].outputShapes() : kNoShapes;
  for (size_t o = 0; o < shapes.size(); ++o) {
    const std::string text =
        (o == 0 ? "[" : " ") + shapeText(shapes[o]) + (o + 1 == shapes.size() ? "]" : ",");
    if (o == 0) {
      writeLayerRow(out, index, layer.layerName, text, inputs);
    } else {
      writeLayerRow(out, "", o == 1 ? type : "", text, "");
    }
  }
  if (shapes.size() < 2) writeLayerRow(out, "", type, "", "");
}

void writeVariant(std::ostream& out, const ModelDesc& desc, size_t i, const std::vector<NPUOpDesc>& npuOps) {
  out << kVariantRule << '\n'
      << fmt::format("|                                   Model Variant #{:<4}                                 |\n", i)
      << kVariantRule << '\n';
  writeShapeRows(out, "Input shapes ", desc.inputShapes);
  writeShapeRows(out, "Output shapes", desc.outputShapes);
  out << kVariantRule << '\n' << kLayerHeader1 << '\n' << kLayerHeader2 << '\n' << kVariantRule << '\n';
  const Producers producers = firstProducers(desc.opDescs);
  for (size_t k = 0; k < desc.opDescs.size(); ++k) writeLayerRows(out, desc.opDescs, k, producers, npuOps);
  out << kVariantRule << '\n';
}

// Every NPU layer shows its operation's output shapes as last described, by
// whichever variant: layers that share an operation each show them again.
// Unless each such layer lists as many outputs as the operation has (as
// creation requires), the rows would grow with the square of the file.
bool sharedOperationsMatch(const std::vector<ModelDesc>& descs, const std::vector<NPUOpDesc>& npuOps) {
  std::vector<size_t> layersOf(npuOps.size(), 0);
  for (const ModelDesc& desc : descs)
    for (const OpDesc& layer : desc.opDescs)
      if (!layer.isUnsupported) ++layersOf[static_cast<size_t>(layer.bundleIndex)];
  for (size_t v = 0; v < descs.size(); ++v) {
    for (const OpDesc& layer : descs[v].opDescs) {
      if (layer.isUnsupported) continue;
      const auto b = static_cast<size_t>(layer.bundleIndex);
      if (layersOf[b] < 2 || layer.outputList.size() == npuOps[b].outputs().size()) continue;
      KLOG_ERROR("NPU operation {} is run by {} layers, but layer \"{}\" of variant {} lists {} outputs of its {}.", b,
                 layersOf[b], layer.layerName, v, layer.outputList.size(), npuOps[b].outputs().size());
      return false;
    }
  }
  return true;
}

// The whole report, or false after the error line of the step that failed.
bool renderSummary(const std::string& path, std::ostream& out) {
  zrb::ZRB model;
  if (!model.load(path, true)) {
    KLOG_ERROR("Failed to load zrb file: {}", path);
    return false;
  }
  const std::vector<zrb::Bundle>& bundles = model.getBundles();
  std::vector<NPUOpDesc> npuOps;
  npuOps.reserve(bundles.size());
  for (const zrb::Bundle& bundle : bundles) {
    StatusCode status = StatusCode::OK;
    npuOps.emplace_back(bundle, status);
    if (status != StatusCode::OK) {
      KLOG_ERROR("Failed to parse bundles in zrb file: {}", path);
      return false;
    }
  }
  const std::vector<zrb::Metadatum>& metadata = model.getMetadata();
  auto descriptionsFailed = [&] {
    if (metadata.empty()) {
      KLOG_ERROR("Failed to init ModelDesc from zrb file: {}", path);
    } else {
      KLOG_ERROR("Failed to init ModelDesc from metadatas in zrb file: {}", path);
    }
    return false;
  };
  std::vector<ModelDesc> descs(metadata.empty() ? 1 : metadata.size());
  for (size_t k = 0; k < descs.size(); ++k) {
    const std::optional<size_t> entry = metadata.empty() ? std::nullopt : std::optional<size_t>(k);
    if (descs[k].init(entry ? &metadata[k].path : nullptr, npuOps, ModelDesc::originIn(path, entry)) != StatusCode::OK)
      return descriptionsFailed();
  }
  if (!sharedOperationsMatch(descs, npuOps)) return descriptionsFailed();

  out << kFileRule << '\n'
      << fmt::format("| ZRB File Path   | {:<67} |\n", path) << kFileRule << '\n'
      << fmt::format("| Target Hardware | {:<67} |\n", hardwareVersionText(model.getTargetHardware()))
      << kFileRule << "\n\n";
  // A file without bundles has no core records: the table stays empty.
  writeCoreModeTable(bundles.empty() ? std::vector<zrb::CoreConfig>() : bundles[0].cores, out);
  out << '\n'
      << kCountRule << '\n'
      << fmt::format("                    |       Total Number of Model Variants: {:<5}   |\n", descs.size())
      << kCountRule << '\n';
  for (size_t i = 0; i < descs.size(); ++i) {
    if (i > 0) out << '\n';
    writeVariant(out, descs[i], i, npuOps);
  }
  return true;
}

}  // namespace

std::string hardwareVersionText(uint32_t version) {
  switch (version) {
    case 0: return "R412T";
    case 1: return "Taliss";
    case 2: return "Ebrill";
    case 3: return "Taliss2";
    case 4: return "Ebrill2";
    case 0x7FFFFFFE: return "Dummy";
    case 0x7FFFFFFF: return "Error";
    default:
      KLOG_ERROR("Unhandled zrb::HardwareVersion value (raw = {:x}): reached unreachable code path. "
                 "zrb::HardwareVersion enum may be incomplete or corrupted.",
                 version);
      return "Unreachable";
  }
}

std::vector<std::string> formatShapeLines(const std::vector<Shape>& shapes, size_t perLine) {
  std::vector<std::string> lines;
  std::string line = "[";
  for (size_t j = 0; j < shapes.size(); ++j) {
    if (j > 0 && perLine > 0 && j % perLine == 0) lines.push_back(std::exchange(line, std::string()));
    line += shapeText(shapes[j]);
    if (j + 1 < shapes.size()) line += ", ";
  }
  lines.push_back(line + "]");
  return lines;
}

namespace {

// The whole summary, or an empty text after a line. A stream that finds no
// memory sets its bad bit instead of throwing, so the text is checked too.
std::string renderedSummary(const std::string& path) {
  try {
    std::ostringstream text;
    if (!renderSummary(path, text)) return {};
    if (!text) throw std::bad_alloc();
    return text.str();
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to write the summary of {}: out of host memory.", path);
  } catch (const std::exception& e) {
    KLOG_ERROR("Failed to write the summary of {}: {}", path, e.what());
  }
  return {};
}

}  // namespace

void writeModelSummary(const std::string& path, std::ostream& out) { out << renderedSummary(path); }

std::string getModelSummary(const std::string& path) { return renderedSummary(path); }

}  // namespace kestrane
