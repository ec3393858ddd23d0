// Model: creation from a model file, launch and disposal, the description
// queries and the buffers of the model's pool. Dropping the last reference
// destroys (and so disposes) the model.
#include <pybind11/stl.h>

#include <string>

#include "accelerator_handle.h"
#include "bindings.h"
#include "model_bindings.h"
#include "owned_objects.h"
#include "results.h"

namespace ophel {

using namespace kestrane;

namespace {

std::unique_ptr<Model> create(const std::string& path, const ModelConfig* config) {
  StatusCode status = StatusCode::OK;
  std::unique_ptr<Model> model = config ? Model::create(path, *config, status) : Model::create(path, status);
  throwIfFailed(status);
  return model;
}

}  // namespace

void bindModels(py::module_& m) {
  ModelClass model(m, "Model");
  HandleClass handle(m, "ModelVariantHandle");
  // Member order is the order Python lists them in.
  defineLifeMembers(model);
  defineInference(model);
  defineDescriptionMembers(model);
  defineCacheMembers(model);
  defineHandleMembers(handle);
}

void defineLifeMembers(ModelClass& cls) {
  defineInit<const std::string&>(cls, [](const std::string& path) { return create(path, nullptr); });
  defineInit<const std::string&, const ModelConfig&>(
      cls, [](const std::string& path, const ModelConfig& config) { return create(path, &config); });
  cls.def("launch", [](Model& self, AcceleratorHandle& acc) { throwIfFailed(self.launch(*acc.native)); })
      .def("dispose", [](Model& self) { throwIfFailed(self.dispose()); })
      .def("is_target", &Model::isTarget)
      .def("get_core_mode", &Model::getCoreMode)
      .def_property_readonly("target_cores", &Model::getTargetCores);
}

void defineDescriptionMembers(ModelClass& cls) {
  cls.def("get_num_model_variants", &Model::getNumModelVariants)
      // The handle keeps its model alive: it reads the model's description
      // and pool, which go with the model.
      .def("get_model_variant_handle",
           [](Model& self, int variant) {
             StatusCode status = StatusCode::OK;
             Owned<ModelVariantHandle> handle{self.getModelVariantHandle(variant, status), {}};
             throwIfFailed(status);
             handle.patient = py::cast(&self, py::return_value_policy::reference);  // the caller's Model
             return handle;
           })
      .def("get_model_input_shape", [](const Model& self) { return shapeList(self.getModelInputShape()); })
      .def("get_model_output_shape", [](const Model& self) { return shapeList(self.getModelOutputShape()); })
      .def("get_input_scale", [](Model& self) { return OwnedList<Scale>{self.getInputScale(), {}}; })
      .def("get_output_scale", [](Model& self) { return OwnedList<Scale>{self.getOutputScale(), {}}; })
      .def("get_input_buffer_info", [](const Model& self) { return self.getInputBufferInfo(); })
      .def("get_output_buffer_info", [](const Model& self) { return self.getOutputBufferInfo(); })
      .def("acquire_input_buffer",
           [](const Model& self, const std::vector<std::vector<int>>& seqlens) {
             return handedOut(self, self.acquireInputBuffer(seqlens));
           })
      .def("acquire_output_buffer",
           [](const Model& self, const std::vector<std::vector<int>>& seqlens) {
             return handedOut(self, self.acquireOutputBuffer(seqlens));
           })
      .def("release_buffer",
           [](const Model& self, const std::vector<Buffer*>& buffers) { releaseBuffers(self, buffers); })
      .def("get_identifier", &Model::getIdentifier)
      .def("get_model_path", &Model::getModelPath)
      .def("get_cache_infos", [](Model& self) { return OwnedList<CacheInfo>{self.getCacheInfos(), {}}; })
      .def("get_schedule_policy", &Model::getSchedulePolicy)
      .def("get_latency_set_policy", &Model::getLatencySetPolicy)
      .def("get_maintenance_policy", &Model::getMaintenancePolicy)
      .def("get_latency_consumed", &Model::getLatencyConsumed)
      .def("get_latency_finished", &Model::getLatencyFinished);
}

}  // namespace ophel
