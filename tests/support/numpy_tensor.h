#pragma once

// Test-only bridge between numpy arrays and tensors for the pybind11 test
// modules: zero-copy views both ways, with the real byte strides (negative
// and zero included). Never linked into the library.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "halvex/tensor.h"

namespace kestrane::test {

namespace py = pybind11;
using halvex::DType;
using halvex::Tensor;

struct NumpyDType {
  DType dtype;
  const char* name;
};
inline constexpr NumpyDType kNumpyDTypes[] = {
    {DType::UInt8, "uint8"},     {DType::Int8, "int8"},   {DType::Int16, "int16"},     {DType::Int32, "int32"},
    {DType::Int64, "int64"},     {DType::Float32, "float32"}, {DType::Float64, "float64"}, {DType::Bool, "bool"}};

inline DType toDType(const py::dtype& dt) {
  for (const auto& t : kNumpyDTypes) {
    py::dtype want(t.name);
    if (dt.kind() == want.kind() && dt.itemsize() == want.itemsize()) return t.dtype;
  }
  throw py::type_error("unsupported dtype");
}

inline DType dtypeFromName(const std::string& name) {
  for (const auto& t : kNumpyDTypes) {
    if (name == t.name) return t.dtype;
  }
  return DType::Undefined;
}

// A tensor viewing the array's memory: numpy points at the first element,
// the tensor at the lowest address of each backwards dimension.
inline Tensor fromNumpy(const py::array& a) {
  std::vector<int64_t> shape(a.shape(), a.shape() + a.ndim());
  std::vector<int64_t> strides(a.strides(), a.strides() + a.ndim());
  int64_t offset = 0;
  for (size_t d = 0; d < shape.size(); ++d) {
    if (strides[d] < 0 && shape[d] > 0) offset -= (shape[d] - 1) * -strides[d];
  }
  Tensor t(const_cast<void*>(a.data()), shape, toDType(a.dtype()));
  return t.asStrided(shape, strides, offset);
}

// A numpy array over the tensor's elements (no copy), keeping the tensor's
// storage and `keep` (the source array of a view) alive; None for the
// undefined tensor.
inline py::object toNumpy(const Tensor& t, py::object keep = py::none()) {
  if (!t.defined()) return py::none();
  struct Holder {
    Tensor tensor;
    py::object keep;
  };
  const char* first = t.basePtr();
  for (size_t d = 0; d < t.shape().size(); ++d) {
    if (t.strides()[d] < 0 && t.shape()[d] > 0) first += (t.shape()[d] - 1) * -t.strides()[d];
  }
  auto* holder = new Holder{t, std::move(keep)};
  py::capsule capsule(holder, [](void* p) { delete static_cast<Holder*>(p); });
  return py::array(py::dtype(halvex::dtypeName(t.dtype())), t.shape(), t.strides(), first, capsule);
}

}  // namespace kestrane::test
