#pragma once

// Starting a thread without an exception. std::thread throws when the system
// has no thread to give (pthread_create fails with EAGAIN when host memory or
// a thread limit runs out); every thread of the library starts here instead,
// so that its caller gets a failure it can turn into a status, and so that a
// test can make any one start fail and see that its caller comes out whole.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/system_error.h"

namespace kestrane::platform {

namespace detail {
// Counts one start; false, with lastError() EAGAIN, when it is the one that
// failThreadStart asked to fail.
bool admitThreadStart();
}  // namespace detail

// Starts `thread`, which must not hold a running thread, on f(args...).
// False, with `thread` left empty and lastError() the reason (EAGAIN,
// ENOMEM), when no thread could be started.
template <typename F, typename... Args>
bool startThread(std::thread& thread, F&& f, Args&&... args) noexcept {
  if (!detail::admitThreadStart()) return false;
  try {
    thread = std::thread(std::forward<F>(f), std::forward<Args>(args)...);
    return true;
  } catch (const std::system_error& e) {
    setLastError(e.code().value());
  } catch (...) {  // the thread's state or its copied arguments: no memory
    setLastError(ENOMEM);
  }
  return false;
}

// For tests: from now on the `k`-th start (1: the next one) fails as one the
// system refuses; nullopt: none fails (the default). Also sets the count of
// starts back to 0. The product never calls it.
void failThreadStart(std::optional<uint64_t> k);

// The starts tried since the last failThreadStart call, the failed one included.
uint64_t threadStarts();

}  // namespace kestrane::platform
