// Sizing a request's output arrays and lists, with tensors that view them.

#include <limits>
#include <new>
#include <type_traits>

#include "model/npu_op_desc.h"
#include "runtime/log.h"
#include "runtime/trace_scope.h"

namespace kestrane {

namespace {

template <typename T>
constexpr halvex::DType dtypeOf() {
  return std::is_same_v<T, int8_t> ? halvex::DType::Int8 : halvex::DType::Float32;
}

// The 3-D shape of every output for the format; false for a format that is
// neither HWC nor CHW, or dimensions whose product leaves int64.
bool outputShapes(const std::vector<IORecord>& records, MemoryFormat format,
                  const std::vector<SeqLensHWC>& multipliers, int32_t batch,
                  std::vector<std::vector<int64_t>>& shapes, StatusCode& status) {
  if (format != MemoryFormat::HWC && format != MemoryFormat::CHW) {
    KLOG_ERROR("Invalid memory format: 0x{:x}", static_cast<int>(format));
    status = StatusCode::Model_UnexpectedMemoryFormat;
    return false;
  }
  shapes.clear();
  for (size_t o = 0; o < records.size(); ++o) {
    const BufferInfo& info = records[o].info;
    int64_t h = info.original_height, w = info.original_width, c = info.original_channel;
    if (o < multipliers.size() && multipliers[o].size() == 3) {
      h *= multipliers[o][0];
      w *= multipliers[o][1];
      c *= multipliers[o][2];
    }
    // Each factor is below 2^64 / 2^32; their product with the batch must
    // still count elements.
    const long double n = static_cast<long double>(h) * w * c * std::max(batch, 1);
    if (n > static_cast<long double>(std::numeric_limits<int64_t>::max() / 4)) {
      KLOG_ERROR("Output {} of {} x {} x {} elements per item is too large.", o, h, w, c);
      status = StatusCode::BadAlloc;
      return false;
    }
    shapes.push_back(format == MemoryFormat::HWC ? std::vector<int64_t>{h, w, c} : std::vector<int64_t>{c, h, w});
  }
  status = StatusCode::OK;
  return true;
}

std::vector<int64_t> withBatch(int32_t batch, const std::vector<int64_t>& shape) {
  std::vector<int64_t> full{batch};
  full.insert(full.end(), shape.begin(), shape.end());
  return full;
}

int64_t elements(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

template <typename T>
StatusCode arrays(const std::vector<IORecord>& records, std::vector<NDArray<T>>& out,
                  std::vector<halvex::Tensor>& tensors, int32_t batch, bool is4D, MemoryFormat format,
                  const std::vector<SeqLensHWC>& multipliers) {
  TraceScope trace("acquire output data");
  std::vector<std::vector<int64_t>> shapes;
  StatusCode status = StatusCode::OK;
  if (!outputShapes(records, format, multipliers, batch, shapes, status)) return status;
  out.resize(shapes.size());
  tensors.resize(shapes.size());
  for (size_t o = 0; o < shapes.size(); ++o) {
    const std::vector<int64_t> full = withBatch(batch, shapes[o]);
    const std::vector<int64_t>& target = is4D ? full : shapes[o];
    const int64_t n = elements(target);
    NDArray<T>& array = out[o];
    // The caller's own array is written in place when it fits exactly.
    if (array.shape != target || array.num_elements != n || array.ptr() == nullptr) {
      internal::NDArrayData data(n * static_cast<int64_t>(sizeof(T)), status);
      if (status != StatusCode::OK) return StatusCode::BadAlloc;
      array.data = std::move(data);
      array.num_elements = n;
      array.shape = target;
    }
    tensors[o] = halvex::Tensor(array.ptr(), full, dtypeOf<T>());
  }
  return StatusCode::OK;
}

template <typename T>
StatusCode lists(const std::vector<IORecord>& records, std::vector<std::vector<T>>& out,
                 std::vector<halvex::Tensor>& tensors, int32_t batch, MemoryFormat format,
                 const std::vector<SeqLensHWC>& multipliers) {
  TraceScope trace("acquire output data");
  std::vector<std::vector<int64_t>> shapes;
  StatusCode status = StatusCode::OK;
  if (!outputShapes(records, format, multipliers, batch, shapes, status)) return status;
  try {
    out.resize(shapes.size());
    tensors.resize(shapes.size());
    for (size_t o = 0; o < shapes.size(); ++o) {
      const std::vector<int64_t> full = withBatch(batch, shapes[o]);
      out[o].resize(static_cast<size_t>(elements(full)));
      tensors[o] = halvex::Tensor(out[o].data(), full, dtypeOf<T>());
    }
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to allocate the output lists.");
    return StatusCode::BadAlloc;
  }
  return StatusCode::OK;
}

}  // namespace

StatusCode NPUOpDesc::acquireOutputData(std::vector<NDArray<float>>& out, std::vector<halvex::Tensor>& tensors,
                                        int32_t batch, bool is4D, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return arrays(outputs_, out, tensors, batch, is4D, format, outputSeqlens);
}

StatusCode NPUOpDesc::acquireOutputData(std::vector<NDArray<int8_t>>& out, std::vector<halvex::Tensor>& tensors,
                                        int32_t batch, bool is4D, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return arrays(outputs_, out, tensors, batch, is4D, format, outputSeqlens);
}

StatusCode NPUOpDesc::acquireOutputData(std::vector<std::vector<float>>& out, std::vector<halvex::Tensor>& tensors,
                                        int32_t batch, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return lists(outputs_, out, tensors, batch, format, outputSeqlens);
}

StatusCode NPUOpDesc::acquireOutputData(std::vector<std::vector<int8_t>>& out, std::vector<halvex::Tensor>& tensors,
                                        int32_t batch, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return lists(outputs_, out, tensors, batch, format, outputSeqlens);
}

}  // namespace kestrane
