#pragma once

// Native results as Python objects. Result arrays are returned as
// ResultArrays: pybind11 moves each native array, without copying its
// elements, into a new NDArrayFloat / NDArrayInt8 (which numpy reads through
// the buffer protocol), and the signatures name the element class. Shapes
// become lists of tuples.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "kestrane/type.h"

namespace ophel {

namespace py = pybind11;

template <typename T>
using ResultArrays = std::vector<kestrane::NDArray<T>>;

inline std::vector<py::tuple> shapeList(const std::vector<std::vector<int64_t>>& shapes) {
  std::vector<py::tuple> list;
  list.reserve(shapes.size());
  for (const std::vector<int64_t>& dims : shapes) {
    py::tuple shape(dims.size());
    for (size_t d = 0; d < dims.size(); ++d) shape[d] = py::int_(dims[d]);
    list.push_back(std::move(shape));
  }
  return list;
}

}  // namespace ophel
