// Sizing a request's output arrays and lists, with tensors that view them.

#include <algorithm>
#include <limits>
#include <new>
#include <type_traits>

#include "core/log.h"
#include "core/trace_scope.h"
#include "model/npu_op_desc.h"
#include "platform/host_allowance.h"

namespace kestrane {

namespace {

template <typename T>
constexpr halvex::DType dtypeOf() {
  return std::is_same_v<T, int8_t> ? halvex::DType::Int8 : halvex::DType::Float32;
}

// The 4-D shape {batch, h, w, c} ({batch, c, h, w} for CHW) of output o,
// dimensions times the multipliers when given; false for dimensions whose
// product leaves int64.
bool outputShape(const IORecord& record, size_t o, MemoryFormat format, const std::vector<SeqLensHWC>& multipliers,
                 int32_t batch, int64_t (&full)[4], StatusCode& status) {
  const BufferInfo& info = record.info;
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
  full[0] = batch;
  if (format == MemoryFormat::HWC) {
    full[1] = h, full[2] = w, full[3] = c;
  } else {
    full[1] = c, full[2] = h, full[3] = w;
  }
  return true;
}

// Every output's shape can be made for the format: OK, or the failure of
// the first that cannot, before anything is sized.
StatusCode checkOutputShapes(const std::vector<IORecord>& records, MemoryFormat format,
                             const std::vector<SeqLensHWC>& multipliers, int32_t batch) {
  if (format != MemoryFormat::HWC && format != MemoryFormat::CHW) {
    KLOG_ERROR("Invalid memory format: 0x{:x}", static_cast<int>(format));
    return StatusCode::Model_UnexpectedMemoryFormat;
  }
  StatusCode status = StatusCode::OK;
  int64_t full[4];
  for (size_t o = 0; o < records.size(); ++o)
    if (!outputShape(records[o], o, format, multipliers, batch, full, status)) return status;
  return StatusCode::OK;
}

int64_t elements(halvex::IntArrayRef shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

// A view of output storage as the 4-D batch: a tensor or a host batch.
void setView(halvex::Tensor& view, void* data, halvex::DType dtype, halvex::IntArrayRef shape) {
  view = halvex::Tensor(data, shape, dtype);
}
void setView(HostBatch& view, void* data, halvex::DType dtype, halvex::IntArrayRef shape) {
  view = HostBatch(data, dtype, shape);
}

template <typename T, typename View>
StatusCode arrays(const std::vector<IORecord>& records, std::vector<NDArray<T>>& out, std::vector<View>& views,
                  int32_t batch, bool is4D, MemoryFormat format, const std::vector<SeqLensHWC>& multipliers) {
  TraceScope trace("acquire output data");
  StatusCode status = checkOutputShapes(records, format, multipliers, batch);
  if (status != StatusCode::OK) return status;
  out.resize(records.size());
  views.resize(records.size());
  for (size_t o = 0; o < records.size(); ++o) {
    int64_t full[4];
    outputShape(records[o], o, format, multipliers, batch, full, status);
    const halvex::IntArrayRef target = is4D ? halvex::IntArrayRef(full, 4) : halvex::IntArrayRef(full + 1, 3);
    const int64_t n = elements(target);
    NDArray<T>& array = out[o];
    // The caller's own array is written in place when it fits exactly.
    if (!std::equal(array.shape.begin(), array.shape.end(), target.begin(), target.end()) ||
        array.num_elements != n || array.ptr() == nullptr) {
      internal::NDArrayData data(n * static_cast<int64_t>(sizeof(T)), status);
      if (status != StatusCode::OK) return StatusCode::BadAlloc;
      array.data = std::move(data);
      array.num_elements = n;
      array.shape.assign(target.begin(), target.end());
    }
    setView(views[o], array.ptr(), dtypeOf<T>(), halvex::IntArrayRef(full, 4));
  }
  return StatusCode::OK;
}

template <typename T, typename View>
StatusCode lists(const std::vector<IORecord>& records, std::vector<std::vector<T>>& out, std::vector<View>& views,
                 int32_t batch, MemoryFormat format, const std::vector<SeqLensHWC>& multipliers) {
  TraceScope trace("acquire output data");
  StatusCode status = checkOutputShapes(records, format, multipliers, batch);
  if (status != StatusCode::OK) return status;
  try {
    out.resize(records.size());
    views.resize(records.size());
    for (size_t o = 0; o < records.size(); ++o) {
      int64_t full[4];
      outputShape(records[o], o, format, multipliers, batch, full, status);
      const auto n = static_cast<size_t>(elements(halvex::IntArrayRef(full, 4)));
      platform::takeHostAllowanceOrThrow(n * sizeof(T));
      out[o].resize(n);
      setView(views[o], out[o].data(), dtypeOf<T>(), halvex::IntArrayRef(full, 4));
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

StatusCode NPUOpDesc::acquireOutputData(std::vector<NDArray<float>>& out, std::vector<HostBatch>& views, int32_t batch,
                                        bool is4D, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return arrays(outputs_, out, views, batch, is4D, format, outputSeqlens);
}

StatusCode NPUOpDesc::acquireOutputData(std::vector<NDArray<int8_t>>& out, std::vector<HostBatch>& views,
                                        int32_t batch, bool is4D, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return arrays(outputs_, out, views, batch, is4D, format, outputSeqlens);
}

StatusCode NPUOpDesc::acquireOutputData(std::vector<std::vector<float>>& out, std::vector<HostBatch>& views,
                                        int32_t batch, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return lists(outputs_, out, views, batch, format, outputSeqlens);
}

StatusCode NPUOpDesc::acquireOutputData(std::vector<std::vector<int8_t>>& out, std::vector<HostBatch>& views,
                                        int32_t batch, MemoryFormat format,
                                        const std::vector<SeqLensHWC>& outputSeqlens) const {
  return lists(outputs_, out, views, batch, format, outputSeqlens);
}

}  // namespace kestrane
