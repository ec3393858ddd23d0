#include "platform/io_completion.h"

#include <algorithm>
#include <cstring>

#include "platform/event.h"
#include "platform/futex.h"

namespace kestrane::platform {

void IoCompletion::rearm(void* out, uint32_t outLen, Event* event) {
  std::lock_guard lock(mutex_);
  out_ = out;
  outLen_ = outLen;
  event_ = event;
  ok_.store(false, std::memory_order_relaxed);
  bytes_.store(0, std::memory_order_relaxed);
  cancelHandler_.reset();
  cancelTag_ = 0;
  phase_.store(kPending, std::memory_order_release);
}

bool IoCompletion::complete(bool ok, const void* reply, uint32_t replyLen) {
  std::weak_ptr<IoCancelHandler> handler;  // no longer needed; let go outside the lock
  const void* wake = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (phase_.load(std::memory_order_relaxed) != kPending) return false;
    if (ok && out_ && reply) {
      const uint32_t n = std::min(outLen_, replyLen);
      std::memcpy(out_, reply, n);
      bytes_.store(n, std::memory_order_relaxed);
    }
    ok_.store(ok, std::memory_order_relaxed);
    phase_.store(kCompleted, std::memory_order_release);
    // Signalled under the lock, so a cancel that finds the call completed
    // may let the event go; woken after it, touching only the address.
    if (event_) wake = event_->signal();
    handler.swap(cancelHandler_);
  }
  if (wake) futexWakeAll(wake);
  return true;
}

bool IoCompletion::cancel() {
  std::weak_ptr<IoCancelHandler> handler;
  uint64_t tag = 0;
  {
    std::lock_guard lock(mutex_);
    const uint32_t phase = phase_.load(std::memory_order_relaxed);
    if (phase != kPending) return phase == kCancelled;
    phase_.store(kCancelled, std::memory_order_release);
    out_ = nullptr;
    event_ = nullptr;
    handler.swap(cancelHandler_);
    tag = cancelTag_;
  }
  if (auto h = handler.lock()) h->ioCancelled(tag);
  return true;
}

void IoCompletion::setCancelHandler(std::weak_ptr<IoCancelHandler> handler, uint64_t tag) {
  {
    std::lock_guard lock(mutex_);
    if (phase_.load(std::memory_order_relaxed) != kCancelled) {
      cancelHandler_ = std::move(handler);
      cancelTag_ = tag;
      return;
    }
  }
  if (auto h = handler.lock()) h->ioCancelled(tag);
}

}  // namespace kestrane::platform
