#pragma once

// Between host tensors and the per-batch-item NPU-layout buffers of one
// input or output. Stateless: callers convert concurrently, each on its own
// tensors and buffers.

#include <string>
#include <vector>

#include "dataplane/host_batch.h"
#include "dataplane/io_record.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

// Fills buffer k with batch item k of `tensor` (int8 or float32) in NPU
// layout. Nothing is written when a check fails.
StatusCode tensorToBuffers(std::vector<Buffer>& buffers, const halvex::Tensor& tensor, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens);

// Writes batch item k from buffer k into `tensor` (allocated by the caller,
// dense, int8 or float32) in host layout. A tensor that is not 4-D is taken
// as channel-first.
StatusCode buffersToTensor(halvex::Tensor& tensor, const std::vector<Buffer>& buffers, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens);

// The same on a host batch: the synchronous path's views of the caller's
// arrays, which it makes without allocating.
StatusCode tensorToBuffers(std::vector<Buffer>& buffers, const HostBatch& batch, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens);
StatusCode buffersToTensor(const HostBatch& batch, const std::vector<Buffer>& buffers, const std::string& name,
                           const IORecord& record, MemoryFormat format, const SeqLensHWC& seqlens);

}  // namespace kestrane
