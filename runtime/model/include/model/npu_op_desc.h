#pragma once

// One NPU operation of a model: one bundle of the model file, with the IO
// records that inference, buffer acquisition, reposition and the cache
// operations read, the per-core device addresses the engine needs, and the
// sequence-length rules that turn the shapes of one request into per-IO
// multipliers and device parameters.
//
// Built once at model creation; afterwards only the model description writes
// it (names and output shapes, describe()). Every other member is read-only
// and safe to call from any number of threads at once.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataplane/host_batch.h"
#include "dataplane/io_record.h"
#include "engine/engine_model.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "kestrane/type.h"
#include "zrb/records.h"

namespace kestrane {

namespace hwdep {
class Platform;
}

// Device addresses of one core of an operation.
struct CoreRegisters {
  uint64_t status = 0;
  uint64_t control = 0;
  uint64_t ddr = 0;
};

// The core a designation places its data on: its own core, or the target
// core when the file gives none.
CoreId designationCore(const zrb::Designation& designation);
// The 32-bit core key cluster | core, as messages print it.
uint32_t coreKey(CoreId core);

// The maximum sequence size of entry `index`; -1 gives 0. Any other index
// outside the list logs one line and gives 0 with Model_BrokenZRB.
int32_t getMaxSequenceSize(const std::vector<zrb::SequenceLength>& lengths, int32_t index, StatusCode& status);
// The largest maximum cache size among the cache-flagged entries; 0 when none.
uint32_t maxCacheSize(const std::vector<zrb::SequenceLength>& lengths);
// OK, or Model_BrokenZRB after the line of the first inconsistency.
StatusCode checkSequenceLengthValid(const zrb::Bundle& bundle);
// Input scales are stored inverted (the multiplier from real to quantised).
Scale readScale(const std::vector<float>& list, bool perChannel, bool isInput, StatusCode& status);

// Element count of the largest NPU buffer of an input or output: the largest
// of its sequence-dependent size (maximum sequence sizes, channels rounded up
// to `align`), its reshaped size and the buffer acquired for the largest
// sequence multipliers. Sizes device areas generously.
uint64_t ioAreaElements(const zrb::IoEntry& entry, const std::vector<zrb::SequenceLength>& lengths, uint32_t align,
                        StatusCode& status);
// Bytes per NPU element: 4, 2, or 1 for any other type.
uint32_t npuElementBytes(uint8_t npuDtype);
// The channel granules of a bundle's inputs and outputs: the first core
// record's alignment words (0 or 1, and below 2, mean the default), else the
// hardware description's defaults. A granule of 0, or one past 32 bits,
// lays out no channel: Model_BrokenZRB after one line.
StatusCode channelGranules(const hwdep::Platform& platform, const zrb::Bundle& bundle, uint32_t& input,
                           uint32_t& output);

class NPUOpDesc {
 public:
  // `bundle` must outlive the operation (it lives in the model object).
  NPUOpDesc(const zrb::Bundle& bundle, StatusCode& status);

  const zrb::Bundle& bundle() const { return *bundle_; }
  const std::vector<IORecord>& inputs() const { return inputs_; }
  const std::vector<IORecord>& outputs() const { return outputs_; }
  const std::vector<std::string>& inputNames() const { return inputNames_; }
  const std::vector<std::string>& outputNames() const { return outputNames_; }
  const std::vector<std::vector<int64_t>>& outputShapes() const { return outputShapes_; }
  const std::map<CoreId, CoreRegisters>& coreRegisters() const { return coreRegisters_; }
  const std::map<CoreId, std::vector<RmemEntry>>& rmemEntries() const { return rmemEntries_; }
  const std::vector<zrb::CacheDesignation>& cacheDesignations() const { return cacheDesignations_; }
  // Whether inputs / outputs go through the channel interleave: the last
  // record's layout kind is not 1.
  bool inputReposition() const { return inputReposition_; }
  bool outputReposition() const { return outputReposition_; }
  // The IO type of every input / output (the file's IO kind).
  const std::vector<uint8_t>& inputIoTypes() const { return inputIoTypes_; }
  const std::vector<uint8_t>& outputIoTypes() const { return outputIoTypes_; }
  uint32_t maxCacheSize() const { return maxCacheSize_; }

  // The largest sequence multipliers {h, w, c} that the device area of input
  // or output i was sized for: the maximum sequence size of the axis's
  // length, 1 for an axis without one.
  const SeqLensHWC& maxMultipliers(bool isInput, size_t i) const {
    return (isInput ? inputBounds_ : outputBounds_)[i];
  }
  // Every request's multipliers, whatever form the request takes, stay
  // within maxMultipliers: beyond them a buffer would spill out of its
  // device area. OK (also for an empty list, which means 1, 1, 1), or
  // Model_ShapeMismatched and one line naming the first multiplier beyond.
  StatusCode checkMultipliers(const std::vector<SeqLensHWC>& multipliers, bool isInput) const;

  // The index tables and copy runs of the layout-kind-0 records, which take
  // host memory in proportion to the device areas the file claims. Model
  // creation builds them once the file has passed every check that needs
  // none (the summary needs none); validateIORecord then refuses a record
  // left without tables or whose table puts two host elements on one
  // position. The same pass reduces stored copy runs that overlap to their
  // disjoint form, once they are known to be bounded.
  void buildIndexTables();

  // Written by the model description.
  void describe(std::vector<std::string> inputNames, std::vector<std::string> outputNames,
                std::vector<std::vector<int64_t>> outputShapes);

  // Per-request sequence lengths for input shapes of 3 dimensions (4 with
  // the batch first). Work per request is proportional to the sequence
  // lengths' own lists, never inputs times RmemIds.
  SeqLenInfo acquireSeqLenInfo(const std::vector<std::vector<int64_t>>& shapes, MemoryFormat format, int32_t cacheSize,
                               StatusCode& status) const;
  // The same into `info`, whose lists keep their storage (a request's
  // reused record allocates nothing).
  void acquireSeqLenInfo(const std::vector<std::vector<int64_t>>& shapes, MemoryFormat format, int32_t cacheSize,
                         SeqLenInfo& info, StatusCode& status) const;
  SeqLenInfo acquireSeqLenInfoForTensors(const std::vector<halvex::Tensor>& inputs, MemoryFormat format,
                                         int32_t cacheSize, StatusCode& status) const;

  // Registers and IO addresses of a core group. Empty (after an error line)
  // when a core is not one of the operation's cores or an IO has no
  // placement on an address core.
  IoPlan buildIoPlan(CoreMode mode, const std::vector<CoreId>& cores, const std::vector<CoreId>& modelCores,
                     CoreId mainCore) const;

  // Sizes a request's outputs for `batch` items of the original output
  // shapes times `outputSeqlens`: 4-D {batch, h, w, c} ({batch, c, h, w}
  // for CHW) arrays when is4D, else 3-D; lists of the 4-D element count.
  // An array of exactly that shape with storage is written in place,
  // others get new storage. `tensors` become 4-D views of them. OK,
  // Model_UnexpectedMemoryFormat or BadAlloc.
  StatusCode acquireOutputData(std::vector<NDArray<float>>& out, std::vector<halvex::Tensor>& tensors, int32_t batch,
                               bool is4D, MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  StatusCode acquireOutputData(std::vector<NDArray<int8_t>>& out, std::vector<halvex::Tensor>& tensors, int32_t batch,
                               bool is4D, MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  StatusCode acquireOutputData(std::vector<std::vector<float>>& out, std::vector<halvex::Tensor>& tensors,
                               int32_t batch, MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  StatusCode acquireOutputData(std::vector<std::vector<int8_t>>& out, std::vector<halvex::Tensor>& tensors,
                               int32_t batch, MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  // The same with host-batch views (nothing allocated beyond new storage).
  StatusCode acquireOutputData(std::vector<NDArray<float>>& out, std::vector<HostBatch>& views, int32_t batch,
                               bool is4D, MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  StatusCode acquireOutputData(std::vector<NDArray<int8_t>>& out, std::vector<HostBatch>& views, int32_t batch,
                               bool is4D, MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  StatusCode acquireOutputData(std::vector<std::vector<float>>& out, std::vector<HostBatch>& views, int32_t batch,
                               MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;
  StatusCode acquireOutputData(std::vector<std::vector<int8_t>>& out, std::vector<HostBatch>& views, int32_t batch,
                               MemoryFormat format, const std::vector<SeqLensHWC>& outputSeqlens) const;

  // One zero-filled tensor per output of shape {batch, h, w, c} ({batch, c,
  // h, w} for CHW), each dimension times its multiplier when given.
  std::vector<halvex::Tensor> makeOutputTensors(int32_t batch, const std::vector<SeqLensHWC>& multipliers,
                                                halvex::DType dtype, MemoryFormat format) const;
  std::vector<halvex::Tensor> makeOutputTensors(int32_t batch, halvex::DType dtype, MemoryFormat format) const {
    return makeOutputTensors(batch, {}, dtype, format);
  }

 private:
  // What one request does for one sequence length, decided once: shared
  // RmemId lists are written only by the last length that holds them, and
  // the cache overflow test of the others needs only the list's distinct
  // (slope, offset) pairs.
  struct OverflowProbe {
    float slope = 0;
    float offset = 0;
  };
  struct SequencePlan {
    bool writeSequenceIds = true;
    bool writeCacheIds = true;
    // Shared by the lengths that share one cache list; never null.
    std::shared_ptr<const std::vector<OverflowProbe>> overflowProbes = std::make_shared<std::vector<OverflowProbe>>();
  };

  StatusCode buildCoreRegisters();
  StatusCode buildRecords(bool isInput, uint32_t granule);
  // The bundle's core entries, each core once (its first entry).
  std::vector<const zrb::CoreConfig*> distinctCores() const;
  StatusCode buildRmemEntries();
  StatusCode buildDefaultCache(uint32_t inputGranule);
  void planSequenceLengths();
  bool sequenceLength(size_t s, const std::vector<SeqLensHWC>& inputSeqlens, int32_t cacheSize, int64_t& length,
                      StatusCode& status) const;

  const zrb::Bundle* bundle_ = nullptr;
  std::vector<IORecord> inputs_;
  std::vector<IORecord> outputs_;
  std::vector<std::vector<int64_t>> outputShapes_;
  std::vector<std::string> inputNames_;
  std::vector<std::string> outputNames_;
  std::map<CoreId, CoreRegisters> coreRegisters_;
  std::map<CoreId, std::vector<RmemEntry>> rmemEntries_;
  std::vector<zrb::CacheDesignation> cacheDesignations_;
  bool inputReposition_ = false;
  bool outputReposition_ = false;
  std::vector<uint8_t> inputIoTypes_;
  std::vector<uint8_t> outputIoTypes_;
  std::vector<SeqLensHWC> inputBounds_;
  std::vector<SeqLensHWC> outputBounds_;
  uint32_t maxCacheSize_ = 0;
  std::vector<SequencePlan> sequencePlans_;
};

}  // namespace kestrane
