#pragma once

// The lists one synchronous request fills on its way (its shapes, sequence
// lengths, views of the caller's arrays, pool buffers and the answers of its
// tasks), kept by the calling thread for its next request: refilled in
// place, they allocate nothing once they have held a request of that size.
//
// Threads: each thread has its own records and nothing is shared. A request
// nested in another on the same thread (the NPU layers of a CPU-offload
// run) takes a record of its own. The answers must outlive every task that
// may still report to them: a request waits for all its tasks before it
// gives its record back.

#include <cstdint>
#include <memory>
#include <vector>

#include "dataplane/host_batch.h"
#include "dataplane/io_record.h"
#include "engine/task_answer.h"
#include "kestrane/type.h"

namespace kestrane {

struct RequestScratch {
  std::vector<std::vector<int64_t>> shapes;
  std::vector<const void*> data;
  std::vector<int64_t> held;
  SeqLenInfo info;
  std::vector<HostBatch> inputs;
  std::vector<HostBatch> outputs;
  std::vector<std::vector<Buffer>> inputBuffers;
  std::vector<std::vector<Buffer>> outputBuffers;
  std::vector<std::unique_ptr<TaskAnswer>> answers;  // one per task, reused
};

// The calling thread's next free record, for as long as the lease lives.
class ScratchLease {
 public:
  ScratchLease();
  ~ScratchLease();
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  RequestScratch& operator*() const { return *scratch_; }
  RequestScratch* operator->() const { return scratch_; }

 private:
  RequestScratch* scratch_;
};

}  // namespace kestrane
