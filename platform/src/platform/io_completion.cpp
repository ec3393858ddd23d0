#include "platform/io_completion.h"

#include <algorithm>
#include <cstring>

#include "platform/event.h"

namespace kestrane::platform {

bool IoCompletion::complete(bool ok, const void* reply, uint32_t replyLen) {
  std::lock_guard lock(mutex_);
  if (finished_ || cancelled_) return false;
  finished_ = true;
  ok_ = ok;
  if (ok && out_ && reply) {
    bytes_ = std::min(outLen_, replyLen);
    std::memcpy(out_, reply, bytes_);
  }
  if (event_) event_->set();
  return true;
}

bool IoCompletion::cancel() {
  std::lock_guard lock(mutex_);
  if (finished_) return false;
  cancelled_ = true;
  out_ = nullptr;
  event_ = nullptr;
  return true;
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
