// Test-only Python module: builds a layer description from JSON text and runs
// it on numpy arrays viewed without copying, so that pytest can compare each
// layer with a numpy reference and see any write into an input. Never installed.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "halvex/tensor.h"
#include "runtime/op_desc.h"

namespace py = pybind11;
using kestrane::OpDesc;
using kestrane::StatusCode;
using kestrane::halvex::DType;
using kestrane::halvex::Tensor;

namespace {

struct DTypeName {
  DType dtype;
  const char* numpy;
};
constexpr DTypeName kTypes[] = {{DType::UInt8, "uint8"},     {DType::Int8, "int8"},   {DType::Int16, "int16"},
                                {DType::Int32, "int32"},     {DType::Int64, "int64"}, {DType::Float32, "float32"},
                                {DType::Float64, "float64"}, {DType::Bool, "bool"}};

DType toDType(const py::dtype& dt) {
  for (const auto& t : kTypes) {
    py::dtype want(t.numpy);
    if (dt.kind() == want.kind() && dt.itemsize() == want.itemsize()) return t.dtype;
  }
  throw py::type_error("unsupported dtype");
}

// A view of a C-contiguous array's memory: the layer sees the caller's storage.
Tensor view(const py::array& a) {
  if (!(a.flags() & py::array::c_style)) throw py::value_error("inputs must be C-contiguous");
  std::vector<int64_t> shape(a.shape(), a.shape() + a.ndim());
  return Tensor(const_cast<void*>(a.data()), shape, toDType(a.dtype()));
}

// A numpy copy of the tensor's elements; None for the undefined tensor.
py::object toNumpy(const Tensor& t) {
  if (!t.defined()) return py::none();
  Tensor c = t.contiguous();
  py::array out(py::dtype(kestrane::halvex::dtypeName(c.dtype())), c.shape());
  if (c.numel() > 0) std::memcpy(out.mutable_data(), c.basePtr(), static_cast<size_t>(c.numel() * c.elementSize()));
  return std::move(out);
}

// (status of the description, status of the run, result or None). The run is
// skipped when the description is refused.
py::tuple run(const std::string& layerJson, const std::vector<py::array>& arrays) {
  StatusCode described = StatusCode::OK;
  OpDesc desc(nlohmann::json::parse(layerJson), -1, &described);
  if (described != StatusCode::OK) return py::make_tuple(static_cast<int>(described), -1, py::none());
  std::vector<Tensor> inputs;
  for (const auto& a : arrays) inputs.push_back(view(a));
  StatusCode status = StatusCode::OK;
  Tensor result;
  {
    py::gil_scoped_release release;
    result = desc.runCPU(inputs, &status);
  }
  return py::make_tuple(static_cast<int>(described), static_cast<int>(status), toNumpy(result));
}

}  // namespace

PYBIND11_MODULE(cpu_ops_testmod, m) { m.def("run", &run); }
