// Test-only Python module: builds a layer description from JSON text and runs
// it on numpy arrays viewed without copying, so that pytest can compare each
// layer with a numpy reference and see any write into an input. Never installed.

#include <pybind11/stl.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "layers/op_desc.h"
#include "support/numpy_tensor.h"

using kestrane::OpDesc;
using kestrane::StatusCode;
using namespace kestrane::test;

namespace {

// (status of the description, status of the run, result or None). The run is
// skipped when the description is refused. A result viewing an input keeps
// the inputs alive. A non-empty runAs replaces the type text after the
// description is read, to reach rows of types the description refuses.
py::tuple run(const std::string& layerJson, const std::vector<py::array>& arrays, const std::string& runAs) {
  StatusCode described = StatusCode::OK;
  OpDesc desc(nlohmann::json::parse(layerJson), -1, &described);
  if (described != StatusCode::OK) return py::make_tuple(static_cast<int>(described), -1, py::none());
  if (!runAs.empty()) desc.layerType = runAs;
  std::vector<Tensor> inputs;
  for (const auto& a : arrays) inputs.push_back(fromNumpy(a));
  StatusCode status = StatusCode::OK;
  Tensor result;
  {
    py::gil_scoped_release release;
    result = desc.runCPU(inputs, &status);
  }
  return py::make_tuple(static_cast<int>(described), static_cast<int>(status), toNumpy(result, py::cast(arrays)));
}

}  // namespace

PYBIND11_MODULE(cpu_ops_testmod, m) { m.def("run", &run, py::arg("layer"), py::arg("arrays"), py::arg("run_as") = ""); }
