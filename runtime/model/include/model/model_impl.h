#pragma once

// ModelImpl: one loaded model file bound to one ModelConfig. create() loads
// the file, checks it against the hardware description and the
// configuration, keeps in every bundle what belongs to the configured core
// mode, and derives what launch and inference need: one NPUOpDesc per bundle,
// one ModelDesc per variant, the input and output infos, cache records, IO
// slot offsets, target cores and latency tables. A model leaves create()
// complete and valid, or not at all.
//
// The engine reads a model through EngineModel, the asynchronous pipeline
// through PipelineModel. Creation lives in create/model_impl.cpp; under
// infer/ the engine's view in model_impl_engine.cpp, launch and disposal in
// model_impl_launch.cpp, synchronous inference in model_impl_infer.cpp, the
// buffer API in model_impl_buffer.cpp, the CPU-offload run in model_run.cpp,
// asynchronous inference and the pipeline's view in model_impl_async.cpp and
// cache operations in model_impl_cache.cpp; variant handles in
// model_variant_handle.cpp.
//
// Threads: after create() everything derived from the file is read-only and
// read by caller, pipeline and engine threads at once. The latency tables
// are written by engine workers while callers read them (atomics); memory
// handles are guarded by a mutex. Launch, disposal and requests may come
// from different threads: the state lock is a reader/writer lock whose
// readers are the requests (a CallScope each) and whose writers are launch
// and dispose, so dispose waits for the requests running and later ones
// fail with Model_NotLaunched. Target cores, the accelerator, the task
// queue and the program records change only under the writer side. Dispose
// closes the pipeline and the task queue under the reader side before it
// waits for the writer side.
// Lock order: the state lock, then the accelerator's mutex (launch and
// dispose register and unregister under it), then the memory pool's and
// the task queue's own mutexes. The engine never takes the state lock.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "async/pipeline/pipeline_model.h"
#include "engine/acc_impl.h"
#include "engine/engine_model.h"
#include "engine/memory_pool.h"
#include "engine/task_queue.h"
#include "halvex/tensor.h"
#include "kestrane/future.h"
#include "kestrane/model_config.h"
#include "kestrane/status.h"
#include "kestrane/type.h"
#include "model/cache_rearrangement.h"
#include "model/model_desc.h"
#include "model/npu_op_desc.h"
#include "model/request_scratch.h"
#include "zrb/zrb.h"

namespace kestrane {

class AsyncPipeline;
class ModelVariantHandle;

// One cache area of the model: its public description and its batch rows of
// placements.
struct CacheRecord {
  CacheInfo info;
  std::vector<zrb::CacheDesignationEntry> rows;
};

// A layer name as a file name: every "/" becomes "_".
std::string layerFileName(const std::string& name);

class ModelImpl : public EngineModel, public PipelineModel {
 public:
  // The model, or null with the failure's status (after its error lines).
  static std::unique_ptr<ModelImpl> create(const std::string& path, ModelConfig config, StatusCode& status);

  // Takes the next identifier; everything else empty. Use create().
  ModelImpl(const std::string& path, const ModelConfig& config);
  ~ModelImpl() override;
  ModelImpl(const ModelImpl&) = delete;
  ModelImpl& operator=(const ModelImpl&) = delete;

  using Shape = std::vector<int64_t>;
  using Shapes = std::vector<Shape>;

  uint32_t getIdentifier() const { return id_; }
  CoreMode getCoreMode() const { return config_.getCoreMode(); }
  // Infos of variant 0.
  const std::vector<BufferInfo>& getInputBufferInfo() const { return inputInfos_.at(0); }
  const std::vector<BufferInfo>& getOutputBufferInfo() const { return outputInfos_.at(0); }
  // Scales of the inputs of the variant's first NPU operation / the outputs
  // of its last; `variant` must be below the number of descriptions.
  std::vector<Scale> getInputScale(size_t variant) const;
  std::vector<Scale> getOutputScale(size_t variant) const;
  std::vector<CacheInfo> getCacheInfos() const;

  const zrb::ZRB& zrbModel() const { return *zrb_; }
  const std::vector<NPUOpDesc>& npuOpDescs() const { return npuOpDescs_; }
  const std::vector<ModelDesc>& modelDescs() const { return modelDescs_; }
  // Per variant: the first NPU operation's input infos, the last one's outputs.
  const std::vector<std::vector<BufferInfo>>& inputInfos() const { return inputInfos_; }
  const std::vector<std::vector<BufferInfo>>& outputInfos() const { return outputInfos_; }
  const std::vector<CacheRecord>& cacheRecords() const { return cacheRecords_; }
  bool hasSecondIoArea() const { return secondIoArea_; }
  bool isLaunched() const { return launched_.load(); }
  bool hasTargetCore(CoreId core) const;
  // The configuration with the latency tables as they are now.
  ModelConfig currentConfig() const;

  // ---- EngineModel ----
  const std::string& path() const override { return path_; }
  // The latency lists of this copy hold the values at creation; the live
  // tables are consumedLatency / finishedLatency (and currentConfig()).
  const ModelConfig& config() const override { return config_; }
  const std::vector<CoreId>& targetCores() const override { return targetCores_; }
  bool setTargetCoreIds(const std::vector<CoreId>& cores) override;
  std::vector<CoreId> singleModeCores() const override;
  std::vector<DevicePlacement> inputPlacements() const override;
  std::vector<SectionPlacement> sectionPlacements() const override;
  void setMemoryHandle(CoreId core, int32_t handle) override;
  int32_t memoryHandle(CoreId core) const override;
  StatusCode dispose() override;

  // Variants of the engine are bundles; v must be below variantCount().
  size_t variantCount() const override { return npuOpDescs_.size(); }
  const std::vector<uint64_t>& ioSlotOffsets(size_t v) const override { return ioSlotOffsets_[v]; }
  IoPlan buildIoPlan(size_t v, CoreMode mode, const std::vector<CoreId>& cores, const std::vector<CoreId>& modelCores,
                     CoreId mainCore) const override;
  const std::vector<uint8_t>& inputIoTypes(size_t v) const override { return npuOpDescs_[v].inputIoTypes(); }
  const std::vector<uint8_t>& outputIoTypes(size_t v) const override { return npuOpDescs_[v].outputIoTypes(); }
  bool inputsInterleaved(size_t v) const override { return npuOpDescs_[v].inputReposition(); }
  bool outputsInterleaved(size_t v) const override { return npuOpDescs_[v].outputReposition(); }
  // The bundle kind word is the file's bundle_word.
  uint32_t bundleKind(size_t v) const override { return npuOpDescs_[v].bundle().bundle_word; }
  const std::map<CoreId, std::vector<RmemEntry>>& rmemEntries(size_t v) const override {
    return npuOpDescs_[v].rmemEntries();
  }
  // Kind 0 with empty lists until launch fills them.
  const NPUProgram& program(size_t v) const override { return programs_[v]; }
  const SupplementaryRecord& supplementary(size_t v) const override { return supplementaries_[v]; }
  std::vector<DevicePlacement> cachePlacements(size_t v) const override;

  uint64_t consumedLatency(size_t v) const override;
  uint64_t finishedLatency(size_t v) const override;
  bool setLatency(int32_t v, uint64_t consumed, uint64_t finished) override;

  // ---- PipelineModel (model_impl_async.cpp) ----
  bool hasNpuOp(int32_t op) const override {
    return op >= 0 && static_cast<size_t>(op) < npuOpDescs_.size();
  }
  const std::vector<IORecord>& npuInputs(int32_t op) const override { return npuOp(op).inputs(); }
  const std::vector<std::string>& npuInputNames(int32_t op) const override { return npuOp(op).inputNames(); }
  const std::vector<IORecord>& npuOutputs(int32_t op) const override { return npuOp(op).outputs(); }
  const std::vector<std::string>& npuOutputNames(int32_t op) const override { return npuOp(op).outputNames(); }
  std::vector<halvex::Tensor> makeNpuOutputTensors(int32_t op, halvex::DType dtype,
                                                   MemoryFormat format) const override {
    return npuOp(op).makeOutputTensors(1, dtype, format);
  }
  std::vector<std::vector<Buffer>> acquireNpuBuffers(PipelinePool& pool, int32_t op, bool isInput,
                                                     StatusCode& status) const override;

  // ---- Launch and disposal (model_impl_launch.cpp) ----

  // Registers the model with the accelerator (cores, binaries, task queue,
  // scheduler) and reads the programs that runs reload into pool buffers.
  // A failure leaves the model created and unregistered, with no buffer out.
  StatusCode launch(AcceleratorImpl* accelerator);
  // (dispose() above: the reverse; waits for the requests running.)
  StatusCode initializeNPUBinBuffers();
  StatusCode initializeSupplementaryBuffers();
  // Return the launch-time program buffers to the pool; the records stay,
  // as kind 0 with empty lists.
  void freeNPUBinBuffers();
  void freeSupplementaryBuffers();
  // Returns the zeros the pieces of sections without payload send from.
  void freeZeroBlock();
  // Gives back what a launch got, under the state lock: the registration
  // (when `registered`), the task queue, the program buffers before the pool
  // lets go of its allocator (which would otherwise wait for them) and the
  // cores the automatic policy chose. Allocates nothing; a step that throws
  // all the same is logged and the steps after it still run. The
  // registration's status, else InternalError when a step threw.
  StatusCode giveBackLaunch(bool registered);

  // A request's hold on the launched state (the reader side of the state
  // lock). False when the model is not launched or is being disposed; the
  // request then fails with Model_NotLaunched. While one is held the
  // accelerator, task queue and program records stay as they are.
  class CallScope {
   public:
    explicit CallScope(const ModelImpl& model);
    explicit operator bool() const { return launched_; }

   private:
    std::shared_lock<std::shared_mutex> lock_;
    bool launched_ = false;
  };

  // Valid under a CallScope that holds.
  AcceleratorImpl* accelerator() const { return accelerator_; }
  const std::shared_ptr<TaskQueue>& taskQueue() const { return taskQueue_; }
  MemoryPool<AcceleratorImpl>& memoryPool() const { return pool_; }

  // ---- Synchronous inference (model_impl_infer.cpp) ----
  // Every form refuses a model that is not launched (Model_NotLaunched),
  // checks the request, picks the first variant whose inputs match and runs
  // it on the NPU path, or layer by layer for a variant with CPU layers.
  // `format` is HWC or CHW; `cacheSize` goes to the sequence lengths.

  // Arrays: float, int8, and int8 in with float out.
  StatusCode infer(const std::vector<NDArray<float>>& inputs, std::vector<NDArray<float>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  StatusCode infer(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<int8_t>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  StatusCode infer(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<float>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  // Raw element pointers, one shape each.
  StatusCode infer(const std::vector<float*>& inputs, const Shapes& shapes, std::vector<std::vector<float>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  StatusCode infer(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                   std::vector<std::vector<int8_t>>& outputs, MemoryFormat format, uint32_t cacheSize);
  StatusCode infer(const std::vector<int8_t*>& inputs, const Shapes& shapes, std::vector<std::vector<float>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  // Raw element pointers of `batch` items of variant 0's input shapes.
  StatusCode infer(const std::vector<float*>& inputs, int batch, std::vector<std::vector<float>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  StatusCode infer(const std::vector<int8_t*>& inputs, int batch, std::vector<std::vector<int8_t>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);
  StatusCode infer(const std::vector<int8_t*>& inputs, int batch, std::vector<std::vector<float>>& outputs,
                   MemoryFormat format, uint32_t cacheSize);

  // The variant whose inputs match (3 or 4 dimensions each, all positive,
  // one batch); valid when `status` is OK, else Model_ShapeMismatched.
  int checkInputShapesAndfindMatchingVariantIndex(const Shapes& shapes, MemoryFormat format,
                                                  StatusCode& status) const;
  // The NPU path on tensors of 3 (one item) or 4 dimensions (batch first),
  // int8 or float32: pool buffers, reposition in, the batch's tasks,
  // reposition out into `outputs` (4-D, allocated by the caller). Under a
  // CallScope.
  StatusCode inferNPU(const std::vector<halvex::Tensor>& inputs, std::vector<halvex::Tensor>& outputs,
                      int32_t npuOpIndex, MemoryFormat format, const SeqLenInfo& info);
  // The same on host batches (4-D views of the caller's arrays, outputs
  // sized already), with the request's reused lists.
  StatusCode inferNPU(const std::vector<HostBatch>& inputs, const std::vector<HostBatch>& outputs, int32_t npuOpIndex,
                      MemoryFormat format, const SeqLenInfo& info, RequestScratch& scratch);
  // Cuts the [input][item] / [output][item] lists into tasks (four items in
  // multi-core mode, else one), queues them all and waits for every task
  // queued: the buffers are free again when it returns. The first failure:
  // Model_NotAlive (a task failed), Model_NotLaunched (the queue closed,
  // before the push or while the task waited: dispose began).
  // Under a CallScope.
  StatusCode runBatched(const std::vector<std::vector<Buffer>>& inputs, const std::vector<std::vector<Buffer>>& outputs,
                        int32_t npuOpIndex, const SeqLenInfo& info);

  // ---- Buffer-level inference and the buffer API (model_impl_buffer.cpp) ----
  // Buffer lists are [input][item] / [output][item]; `variant` is below
  // getNumModelVariants(). Buffers must come from the acquire calls, sized
  // for the request's sequence lengths.

  StatusCode inferBuffer(const std::vector<std::vector<Buffer>>& inputs, std::vector<std::vector<Buffer>>& outputs,
                         const Shapes& shapes, uint32_t cacheSize);
  StatusCode inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs, std::vector<NDArray<float>>& outputs,
                                const Shapes& shapes, uint32_t cacheSize);
  StatusCode inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs,
                                std::vector<std::vector<float>>& outputs, const Shapes& shapes, uint32_t cacheSize);
  // One run of the variant's program on no input, reading `outputs` (one
  // buffer per output, at most the variant's outputs).
  StatusCode runNPUModelTest(int variant, const std::vector<Buffer>& outputs);
  StatusCode inferSpeedrun(int variant) { return runNPUModelTest(variant, {}); }
  // Buffers of the variant's first NPU operation's inputs (zero-filled) or
  // its last one's outputs; empty on failure.
  std::vector<Buffer> acquireInputBuffer(int variant, const std::vector<std::vector<int>>& seqlens) const;
  std::vector<std::vector<Buffer>> acquireInputBuffers(int variant, int batch,
                                                       const std::vector<std::vector<int>>& seqlens) const;
  std::vector<Buffer> acquireOutputBuffer(int variant, const std::vector<std::vector<int>>& seqlens) const;
  std::vector<std::vector<Buffer>> acquireOutputBuffers(int variant, int batch,
                                                        const std::vector<std::vector<int>>& seqlens) const;
  // The one item of each list; empty, the buffers back in the pool, when
  // host memory runs out.
  std::vector<Buffer> firstItems(std::vector<std::vector<Buffer>>&& lists) const;
  StatusCode releaseBuffer(std::vector<Buffer>& buffers) const;
  StatusCode releaseBuffers(std::vector<std::vector<Buffer>>& buffers) const;
  // Host float items (item j of input i at inputs[i] + j x item elements)
  // into the buffers, and back.
  StatusCode repositionInputs(int variant, const std::vector<float*>& inputs,
                              std::vector<std::vector<Buffer>>& input_bufss,
                              const std::vector<std::vector<int>>& seqlens) const;
  StatusCode repositionOutputs(int variant, const std::vector<std::vector<Buffer>>& output_bufss,
                               std::vector<float*>& outputs, const std::vector<std::vector<int>>& seqlens) const;
  StatusCode repositionOutputs(int variant, const std::vector<std::vector<Buffer>>& output_bufss,
                               std::vector<std::vector<float>>& outputs,
                               const std::vector<std::vector<int>>& seqlens) const;

  // ---- CPU-offload run (model_run.cpp) ----

  // Runs variant `variantIndex` layer by layer on HWC input tensors; on
  // success one float32 tensor per model output, else `outputs` is empty.
  // Under a CallScope.
  void runModel(std::vector<halvex::Tensor>& outputs, const std::vector<halvex::Tensor>& inputs, uint32_t cacheSize,
                int variantIndex, StatusCode* status);

  // ---- Variants (model_variant_handle.cpp) ----

  int getNumModelVariants() const { return static_cast<int>(modelDescs_.size()); }
  // Null with Model_InvalidVariantIdx (and a line) outside 0 .. count - 1.
  std::unique_ptr<ModelVariantHandle> getModelVariantHandle(int variant, StatusCode& status) const;
  // `variant` below getNumModelVariants().
  const Shapes& getModelInputShape(int variant) const { return modelDescs_[static_cast<size_t>(variant)].inputShapes; }
  const Shapes& getModelOutputShape(int variant) const {
    return modelDescs_[static_cast<size_t>(variant)].outputShapes;
  }
  const std::vector<BufferInfo>& getInputBufferInfo(int variant) const { return inputInfos_[static_cast<size_t>(variant)]; }
  const std::vector<BufferInfo>& getOutputBufferInfo(int variant) const {
    return outputInfos_[static_cast<size_t>(variant)];
  }

  // ---- Asynchronous inference (model_impl_async.cpp) ----
  // The request is checked here (launched, pipeline, variant, one item, no
  // sequence lengths or RmemId values, NPU only) and queued on the
  // pipeline; a refused request gives an invalid Future and its status.
  // The caller's arrays are shared with the job until its inputs are
  // repositioned.

  Future<float> inferAsync(const std::vector<NDArray<float>>& inputs, MemoryFormat format, StatusCode& status);
  Future<int8_t> inferAsync(const std::vector<NDArray<int8_t>>& inputs, MemoryFormat format, StatusCode& status);
  Future<float> inferAsyncToFloat(const std::vector<NDArray<int8_t>>& inputs, MemoryFormat format,
                                  StatusCode& status);

  // ---- Cache memory (model_impl_cache.cpp) ----
  // Dump and load use each area's first row and, in it, the first placement
  // on one of the model's cores (its own core, or its target's when it has
  // none); an area without one fails with Model_NoCache. Every operation
  // refuses a model that is not launched (Model_NotLaunched).

  std::vector<std::vector<int8_t>> dumpCacheMemory(StatusCode& status);
  // An empty list gets one zeroed list per area; otherwise one list of the
  // area's size per area.
  StatusCode dumpCacheMemory(std::vector<std::vector<int8_t>>& buffers);
  // Creates the directory (one level) and writes "cache_" + layer hash +
  // ".bin" per area.
  StatusCode dumpCacheMemory(const std::string& directory);
  StatusCode loadCacheMemory(const std::vector<std::vector<int8_t>>& buffers);
  StatusCode loadCacheMemory(const std::string& directory);
  // The new cache size, or `cacheSize` with the failure in *status.
  uint32_t filterCacheTail(uint32_t cacheSize, int32_t tailSize, const std::vector<bool>& mask, StatusCode* status);
  uint32_t moveCacheTail(uint32_t numHead, int32_t numTail, uint32_t cacheSize, StatusCode* status);
  // Clears every NPU operation's cache: with its rearrangement program, or
  // by zero-filling its areas when it has none. Failures are logged.
  void resetCacheMemory();
  // Runs operation npuOpIdx's rearrangement program with a0..a7.
  StatusCode rearrangeCacheMemory(int npuOpIdx, const RearrangeArgs& args);
  // Runs supplementary program `supplementaryIdx` of operation `npuOpIdx`
  // as an NPU task with `rmemArgs` (one per rmem type of the program) and
  // waits for it: Model_NotAlive when the engine fails it.
  StatusCode runSupplementaryInfer(int npuOpIdx, int supplementaryIdx, const std::vector<uint32_t>& rmemArgs);

 private:
  const NPUOpDesc& npuOp(int32_t op) const { return npuOpDescs_[static_cast<size_t>(op)]; }
  StatusCode build();
  // The variants' descriptions, checked against the operations, then the
  // input and output records of each variant.
  StatusCode buildDescriptions();
  // Each variant's input and output BufferInfos.
  void buildBufferInfos();
  // A section binary's bytes in a new pool buffer; for a section without
  // payload, its size of the shared zero block, which no record returns.
  StatusCode readSectionBinary(const zrb::SectionBinary& section, Buffer& out);
  // Keeps of `pieces`, written in order, only what no later piece on its core
  // overwrites; a part that does not start its section gets a pool buffer of
  // its own (a transfer starts at its buffer's start), added to `buffers`,
  // unless it is zeros (the zero block serves every part).
  StatusCode keepLastingPieces(std::vector<ProgramPiece>& pieces, std::vector<Buffer>& buffers);
  // The shared steps of the array and pointer forms.
  template <typename In, typename Out>
  StatusCode inferArrays(const std::vector<NDArray<In>>& inputs, std::vector<NDArray<Out>>& outputs,
                         MemoryFormat format, uint32_t cacheSize);
  template <typename In, typename Out>
  StatusCode inferPointers(const std::vector<In*>& inputs, const Shapes& shapes,
                           std::vector<std::vector<Out>>& outputs, MemoryFormat format, uint32_t cacheSize);
  template <typename In, typename Out>
  StatusCode inferBatch(const std::vector<In*>& inputs, int batch, std::vector<std::vector<Out>>& outputs,
                        MemoryFormat format, uint32_t cacheSize);
  // The NPU path's checks of an operation index and of the list sizes:
  // InternalError, Model_ShapeMismatched (after a line) or OK.
  StatusCode checkNPUCall(int32_t npuOpIndex, size_t inputs, size_t outputs, const SeqLenInfo& info) const;
  // The NPU path's steps on 4-D batches of tensors or host batches, with
  // the buffer lists and answers of `scratch` (model_impl_infer.cpp).
  template <typename Batch, typename Outputs>
  StatusCode runNPUPath(const std::vector<Batch>& given, const std::vector<Batch>& views,
                        Outputs& outputs, int32_t npuOpIndex, MemoryFormat format,
                        const SeqLenInfo& info, RequestScratch& scratch);
  // runBatched with the caller's answers, one per task (grown as needed).
  StatusCode runTasks(const std::vector<std::vector<Buffer>>& inputs, const std::vector<std::vector<Buffer>>& outputs,
                      int32_t npuOpIndex, const SeqLenInfo& info, std::vector<std::unique_ptr<TaskAnswer>>& answers);
  template <typename Out>
  StatusCode inferBufferToFloatOf(const std::vector<std::vector<Buffer>>& inputs, Out& outputs, const Shapes& shapes,
                                  uint32_t cacheSize, const char* name);
  // The steps inferBuffer and inferBufferToFloat share: the variant's NPU
  // operation and the request's sequence lengths, after the launched and
  // CPU-offload checks.
  StatusCode prepareBufferRequest(const Shapes& shapes, uint32_t cacheSize, const char* name, int32_t& npuOpIndex,
                                  SeqLenInfo& info) const;
  template <typename In, typename Out>
  Future<Out> inferAsyncOf(const std::vector<NDArray<In>>& inputs, MemoryFormat format, StatusCode& status);
  // Launch and dispose: a new pipeline over the task queue (replacing a
  // closed one), and its close before the queue goes.
  StatusCode startPipeline();
  void closePipeline();
  // The cache operations' steps, under a CallScope the caller holds.
  // The placement dump and load use; null (after a line) when none is on
  // the model's cores.
  const zrb::Designation* cachePlacement(size_t area, const char* operation) const;
  // Runs one cache transfer ("dump" or "load") while the model has a cache
  // and stays launched; running out of host memory becomes a status.
  template <typename F>
  StatusCode withCache(const char* operation, F&& body);
  StatusCode dumpArea(size_t area, void* host);
  StatusCode loadArea(size_t area, const void* host);
  StatusCode rearrange(int npuOpIdx, const RearrangeArgs& args);
  StatusCode runSupplementary(int npuOpIdx, int supplementaryIdx, const std::vector<uint32_t>& rmemArgs);

  // Fields in the order of their meaning: identity and file, configuration,
  // cores, launch state, what creation derives.
  const uint32_t id_;
  const std::string path_;
  std::unique_ptr<zrb::ZRB> zrb_;
  ModelConfig config_;
  std::vector<CoreId> targetCores_;
  mutable std::mutex handleMutex_;
  std::map<CoreId, int32_t> memoryHandles_;
  // The state lock (readers: requests; writers: launch and dispose) and the
  // count of disposals under way, which sends new requests away while
  // dispose waits for the running ones (the lock itself lets readers pass a
  // waiting writer).
  mutable std::shared_mutex stateMutex_;
  std::atomic<int> disposing_{0};
  std::shared_ptr<TaskQueue> taskQueue_;    // set by launch
  AcceleratorImpl* accelerator_ = nullptr;  // set by launch
  std::atomic<bool> launched_{false};
  // Host DMA buffers: allocated through the accelerator while launched.
  mutable MemoryPool<AcceleratorImpl> pool_;
  std::vector<ModelDesc> modelDescs_;
  std::vector<NPUOpDesc> npuOpDescs_;
  std::vector<std::vector<BufferInfo>> inputInfos_;
  std::vector<std::vector<BufferInfo>> outputInfos_;
  std::vector<NPUProgram> programs_;                // one per bundle; filled by launch
  std::vector<SupplementaryRecord> supplementaries_;  // one per bundle; filled by launch
  // Zeros as long as the longest section without payload that launch reads,
  // made on first use: every piece of such sections sends from it, so a file
  // of many such sections costs the host one of them.
  Buffer zeroBlock_;
  bool secondIoArea_ = false;
  std::vector<std::vector<uint64_t>> ioSlotOffsets_;
  std::vector<CacheRecord> cacheRecords_;
  // Per bundle: consumed and finished latency in ns.
  std::unique_ptr<std::atomic<uint64_t>[]> consumedLatencies_;
  std::unique_ptr<std::atomic<uint64_t>[]> finishedLatencies_;
  // The asynchronous pipeline (when configured): started by launch, closed
  // by dispose, replaced by the next launch. Last, so that it goes before
  // the operations, queue and pool its threads use.
  std::unique_ptr<AsyncPipeline> pipeline_;
};

}  // namespace kestrane
