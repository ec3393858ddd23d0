#include "dataplane/buffer_tensor_conversion.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/log.h"
#include "core/trace_scope.h"
#include "dataplane/reposition.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;

namespace {

// Elements of one batch item: the original shape times the sequence
// multipliers (missing multipliers count as 1).
int64_t itemElements(const IORecord& record, const SeqLensHWC& seqlens) {
  int64_t n = static_cast<int64_t>(record.info.original_size());
  for (size_t i = 0; i < 3; ++i) n *= i < seqlens.size() ? seqlens[i] : 1;
  return n;
}

// The dense items must lie inside the tensor: a shape that slipped past the
// caller's checks must not let a conversion run off its storage.
template <typename Source>
bool holdsItems(const Source& tensor, size_t items, int64_t itemSize, const std::string& name) {
  if (tensor.numel() >= static_cast<int64_t>(items) * itemSize) return true;
  KLOG_ERROR("\"{}\": tensor of {} elements cannot hold {} items of {} elements", name, tensor.numel(), items,
             itemSize);
  return false;
}

// One dimension of a 4-D output against its original size: equal, or a
// whole multiple where the record has a sequence maximum.
bool dimensionFits(int64_t dim, uint32_t original, uint32_t maximum) {
  if (dim == original) return true;
  return maximum != 0 && original != 0 && dim > 0 && dim % original == 0;
}

bool isDense(const Tensor& tensor) { return tensor.isContiguous(); }
bool isDense(const HostBatch&) { return true; }

template <typename Source>
StatusCode toBuffers(std::vector<Buffer>& buffers, const Source& tensor, const std::string& name,
                     const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens) {
  TraceScope trace("convert to buffer");
  const size_t n = buffers.size();
  const int64_t first = tensor.shape().empty() ? 0 : tensor.shape()[0];
  if (first != static_cast<int64_t>(n)) {
    KLOG_ERROR("Batch size does not match, {} vs. {}", n, first);
    return StatusCode::Model_ShapeMismatched;
  }
  // No item, nothing to convert: whatever the tensor's dtype or layout.
  if (n == 0) return StatusCode::OK;
  if (tensor.dtype() != DType::Int8 && tensor.dtype() != DType::Float32) {
    KLOG_ERROR("\"{}\": unexpected dtype, {}", name, static_cast<int>(tensor.dtype()));
    return StatusCode::Model_DtypeMismatched;
  }
  if (tensor.dtype() == DType::Int8) {
    const StatusCode status = checkInt8Layout(record, name);
    if (status != StatusCode::OK) return status;
  }
  const int64_t itemSize = itemElements(record, seqlens);
  if (!holdsItems(tensor, n, itemSize, name)) return StatusCode::Model_ShapeMismatched;
  auto convert = [&](const char* base) {
    StatusCode status = StatusCode::OK;
    for (size_t k = 0; k < n; ++k) {
      const size_t offset = k * static_cast<size_t>(itemSize);
      if (tensor.dtype() == DType::Int8) {
        status = toNPULayoutInt8(buffers[k].data, base + offset, record, format, seqlens);
      } else {
        status = repositionToNPU(buffers[k].data, reinterpret_cast<const float*>(base) + offset, record, format,
                                 seqlens);
      }
    }
    return status;
  };
  if constexpr (std::is_same_v<Source, Tensor>) {
    // A tensor that is not row-major goes through a dense copy.
    const Tensor dense = tensor.contiguous();
    if (!dense.defined()) return StatusCode::BadAlloc;
    return convert(dense.basePtr());
  } else {
    return convert(tensor.basePtr());  // dense already
  }
}

template <typename Target>
StatusCode fromBuffers(const Target& tensor, const std::vector<Buffer>& buffers, const std::string& name,
                       const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens) {
  TraceScope trace("convert from buffer");
  const size_t n = buffers.size();
  const halvex::IntArrayRef s = tensor.shape();
  const BufferInfo& info = record.info;
  MemoryFormat use = format;
  if (s.size() == 4) {
    if (s[0] != static_cast<int64_t>(n)) {
      KLOG_ERROR("Batch size does not match, {} vs. {}", n, s[0]);
      return StatusCode::Model_ShapeMismatched;
    }
    bool fits = false;
    if (format == MemoryFormat::HWC) {
      fits = dimensionFits(s[1], info.original_height, info.max_height) &&
             dimensionFits(s[2], info.original_width, info.max_width) &&
             dimensionFits(s[3], info.original_channel, info.max_channel);
    } else if (format == MemoryFormat::CHW) {
      fits = dimensionFits(s[1], info.original_channel, info.max_channel) &&
             dimensionFits(s[2], info.original_height, info.max_height) &&
             dimensionFits(s[3], info.original_width, info.max_width);
    }
    if (!fits) {
      KLOG_ERROR(
          "Shape of \"{}\" is neither HWC nor CHW. ([{}, {}, {}] vs. [{}, {}, {}]) or mismatch with input's memory "
          "format, {}.",
          name, s[1], s[2], s[3], info.original_height, info.original_width, info.original_channel,
          static_cast<int>(format));
      return StatusCode::Model_ShapeMismatched;
    }
  } else {
    if (n != 1) KLOG_ERROR("Buf batch size is not 1, even though tensor shape has no batch dim");
    KLOG_INFO("Ndim of \"{}\" is not 4. Assume mem_fmt is channel first.", name);
    use = MemoryFormat::CHW;
  }
  if (n == 0) return StatusCode::InternalError;
  if (tensor.dtype() != DType::Int8 && tensor.dtype() != DType::Float32) {
    KLOG_ERROR("Unexpected dtype, {}", static_cast<int>(tensor.dtype()));
    return StatusCode::Model_DtypeMismatched;
  }
  if (tensor.dtype() == DType::Int8) {
    const StatusCode status = checkInt8Layout(record, name);
    if (status != StatusCode::OK) return status;
  }
  // Items are written densely from the tensor's base element.
  if (!isDense(tensor)) {
    KLOG_ERROR("\"{}\": output tensor is not dense", name);
    return StatusCode::InternalError;
  }
  const int64_t itemSize = itemElements(record, seqlens);
  if (!holdsItems(tensor, n, itemSize, name)) return StatusCode::Model_ShapeMismatched;

  char* base = tensor.basePtr();
  for (size_t k = 0; k < n; ++k) {
    const size_t offset = k * static_cast<size_t>(itemSize);
    const StatusCode status =
        tensor.dtype() == DType::Int8
            ? fromNPULayoutInt8(base + offset, buffers[k].data, record, use, seqlens)
            : repositionFromNPU(reinterpret_cast<float*>(base) + offset, buffers[k].data, record, use, seqlens);
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

}  // namespace

StatusCode tensorToBuffers(std::vector<Buffer>& buffers, const Tensor& tensor, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens) {
  return toBuffers(buffers, tensor, name, record, format, seqlens);
}

StatusCode tensorToBuffers(std::vector<Buffer>& buffers, const HostBatch& batch, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens) {
  return toBuffers(buffers, batch, name, record, format, seqlens);
}

StatusCode buffersToTensor(Tensor& tensor, const std::vector<Buffer>& buffers, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens) {
  return fromBuffers(tensor, buffers, name, record, format, seqlens);
}

StatusCode buffersToTensor(const HostBatch& batch, const std::vector<Buffer>& buffers, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens) {
  return fromBuffers(batch, buffers, name, record, format, seqlens);
}

}  // namespace kestrane
