#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <utility>
#include <vector>

#include "engine/spin_wait.h"
#include "kestrane/type.h"

namespace kestrane {

// The promise of an NPUTask. The engine fulfils it once; later calls do
// nothing, and a task destroyed before that (dropped anywhere) reports false,
// so a caller waiting on its future always gets an answer.
class TaskPromise {
 public:
  TaskPromise() = default;
  TaskPromise(TaskPromise&& other) noexcept
      : promise_(std::move(other.promise_)), pending_(std::exchange(other.pending_, false)) {}
  TaskPromise& operator=(TaskPromise&& other) noexcept {
    if (this != &other) {
      set_value(false);
      promise_ = std::move(other.promise_);
      pending_ = std::exchange(other.pending_, false);
    }
    return *this;
  }
  ~TaskPromise() { set_value(false); }

  // Once per promise, like std::promise.
  std::future<bool> get_future() { return promise_.get_future(); }
  void set_value(bool ok) {
    if (pending_) {
      pending_ = false;
      promise_.set_value(ok);
    }
  }
  bool pending() const { return pending_; }

 private:
  std::promise<bool> promise_;
  bool pending_ = true;
};

// Waits for a task's answer, looking for it a little while before blocking
// (a small model's run ends within tens of microseconds). The engine always
// answers: a failed, dropped or closed-out task reports false.
inline bool awaitTask(std::future<bool>& done) {
  spinUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::microseconds(200));
  return done.get();
}

// One slice of a batch (one or more items) of one model variant, handed from
// the model runtime to the engine. Movable, not copyable.
struct NPUTask {
  // Host DMA buffers in NPU layout, [input][buffer] and [output][buffer];
  // the outputs receive the results. A speed run carries no input lists and
  // reads only the outputs it has lists for (the first ones).
  std::vector<std::vector<Buffer>> inputs;
  std::vector<std::vector<Buffer>> outputs;
  // True when every item ran; fulfilled exactly once by the engine.
  TaskPromise result;
  // The runtime's sequence product (1, or the largest h x w x c of the input
  // sequence lengths for bundles of kind 1, 2, 5 and 6); not read here.
  uint64_t seqProduct = 1;
  // The variant (NPU bundle) to run.
  int32_t npuOpIndex = 0;
  // Batch items in the task (at most 4 in multi-core mode).
  int32_t itemCount = 1;
  // The request's sequence lengths {h, w, c} per input and output; not read here.
  std::vector<std::vector<uint32_t>> inputSeqlens;
  std::vector<std::vector<uint32_t>> outputSeqlens;
  // Values of the rmem entries of types 1, 2 and 11, by entry position; an
  // empty list writes 0 to them (a request without sequence lengths).
  std::vector<uint32_t> rmemValues;
  // The request's memory format (HWC 0, CHW 1, 0x7F none); not read here.
  uint8_t memoryFormat = 0x7F;
  // Selects the placement rule and the watchdog.
  CoreMode coreMode = CoreMode::Error;
  // The cores the task may use: the model's target cores.
  std::vector<CoreId> cores;
  // Non-zero: run supplementary program `supplementaryIndex` of the variant
  // instead of the model, with `supplementaryRmemValues` as its arguments.
  uint8_t supplementary = 0;
  int32_t supplementaryIndex = 0;
  std::vector<uint32_t> supplementaryRmemValues;
};

}  // namespace kestrane
