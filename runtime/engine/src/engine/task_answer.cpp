#include "engine/task_answer.h"

#include "engine/spin_wait.h"
#include "platform/futex.h"

namespace kestrane {

namespace {

thread_local HeldAnswerWakes* tHeld = nullptr;

// Callers wait for tasks of every model alike: one record of whether
// looking pays.
AdaptiveSpin& answerSpin() {
  static AdaptiveSpin spin;
  return spin;
}

}  // namespace

void TaskAnswer::finish(uint32_t state) {
  if (state_.exchange(state, std::memory_order_acq_rel) != kSleeping) return;
  HeldAnswerWakes* held = HeldAnswerWakes::current();
  if (held == nullptr || !held->hold(&state_)) platform::futexWakeAll(&state_);
}

bool TaskAnswer::wait() {
  answerSpin().spin([&] { return ready(); });
  for (;;) {
    uint32_t state = state_.load(std::memory_order_acquire);
    if (state >= kFailed) return state == kSucceeded;
    if (state == kPending &&
        !state_.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel, std::memory_order_acquire))
      continue;  // answered meanwhile
    // Returns at once when the word is no longer kSleeping; wakes may be spurious.
    platform::futexWait(state_, kSleeping);
  }
}

HeldAnswerWakes::HeldAnswerWakes() : outer_(tHeld) { tHeld = this; }

HeldAnswerWakes::~HeldAnswerWakes() {
  tHeld = outer_;
  // The answers may be gone by now: a wake by address is still harmless.
  for (size_t i = 0; i < count_; ++i) platform::futexWakeAll(words_[i]);
}

HeldAnswerWakes* HeldAnswerWakes::current() { return tHeld; }

bool HeldAnswerWakes::hold(std::atomic<uint32_t>* word) {
  if (count_ == kHeld) return false;
  words_[count_++] = word;
  return true;
}

}  // namespace kestrane
