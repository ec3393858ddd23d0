#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kestrane::platform {

class Event;

// Backend side: told when the caller of a pending call gives up on it (a
// kernel driver's cancel routine).
class IoCancelHandler {
 public:
  // Runs on the cancelling thread, after the caller's buffer and event are
  // let go and outside the completion's lock; `tag` is the one given with
  // the handler.
  virtual void ioCancelled(uint64_t tag) = 0;

 protected:
  ~IoCancelHandler() = default;
};

// The meeting point of one pending control call: the caller's reply buffer
// and event on one side, the device backend that finishes the call on the
// other. Both hold it by shared pointer. Once the caller cancels, the backend
// no longer touches the caller's buffer or event.
//
// The lock only decides between an end and a cancel that meet. The caller
// reads how the call ended without it, and a blocked caller is woken only
// after the lock is let go, so it never wakes to block on it.
class IoCompletion {
 public:
  IoCompletion(void* out, uint32_t outLen, Event* event) { rearm(out, outLen, event); }
  IoCompletion(const IoCompletion&) = delete;
  IoCompletion& operator=(const IoCompletion&) = delete;

  // Ready for another call. Only while nothing else holds this record (the
  // backend let go of it), so a record serves its owner's next call and a
  // late answer meant for a cancelled call never reaches a later one.
  void rearm(void* out, uint32_t outLen, Event* event);

  // Backend side: copies up to the caller's buffer length of `reply`, records
  // the result and signals the event. False (nothing touched) when the call
  // was cancelled or completed before.
  bool complete(bool ok, const void* reply, uint32_t replyLen);

  // Caller side: after this returns, complete() touches nothing of the
  // caller's. False when the call had already completed.
  bool cancel();

  // Backend side: `handler` learns, once and with `tag`, that a successful
  // cancel() let go of the call. Set while the call is pending; for a call
  // cancelled already it runs at once. Only a weak reference is kept.
  void setCancelHandler(std::weak_ptr<IoCancelHandler> handler, uint64_t tag);

  bool finished() const { return phase_.load(std::memory_order_acquire) == kCompleted; }
  bool cancelled() const { return phase_.load(std::memory_order_acquire) == kCancelled; }
  bool succeeded() const { return finished() && ok_.load(std::memory_order_relaxed); }
  uint32_t bytes() const { return finished() ? bytes_.load(std::memory_order_relaxed) : 0; }

 private:
  enum Phase : uint32_t { kPending, kCompleted, kCancelled };

  mutable std::mutex mutex_;
  // Written under the lock; the result before the phase that publishes it.
  std::atomic<uint32_t> phase_{kPending};
  std::atomic<bool> ok_{false};
  std::atomic<uint32_t> bytes_{0};
  void* out_ = nullptr;
  uint32_t outLen_ = 0;
  Event* event_ = nullptr;
  std::weak_ptr<IoCancelHandler> cancelHandler_;
  uint64_t cancelTag_ = 0;
};

}  // namespace kestrane::platform
