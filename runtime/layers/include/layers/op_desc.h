#pragma once

// The description of one layer of a model variant, read once from its layer
// object of the model description, and its execution on the host CPU.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "halvex/dtype.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "layers/op_desc_type.h"

namespace kestrane {

// Why a layer object is a broken description.
struct LayerRefusal {
  std::string key;     // the key refused; empty when the object itself is
  std::string reason;  // what is wrong there

  // `layer "NAME", key "KEY": REASON` (without a key `layer "NAME": REASON`).
  std::string describe(const std::string& layerName) const;
};

// A plain value record: the routing fields every layer has and the attributes
// of its type. Copies share the storage of their attribute tensors, which no
// operation writes into. Fields a type does not read keep their initial value.
class OpDesc {
 public:
  using Tensor = halvex::Tensor;
  using DType = halvex::DType;
  using TensorList = std::vector<Tensor>;

  // Fills the record from one layer object and writes OK, NotImplemented (a
  // refused or unknown type, an unsupported cast or resize mode or scatter
  // reduction) or Model_BrokenZRB (a missing key, a value of the wrong JSON
  // type, a tensor attribute whose shape does not fit its values) to *status.
  // Model_BrokenZRB logs "Broken description of " and the refusal described
  // by the layer's name, or, when `refusal` is given, only fills it: the
  // caller's line then says where the layer object came from. Throws
  // nothing. NPU layers take "bundleIndex", else defaultBundleIndex.
  OpDesc(const nlohmann::json& layer, int32_t defaultBundleIndex, StatusCode* status,
         LayerRefusal* refusal = nullptr);

  // One tensor-valued attribute (float32) shaped by its "<key>_shape" entry
  // when present and not empty; undefined when the key is absent or the shape
  // does not fit. Throws std::runtime_error on values of a wrong type.
  Tensor readTensorAttribute(const nlohmann::json& layer, const std::string& key) const;
  // "constant", "constant2" (kept when they hold an element) and the
  // is_const_* flags present in the layer object.
  void readConstantInputs(const nlohmann::json& layer);

  // The layer's output from its inputs (in inputList order). *status is OK,
  // NotImplemented for a type the host does not run, or Model_PredictError
  // (with an error line) for operands that do not fit or a failed layer
  // operation; the result is then undefined. A tensor operation that fails
  // logs its own line and leaves the result undefined with the status OK:
  // the caller tests the result. Inputs and attributes are never written.
  Tensor runCPU(const TensorList& inputs, StatusCode* status) const;

  // Shape-changing layers: write *result and return OK or Model_PredictError.
  StatusCode predictReshape(const TensorList& inputs, Tensor* result) const;
  StatusCode predictBridge(const TensorList& inputs, Tensor* result) const;
  StatusCode predictResize(const TensorList& inputs, Tensor* result) const;
  StatusCode predictReduce(const TensorList& inputs, Tensor* result) const;

  // Operands from the inputs and the constants, placed by the is_const_*
  // flags; an operand that cannot be supplied is undefined. Shallow copies.
  std::pair<Tensor, Tensor> prepareInputs2(const TensorList& inputs) const;
  std::tuple<Tensor, Tensor, Tensor> prepareInputs3(const TensorList& inputs) const;
  // Adds size to every negative index, in place: pass a tensor of your own.
  static void wrapNegativeIndices(Tensor& indices, int32_t size);

  // GatherND with batchDims shared leading dimensions; coordinates may count
  // from the end of their dimension.
  StatusCode predictGatherND(const Tensor& data, const Tensor& indices, int32_t batchDims, Tensor* result) const;
  // ScatterND on (data, updates, indices) from prepareInputs3: a copy of data
  // with one value written (or combined by `reduction`) at every coordinate.
  StatusCode updateScatterNDtensor(const TensorList& inputs, Tensor* result) const;
  // Greedy non-maximum suppression of boxes [B, N, 4] by scores [B, C, N]:
  // [K, 3] (batch, class, box) triples in the boxes' dtype.
  StatusCode predictNonMaxSuppression(const TensorList& inputs, Tensor* result) const;

  // Routing.
  std::string layerName;
  std::string layerType;  // as written in the description
  OpDescType opType = OpDescType::Unknown;
  std::vector<std::string> inputList;
  std::vector<std::string> outputList;
  std::vector<int64_t> srcShape;
  std::vector<std::string> removeActList;
  bool isUnsupported = false;
  int32_t bundleIndex = -1;
  DType attributeDtype = DType::Float32;

  // Attributes of the layer types.
  std::vector<int64_t> perm;
  std::vector<int64_t> split;
  std::vector<int64_t> repeats;
  bool allowzero = false;
  int32_t axis = 0;
  int32_t batch_dims = 0;
  bool keepdims = false;
  std::vector<int32_t> axes;
  std::vector<int32_t> unsqueeze_axes;
  std::vector<int32_t> starts;
  std::vector<int32_t> ends;
  std::vector<int32_t> steps;
  std::vector<int64_t> reverse_axes;
  bool noop_with_empty_axes = false;
  int32_t split_index = 0;
  Tensor pow;
  Tensor constant;
  Tensor constant2;
  Tensor scale;
  Tensor bias;
  bool is_const_first = false;
  bool is_const_second = false;
  bool is_const_third = false;
  int32_t max_output = 0;
  double iou_thres = 0.0;
  double score_thres = -99999.0;
  bool is_center = false;
  double epsilon = 0.0;
  int32_t num_group = 0;
  std::vector<int64_t> normalized_shape;
  bool largest = false;
  bool sorted = false;
  std::string reduction;
  int32_t fmod = 0;
  int32_t start = 0;
  int32_t end = 0;
  float value = 0.0f;
  DType data_type = DType::Undefined;
  std::string resize_mode;
  float clipMin = -3.4028235e38f;
  float clipMax = 3.4028235e38f;
  bool transA = false;
  bool transB = false;
  float alpha = 1.0f;
  float beta = 1.0f;
  std::unordered_map<std::string, DType> dtypeByName;

 private:
  void readTypeAttributes(const nlohmann::json& layer, StatusCode* status);
};

}  // namespace kestrane
