#pragma once

#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "engine/task_answer.h"
#include "kestrane/type.h"

namespace kestrane {

// The promise of an NPUTask. The engine fulfils it once; later calls do
// nothing, and a task destroyed before that (dropped anywhere) reports false,
// so a caller waiting for the answer always gets one. The answer goes to a
// TaskAnswer the caller keeps (the synchronous path: nothing on the heap),
// or to a std::future made on demand by get_future. A task that failed for
// want of host memory (failForMemory) answers false with
// TaskAnswer::outOfMemory(), and its future throws std::bad_alloc, so that
// the caller reports BadAlloc rather than a failed task.
class TaskPromise {
 public:
  TaskPromise() = default;
  explicit TaskPromise(TaskAnswer& answer) : answer_(&answer) {}
  TaskPromise(TaskPromise&& other) noexcept
      : promise_(std::move(other.promise_)),
        answer_(std::exchange(other.answer_, nullptr)),
        pending_(std::exchange(other.pending_, false)),
        value_(other.value_),
        outOfMemory_(other.outOfMemory_) {}
  TaskPromise& operator=(TaskPromise&& other) noexcept {
    if (this != &other) {
      set_value(false);
      promise_ = std::move(other.promise_);
      answer_ = std::exchange(other.answer_, nullptr);
      pending_ = std::exchange(other.pending_, false);
      value_ = other.value_;
      outOfMemory_ = other.outOfMemory_;
    }
    return *this;
  }
  ~TaskPromise() { set_value(false); }

  // Once per promise, like std::promise; a promise fulfilled before still
  // gives its value.
  std::future<bool> get_future() {
    if (!promise_) {
      promise_ = std::make_unique<std::promise<bool>>();
      if (!pending_) settle(*promise_);
    }
    return promise_->get_future();
  }
  void set_value(bool ok) {
    if (!pending_) return;
    pending_ = false;
    value_ = ok;
    if (promise_) promise_->set_value(ok);
    if (answer_) std::exchange(answer_, nullptr)->set(ok);  // the last touch of the caller's answer
  }
  void failForMemory() {
    if (!pending_) return;
    pending_ = false;
    value_ = false;
    outOfMemory_ = true;
    if (promise_) settle(*promise_);
    if (answer_) std::exchange(answer_, nullptr)->setOutOfMemory();
  }
  bool pending() const { return pending_; }

 private:
  void settle(std::promise<bool>& promise) const {
    if (outOfMemory_)
      promise.set_exception(std::make_exception_ptr(std::bad_alloc()));
    else
      promise.set_value(value_);
  }

  std::unique_ptr<std::promise<bool>> promise_;
  TaskAnswer* answer_ = nullptr;
  bool pending_ = true;
  bool value_ = false;
  bool outOfMemory_ = false;
};

// Waits for a task's answer. The engine always answers: a failed, dropped
// or closed-out task reports false; one that failed for want of host memory
// throws std::bad_alloc.
inline bool awaitTask(std::future<bool>& done) { return done.get(); }

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
