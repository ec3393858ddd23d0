// Scale, CoreId, Buffer, BufferInfo and CacheInfo: plain values owned by their
// Python objects; no dynamic attributes, no pickling.
#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <string>

#include "bindings.h"
#include "core/buffer_book.h"
#include "kestrane/type.h"
#include "owned_objects.h"

namespace ophel {

using namespace kestrane;

void bindScale(py::module_& m) {
  py::class_<Scale> cls(m, "Scale");
  defineInit(cls, [] { return std::make_unique<Scale>(); });
  cls.def_readwrite("scale_list", &Scale::scale_list)
      .def_readwrite("scale", &Scale::scale)
      .def_readwrite("is_uniform", &Scale::is_uniform)
      .def("__getitem__", [](const Scale& self, int32_t i) {
        // The native access is unchecked; a uniform scale answers any index.
        if (!self.is_uniform && (i < 0 || static_cast<size_t>(i) >= self.scale_list.size())) {
          throw py::index_error("scale index " + std::to_string(i) + " is out of range for " +
                                std::to_string(self.scale_list.size()) + " entries");
        }
        return self[i];
      });
}

void bindCoreId(py::module_& m) {
  py::class_<CoreId> cls(m, "CoreId");
  defineInit(cls, [] { return std::make_unique<CoreId>(); });
  enumProperty(cls, "cluster", &CoreId::cluster);
  enumProperty(cls, "core", &CoreId::core);
  // As operators they answer NotImplemented for other types: == is then
  // False and < a TypeError. __eq__ without __hash__ leaves CoreId unhashable.
  cls.def(py::self == py::self).def(py::self < py::self);
}

void bindBuffer(py::module_& m) {
  // c_style: a non-contiguous array is copied into a contiguous one, so the
  // bytes are taken in element order.
  using Int8Array = py::array_t<int8_t, py::array::c_style | py::array::forcecast>;
  py::class_<Buffer> cls(m, "Buffer");
  defineInit(cls, [] { return std::make_unique<Buffer>(); });
  cls.def_readwrite("size", &Buffer::size)
      .def("set_buffer", [](Buffer& self, const Int8Array& array) {
        // A buffer that had memory and lost it (released, or its model
        // disposed) is refused whatever its size: a write must not vanish.
        const uint64_t block = self.data == nullptr ? 0 : handedOutBufferSize(self.data);
        if (self.data != nullptr && block == 0)
          throw py::value_error("buffer memory is no longer held by its model's memory pool (released or disposed)");
        const auto available = static_cast<uint64_t>(array.nbytes());
        if (available < self.size) {
          throw py::value_error("array holds " + std::to_string(available) + " bytes, fewer than the buffer's size " +
                                std::to_string(self.size));
        }
        if (self.size == 0) return;
        if (self.data == nullptr) throw py::value_error("buffer has no memory to copy into");
        // `size` is the caller's to set; the copy stays inside the block
        // the pool handed out.
        if (self.size > block) {
          throw py::value_error("buffer size " + std::to_string(self.size) + " is larger than its block of " +
                                std::to_string(block) + " bytes");
        }
        std::memcpy(self.data, array.data(), self.size);
      });
}

void bindBufferInfo(py::module_& m) {
  py::class_<BufferInfo> cls(m, "BufferInfo");
  defineInit(cls, [] { return std::make_unique<BufferInfo>(); });
  cls.def_readwrite("original_height", &BufferInfo::original_height)
      .def_readwrite("original_width", &BufferInfo::original_width)
      .def_readwrite("original_channel", &BufferInfo::original_channel)
      .def_readwrite("reshaped_height", &BufferInfo::reshaped_height)
      .def_readwrite("reshaped_width", &BufferInfo::reshaped_width)
      .def_readwrite("reshaped_channel", &BufferInfo::reshaped_channel)
      .def_readwrite("height", &BufferInfo::height)
      .def_readwrite("width", &BufferInfo::width)
      .def_readwrite("channel", &BufferInfo::channel)
      .def_readwrite("max_height", &BufferInfo::max_height)
      .def_readwrite("max_width", &BufferInfo::max_width)
      .def_readwrite("max_channel", &BufferInfo::max_channel)
      .def_readwrite("max_cache_size", &BufferInfo::max_cache_size)
      .def("original_size", &BufferInfo::original_size)
      .def("reshaped_size", &BufferInfo::reshaped_size)
      .def("size", &BufferInfo::size)
      .def("original_shape",
           [](const BufferInfo& b) { return py::make_tuple(b.original_height, b.original_width, b.original_channel); })
      .def("original_shape_chw",
           [](const BufferInfo& b) { return py::make_tuple(b.original_channel, b.original_height, b.original_width); })
      .def("reshaped_shape",
           [](const BufferInfo& b) { return py::make_tuple(b.reshaped_height, b.reshaped_width, b.reshaped_channel); })
      .def("reshaped_shape_chw",
           [](const BufferInfo& b) { return py::make_tuple(b.reshaped_channel, b.reshaped_height, b.reshaped_width); })
      .def("shape", [](const BufferInfo& b) { return py::make_tuple(b.height, b.width, b.channel); })
      .def("shape_chw", [](const BufferInfo& b) { return py::make_tuple(b.channel, b.height, b.width); });
}

void bindCacheInfo(py::module_& m) {
  py::class_<CacheInfo> cls(m, "CacheInfo");
  defineInit(cls, [] { return std::make_unique<CacheInfo>(); });
  enumProperty(cls, "cache_type", &CacheInfo::cache_type);
  cls.def_readwrite("name", &CacheInfo::name)
      .def_readwrite("layer_hash", &CacheInfo::layer_hash)
      .def_readwrite("size", &CacheInfo::size)
      .def_readwrite("num_batches", &CacheInfo::num_batches);
}

}  // namespace ophel
