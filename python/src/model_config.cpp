// ModelConfig: the launch configuration of a model. Overloads are registered
// in the order Python tries them; the enumerations being distinct types,
// include(Cluster) and include(Core) never shadow each other.
#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "bindings.h"
#include "kestrane/model_config.h"
#include "owned_objects.h"

namespace ophel {

using namespace kestrane;

void bindModelConfig(py::module_& m) {
  py::class_<ModelConfig> cls(m, "ModelConfig");
  defineInit(cls, [] { return std::make_unique<ModelConfig>(); });
  defineInit<int>(cls, [](int cores) { return std::make_unique<ModelConfig>(cores); });
  cls.def("include_all_cores", &ModelConfig::includeAllCores)
      .def("exclude_all_cores", &ModelConfig::excludeAllCores)
      .def("include", py::overload_cast<Cluster, Core>(&ModelConfig::include))
      .def("include", py::overload_cast<Cluster>(&ModelConfig::include))
      .def("include", py::overload_cast<Core>(&ModelConfig::include))
      .def("exclude", py::overload_cast<Cluster, Core>(&ModelConfig::exclude))
      .def("exclude", py::overload_cast<Cluster>(&ModelConfig::exclude))
      .def("exclude", py::overload_cast<Core>(&ModelConfig::exclude))
      .def("set_single_core_mode", py::overload_cast<int>(&ModelConfig::setSingleCoreMode))
      .def("set_single_core_mode", py::overload_cast<std::vector<CoreId>>(&ModelConfig::setSingleCoreMode))
      .def("set_multi_core_mode", &ModelConfig::setMultiCoreMode)
      .def("set_global_core_mode", &ModelConfig::setGlobalCoreMode)
      .def("set_global4_core_mode", &ModelConfig::setGlobal4CoreMode)
      .def("set_global8_core_mode", &ModelConfig::setGlobal8CoreMode)
      .def("get_core_mode", &ModelConfig::getCoreMode)
      .def("set_auto_mode", &ModelConfig::setAutoMode)
      .def("set_manual_mode", &ModelConfig::setManualMode)
      .def("get_core_allocation_policy", &ModelConfig::getCoreAllocationPolicy)
      .def("get_num_cores", &ModelConfig::getNumCores)
      .def("force_single_npu_bundle", &ModelConfig::forceSingleNPUBundle)
      .def("get_forced_npu_bundle_index", &ModelConfig::getForcedNPUBundleIndex)
      .def("set_async_pipeline_enabled", &ModelConfig::setAsyncPipelineEnabled)
      .def("get_async_pipeline_enabled", &ModelConfig::getAsyncPipelineEnabled);
  enumProperty(cls, "schedule_policy", &ModelConfig::schedule_policy);
  enumProperty(cls, "latency_set_policy", &ModelConfig::latency_set_policy);
  enumProperty(cls, "maintenance_policy", &ModelConfig::maintenance_policy);
  cls.def_readwrite("early_latencies", &ModelConfig::early_latencies)
      .def_readwrite("finish_latencies", &ModelConfig::finish_latencies)
      // A new list of copies on every read: CoreId objects that pointed into
      // the configuration's own list would dangle once it changes.
      .def_property_readonly("core_ids", [](const ModelConfig& self) { return self.getCoreIds(); });
}

}  // namespace ophel
