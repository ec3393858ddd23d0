// The inference families of Model: synchronous on arrays (HWC and CHW,
// float32 and int8, into the caller's arrays or returning new ones), on
// NPU-layout buffers, the speed run, asynchronous through futures, and the
// reposition calls. Every one releases the interpreter lock around the
// native call; named arguments never convert, so the dtype of the arrays
// picks the form.
#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "cache_size.h"
#include "future_handle.h"
#include "model_bindings.h"
#include "results.h"

namespace ophel {

using namespace kestrane;

namespace {

using Shapes = Model::Shapes;

// The forms that fill the caller's output arrays.
template <typename T, typename Call>
void inferInto(const ArrayList<T>& in, const ArrayList<T>& out, Call call) {
  const ArrayViews<T> inputs(in, Side::Input);
  const ArrayViews<T> outputs(out, Side::Output);
  std::vector<NDArray<T>> results;
  StatusCode status = StatusCode::OK;
  {
    py::gil_scoped_release nogil;
    results = outputs.views();
    status = call(inputs.views(), results);
  }
  throwIfFailed(status);
  outputs.receive(results);
}

// The forms that return new result arrays.
template <typename In, typename Out, typename Call>
ResultArrays<Out> inferReturning(const ArrayList<In>& arr, Call call) {
  const ArrayViews<In> inputs(arr, Side::Input);
  ResultArrays<Out> results;
  StatusCode status = StatusCode::OK;
  {
    py::gil_scoped_release nogil;
    results.items = call(inputs.views(), status);
  }
  throwIfFailed(status);
  return results;
}

// The pipeline reads a request's inputs after the call has returned, on its
// own threads: they get copies the request owns, and never a reference to
// a Python object. The handle is made without the interpreter lock: a
// future that finds no memory for it collects its request there.
template <typename In, typename Out, typename Call>
Owned<FutureHandle<Out>> inferAsync(const ArrayList<In>& arr, Call call) {
  const ArrayViews<In> inputs(arr, Side::Input);
  Owned<FutureHandle<Out>> handle;
  StatusCode status = StatusCode::OK;
  {
    py::gil_scoped_release nogil;
    const std::vector<NDArray<In>> copies = inputs.ownedCopies(status);
    if (status == StatusCode::OK) {
      Future<Out> future = call(copies, status);
      if (status == StatusCode::OK) handle.object = std::make_unique<FutureHandle<Out>>(std::move(future));
    }
  }
  throwIfFailed(status);
  return handle;
}

template <typename T>
using Arrays = std::vector<NDArray<T>>;

py::arg_v cacheSizeArg() { return py::arg("cache_size").noconvert() = 0; }

template <typename T>
void defineArrayForms(ModelClass& cls) {
  cls.def(
         "infer",
         [](Model& self, const ArrayList<T>& in, const ArrayList<T>& out, CacheSize cacheSize) {
           inferInto(in, out, [&](const Arrays<T>& i, Arrays<T>& o) { return self.infer(i, o, cacheSize.value); });
         },
         py::arg("in").noconvert(), py::arg("out").noconvert(), cacheSizeArg())
      .def(
          "infer_chw",
          [](Model& self, const ArrayList<T>& in, const ArrayList<T>& out, CacheSize cacheSize) {
            inferInto(in, out, [&](const Arrays<T>& i, Arrays<T>& o) { return self.inferCHW(i, o, cacheSize.value); });
          },
          py::arg("in").noconvert(), py::arg("out").noconvert(), cacheSizeArg())
      .def(
          "infer",
          [](Model& self, const ArrayList<T>& arr, CacheSize cacheSize) {
            return inferReturning<T, T>(
                arr, [&](const Arrays<T>& i, StatusCode& sc) { return self.infer(i, cacheSize.value, sc); });
          },
          py::arg("arr").noconvert(), cacheSizeArg())
      .def(
          "infer_chw",
          [](Model& self, const ArrayList<T>& arr, CacheSize cacheSize) {
            return inferReturning<T, T>(
                arr, [&](const Arrays<T>& i, StatusCode& sc) { return self.inferCHW(i, cacheSize.value, sc); });
          },
          py::arg("arr").noconvert(), cacheSizeArg());
}

void defineToFloatForms(ModelClass& cls) {
  cls.def(
         "infer_to_float",
         [](Model& self, const ArrayList<int8_t>& arr, CacheSize cacheSize) {
           return inferReturning<int8_t, float>(
               arr, [&](const Arrays<int8_t>& i, StatusCode& sc) { return self.inferToFloat(i, cacheSize.value, sc); });
         },
         py::arg("arr").noconvert(), cacheSizeArg())
      .def(
          "infer_chw_to_float",
          [](Model& self, const ArrayList<int8_t>& arr, CacheSize cacheSize) {
            return inferReturning<int8_t, float>(arr, [&](const Arrays<int8_t>& i, StatusCode& sc) {
              return self.inferCHWToFloat(i, cacheSize.value, sc);
            });
          },
          py::arg("arr").noconvert(), cacheSizeArg());
}

void defineBufferForms(ModelClass& cls) {
  cls.def("infer_buffer",
          [](Model& self, const std::vector<Buffer>& in, std::vector<Buffer> out, const Shapes& shapes,
             uint32_t cacheSize) {
            StatusCode status = StatusCode::OK;
            {
              py::gil_scoped_release nogil;
              status = self.inferBuffer(in, out, shapes, cacheSize);
            }
            throwIfFailed(status);
          })
      .def("infer_buffer",
           [](Model& self, const std::vector<std::vector<Buffer>>& in, std::vector<std::vector<Buffer>> out,
              const Shapes& shapes, uint32_t cacheSize) {
             StatusCode status = StatusCode::OK;
             {
               py::gil_scoped_release nogil;
               status = self.inferBuffer(in, out, shapes, cacheSize);
             }
             throwIfFailed(status);
           })
      .def("infer_speedrun", [](Model& self) {
        StatusCode status = StatusCode::OK;
        {
          py::gil_scoped_release nogil;
          status = self.inferSpeedrun(0);
        }
        throwIfFailed(status);
      });
}

template <typename T>
void defineAsyncForms(ModelClass& cls) {
  cls.def("infer_async",
          [](Model& self, const ArrayList<T>& arr) {
            return inferAsync<T, T>(arr, [&](const Arrays<T>& i, StatusCode& sc) { return self.inferAsync(i, sc); });
          })
      .def("infer_async_chw", [](Model& self, const ArrayList<T>& arr) {
        return inferAsync<T, T>(arr, [&](const Arrays<T>& i, StatusCode& sc) { return self.inferAsyncCHW(i, sc); });
      });
}

void defineAsyncToFloatForms(ModelClass& cls) {
  cls.def("infer_async_to_float",
          [](Model& self, const ArrayList<int8_t>& arr) {
            return inferAsync<int8_t, float>(
                arr, [&](const Arrays<int8_t>& i, StatusCode& sc) { return self.inferAsyncToFloat(i, sc); });
          })
      .def("infer_async_chw_to_float", [](Model& self, const ArrayList<int8_t>& arr) {
        return inferAsync<int8_t, float>(
            arr, [&](const Arrays<int8_t>& i, StatusCode& sc) { return self.inferAsyncCHWToFloat(i, sc); });
      });
}

}  // namespace

void defineInference(ModelClass& cls) {
  // Tried in this order: float32 in/out, float32 returning, int8 in/out,
  // int8 returning.
  defineArrayForms<float>(cls);
  defineArrayForms<int8_t>(cls);
  defineToFloatForms(cls);
  defineBufferForms(cls);
  defineAsyncForms<float>(cls);
  defineAsyncForms<int8_t>(cls);
  defineAsyncToFloatForms(cls);
  defineRepositionMembers(cls);
}

}  // namespace ophel
