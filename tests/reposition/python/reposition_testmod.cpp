// Test-only module: the element conversions of the data plane on numpy
// arrays, so that numpy can serve as the oracle.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "dataplane/half_precision.h"
#include "dataplane/kernel_isa.h"
#include "dataplane/reposition.h"

namespace py = pybind11;
using namespace kestrane;

namespace {

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

Scale makeScale(const std::vector<float>& values, bool uniform) {
  Scale s;
  s.is_uniform = uniform;
  if (uniform) s.scale = values.at(0);
  else s.scale_list = values;
  return s;
}

}  // namespace

PYBIND11_MODULE(reposition_testmod, m) {
  // 0 baseline, 1 AVX2, 2 F16C: the widest kernels to use from now on.
  m.def("limit_isa", [](int level) { limitKernelIsa(static_cast<KernelIsa>(level)); });
  m.def("float_to_half", [](Array<float> x) {
    py::array_t<uint16_t> out(x.size());
    floatToHalfArray(out.mutable_data(), x.data(), static_cast<int>(x.size()));
    return out;
  });
  m.def("half_to_float", [](Array<uint16_t> x) {
    py::array_t<float> out(x.size());
    halfToFloatArray(out.mutable_data(), x.data(), static_cast<int>(x.size()));
    return out;
  });
  // dtype: 0 float32, 1 float16 (bits as uint16), other int8.
  m.def("quantize", [](Array<float> x, std::vector<float> scales, bool uniform, uint32_t channels,
                       uint32_t scaleChannels, int chw, int dtype) {
    const size_t width = dtype == 0 ? 4 : dtype == 1 ? 2 : 1;
    std::vector<uint8_t> bytes(x.size() * width);
    quantizeToNPU(bytes.data(), x.data(), makeScale(scales, uniform), channels, scaleChannels,
                  static_cast<int>(x.size()), chw ? MemoryFormat::CHW : MemoryFormat::HWC,
                  static_cast<NPUDtype>(dtype));
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  });
  m.def("dequantize", [](Array<int8_t> q, std::vector<float> scales, bool uniform, uint32_t channels,
                         uint32_t scaleChannels, int chw) {
    py::array_t<float> out(q.size());
    dequantizeFromNPU(out.mutable_data(), q.data(), makeScale(scales, uniform), channels, scaleChannels,
                      static_cast<int>(q.size()), chw ? MemoryFormat::CHW : MemoryFormat::HWC, NPUDtype::Int8);
    return out;
  });
}
