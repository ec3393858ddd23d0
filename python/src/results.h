#pragma once

// Native results as Python objects: result arrays are moved, not copied,
// into NDArrayFloat / NDArrayInt8 objects, which numpy reads through the
// buffer protocol; shapes become lists of tuples.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "kestrane/type.h"

namespace ophel {

namespace py = pybind11;

template <typename T>
py::list arrayList(std::vector<kestrane::NDArray<T>>&& arrays) {
  py::list list(arrays.size());
  for (size_t i = 0; i < arrays.size(); ++i) list[i] = py::cast(std::move(arrays[i]));
  return list;
}

inline py::list shapeList(const std::vector<std::vector<int64_t>>& shapes) {
  py::list list(shapes.size());
  for (size_t i = 0; i < shapes.size(); ++i) {
    py::tuple shape(shapes[i].size());
    for (size_t d = 0; d < shapes[i].size(); ++d) shape[d] = py::int_(shapes[i][d]);
    list[i] = std::move(shape);
  }
  return list;
}

}  // namespace ophel
