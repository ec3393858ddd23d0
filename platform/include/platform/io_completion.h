#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace kestrane::platform {

class Event;

// The meeting point of one pending control call: the caller's reply buffer
// and event on one side, the device backend that finishes the call on the
// other. Both hold it by shared pointer. Once the caller cancels, the backend
// no longer touches the caller's buffer or event.
class IoCompletion {
 public:
  IoCompletion(void* out, uint32_t outLen, Event* event) : out_(out), outLen_(outLen), event_(event) {}
  IoCompletion(const IoCompletion&) = delete;
  IoCompletion& operator=(const IoCompletion&) = delete;

  // Backend side: copies up to the caller's buffer length of `reply`, records
  // the result and signals the event. False (nothing touched) when the call
  // was cancelled or completed before.
  bool complete(bool ok, const void* reply, uint32_t replyLen);

  // Caller side: after this returns, complete() touches nothing of the
  // caller's. False when the call had already completed.
  bool cancel();

  // Backend side: run once by a successful cancel(), after the caller's
  // buffer and event are let go and outside this object's lock, so a
  // backend learns that its caller gave up (a kernel driver's cancel
  // routine). Set while the call is pending; a cancelled call runs it at once.
  void setCancelRoutine(std::function<void()> routine);

  bool finished() const;
  bool cancelled() const;
  bool succeeded() const;
  uint32_t bytes() const;

 private:
  mutable std::mutex mutex_;
  void* out_;
  uint32_t outLen_;
  Event* event_;
  bool finished_ = false;
  bool cancelled_ = false;
  bool ok_ = false;
  uint32_t bytes_ = 0;
  std::function<void()> cancelRoutine_;
};

}  // namespace kestrane::platform
