// The key-value cache of sequence models: dump and load as arrays or files,
// reset, and the tail rearrangements. These keep the interpreter lock.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <string>
#include <vector>

#include "model_bindings.h"

namespace ophel {

using namespace kestrane;

namespace {

using Bytes = std::vector<int8_t>;

std::vector<py::array_t<int8_t>> dump(Model& self) {
  StatusCode status = StatusCode::OK;
  const std::vector<Bytes> areas = self.dumpCacheMemory(status);
  throwIfFailed(status);
  std::vector<py::array_t<int8_t>> arrays;
  arrays.reserve(areas.size());
  for (const Bytes& bytes : areas) {
    py::array_t<int8_t> area(static_cast<py::ssize_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(area.mutable_data(), bytes.data(), bytes.size());
    arrays.push_back(std::move(area));
  }
  return arrays;
}

// Every byte of each object, in C order whatever its layout or item size.
void load(Model& self, const std::vector<py::buffer>& objects) {
  std::vector<Bytes> areas(objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    const py::buffer_info info = objects[i].request();
    Py_buffer* view = info.view();
    areas[i].resize(static_cast<size_t>(view->len));
    if (view->len > 0 && PyBuffer_ToContiguous(areas[i].data(), view, view->len, 'C') != 0)
      throw py::error_already_set();
  }
  throwIfFailed(self.loadCacheMemory(areas));
}

}  // namespace

void defineCacheMembers(ModelClass& cls) {
  cls.def("reset_cache_memory", &Model::resetCacheMemory)
      .def("dump_cache_memory", &dump)
      .def("load_cache_memory", &load)
      .def("dump_cache_memory",
           [](Model& self, const std::string& directory) { throwIfFailed(self.dumpCacheMemory(directory)); })
      .def("load_cache_memory",
           [](Model& self, const std::string& directory) { throwIfFailed(self.loadCacheMemory(directory)); })
      .def("filter_cache_tail",
           [](Model& self, int cacheSize, int tailSize, const std::vector<bool>& mask) {
             StatusCode status = StatusCode::OK;
             const int size = self.filterCacheTail(cacheSize, tailSize, mask, status);
             throwIfFailed(status);
             return size;
           })
      .def("move_cache_tail", [](Model& self, int numHead, int numTail, int cacheSize) {
        StatusCode status = StatusCode::OK;
        const int size = self.moveCacheTail(numHead, numTail, cacheSize, status);
        throwIfFailed(status);
        return size;
      });
}

}  // namespace ophel
