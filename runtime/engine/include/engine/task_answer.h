#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestrane {

// The answer to one NPU task for a caller that waits for it: true when the
// task ran, false when it failed or was dropped (outOfMemory() tells a task
// that failed for want of host memory). The engine sets it once
// (through the task's TaskPromise); the caller waits, looking a moment
// before it blocks. Unlike a std::promise it needs no shared state on the
// heap: the caller keeps it, reuses it for the next task (reset) and must
// not let it go before the answer came.
//
// Threads: one setter, one waiter. The setter never touches the object
// after the answer is visible, but for waking the waiter by its address,
// which is harmless once the object is gone (a woken waiter looks again).
class TaskAnswer {
 public:
  TaskAnswer() = default;
  TaskAnswer(const TaskAnswer&) = delete;
  TaskAnswer& operator=(const TaskAnswer&) = delete;

  // Pending again; only while no task can still answer here.
  void reset() { state_.store(kPending, std::memory_order_relaxed); }
  // Engine side, once: set, or setOutOfMemory for a task that failed for
  // want of host memory.
  void set(bool ok) { finish(ok ? kSucceeded : kFailed); }
  void setOutOfMemory() { finish(kOutOfMemory); }
  // Caller side: blocks until the answer is there.
  bool wait();
  bool ready() const { return state_.load(std::memory_order_acquire) >= kFailed; }
  // After a false answer: whether the task failed for want of host memory.
  bool outOfMemory() const { return state_.load(std::memory_order_acquire) == kOutOfMemory; }

 private:
  friend class HeldAnswerWakes;
  static constexpr uint32_t kPending = 0, kSleeping = 1, kFailed = 2, kSucceeded = 3, kOutOfMemory = 4;
  void finish(uint32_t state);
  std::atomic<uint32_t> state_{kPending};
};

// While one lives on a thread, answers set on that thread take effect at
// once (a caller that looks sees them) but the wake-up of a caller that
// blocked waits until the scope ends: a worker answers a task inside its
// run and gives the task's core room back after it, and a caller woken
// before that would send its next task to a dispatcher that finds no room
// yet. Scopes nest; a scope holds a few wakes and wakes at once beyond.
class HeldAnswerWakes {
 public:
  HeldAnswerWakes();
  ~HeldAnswerWakes();
  HeldAnswerWakes(const HeldAnswerWakes&) = delete;
  HeldAnswerWakes& operator=(const HeldAnswerWakes&) = delete;

  // The innermost scope on this thread; null when there is none.
  static HeldAnswerWakes* current();
  // False when the scope is full (the caller then wakes at once).
  bool hold(std::atomic<uint32_t>* word);

 private:
  static constexpr size_t kHeld = 4;
  std::atomic<uint32_t>* words_[kHeld] = {};
  size_t count_ = 0;
  HeldAnswerWakes* outer_;
};

}  // namespace kestrane
