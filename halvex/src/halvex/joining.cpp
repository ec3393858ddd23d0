#include <numeric>
#include <string>

#include "core/log.h"
#include "halvex/checked_size.h"
#include "halvex/free_functions.h"
#include "halvex/indexing.h"

namespace kestrane::halvex {

using indexing::TensorIndex;

namespace {
std::string shapeText(const std::vector<int64_t>& shape) {
  std::string text = "[";
  for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + "]";
}
}  // namespace

// Each block is written through copy_ into its slice of the result, so a
// block broadcasts to the result's other dimensions (a size of 1 stretches).
// A block that does not broadcast is refused before anything is allocated:
// the result would otherwise have an unwritten part.
Tensor cat(const std::vector<Tensor>& tensors, int64_t dim) {
  if (tensors.empty()) {
    KLOG_ERROR("cat: there is no tensor to join.");
    return {};
  }
  const Tensor& first = tensors.front();
  for (const Tensor& t : tensors) {
    if (!t.defined()) {
      KLOG_ERROR("cat: a tensor to join is undefined.");
      return {};
    }
  }
  if (dim < 0 || dim >= first.ndim()) {
    KLOG_ERROR("cat: dim ({}) is out of range (ndim: {})", dim, first.ndim());
    return {};
  }
  const size_t d = static_cast<size_t>(dim);
  std::vector<int64_t> shape = first.shape();
  shape[d] = 0;
  for (const Tensor& t : tensors) {
    // Only a block of the same rank has a size along dim.
    const std::optional<int64_t> joined =
        t.ndim() == first.ndim() ? checkedAdd(shape[d], t.shape()[d]) : std::nullopt;
    if (!joined) {
      KLOG_ERROR("cat: tensor of shape {} cannot be joined to shape {} along dim {}", shapeText(t.shape()),
                 shapeText(first.shape()), dim);
      return {};
    }
    shape[d] = *joined;
  }
  for (const Tensor& t : tensors) {
    for (size_t j = 0; j < shape.size(); ++j) {
      if (j == d || t.shape()[j] == shape[j] || t.shape()[j] == 1) continue;
      KLOG_ERROR("cat: tensor of shape {} does not broadcast to shape {} outside dim {}", shapeText(t.shape()),
                 shapeText(shape), dim);
      return {};
    }
  }
  TensorData out(shape, first.dtype());
  if (!out.defined()) return {};
  std::vector<TensorIndex> indices(shape.size());
  int64_t o = 0;
  for (const Tensor& t : tensors) {
    // Every block takes the result's type, so no block is left unwritten.
    Tensor block = t.to(first.dtype());
    if (!block.defined()) return {};
    indices[d] = TensorIndex::slice(o, o + t.shape()[d]);
    out.index(indices).copy_(block);
    o += t.shape()[d];
  }
  return std::move(out);
}

Tensor stack(const std::vector<Tensor>& tensors, int64_t dim) {
  if (tensors.empty()) {
    KLOG_ERROR("stack: there is no tensor to join.");
    return {};
  }
  const Tensor& first = tensors.front();
  if (!first.defined() || dim < 0 || dim > first.ndim()) {
    KLOG_ERROR("stack: dim ({}) is out of range (ndim: {})", dim, first.ndim());
    return {};
  }
  std::vector<Tensor> parts;
  for (const Tensor& t : tensors) {
    if (!t.defined()) {
      KLOG_ERROR("stack: a tensor to join is undefined.");
      return {};
    }
    // A block of another rank would have its size-1 dimension elsewhere.
    if (t.ndim() != first.ndim()) {
      KLOG_ERROR("stack: tensor of shape {} cannot be stacked with shape {}", shapeText(t.shape()),
                 shapeText(first.shape()));
      return {};
    }
    parts.push_back(t.unsqueeze(dim));
  }
  return cat(parts, dim);
}

std::vector<Tensor> split(const Tensor& tensor, const std::vector<int64_t>& sizes, int64_t dim) {
  if (!tensor.defined()) {
    KLOG_ERROR("split: the tensor is undefined.");
    return {};
  }
  if (dim >= tensor.ndim()) {
    KLOG_ERROR("Dim ({})is too big. Ndim is {}.", dim, tensor.ndim());
    return {};
  }
  if (dim < 0) {
    KLOG_ERROR("split: dim ({}) is negative.", dim);
    return {};
  }
  const int64_t size = tensor.shape()[static_cast<size_t>(dim)];
  int64_t sum = 0;
  for (int64_t s : sizes) {
    if (s < 0) {
      KLOG_ERROR("split: split size ({}) is negative.", s);
      return {};
    }
    // A sum past int64 is past the dimension too; its wrapped value is no figure to show.
    const std::optional<int64_t> next = checkedAdd(sum, s);
    if (!next) {
      KLOG_ERROR("Sum of split_size does not fit 64 bits: it exceeds tensor's size ({}).", size);
      return {};
    }
    sum = *next;
  }
  if (sum != size) {
    KLOG_ERROR("Sum of split_size ({}) does not equal to tensor's size ({}).", sum, size);
    // Pieces short of the end are still valid views; pieces past it are not.
    if (sum > size) return {};
  }
  std::vector<TensorIndex> indices(tensor.shape().size());
  std::vector<Tensor> pieces;
  // Every o + s below is at most the sum, so within the dimension.
  int64_t o = 0;
  for (int64_t s : sizes) {
    indices[static_cast<size_t>(dim)] = TensorIndex::slice(o, o + s);
    pieces.push_back(tensor.index(indices));
    o += s;
  }
  return pieces;
}

}  // namespace kestrane::halvex
