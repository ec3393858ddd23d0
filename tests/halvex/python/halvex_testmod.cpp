// Test-only Python module: wraps numpy arrays as zero-copy tensor views (with
// their real byte strides, negative and zero included) so that pytest can
// compare the tensor library with numpy on many layouts. Never installed.

#include <pybind11/stl.h>

#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "halvex/free_functions.h"
#include "halvex/indexing.h"
#include "support/numpy_tensor.h"

using namespace kestrane::halvex;
using namespace kestrane::test;
using indexing::TensorIndex;

namespace {

std::vector<TensorIndex> toIndices(const py::list& selectors) {
  std::vector<TensorIndex> out;
  for (const auto& s : selectors) {
    if (s.is_none()) {
      out.emplace_back();
    } else if (py::isinstance<py::tuple>(s)) {
      auto tup = s.cast<py::tuple>();
      out.push_back(TensorIndex::slice(tup[0].cast<int64_t>(), tup[1].cast<int64_t>()));
    } else if (py::isinstance<py::array>(s)) {
      out.emplace_back(fromNumpy(s.cast<py::array>()));
    } else {
      out.emplace_back(s.cast<int64_t>());
    }
  }
  return out;
}

std::vector<Tensor> toTensors(const py::list& arrays) {
  std::vector<Tensor> out;
  for (const auto& a : arrays) out.push_back(fromNumpy(a.cast<py::array>()));
  return out;
}

// Collects the error and warning lines the library logs.
std::ostringstream& logStream() {
  static std::ostringstream stream;
  return stream;
}

}  // namespace

PYBIND11_MODULE(halvex_testmod, m) {
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(logStream());
  sink->set_pattern("%l|%v");
  spdlog::default_logger_raw()->sinks().push_back(sink);

  m.def("take_log", [] {
    std::string text = logStream().str();
    logStream().str("");
    return text;
  });
  // Views of the input keep the input alive: pass it as `keep`.
  m.def("contiguous", [](py::array a) { return toNumpy(fromNumpy(a).contiguous(), a); });
  m.def("clone", [](py::array a) { return toNumpy(fromNumpy(a).clone()); });
  m.def("to", [](py::array a, const std::string& dt) { return toNumpy(fromNumpy(a).to(dtypeFromName(dt)), a); });
  m.def("reshape", [](py::array a, std::vector<int64_t> s) { return toNumpy(fromNumpy(a).reshape(s), a); });
  m.def("view", [](py::array a, std::vector<int64_t> s) { return toNumpy(fromNumpy(a).view(s), a); });
  m.def("expand", [](py::array a, std::vector<int64_t> s) { return toNumpy(fromNumpy(a).expand(s), a); });
  m.def("flatten", [](py::array a, int64_t s, int64_t e) { return toNumpy(fromNumpy(a).flatten(s, e), a); });
  m.def("flip", [](py::array a, std::vector<int64_t> d) { return toNumpy(fromNumpy(a).flip(d), a); });
  m.def("permute", [](py::array a, std::vector<int64_t> d) { return toNumpy(fromNumpy(a).permute(d), a); });
  m.def("transpose", [](py::array a, int64_t x, int64_t y) { return toNumpy(fromNumpy(a).transpose(x, y), a); });
  m.def("squeeze", [](py::array a) { return toNumpy(fromNumpy(a).squeeze(), a); });
  m.def("squeeze_dim", [](py::array a, int64_t d) { return toNumpy(fromNumpy(a).squeeze(d), a); });
  m.def("unsqueeze", [](py::array a, int64_t d) { return toNumpy(fromNumpy(a).unsqueeze(d), a); });
  m.def("index", [](py::array a, py::list selectors) { return toNumpy(fromNumpy(a).index(toIndices(selectors)), a); });
  m.def("index_put_", [](py::array a, py::list selectors, py::array v) {
    Tensor t = fromNumpy(a);
    t.index_put_(toIndices(selectors), fromNumpy(v));
  });
  m.def("index_select",
        [](py::array a, int64_t d, py::array i) { return toNumpy(fromNumpy(a).index_select(d, fromNumpy(i))); });
  m.def("select", [](py::array a, int64_t d, int64_t i) { return toNumpy(fromNumpy(a).select(d, i), a); });
  m.def("nonzero", [](py::array a) { return toNumpy(fromNumpy(a).nonzero()); });
  m.def("where", [](py::array a, py::array c, py::array o) {
    return toNumpy(fromNumpy(a).where(fromNumpy(c), fromNumpy(o)));
  });
  m.def("tile", [](py::array a, std::vector<int64_t> r) { return toNumpy(fromNumpy(a).tile(r), a); });
  m.def("copy_", [](py::array dst, py::array src) {
    Tensor t = fromNumpy(dst);
    t.copy_(fromNumpy(src));
  });
  m.def("cat", [](py::list arrays, int64_t d) { return toNumpy(cat(toTensors(arrays), d)); });
  m.def("stack", [](py::list arrays, int64_t d) { return toNumpy(stack(toTensors(arrays), d)); });
  m.def("split", [](py::array a, std::vector<int64_t> sizes, int64_t d) {
    py::list out;
    for (const Tensor& t : split(fromNumpy(a), sizes, d)) out.append(toNumpy(t, a));
    return out;
  });
  m.def("arange", [](int32_t s, int32_t e, int32_t st) { return toNumpy(arange(s, e, st)); });
  m.def("full", [](std::vector<int64_t> s, float v) { return toNumpy(full(s, v)); });
}
