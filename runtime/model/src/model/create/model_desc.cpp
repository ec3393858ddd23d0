#include "model/model_desc.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/log.h"
#include "model_graph.h"
#include "shape_map.h"
#include "utilkit/fs_utils.h"

namespace kestrane {

namespace {

using nlohmann::json;

// The JSON library's MessagePack reader recurses once per nesting level, so
// a hostile file of nested one-element arrays would overflow the stack. This
// front of its DOM builder counts the levels and stops the reader at the
// first container past the bound, before it recurses any further.
class BoundedDomBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<json>;
  explicit BoundedDomBuilder(json& doc) : Base(doc) {}

  bool start_object(std::size_t n) { return enter() && Base::start_object(n); }
  bool start_array(std::size_t n) { return enter() && Base::start_array(n); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }

  bool tooDeep() const { return tooDeep_; }

 private:
  bool enter() {
    tooDeep_ = ++depth_ > kMaxDescriptionNesting;
    return !tooDeep_;
  }

  std::size_t depth_ = 0;
  bool tooDeep_ = false;
};

// The document of a file without description: one NPU layer "model" over the
// single operation, shapes from its records (a dimension that varies with a
// sequence length is negative). Built by moving values into objects made as
// objects: the JSON library's destructor of a value that still holds
// children allocates, and so does its turning a null value into an object on
// first use; neither may meet a host without memory half-way.
json defaultDocument(const NPUOpDesc& op) {
  auto shapeOf = [](const BufferInfo& b) {
    auto dim = [](uint32_t original, uint32_t max) {
      const auto d = static_cast<int64_t>(original);
      return max != 0 ? -d : d;
    };
    return json::array({1, dim(b.original_height, b.max_height), dim(b.original_width, b.max_width),
                        dim(b.original_channel, b.max_channel)});
  };
  json shapes = json::object();
  std::vector<std::string> inputs, outputs;
  for (size_t i = 0; i < op.inputs().size(); ++i) {
    inputs.push_back("input_" + std::to_string(i));
    shapes[inputs.back()] = shapeOf(op.inputs()[i].info);
  }
  for (size_t i = 0; i < op.outputs().size(); ++i) {
    outputs.push_back("output_" + std::to_string(i));
    shapes[outputs.back()] = shapeOf(op.outputs()[i].info);
  }
  json info = json::object();
  info["layerOrder"] = json::array({"model"});
  info["source"] = "ophel";
  info["modelInputList"] = inputs;
  info["modelOutputList"] = outputs;
  info["srcShapeMap"] = std::move(shapes);
  json model = json::object();
  model["inputList"] = std::move(inputs);
  model["isUnsupported"] = false;
  model["layerName"] = "model";
  model["layerType"] = "DeepLearning";
  model["outputList"] = std::move(outputs);
  model["removeActList"] = json::array();
  model["srcShape"] = -1;
  json doc = json::object();
  doc["info"] = std::move(info);
  doc["model"] = std::move(model);
  return doc;
}

// The first name the layer order gives twice, or null. Every entry becomes a
// layer of its own, so a repeat would cost a whole layer for a few bytes of
// file; and a host layer's result carries the layer's name, so the repeat
// could never be told from the first.
const std::string* repeatedLayer(const json& order) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(order.size());
  for (const json& entry : order) {
    if (!entry.is_string()) entry.get<std::string>();  // the JSON library's own type error
    const std::string& name = entry.get_ref<const std::string&>();
    if (!seen.insert(name).second) return &name;
  }
  return nullptr;
}

// The JSON library's destructor moves a container's children onto a stack
// it allocates: with no host memory left that allocation would end the
// process from a destructor. A document emptied from its leaves up gives it
// nothing to move. Recursion is bounded by the description's nesting bound.
void emptyFromLeaves(json& value) noexcept {
  if (value.is_array()) {
    auto& items = value.get_ref<json::array_t&>();
    for (json& item : items) emptyFromLeaves(item);
    items.clear();
  } else if (value.is_object()) {
    auto& members = value.get_ref<json::object_t&>();
    for (auto& member : members) emptyFromLeaves(member.second);
    members.clear();
  }
}

// Empties the document when it goes, on every way out.
class EmptiedOnExit {
 public:
  explicit EmptiedOnExit(json& doc) : doc_(doc) {}
  ~EmptiedOnExit() { emptyFromLeaves(doc_); }
  EmptiedOnExit(const EmptiedOnExit&) = delete;
  EmptiedOnExit& operator=(const EmptiedOnExit&) = delete;

 private:
  json& doc_;
};

}  // namespace

std::string ModelDesc::originIn(const std::string& modelPath, std::optional<size_t> entry) {
  return entry ? fmt::format("of metadata entry {} of {}", *entry, modelPath) : "(default) of " + modelPath;
}

StatusCode ModelDesc::init(const std::string* path, std::vector<NPUOpDesc>& npuOpDescs, const std::string& origin) {
  // What the refusing lines call this description.
  const std::string named = !origin.empty() ? origin : path == nullptr ? std::string("(default)") : *path;
  json doc;
  const EmptiedOnExit emptied(doc);
  int32_t npuCount = 0;
  if (path == nullptr) {
    if (npuOpDescs.size() != 1) {
      KLOG_ERROR("If metadata is not given, the number of bundle has to be 1, but it is {}", npuOpDescs.size());
      return StatusCode::Model_BrokenZRB;
    }
    doc = defaultDocument(npuOpDescs[0]);
  } else {
    descPath = *path;
    std::ifstream in(descPath, std::ios::binary);
    if (!in) {
      utilkit::throwIfOutOfMemory(errno);
      KLOG_ERROR("Failed to open model description JSON file, {}", descPath);
      return StatusCode::Model_FailedToOpenModelDescFile;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
      BoundedDomBuilder builder(doc);
      const bool read = json::sax_parse(bytes, &builder, json::input_format_t::msgpack, true);
      if (builder.tooDeep()) {
        KLOG_ERROR("Model description {} nests deeper than {} levels", named, kMaxDescriptionNesting);
        return StatusCode::Model_BrokenZRB;
      }
      if (!read) throw std::runtime_error("the reader stopped");
    } catch (const std::bad_alloc&) {
      throw;  // out of host memory: the caller's BadAlloc, not a broken file
    } catch (const std::exception& e) {
      KLOG_ERROR("Failed to read model description {}: {}", named, e.what());
      return StatusCode::Model_BrokenZRB;
    }
  }

  try {
    const json& info = doc.at("info");
    const json& shapes = info.at("srcShapeMap");
    inputNames = info.at("modelInputList").get<std::vector<std::string>>();
    outputNames = info.at("modelOutputList").get<std::vector<std::string>>();
    for (const std::string& name : inputNames) {
      Shape shape = readShape(shapes, name);
      fullInputShapes.push_back(shape);
      if (shape.size() == 4) shape.erase(shape.begin());
      inputShapes.push_back(std::move(shape));
    }
    for (const std::string& name : outputNames) {
      Shape shape = readShape(shapes, name);
      if (!shape.empty() && shape[0] == 1) shape.erase(shape.begin());
      outputShapes.push_back(std::move(shape));
    }

    if (const std::string* repeated = repeatedLayer(info.at("layerOrder"))) {
      KLOG_ERROR("Model description {} names layer \"{}\" more than once in its layer order.", named, *repeated);
      return StatusCode::Model_BrokenZRB;
    }

    std::unique_ptr<ModelGraph> graph;
    const char* graphPath = std::getenv("OPHEL_DEV_DUMP_GRAPH");
    if (graphPath != nullptr) graph = std::make_unique<ModelGraph>();

    int32_t next = 0;  // the operation after the previous NPU layer's
    size_t drawn = 0;
    for (const json& entry : info.at("layerOrder")) {
      const std::string name = entry.get<std::string>();
      StatusCode status = StatusCode::OK;
      LayerRefusal refusal;
      OpDesc layer(doc.at(name), npuCount, &status, &refusal);
      if (status == StatusCode::Model_BrokenZRB) {
        KLOG_ERROR("Model description {} is malformed: {}", named, refusal.describe(name));
        return status;
      }
      if (status != StatusCode::OK) return status;
      if (layer.layerType == "input") continue;
      if (!layer.isUnsupported) {
        if (layer.bundleIndex < 0) layer.bundleIndex = next;
        if (static_cast<size_t>(layer.bundleIndex) >= npuOpDescs.size()) {
          KLOG_ERROR("Layer \"{}\" runs NPU operation {}, but the model has {} NPU operations.", layer.layerName,
                     layer.bundleIndex, npuOpDescs.size());
          return StatusCode::Model_BrokenZRB;
        }
        std::vector<Shape> produced;
        for (const std::string& output : layer.outputList) produced.push_back(readShape(shapes, output));
        npuOpDescs[static_cast<size_t>(layer.bundleIndex)].describe(layer.inputList, layer.outputList,
                                                                    std::move(produced));
        next = layer.bundleIndex + 1;
        ++npuCount;
      }
      opDescs.push_back(std::move(layer));
      if (graph) graph->addLayer(opDescs.back(), drawn++);
    }
    if (graph) {
      graph->addTensors(shapes, inputNames, outputNames);
      graph->write(graphPath);
    }
  } catch (const std::bad_alloc&) {
    throw;  // out of host memory: the caller's BadAlloc, not a broken file
  } catch (const std::exception& e) {
    KLOG_ERROR("Model description {} is malformed: {}", named, e.what());
    return StatusCode::Model_BrokenZRB;
  }

  isNpuOnly = opDescs.size() == 1 && npuCount == 1;
  for (size_t i = 0; i < opDescs.size(); ++i) {
    if (opDescs[i].isUnsupported) continue;
    if (first_ == kNone) first_ = i;
    last_ = i;
  }
  if (first_ == kNone) {
    KLOG_ERROR("The ZRB file must contain at least one supported OpDesc, but none were found.");
    return StatusCode::Model_BrokenZRB;
  }
  return StatusCode::OK;
}

}  // namespace kestrane
