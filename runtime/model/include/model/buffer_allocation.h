#pragma once

// Host DMA buffers in NPU layout for the inputs or outputs of one NPU
// operation, taken from the model's memory pool: the size rule of one item
// and the acquisition of a whole batch.

#include <cstdint>
#include <vector>

#include "dataplane/io_record.h"
#include "engine/acc_impl.h"
#include "engine/memory_pool.h"
#include "kestrane/status.h"
#include "kestrane/type.h"
#include "model/npu_op_desc.h"

namespace kestrane {

using ModelMemoryPool = MemoryPool<AcceleratorImpl>;

// Bytes of the NPU buffer of one item of `record` with the sequence
// multipliers {h, w, c} (empty: 1, 1, 1): channels times the multiplier,
// rounded up to the channel granule when the record has a channel maximum,
// times the multiplied width and height, times the NPU element size.
// Computed in 64 bits, so large multipliers cannot wrap to a small buffer.
uint64_t npuBufferBytes(const IORecord& record, const SeqLensHWC& seqlens);

// One list per input (isInput) or output record of `op`, each with `batch`
// buffers from `pool`. `seqlens_hwc` is empty or holds one entry of three
// counts of at least 1 per record, within the operation's maxMultipliers;
// anything else is Model_ShapeMismatched.
// On a failure every buffer this call took is back in the pool and the
// result is empty.
std::vector<std::vector<Buffer>> acquireBufferss(ModelMemoryPool& pool, const NPUOpDesc& op, int batch,
                                                 const std::vector<std::vector<int>>& seqlens_hwc, bool isInput,
                                                 StatusCode& status);
// The same with the multipliers of a SeqLenInfo.
std::vector<std::vector<Buffer>> acquireBufferss(ModelMemoryPool& pool, const NPUOpDesc& op, int batch,
                                                 const std::vector<SeqLensHWC>& seqlens_hwc, bool isInput,
                                                 StatusCode& status);
// The same into `lists` (emptied first), whose lists keep their storage
// when they are reused; the result is the status. On a failure `lists` is
// empty.
StatusCode acquireBufferss(ModelMemoryPool& pool, const NPUOpDesc& op, int batch,
                           const std::vector<SeqLensHWC>& seqlens_hwc, bool isInput,
                           std::vector<std::vector<Buffer>>& lists);
// Returns every buffer of every list to the pool and empties the lists,
// keeping them (and their storage) for the next request.
void releaseBufferss(ModelMemoryPool& pool, std::vector<std::vector<Buffer>>& lists);

// Returns the buffers of both list sets to the pool when it goes, on every
// way out of a request.
class ReleasedOnExit {
 public:
  ReleasedOnExit(ModelMemoryPool& pool, std::vector<std::vector<Buffer>>& inputs,
                 std::vector<std::vector<Buffer>>& outputs)
      : pool_(pool), inputs_(inputs), outputs_(outputs) {}
  ~ReleasedOnExit() {
    releaseBufferss(pool_, inputs_);
    releaseBufferss(pool_, outputs_);
  }
  ReleasedOnExit(const ReleasedOnExit&) = delete;
  ReleasedOnExit& operator=(const ReleasedOnExit&) = delete;

 private:
  ModelMemoryPool& pool_;
  std::vector<std::vector<Buffer>>& inputs_;
  std::vector<std::vector<Buffer>>& outputs_;
};

}  // namespace kestrane
