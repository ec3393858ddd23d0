#pragma once

// A dense, row-major batch of items in host layout that the NPU path reads
// its inputs from or writes its outputs into: the caller's own storage,
// viewed without owning it, with a shape of at most four dimensions kept in
// place. It stands in for a halvex::Tensor view on the synchronous path,
// where making one would allocate its shape and strides on every request.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "halvex/array_ref.h"
#include "halvex/dtype.h"

namespace kestrane {

class HostBatch {
 public:
  static constexpr size_t kMaxDims = 4;

  HostBatch() = default;
  // The shape has at most kMaxDims dimensions (extra ones are dropped);
  // `withBatch` puts a batch of one in front of it.
  HostBatch(void* data, halvex::DType dtype, halvex::IntArrayRef shape, bool withBatch = false)
      : data_(data), dtype_(dtype) {
    if (withBatch) dims_[ndim_++] = 1;
    for (size_t i = 0; i < shape.size() && ndim_ < kMaxDims; ++i) dims_[ndim_++] = shape[i];
  }

  halvex::DType dtype() const { return dtype_; }
  halvex::IntArrayRef shape() const { return {dims_, ndim_}; }
  int64_t ndim() const { return static_cast<int64_t>(ndim_); }
  int64_t size(size_t dim) const { return dims_[dim]; }
  int64_t numel() const {
    int64_t n = 1;
    for (size_t i = 0; i < ndim_; ++i) n *= dims_[i];
    return n;
  }
  // The first element; the batch is dense from there.
  char* basePtr() const { return static_cast<char*>(data_); }

 private:
  void* data_ = nullptr;
  halvex::DType dtype_ = halvex::DType::Undefined;
  int64_t dims_[kMaxDims] = {};
  size_t ndim_ = 0;
};

}  // namespace kestrane
