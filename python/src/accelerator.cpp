// Accelerator: one opened card. Dropping the last reference closes it and
// disposes the models still launched there.
#include <pybind11/stl.h>

#include <memory>

#include "accelerator_handle.h"
#include "bindings.h"
#include "ophel_error.h"
#include "owned_objects.h"

namespace ophel {

namespace {

std::unique_ptr<AcceleratorHandle> open(int card, bool defaultCard) {
  kestrane::StatusCode status = kestrane::StatusCode::OK;
  auto handle = std::make_unique<AcceleratorHandle>();
  handle->native = defaultCard ? kestrane::Accelerator::create(status) : kestrane::Accelerator::create(card, status);
  throwIfFailed(status);
  if (!handle->native) return nullptr;  // reported as a factory without result
  return handle;
}

}  // namespace

void bindAccelerator(py::module_& m) {
  py::class_<AcceleratorHandle> cls(m, "Accelerator");
  defineInit(cls, [] { return open(0, true); });
  defineInit<int>(cls, [](int card) { return open(card, false); });
  cls.def("get_available_cores", [](AcceleratorHandle& self) { return self.native->getAvailableCores(); });
}

}  // namespace ophel
