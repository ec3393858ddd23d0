#include "engine/task_answer.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "engine/spin_wait.h"

namespace kestrane {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");

uint32_t* word(std::atomic<uint32_t>* state) { return reinterpret_cast<uint32_t*>(state); }

void wakeAll(std::atomic<uint32_t>* state) {
  syscall(SYS_futex, word(state), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

thread_local HeldAnswerWakes* tHeld = nullptr;

// Callers wait for tasks of every model alike: one record of whether
// looking pays.
AdaptiveSpin& answerSpin() {
  static AdaptiveSpin spin;
  return spin;
}

}  // namespace

void TaskAnswer::set(bool ok) {
  if (state_.exchange(ok ? kSucceeded : kFailed, std::memory_order_acq_rel) != kSleeping) return;
  HeldAnswerWakes* held = HeldAnswerWakes::current();
  if (held == nullptr || !held->hold(&state_)) wakeAll(&state_);
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
    syscall(SYS_futex, word(&state_), FUTEX_WAIT_PRIVATE, kSleeping, nullptr, nullptr, 0);
  }
}

HeldAnswerWakes::HeldAnswerWakes() : outer_(tHeld) { tHeld = this; }

HeldAnswerWakes::~HeldAnswerWakes() {
  tHeld = outer_;
  // The answers may be gone by now: a wake by address is still harmless.
  for (size_t i = 0; i < count_; ++i) wakeAll(words_[i]);
}

HeldAnswerWakes* HeldAnswerWakes::current() { return tHeld; }

bool HeldAnswerWakes::hold(std::atomic<uint32_t>* word) {
  if (count_ == kHeld) return false;
  words_[count_++] = word;
  return true;
}

}  // namespace kestrane
