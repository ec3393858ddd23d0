#include "model/buffer_allocation.h"

#include <new>

#include "core/log.h"

namespace kestrane {

uint64_t npuBufferBytes(const IORecord& record, const SeqLensHWC& seqlens) {
  const BufferInfo& info = record.info;
  const uint64_t sh = seqlens.size() == 3 ? seqlens[0] : 1, sw = seqlens.size() == 3 ? seqlens[1] : 1,
                 sc = seqlens.size() == 3 ? seqlens[2] : 1;
  uint64_t channels = sc * info.channel;
  if (info.max_channel != 0 && record.channelGranule != 0) {
    const uint64_t g = record.channelGranule;
    channels = (channels + g - 1) / g * g;
  }
  return channels * (sw * info.width) * (sh * info.height) * npuElementBytes(record.npuDtype);
}

std::vector<std::vector<Buffer>> acquireBufferss(ModelMemoryPool& pool, const NPUOpDesc& op, int batch,
                                                 const std::vector<SeqLensHWC>& seqlens_hwc, bool isInput,
                                                 StatusCode& status) {
  std::vector<std::vector<Buffer>> lists;
  status = acquireBufferss(pool, op, batch, seqlens_hwc, isInput, lists);
  return lists;
}

StatusCode acquireBufferss(ModelMemoryPool& pool, const NPUOpDesc& op, int batch,
                           const std::vector<SeqLensHWC>& seqlens_hwc, bool isInput,
                           std::vector<std::vector<Buffer>>& lists) {
  const std::vector<IORecord>& records = isInput ? op.inputs() : op.outputs();
  auto fail = [&](StatusCode status) {
    releaseBufferss(pool, lists);
    lists.clear();
    return status;
  };
  try {
    lists.resize(records.size());
    for (auto& list : lists) list.clear();
    if (!seqlens_hwc.empty() && seqlens_hwc.size() != records.size()) {
      KLOG_ERROR("Failed to acquire a Buffer - seqlens_hwc has {} entries for {} {}.", seqlens_hwc.size(),
                 records.size(), isInput ? "inputs" : "outputs");
      return fail(StatusCode::Model_ShapeMismatched);
    }
    StatusCode status = op.checkMultipliers(seqlens_hwc, isInput);
    if (status != StatusCode::OK) return fail(status);
    for (size_t i = 0; i < records.size(); ++i) {
      static const SeqLensHWC kOnes{1, 1, 1};
      const SeqLensHWC& m = seqlens_hwc.empty() ? kOnes : seqlens_hwc[i];
      if (m.size() != 3) {
        KLOG_ERROR("Failed to acquire a Buffer - seqlens_hwc[{}].size() != 3 (actual: {}).", i, m.size());
        return fail(StatusCode::Model_ShapeMismatched);
      }
      const uint64_t bytes = npuBufferBytes(records[i], m);
      // Room first: a buffer taken from the pool is always in a list.
      if (batch > 0) lists[i].reserve(static_cast<size_t>(batch));
      for (int k = 0; k < batch; ++k) {
        Buffer buf;
        const StatusCode taken = pool.allocateHostMemory(bytes, buf);
        if (taken != StatusCode::OK) return fail(taken);
        lists[i].push_back(buf);
      }
    }
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to acquire a Buffer - out of host memory.");
    return fail(StatusCode::BadAlloc);
  }
  return StatusCode::OK;
}

void releaseBufferss(ModelMemoryPool& pool, std::vector<std::vector<Buffer>>& lists) {
  for (auto& list : lists) {
    for (const Buffer& buf : list) pool.freeHostMemory(buf);
    list.clear();
  }
}

std::vector<std::vector<Buffer>> acquireBufferss(ModelMemoryPool& pool, const NPUOpDesc& op, int batch,
                                                 const std::vector<std::vector<int>>& seqlens_hwc, bool isInput,
                                                 StatusCode& status) {
  std::vector<SeqLensHWC> multipliers;
  try {
    multipliers.reserve(seqlens_hwc.size());
    for (size_t i = 0; i < seqlens_hwc.size(); ++i) {
      const std::vector<int>& entry = seqlens_hwc[i];
      if (entry.size() != 3) {
        KLOG_ERROR("Failed to acquire a Buffer - seqlens_hwc[{}].size() != 3 (actual: {}).", i, entry.size());
        status = StatusCode::Model_ShapeMismatched;
        return {};
      }
      // A count below 1 would size the buffer as nothing, or as a wrapped
      // giant; neither holds an item.
      if (entry[0] < 1 || entry[1] < 1 || entry[2] < 1) {
        KLOG_ERROR("Failed to acquire a Buffer - seqlens_hwc[{}] = [{}, {}, {}] holds a count below 1.", i, entry[0],
                   entry[1], entry[2]);
        status = StatusCode::Model_ShapeMismatched;
        return {};
      }
      multipliers.push_back({static_cast<uint32_t>(entry[0]), static_cast<uint32_t>(entry[1]),
                             static_cast<uint32_t>(entry[2])});
    }
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to acquire a Buffer - out of host memory.");
    status = StatusCode::BadAlloc;
    return {};
  }
  return acquireBufferss(pool, op, batch, multipliers, isInput, status);
}

}  // namespace kestrane
