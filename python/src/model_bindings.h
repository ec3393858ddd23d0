#pragma once

// The Model and ModelVariantHandle classes, registered in steps: both class
// objects first (so signatures name ModelVariantHandle), then their members
// by concern.

#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

#include "array_args.h"
#include "kestrane/model.h"
#include "kestrane/model_variant_handle.h"
#include "ophel_error.h"
#include "owned_objects.h"

namespace ophel {

namespace py = pybind11;

using ModelClass = py::class_<kestrane::Model, std::unique_ptr<kestrane::Model>>;
using HandleClass = py::class_<kestrane::ModelVariantHandle, std::unique_ptr<kestrane::ModelVariantHandle>>;

void defineLifeMembers(ModelClass& cls);         // model.cpp: creation, launch, targets
void defineInference(ModelClass& cls);           // model_inference.cpp
void defineDescriptionMembers(ModelClass& cls);  // model.cpp: variants, shapes, buffers, policies
void defineCacheMembers(ModelClass& cls);        // model_cache.cpp
void defineHandleMembers(HandleClass& cls);      // variant_handle.cpp

// The reposition calls of Model (variant 0) and of ModelVariantHandle: bare
// pointers reach the native side, so an array shorter than one item of its
// record is refused first.
template <typename Target>
void repositionInputs(const Target& target, const ArrayList<float>& input, std::vector<kestrane::Buffer> buffers,
                      const std::vector<std::vector<int>>& seqlens) {
  const ArrayViews<float> arrays(input, Side::Input);
  arrays.checkItemLengths(target.getInputBufferInfo(), buffers.size(), seqlens);
  kestrane::StatusCode status = kestrane::StatusCode::OK;
  {
    py::gil_scoped_release nogil;
    status = target.repositionInputs(arrays.pointers(), buffers, seqlens);
  }
  throwIfFailed(status);
}

template <typename Target>
void repositionOutputs(const Target& target, const std::vector<kestrane::Buffer>& buffers,
                       const ArrayList<float>& output, const std::vector<std::vector<int>>& seqlens) {
  const ArrayViews<float> arrays(output, Side::Output);
  arrays.checkItemLengths(target.getOutputBufferInfo(), buffers.size(), seqlens);
  kestrane::StatusCode status = kestrane::StatusCode::OK;
  {
    py::gil_scoped_release nogil;
    std::vector<float*> pointers = arrays.pointers();
    status = target.repositionOutputs(buffers, pointers, seqlens);
  }
  throwIfFailed(status);
}

// reposition_inputs and reposition_outputs, registered alike on Model and
// ModelVariantHandle.
template <typename Class>
void defineRepositionMembers(Class& cls) {
  using Target = typename Class::type;
  using SeqLens = std::vector<std::vector<int>>;
  cls.def(
         "reposition_inputs",
         [](const Target& self, const ArrayList<float>& input, const std::vector<kestrane::Buffer>& inputBuf,
            const SeqLens& seqlens) { repositionInputs(self, input, inputBuf, seqlens); },
         py::arg("input").noconvert(), py::arg("input_buf").noconvert(), py::arg("seqlens").noconvert() = SeqLens{})
      .def(
          "reposition_outputs",
          [](const Target& self, const std::vector<kestrane::Buffer>& outputBuf, const ArrayList<float>& output,
             const SeqLens& seqlens) { repositionOutputs(self, outputBuf, output, seqlens); },
          py::arg("output_buf").noconvert(), py::arg("output").noconvert(), py::arg("seqlens").noconvert() = SeqLens{});
}

// What the Python object of a released Buffer points at instead of its
// block: an address no pool hands out, so the block (which the pool may hand
// out again) is never reached through the object, while the native calls and
// set_buffer still refuse it as memory no pool holds. `size` stays as it was.
inline void* releasedBufferMark() {
  static char mark;
  return &mark;
}

// The buffers an acquisition handed out, as a list of Buffer objects; when
// the list cannot be made they go back to the pool.
template <typename Target>
OwnedList<kestrane::Buffer> handedOut(const Target& target, std::vector<kestrane::Buffer> buffers) {
  return {std::move(buffers), [&target](std::vector<kestrane::Buffer>& all) { target.releaseBuffer(all); }};
}

// release_buffer of Model and ModelVariantHandle: a list holding None is
// refused before anything goes back. Then each buffer goes back on its own,
// and the Python object of every buffer the pool took back is marked.
template <typename Target>
void releaseBuffers(const Target& target, const std::vector<kestrane::Buffer*>& buffers) {
  for (const kestrane::Buffer* buffer : buffers)
    if (buffer == nullptr) throw py::type_error("release_buffer takes Buffer objects, not None");
  if (buffers.empty()) {  // still refused on a model that is not launched
    std::vector<kestrane::Buffer> none;
    throwIfFailed(target.releaseBuffer(none));
    return;
  }
  kestrane::StatusCode first = kestrane::StatusCode::OK;
  for (kestrane::Buffer* buffer : buffers) {
    std::vector<kestrane::Buffer> one{*buffer};
    const kestrane::StatusCode status = target.releaseBuffer(one);
    if (status == kestrane::StatusCode::OK) buffer->data = releasedBufferMark();
    else if (first == kestrane::StatusCode::OK) first = status;
  }
  throwIfFailed(first);
}

}  // namespace ophel
