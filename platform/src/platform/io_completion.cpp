#include "platform/io_completion.h"

#include <algorithm>
#include <cstring>

#include "platform/event.h"

namespace kestrane::platform {

bool IoCompletion::complete(bool ok, const void* reply, uint32_t replyLen) {
  std::function<void()> routine;  // no longer needed; released outside the lock
  std::lock_guard lock(mutex_);
  if (finished_ || cancelled_) return false;
  finished_ = true;
  ok_ = ok;
  if (ok && out_ && reply) {
    bytes_ = std::min(outLen_, replyLen);
    std::memcpy(out_, reply, bytes_);
  }
  if (event_) event_->set();
  routine.swap(cancelRoutine_);
  return true;
}

bool IoCompletion::cancel() {
  std::function<void()> routine;
  {
    std::lock_guard lock(mutex_);
    if (finished_ || cancelled_) return !finished_;
    cancelled_ = true;
    out_ = nullptr;
    event_ = nullptr;
    routine.swap(cancelRoutine_);
  }
  if (routine) routine();
  return true;
}

void IoCompletion::setCancelRoutine(std::function<void()> routine) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_) {
      cancelRoutine_ = std::move(routine);
      return;
    }
  }
  if (routine && !finished()) routine();
}

bool IoCompletion::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool IoCompletion::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool IoCompletion::succeeded() const {
  std::lock_guard lock(mutex_);
  return finished_ && ok_;
}

uint32_t IoCompletion::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

}  // namespace kestrane::platform
