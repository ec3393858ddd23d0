// Entry point of the ophel extension module: the interpreter-version guard,
// then the module's members in their fixed order.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "kestrane/version.h"
#include "ophel_error.h"
#include "version_guard.h"

namespace ophel {

void bindVersion(py::module_& m) {
  m.attr("__version__") = py::str(kestrane::getOphelVersion());
  py::module_ version = m.def_submodule("version");
  version.attr("__version__") = py::str(kestrane::getOphelVersion());
  version.attr("__git_version__") = py::str(kestrane::getOphelGitVersion());
  version.attr("__vendor__") = py::str(kestrane::getOphelVendor());
  version.attr("__product__") = py::str(kestrane::getOphelProduct());
}

void bindOphelError(py::module_& m) {
  // The class object is made on the first definition in the process and
  // reused afterwards; the translator gives it the native message.
  py::register_exception<OphelError>(m, "OphelError", PyExc_RuntimeError);
}

namespace {

py::module_::module_def moduleDef;

void defineModule(py::module_& m) {
  bindPlacementEnums(m);
  bindScale(m);
  bindCoreId(m);
  bindBuffer(m);
  bindCoreMode(m);
  bindBufferInfo(m);
  bindModelConfig(m);
  bindLogLevel(m);
  bindSetLogLevel(m);
  bindCacheType(m);
  bindCacheInfo(m);
  bindTracingFunctions(m);
  bindModelSummary(m);
  bindVersion(m);
  bindAccelerator(m);
  bindResultArrays(m);
  bindFutures(m);
  bindModels(m);
  bindOphelError(m);
}

}  // namespace
}  // namespace ophel

PYBIND11_PLUGIN_IMPL(ophel) {
  static const char* const compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
  const char* runtime = Py_GetVersion();
  if (!ophel::interpreterMatches(compiled, runtime)) {
    PyErr_SetString(PyExc_ImportError, ophel::versionMismatchMessage(compiled, runtime).c_str());
    return nullptr;
  }
  PYBIND11_ENSURE_INTERNALS_READY
  auto m = pybind11::module_::create_extension_module("ophel", nullptr, &ophel::moduleDef);
  try {
    ophel::defineModule(m);
    return m.ptr();
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
}
