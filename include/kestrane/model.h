#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrane/export.h"
#include "kestrane/future.h"
#include "kestrane/model_config.h"
#include "kestrane/model_variant_handle.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

class Accelerator;
class ModelImpl;
class Statistics;

// A compiled model (a ZRB file) bound to a ModelConfig. Launch it on an
// Accelerator, run inference, dispose it (destruction disposes too).
//
// Inference forms: `infer` takes HWC data and `inferCHW` CHW data; arrays
// of 3 dimensions are one item, of 4 a batch (batch first). Float arrays
// give float results, int8 arrays int8 results (`inferToFloat`: float
// results of int8 data). Out forms fill the caller's list and return the
// status; returning forms return the list and write the status to `sc`.
// `cache_size` is the cache length of a sequence model (0 when absent).
// Pointer forms take raw element pointers with one shape each, or no shape
// for one item of the model's input shapes; their results are flat lists.
//
// Threads: inference and buffer calls may come from several threads at
// once; dispose (also from another thread) waits for the calls running, and
// later calls fail with Model_NotLaunched. A moved-from Model holds nothing
// and must not be used.
class KESTRANE_API Model {
 public:
  using Shape = std::vector<int64_t>;
  using Shapes = std::vector<Shape>;

  // The model of the file at `path`; empty with the failure in `sc`.
  static std::unique_ptr<Model> create(const std::string& path, StatusCode& sc);
  static std::unique_ptr<Model> create(const std::string& path, const ModelConfig& config, StatusCode& sc);

  Model(Model&& other) noexcept;
  // Takes the other's model; the model this one held is disposed.
  Model& operator=(Model&& other) noexcept;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;
  ~Model();

  // Claims the model's cores on `acc`, uploads it and starts its scheduler;
  // Model_AlreadyLaunched when it runs already.
  StatusCode launch(Accelerator& acc);
  // Stops the model's work and gives its cores and memory back; OK when it
  // is not launched. It can be launched again.
  StatusCode dispose();

  // ---- Description ----
  uint32_t getIdentifier() const;
  std::string getModelPath();
  CoreMode getCoreMode();
  SchedulePolicy getSchedulePolicy();
  LatencySetPolicy getLatencySetPolicy();
  MaintenancePolicy getMaintenancePolicy();
  // Learned latencies (ns) of NPU bundle `bundle` (0 .. bundles - 1).
  uint64_t getLatencyConsumed(int bundle) const;
  uint64_t getLatencyFinished(int bundle) const;
  std::vector<CoreId> getTargetCores();
  bool isTarget(CoreId core) const;
  int getNumModelVariants() const;
  // Empty with Model_InvalidVariantIdx outside 0 .. variants - 1.
  std::unique_ptr<ModelVariantHandle> getModelVariantHandle(int variant, StatusCode& sc);
  // Variant 0.
  const Shapes& getModelInputShape() const;
  const Shapes& getModelOutputShape() const;
  const std::vector<BufferInfo>& getInputBufferInfo() const;
  const std::vector<BufferInfo>& getOutputBufferInfo() const;
  std::vector<Scale> getInputScale();
  std::vector<Scale> getOutputScale();
  std::vector<CacheInfo> getCacheInfos();
  // Always empty.
  std::shared_ptr<Statistics> getStatistics();

  // ---- Synchronous inference on arrays ----
  StatusCode infer(const std::vector<NDArray<float>>& inputs, std::vector<NDArray<float>>& outputs);
  StatusCode infer(const std::vector<NDArray<float>>& inputs, std::vector<NDArray<float>>& outputs,
                   uint32_t cache_size);
  std::vector<NDArray<float>> infer(const std::vector<NDArray<float>>& inputs, StatusCode& sc);
  std::vector<NDArray<float>> infer(const std::vector<NDArray<float>>& inputs, uint32_t cache_size, StatusCode& sc);
  StatusCode inferCHW(const std::vector<NDArray<float>>& inputs, std::vector<NDArray<float>>& outputs);
  StatusCode inferCHW(const std::vector<NDArray<float>>& inputs, std::vector<NDArray<float>>& outputs,
                      uint32_t cache_size);
  std::vector<NDArray<float>> inferCHW(const std::vector<NDArray<float>>& inputs, StatusCode& sc);
  std::vector<NDArray<float>> inferCHW(const std::vector<NDArray<float>>& inputs, uint32_t cache_size,
                                       StatusCode& sc);

  StatusCode infer(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<int8_t>>& outputs);
  StatusCode infer(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<int8_t>>& outputs,
                   uint32_t cache_size);
  std::vector<NDArray<int8_t>> infer(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  std::vector<NDArray<int8_t>> infer(const std::vector<NDArray<int8_t>>& inputs, uint32_t cache_size,
                                     StatusCode& sc);
  StatusCode inferCHW(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<int8_t>>& outputs);
  StatusCode inferCHW(const std::vector<NDArray<int8_t>>& inputs, std::vector<NDArray<int8_t>>& outputs,
                      uint32_t cache_size);
  std::vector<NDArray<int8_t>> inferCHW(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  std::vector<NDArray<int8_t>> inferCHW(const std::vector<NDArray<int8_t>>& inputs, uint32_t cache_size,
                                        StatusCode& sc);

  std::vector<NDArray<float>> inferToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  std::vector<NDArray<float>> inferToFloat(const std::vector<NDArray<int8_t>>& inputs, uint32_t cache_size,
                                           StatusCode& sc);
  std::vector<NDArray<float>> inferCHWToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  std::vector<NDArray<float>> inferCHWToFloat(const std::vector<NDArray<int8_t>>& inputs, uint32_t cache_size,
                                              StatusCode& sc);

  // ---- Synchronous inference on raw pointers with shapes ----
  StatusCode infer(const std::vector<float*>& inputs, const Shapes& shapes, std::vector<std::vector<float>>& outputs);
  StatusCode infer(const std::vector<float*>& inputs, const Shapes& shapes, std::vector<std::vector<float>>& outputs,
                   uint32_t cache_size);
  std::vector<std::vector<float>> infer(const std::vector<float*>& inputs, const Shapes& shapes, StatusCode& sc);
  std::vector<std::vector<float>> infer(const std::vector<float*>& inputs, const Shapes& shapes, uint32_t cache_size,
                                        StatusCode& sc);
  StatusCode inferCHW(const std::vector<float*>& inputs, const Shapes& shapes,
                      std::vector<std::vector<float>>& outputs);
  StatusCode inferCHW(const std::vector<float*>& inputs, const Shapes& shapes,
                      std::vector<std::vector<float>>& outputs, uint32_t cache_size);
  std::vector<std::vector<float>> inferCHW(const std::vector<float*>& inputs, const Shapes& shapes, StatusCode& sc);
  std::vector<std::vector<float>> inferCHW(const std::vector<float*>& inputs, const Shapes& shapes,
                                           uint32_t cache_size, StatusCode& sc);

  StatusCode infer(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                   std::vector<std::vector<int8_t>>& outputs);
  StatusCode infer(const std::vector<int8_t*>& inputs, const Shapes& shapes, std::vector<std::vector<int8_t>>& outputs,
                   uint32_t cache_size);
  std::vector<std::vector<int8_t>> infer(const std::vector<int8_t*>& inputs, const Shapes& shapes, StatusCode& sc);
  std::vector<std::vector<int8_t>> infer(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                         uint32_t cache_size, StatusCode& sc);
  StatusCode inferCHW(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                      std::vector<std::vector<int8_t>>& outputs);
  StatusCode inferCHW(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                      std::vector<std::vector<int8_t>>& outputs, uint32_t cache_size);
  std::vector<std::vector<int8_t>> inferCHW(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                            StatusCode& sc);
  std::vector<std::vector<int8_t>> inferCHW(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                            uint32_t cache_size, StatusCode& sc);

  std::vector<std::vector<float>> inferToFloat(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                               StatusCode& sc);
  std::vector<std::vector<float>> inferToFloat(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                               uint32_t cache_size, StatusCode& sc);
  std::vector<std::vector<float>> inferCHWToFloat(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                                  StatusCode& sc);
  std::vector<std::vector<float>> inferCHWToFloat(const std::vector<int8_t*>& inputs, const Shapes& shapes,
                                                  uint32_t cache_size, StatusCode& sc);

  // ---- Synchronous inference on raw pointers: one item, or `batch` items,
  // of the model's input shapes ----
  StatusCode infer(const std::vector<float*>& inputs, std::vector<std::vector<float>>& outputs);
  std::vector<std::vector<float>> infer(const std::vector<float*>& inputs, StatusCode& sc);
  StatusCode inferCHW(const std::vector<float*>& inputs, std::vector<std::vector<float>>& outputs);
  std::vector<std::vector<float>> inferCHW(const std::vector<float*>& inputs, StatusCode& sc);
  StatusCode infer(const std::vector<int8_t*>& inputs, std::vector<std::vector<int8_t>>& outputs);
  std::vector<std::vector<int8_t>> infer(const std::vector<int8_t*>& inputs, StatusCode& sc);
  StatusCode inferCHW(const std::vector<int8_t*>& inputs, std::vector<std::vector<int8_t>>& outputs);
  std::vector<std::vector<int8_t>> inferCHW(const std::vector<int8_t*>& inputs, StatusCode& sc);
  std::vector<std::vector<float>> inferToFloat(const std::vector<int8_t*>& inputs, StatusCode& sc);
  std::vector<std::vector<float>> inferCHWToFloat(const std::vector<int8_t*>& inputs, StatusCode& sc);
  std::vector<std::vector<float>> infer(const std::vector<float*>& inputs, int batch, StatusCode& sc);
  StatusCode infer(const std::vector<float*>& inputs, int batch, std::vector<std::vector<float>>& outputs);
  StatusCode inferHeightBatch(const std::vector<float*>& inputs, int batch, std::vector<std::vector<float>>& outputs);

  // ---- Asynchronous inference ----
  // One item per request (3-D arrays, or 4-D with a batch of 1), on a model
  // launched with ModelConfig::setAsyncPipelineEnabled(true). Returns at once
  // (blocking only while the pipeline is full) with a Future of the outputs;
  // a refused request gives an invalid Future and its status in `sc`.
  // Variants with sequence lengths, RmemId values or CPU layers are refused
  // with NotImplemented. Results: float arrays for float data and for the
  // ToFloat forms, int8 arrays for int8 data.
  Future<float> inferAsync(const std::vector<NDArray<float>>& inputs, StatusCode& sc);
  Future<int8_t> inferAsync(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  Future<float> inferAsyncCHW(const std::vector<NDArray<float>>& inputs, StatusCode& sc);
  Future<int8_t> inferAsyncCHW(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  Future<float> inferAsyncToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);
  Future<float> inferAsyncCHWToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc);

  // ---- Cache memory of sequence models (launched models only) ----
  // One list of bytes per cache area (getCacheInfos() order and sizes).
  std::vector<std::vector<int8_t>> dumpCacheMemory(StatusCode& sc);
  // An empty list is filled with one list per area; otherwise it must hold
  // one list of the area's size per area.
  StatusCode dumpCacheMemory(std::vector<std::vector<int8_t>>& out);
  // One file per area in `directory` (created if needed): "cache_" + the
  // area's layer_hash + ".bin", the area's bytes without header.
  StatusCode dumpCacheMemory(const std::string& directory);
  StatusCode loadCacheMemory(const std::vector<std::vector<int8_t>>& buffers);
  StatusCode loadCacheMemory(const std::string& directory);
  // Drops the positions of the last `tail_size` (at most 32) of the cache
  // whose mask entry is false; the new cache size, or `cache_size` with the
  // failure in `sc`.
  int filterCacheTail(int cache_size, int tail_size, const std::vector<bool>& mask, StatusCode& sc);
  // Moves the last `num_tail` positions behind the first `num_head`; the new
  // cache size, or `cache_size` with the failure in `sc`.
  int moveCacheTail(int num_head, int num_tail, int cache_size, StatusCode& sc);
  // Clears the cache (failures are logged).
  void resetCacheMemory();

  // ---- Buffers in NPU layout (variant 0; ModelVariantHandle for others) ----
  // Buffer lists are [input][item]; the single-list forms take one buffer per
  // input. `shapes` (empty: the model's input shapes) give the sequence
  // lengths. An empty input list runs the program once (as inferSpeedrun)
  // and reads the given output buffers.
  StatusCode inferBuffer(const std::vector<Buffer>& inputs, std::vector<Buffer>& outputs, const Shapes& shapes = {},
                         uint32_t cache_size = 0);
  StatusCode inferBuffer(const std::vector<std::vector<Buffer>>& inputs, std::vector<std::vector<Buffer>>& outputs,
                         const Shapes& shapes = {}, uint32_t cache_size = 0);
  StatusCode inferBufferToFloat(const std::vector<Buffer>& inputs, std::vector<NDArray<float>>& outputs,
                                const Shapes& shapes = {}, uint32_t cache_size = 0);
  StatusCode inferBufferToFloat(const std::vector<Buffer>& inputs, std::vector<std::vector<float>>& outputs,
                                const Shapes& shapes = {}, uint32_t cache_size = 0);
  StatusCode inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs, std::vector<NDArray<float>>& outputs,
                                const Shapes& shapes = {}, uint32_t cache_size = 0);
  StatusCode inferBufferToFloat(const std::vector<std::vector<Buffer>>& inputs,
                                std::vector<std::vector<float>>& outputs, const Shapes& shapes = {},
                                uint32_t cache_size = 0);
  // Runs variant `variant`'s program once on no data.
  StatusCode inferSpeedrun(int variant);

  std::vector<Buffer> acquireInputBuffer(const std::vector<std::vector<int>>& seqlens = {}) const;
  std::vector<std::vector<Buffer>> acquireInputBuffers(int batch,
                                                       const std::vector<std::vector<int>>& seqlens = {}) const;
  std::vector<Buffer> acquireOutputBuffer(const std::vector<std::vector<int>>& seqlens = {}) const;
  std::vector<std::vector<Buffer>> acquireOutputBuffers(int batch,
                                                        const std::vector<std::vector<int>>& seqlens = {}) const;
  StatusCode releaseBuffer(std::vector<Buffer>& buffers) const;
  StatusCode releaseBuffers(std::vector<std::vector<Buffer>>& buffers) const;
  StatusCode repositionInputs(const std::vector<float*>& inputs, std::vector<Buffer>& input_bufs,
                              const std::vector<std::vector<int>>& seqlens = {}) const;
  StatusCode repositionInputs(const std::vector<float*>& inputs, std::vector<std::vector<Buffer>>& input_bufss,
                              const std::vector<std::vector<int>>& seqlens = {}) const;
  StatusCode repositionOutputs(const std::vector<Buffer>& output_bufs, std::vector<float*>& outputs,
                               const std::vector<std::vector<int>>& seqlens = {}) const;
  StatusCode repositionOutputs(const std::vector<Buffer>& output_bufs, std::vector<std::vector<float>>& outputs,
                               const std::vector<std::vector<int>>& seqlens = {}) const;
  StatusCode repositionOutputs(const std::vector<std::vector<Buffer>>& output_bufss, std::vector<float*>& outputs,
                               const std::vector<std::vector<int>>& seqlens = {}) const;
  StatusCode repositionOutputs(const std::vector<std::vector<Buffer>>& output_bufss,
                               std::vector<std::vector<float>>& outputs,
                               const std::vector<std::vector<int>>& seqlens = {}) const;

 private:
  Model();
  explicit Model(std::unique_ptr<ModelImpl> impl);

  std::unique_ptr<ModelImpl> impl_;
};

}  // namespace kestrane
