// FutureFloat and FutureInt8: the handles of asynchronous requests.
#include <memory>

#include "bindings.h"
#include "future_handle.h"
#include "ophel_error.h"
#include "owned_objects.h"
#include "results.h"

namespace ophel {

namespace {

template <typename T>
void bindFuture(py::module_& m, const char* name) {
  py::class_<FutureHandle<T>> cls(m, name);
  defineInit(cls, [] { return std::make_unique<FutureHandle<T>>(); });
  cls.def("wait_for",
          [](FutureHandle<T>& self, int64_t timeoutMs) {
            if (timeoutMs <= 0) return self.waitFor(timeoutMs);
            py::gil_scoped_release nogil;
            return self.waitFor(timeoutMs);
          })
      .def("get", [](FutureHandle<T>& self) {
        kestrane::StatusCode status = kestrane::StatusCode::OK;
        ResultArrays<T> outputs;
        {
          py::gil_scoped_release nogil;
          outputs.items = self.get(status);
        }
        throwIfFailed(status);
        return outputs;
      });
}

}  // namespace

void bindFutures(py::module_& m) {
  bindFuture<float>(m, "FutureFloat");
  bindFuture<int8_t>(m, "FutureInt8");
}

}  // namespace ophel
