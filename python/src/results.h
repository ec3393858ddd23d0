#pragma once

// Native results as Python objects. Result arrays are returned as
// ResultArrays: each native array is moved, without copying its elements,
// into a new NDArrayFloat / NDArrayInt8 (which numpy reads through the
// buffer protocol), and the signatures name the element class. Shapes
// become lists of tuples.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "kestrane/type.h"
#include "owned_objects.h"

namespace ophel {

namespace py = pybind11;

template <typename T>
using ResultArrays = OwnedList<kestrane::NDArray<T>>;

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
