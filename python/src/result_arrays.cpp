// NDArrayFloat and NDArrayInt8: the result arrays of inference. Each owns
// one native array (its storage shared with nothing once the request is
// over) and exports it, writable and C-ordered, through the buffer
// protocol; a numpy view keeps the object, and so the memory, alive.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "bindings.h"
#include "kestrane/type.h"

namespace ophel {

namespace {

template <typename T>
void bindResultArray(py::module_& m, const char* name) {
  py::class_<kestrane::NDArray<T>>(m, name, py::buffer_protocol())
      .def_buffer([](kestrane::NDArray<T>& a) {
        std::vector<py::ssize_t> shape(a.shape.begin(), a.shape.end());
        std::vector<py::ssize_t> strides(shape.size());
        py::ssize_t stride = sizeof(T);
        for (size_t d = shape.size(); d-- > 0;) {
          strides[d] = stride;
          stride *= shape[d];
        }
        // An array of no elements may have no storage; a consumer still
        // wants an address.
        static T none{};
        T* data = a.ptr() != nullptr ? a.ptr() : &none;
        return py::buffer_info(data, sizeof(T), py::format_descriptor<T>::format(),
                               static_cast<py::ssize_t>(shape.size()), shape, strides, false);
      })
      .def("__getitem__",
           [](const kestrane::NDArray<T>& a, uint64_t i) {
             // The native access is unchecked.
             if (a.ptr() == nullptr || i >= static_cast<uint64_t>(a.num_elements))
               throw py::index_error("index " + std::to_string(i) + " is out of range for " +
                                     std::to_string(a.num_elements) + " elements");
             return a.ptr()[i];
           })
      .def("__len__", [](const kestrane::NDArray<T>& a) { return a.num_elements; });
}

}  // namespace

void bindResultArrays(py::module_& m) {
  bindResultArray<float>(m, "NDArrayFloat");
  bindResultArray<int8_t>(m, "NDArrayInt8");
}

}  // namespace ophel
