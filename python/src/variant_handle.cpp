// ModelVariantHandle: the description, buffers and reposition calls of one
// variant. Handles come only from Model.get_model_variant_handle and keep
// their model alive; once it is disposed, the calls that need a launched
// model fail with its status.
#include <pybind11/stl.h>

#include "model_bindings.h"
#include "owned_objects.h"
#include "results.h"

namespace ophel {

using namespace kestrane;

void defineHandleMembers(HandleClass& cls) {
  cls.def("get_variant_idx", &ModelVariantHandle::getVariantIdx)
      .def("get_model_input_shape",
           [](const ModelVariantHandle& self) { return shapeList(self.getModelInputShape()); })
      .def("get_model_output_shape",
           [](const ModelVariantHandle& self) { return shapeList(self.getModelOutputShape()); })
      .def("get_input_buffer_info", [](const ModelVariantHandle& self) { return self.getInputBufferInfo(); })
      .def("get_output_buffer_info", [](const ModelVariantHandle& self) { return self.getOutputBufferInfo(); })
      .def("get_input_scale",
           [](ModelVariantHandle& self) { return OwnedList<Scale>{self.getInputScale(), {}}; })
      .def("get_output_scale",
           [](ModelVariantHandle& self) { return OwnedList<Scale>{self.getOutputScale(), {}}; })
      .def("acquire_input_buffer",
           [](const ModelVariantHandle& self, const std::vector<std::vector<int>>& seqlens) {
             return handedOut(self, self.acquireInputBuffer(seqlens));
           })
      .def("acquire_output_buffer",
           [](const ModelVariantHandle& self, const std::vector<std::vector<int>>& seqlens) {
             return handedOut(self, self.acquireOutputBuffer(seqlens));
           })
      .def("release_buffer", [](const ModelVariantHandle& self,
                                const std::vector<Buffer*>& buffers) { releaseBuffers(self, buffers); });
  defineRepositionMembers(cls);
}

}  // namespace ophel
