#pragma once

// numpy arrays handed to the native calls. The native side reads and writes
// an array as dense C-ordered memory of its element count, so:
// - every array must be writeable, inputs included ("array is not writeable");
// - an input that is not C-contiguous (transposed, stepped, reversed) is
//   read through a C-ordered copy made here;
// - an output must be C-contiguous already: results are written in place.
//
// Construction runs with the interpreter lock held. views(), pointers() and
// ownedCopies() read only the arrays' header fields (data address, shape),
// which nothing changes while the call holds its references, and may run
// without the lock. The object itself must be destroyed with the lock held.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kestrane/status.h"
#include "kestrane/type.h"

namespace ophel {

namespace py = pybind11;

// An array argument of element type T. Without conversion only arrays of
// exactly that dtype load (in any layout, not copied); with conversion numpy
// casts anything array-like into a new array.
template <typename T>
using ArrayArg = py::array_t<T, py::array::forcecast>;
template <typename T>
using ArrayList = std::vector<ArrayArg<T>>;

enum class Side { Input, Output };

template <typename T>
class ArrayViews {
 public:
  ArrayViews(const ArrayList<T>& arrays, Side side) : side_(side) {
    arrays_.reserve(arrays.size());
    for (size_t i = 0; i < arrays.size(); ++i) {
      const ArrayArg<T>& a = arrays[i];
      if (!a.writeable()) throw py::value_error("array is not writeable");
      if (a.flags() & py::array::c_style) {
        arrays_.push_back(a);
      } else if (side == Side::Input) {
        arrays_.push_back(py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a));
        if (!arrays_.back()) throw py::error_already_set();
      } else {
        throw py::value_error("output array " + std::to_string(i) +
                              " is not C-contiguous; results are written in place into contiguous arrays only");
      }
    }
  }

  size_t size() const { return arrays_.size(); }
  int64_t count(size_t i) const { return static_cast<int64_t>(arrays_[i].size()); }
  T* data(size_t i) const { return static_cast<T*>(const_cast<void*>(arrays_[i].data())); }

  // Borrowing views: nothing is freed when they go.
  std::vector<kestrane::NDArray<T>> views() const {
    std::vector<kestrane::NDArray<T>> out(arrays_.size());
    for (size_t i = 0; i < arrays_.size(); ++i) {
      const py::array& a = arrays_[i];
      out[i].num_elements = count(i);
      out[i].data = kestrane::internal::NDArrayData(static_cast<void*>(data(i)));
      out[i].shape.assign(a.shape(), a.shape() + a.ndim());
    }
    return out;
  }

  std::vector<T*> pointers() const {
    std::vector<T*> out(arrays_.size());
    for (size_t i = 0; i < arrays_.size(); ++i) out[i] = data(i);
    return out;
  }

  // Copies that the native side owns, for requests that read their inputs
  // after the call has returned (the asynchronous pipeline). BadAlloc when
  // memory runs out.
  std::vector<kestrane::NDArray<T>> ownedCopies(kestrane::StatusCode& status) const {
    std::vector<kestrane::NDArray<T>> out = views();
    for (size_t i = 0; i < out.size(); ++i) {
      const int64_t bytes = out[i].num_elements * static_cast<int64_t>(sizeof(T));
      kestrane::internal::NDArrayData owned(bytes, status);
      if (status != kestrane::StatusCode::OK) return {};
      if (bytes > 0) std::memcpy(owned.data(), data(i), static_cast<size_t>(bytes));
      out[i].data = std::move(owned);
    }
    status = kestrane::StatusCode::OK;
    return out;
  }

  // After an out form (lock held): every output array must hold its output.
  // The native side writes in place only into an array of exactly the
  // output's shape and otherwise hands back storage of its own; that is
  // copied in when the element counts agree, anything else is a ValueError.
  void receive(const std::vector<kestrane::NDArray<T>>& results) const {
    if (results.size() != arrays_.size()) {
      throw py::value_error("the model gives " + std::to_string(results.size()) + " outputs; " +
                            std::to_string(arrays_.size()) + " output arrays were passed");
    }
    for (size_t i = 0; i < results.size(); ++i) {
      if (results[i].ptr() != data(i) && results[i].num_elements != count(i)) {
        throw py::value_error("output array " + std::to_string(i) + " holds " + std::to_string(count(i)) +
                              " elements; the model's output " + std::to_string(i) + " has " +
                              std::to_string(results[i].num_elements));
      }
    }
    for (size_t i = 0; i < results.size(); ++i) {
      if (results[i].ptr() != data(i) && count(i) > 0)
        std::memcpy(data(i), results[i].ptr(), static_cast<size_t>(count(i)) * sizeof(T));
    }
  }

  // Each array against one item of its input or output (the reposition
  // calls, which take bare pointers and use one item of each array): the
  // record's original size times the item's sequence-length counts. Only a
  // shorter array is refused, as the native call would read or write past
  // it, and only where that call would reach the arrays: lists of counts
  // other than the model's, and entries it refuses anyway (counts below 1),
  // are left to its own checks, lines and status.
  void checkItemLengths(const std::vector<kestrane::BufferInfo>& infos, size_t bufferLists,
                        const std::vector<std::vector<int>>& seqlens) const {
    const char* what = side_ == Side::Input ? "input" : "output";
    if (arrays_.size() != bufferLists || arrays_.size() != infos.size()) return;
    if (!seqlens.empty() && seqlens.size() != infos.size()) return;
    for (size_t i = 0; i < arrays_.size(); ++i) {
      uint64_t need = infos[i].original_size();
      if (!seqlens.empty()) {
        const std::vector<int>& s = seqlens[i];
        if (s.size() != 3 || s[0] < 1 || s[1] < 1 || s[2] < 1) return;
        need *= static_cast<uint64_t>(s[0]) * static_cast<uint64_t>(s[1]) * static_cast<uint64_t>(s[2]);
      }
      if (static_cast<uint64_t>(count(i)) < need) {
        throw py::value_error(std::string(what) + " array " + std::to_string(i) + " holds " +
                              std::to_string(count(i)) + " elements; one item of " + what + " " +
                              std::to_string(i) + " takes " + std::to_string(need));
      }
    }
  }

 private:
  Side side_;
  std::vector<py::array> arrays_;
};

}  // namespace ophel
