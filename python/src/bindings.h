#pragma once

// The registration steps of the ophel module. module.cpp calls them in the
// order the module's members are defined in; each step lives with its concern.

#include <pybind11/pybind11.h>

namespace ophel {

namespace py = pybind11;

// enums.cpp
void bindPlacementEnums(py::module_& m);  // Cluster .. CoreAllocationPolicy
void bindCoreMode(py::module_& m);
void bindLogLevel(py::module_& m);
void bindCacheType(py::module_& m);

// value_classes.cpp
void bindScale(py::module_& m);
void bindCoreId(py::module_& m);
void bindBuffer(py::module_& m);
void bindBufferInfo(py::module_& m);
void bindCacheInfo(py::module_& m);

// model_config.cpp
void bindModelConfig(py::module_& m);

// functions.cpp
void bindSetLogLevel(py::module_& m);
void bindTracingFunctions(py::module_& m);
void bindModelSummary(py::module_& m);

// accelerator.cpp, result_arrays.cpp, futures.cpp, model.cpp
void bindAccelerator(py::module_& m);
void bindResultArrays(py::module_& m);  // NDArrayFloat, NDArrayInt8
void bindFutures(py::module_& m);       // FutureFloat, FutureInt8
void bindModels(py::module_& m);        // Model, ModelVariantHandle

// module.cpp
void bindVersion(py::module_& m);
void bindOphelError(py::module_& m);

// An enumeration field as a read-write property. The getter returns a copy:
// an object that referred into its owner would change under the caller when
// the field is assigned later.
template <typename Class, typename Enum, typename... Options>
void enumProperty(py::class_<Class, Options...>& cls, const char* name, Enum Class::*field) {
  cls.def_property(
      name, [field](const Class& self) { return self.*field; },
      [field](Class& self, Enum value) { self.*field = value; });
}

}  // namespace ophel
