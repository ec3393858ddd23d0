// The CPU-offload run: a variant's layers in description order, NPU layers
// on the NPU path and CPU layers on the host, tensors passed by name.

#include <exception>
#include <map>
#include <new>

#include "core/log.h"
#include "dataplane/tensor_utils.h"
#include "model/model_impl.h"
#include "model/request_shapes.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;

namespace {

using TensorMap = std::map<std::string, Tensor>;

// Binds names[i] to tensors[i]; names without a tensor stay unbound (a
// later lookup of one fails with its own line).
void buildTensorMap(TensorMap& map, const std::vector<std::string>& names, const std::vector<Tensor>& tensors) {
  for (size_t i = 0; i < names.size() && i < tensors.size(); ++i) map[names[i]] = tensors[i];
}

// The tensor a layer needs, or null after a line: a name that no earlier
// step made, or one a removeActList dropped, is a fault of the description.
const Tensor* lookUp(const TensorMap& map, const std::string& name, const std::string& user) {
  const auto it = map.find(name);
  if (it != map.end()) return &it->second;
  KLOG_ERROR("\"{}\" needs the tensor \"{}\", which no earlier layer of the model description made or kept.", user,
             name);
  return nullptr;
}

void dump(const Tensor& tensor, const std::string& name) { saveTensor(tensor, "layer/" + layerFileName(name)); }

}  // namespace

void ModelImpl::runModel(std::vector<Tensor>& outputs, const std::vector<Tensor>& inputs, uint32_t cacheSize,
                         int variantIndex, StatusCode* status) {
  outputs.clear();
  const ModelDesc& desc = modelDescs_[static_cast<size_t>(variantIndex)];
  if (inputs.empty() || inputs[0].ndim() == 0) {
    KLOG_ERROR("The CPU-offload run needs its inputs.");
    *status = StatusCode::Model_ShapeMismatched;
    return;
  }
  const bool dumpLayers = getEnvFlag("OPHEL_DEV_DUMP_LAYER_BIN");
  auto fail = [&](StatusCode failure) {
    outputs.clear();
    *status = failure;
  };
  try {
    const auto batch = static_cast<int32_t>(inputs[0].size(0));
    TensorMap map;
    buildTensorMap(map, desc.inputNames, inputs);
    int32_t npuCounter = 0;
    for (const OpDesc& layer : desc.opDescs) {
      std::vector<Tensor> layerInputs;
      layerInputs.reserve(layer.inputList.size());
      for (const std::string& name : layer.inputList) {
        const Tensor* t = lookUp(map, name, layer.layerName);
        if (t == nullptr) return fail(StatusCode::Model_BrokenZRB);
        layerInputs.push_back(*t);
      }

      if (layer.isUnsupported) {
        StatusCode st = StatusCode::OK;
        const Tensor result = layer.runCPU(layerInputs, &st);
        if (st != StatusCode::OK) return fail(st);
        // A failed tensor operation leaves the status OK and the result undefined.
        if (!result.defined()) {
          KLOG_ERROR("Layer {} of type {} gave no result.", layer.layerName, layer.layerType);
          return fail(StatusCode::Model_PredictError);
        }
        if (layer.layerType == "InputConstant" && result.ndim() > 0) {
          std::vector<int64_t> shape = result.shape();
          shape[0] = batch;
          const Tensor expanded = result.expand(shape);
          if (!expanded.defined()) {
            KLOG_ERROR("The constant of \"{}\" of shape {} cannot take the batch of {}.", layer.layerName,
                       shapeText(result.shape()), batch);
            return fail(StatusCode::Model_PredictError);
          }
          map[layer.layerName] = expanded;
        } else {
          map[layer.layerName] = result;
        }
        if (dumpLayers) dump(result, layer.layerName);
      } else {
        const int32_t index = layer.bundleIndex >= 0 ? layer.bundleIndex : npuCounter;
        if (index < 0 || static_cast<size_t>(index) >= npuOpDescs_.size()) {
          KLOG_ERROR("Layer \"{}\" runs NPU operation {}, but the model has {}.", layer.layerName, index,
                     npuOpDescs_.size());
          return fail(StatusCode::Model_BrokenZRB);
        }
        const NPUOpDesc& op = npuOpDescs_[static_cast<size_t>(index)];
        if (layerInputs.empty() || op.inputs().empty()) {
          KLOG_ERROR("NPU layer \"{}\" has no input.", layer.layerName);
          return fail(StatusCode::Model_BrokenZRB);
        }
        StatusCode st = StatusCode::OK;
        const std::string& firstName = op.inputNames().empty() ? layer.inputList[0] : op.inputNames()[0];
        const MemoryFormat format = guessMemoryFormat(layerInputs[0], op.inputs()[0].info, firstName, st);
        if (st != StatusCode::OK) return fail(st);
        const SeqLenInfo info =
            op.acquireSeqLenInfoForTensors(layerInputs, format, static_cast<int32_t>(cacheSize), st);
        if (st != StatusCode::OK) return fail(st);
        const Tensor& first = layerInputs[0];
        const auto items = static_cast<int32_t>(first.ndim() == 4 ? first.size(0) : 1);
        std::vector<Tensor> layerOutputs = op.makeOutputTensors(items, info.outputSeqlens, DType::Float32, format);
        for (const Tensor& t : layerOutputs)
          if (!t.defined()) return fail(StatusCode::BadAlloc);
        st = inferNPU(layerInputs, layerOutputs, index, format, info);
        npuCounter = index + 1;
        if (st != StatusCode::OK) return fail(st);
        buildTensorMap(map, layer.outputList, layerOutputs);
        if (dumpLayers) {
          for (size_t i = 0; i < layer.outputList.size() && i < layerOutputs.size(); ++i) {
            KLOG_ERROR("saving {}...", layerFileName(layer.outputList[i]));
            dump(layerOutputs[i], layer.outputList[i]);
          }
        }
      }
      for (const std::string& name : layer.removeActList) map.erase(name);
    }

    std::vector<Tensor> results;
    results.reserve(desc.outputNames.size());
    for (const std::string& name : desc.outputNames) {
      const Tensor* t = lookUp(map, name, "The model output");
      if (t == nullptr) return fail(StatusCode::Model_BrokenZRB);
      results.push_back(t->dtype() == DType::Float32 ? *t : t->to(DType::Float32));
      if (!results.back().defined()) return fail(StatusCode::Model_PredictError);
    }
    outputs = std::move(results);
    *status = StatusCode::OK;
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Out of memory in the CPU-offload run of variant {}.", variantIndex);
    fail(StatusCode::BadAlloc);
  } catch (const std::exception& e) {
    KLOG_ERROR("The CPU-offload run of variant {} failed: {}", variantIndex, e.what());
    fail(StatusCode::InternalError);
  }
}

}  // namespace kestrane
