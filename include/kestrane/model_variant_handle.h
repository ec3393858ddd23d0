#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kestrane/export.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

class ModelImpl;

// The description and buffer operations of one variant of a model (the
// Model's own work on variant 0). Made by Model::getModelVariantHandle; valid
// while its Model exists. Holds no state of its own: several handles of one
// model may be used from several threads.
class KESTRANE_API ModelVariantHandle {
 public:
  int getVariantIdx() const { return variant_; }
  const std::vector<std::vector<int64_t>>& getModelInputShape() const;
  const std::vector<std::vector<int64_t>>& getModelOutputShape() const;
  const std::vector<BufferInfo>& getInputBufferInfo() const;
  const std::vector<BufferInfo>& getOutputBufferInfo() const;
  std::vector<Scale> getInputScale();
  std::vector<Scale> getOutputScale();

  // Buffers of the model's memory pool in NPU layout, for one item
  // (one per input / output) or `batch` items ([input][item]); input
  // buffers are zero-filled. `seqlens` holds three counts {h, w, c} per
  // input / output, or nothing for 1, 1, 1. Empty on failure.
  std::vector<Buffer> acquireInputBuffer(const std::vector<std::vector<int>>& seqlens = {}) const;
  std::vector<std::vector<Buffer>> acquireInputBuffers(int batch,
                                                       const std::vector<std::vector<int>>& seqlens = {}) const;
  std::vector<Buffer> acquireOutputBuffer(const std::vector<std::vector<int>>& seqlens = {}) const;
  std::vector<std::vector<Buffer>> acquireOutputBuffers(int batch,
                                                        const std::vector<std::vector<int>>& seqlens = {}) const;
  // Gives buffers back to the pool and empties the list (a launched model only).
  StatusCode releaseBuffer(std::vector<Buffer>& buffers) const;
  StatusCode releaseBuffers(std::vector<std::vector<Buffer>>& buffers) const;

  // HWC float items into NPU-layout buffers (item j of input i read from
  // inputs[i] + j x item elements), and back. The buffers must be ones the
  // launched model's pool handed out (MemoryPool_BufNotFound, or
  // Model_NotLaunched once it is disposed).
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
  friend class ModelImpl;
  ModelVariantHandle(int variant, const ModelImpl& model) : variant_(variant), model_(&model) {}

  int variant_;
  const ModelImpl* model_;
};

}  // namespace kestrane
