#pragma once

// The cache size of the inference calls: an unsigned 32-bit count, given
// as a Python int or any object with __index__ (numpy integers included),
// never as a float, and never converted. pybind11's own unsigned caster
// refuses numpy integers when conversion is off, so this one loads the
// value through __index__ and fails the overload when it is out of range.

#include <pybind11/pybind11.h>

#include <cstdint>

namespace ophel {

struct CacheSize {
  uint32_t value = 0;
};

}  // namespace ophel

namespace pybind11::detail {

template <>
struct type_caster<ophel::CacheSize> {
  PYBIND11_TYPE_CASTER(ophel::CacheSize, const_name("int"));

  bool load(handle src, bool /*convert*/) {
    if (!src || PyFloat_Check(src.ptr()) || !PyIndex_Check(src.ptr())) return false;
    const object index = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
    if (!index) {
      PyErr_Clear();
      return false;
    }
    const unsigned long long count = PyLong_AsUnsignedLongLong(index.ptr());
    if (PyErr_Occurred() != nullptr) {  // negative or too large
      PyErr_Clear();
      return false;
    }
    if (count > UINT32_MAX) return false;
    value.value = static_cast<uint32_t>(count);
    return true;
  }

  static handle cast(ophel::CacheSize size, return_value_policy, handle) {
    return PyLong_FromUnsignedLong(size.value);
  }
};

}  // namespace pybind11::detail
