#pragma once

// The description of one model variant: its input and output names and
// shapes and its layers in execution order, each running on the NPU (one
// NPUOpDesc) or on the host CPU. Read from the MessagePack document a model
// file carries, or made up for a file that carries none.
//
// A plain value, filled once by init() while the model is created and only
// read afterwards, by any number of threads. The first and last NPU layers
// are kept as positions, so copies stay valid.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrane/status.h"
#include "layers/op_desc.h"
#include "model/description_nesting.h"
#include "model/npu_op_desc.h"

namespace kestrane {

class ModelDesc {
 public:
  using Shape = std::vector<int64_t>;

  // Fills the description from the MessagePack file at *descPath, or the
  // default description of the single NPU operation when descPath is null,
  // and writes the names and output shapes of every NPU layer into its
  // operation. NPU layers' bundle indices are resolved here once: a negative
  // index is the operation after the previous NPU layer's, an index beyond
  // the operations is refused. Returns OK, Model_FailedToOpenModelDescFile,
  // Model_BrokenZRB (also for documents that do not parse, nest deeper than
  // kMaxDescriptionNesting, have keys of the wrong type or name a layer twice
  // in the layer order, this before any layer is read) or the status of a
  // layer that cannot be described. `origin` names the description in the
  // lines that refuse it (see originIn); empty: named by its path.
  StatusCode init(const std::string* descPath, std::vector<NPUOpDesc>& npuOpDescs, const std::string& origin = {});

  // How lines name the description of metadata entry `entry` of the model
  // file the user opened (no entry: the default description of a file
  // without any), rather than the extracted file, which is gone by the time
  // the user reads the line.
  static std::string originIn(const std::string& modelPath, std::optional<size_t> entry);

  // Whether request shapes (3 or 4 dimensions each, checked by the caller)
  // fit this variant's inputs under `format` (HWC or CHW): a positive
  // dimension must be equal, a dimension -k takes any positive multiple of k.
  bool doesInputShapeMatch(const std::vector<Shape>& shapes, MemoryFormat format) const;

  // The first and last NPU layers; null before a successful init.
  const OpDesc* firstSupportedOp() const { return layerAt(first_); }
  const OpDesc* lastSupportedOp() const { return layerAt(last_); }
  // The operations they run (their resolved bundle indices).
  int32_t firstNpuOpIndex() const { return first_ < opDescs.size() ? opDescs[first_].bundleIndex : -1; }
  int32_t lastNpuOpIndex() const { return last_ < opDescs.size() ? opDescs[last_].bundleIndex : -1; }

  std::string descPath;
  std::vector<std::string> inputNames;
  std::vector<std::string> outputNames;
  std::vector<Shape> inputShapes;      // a 4-dimensional shape loses its batch
  std::vector<Shape> fullInputShapes;  // as stored
  std::vector<Shape> outputShapes;     // a leading 1 removed
  std::vector<OpDesc> opDescs;         // without layers of type "input"
  bool isNpuOnly = false;

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  const OpDesc* layerAt(size_t i) const { return i < opDescs.size() ? &opDescs[i] : nullptr; }

  size_t first_ = kNone;
  size_t last_ = kNone;
};

}  // namespace kestrane
