#pragma once

// The layer graph of a model description as Graphviz text, for development
// (written to the file named by OPHEL_DEV_DUMP_GRAPH).

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "layers/op_desc.h"

namespace kestrane {

class ModelGraph {
 public:
  ModelGraph();
  // The layer drawn as the index-th (0-based) op node.
  void addLayer(const OpDesc& layer, size_t index);
  // Tensor nodes of every shape of the map, in byte order of the names;
  // the model's inputs and outputs are drawn blue. A shape that is not an
  // array of 64-bit integers throws (readShape).
  void addTensors(const nlohmann::json& shapeMap, const std::vector<std::string>& inputNames,
                  const std::vector<std::string>& outputNames);
  // Closes the graph and writes it; a file that cannot be opened is logged.
  void write(const std::string& path);

  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace kestrane
