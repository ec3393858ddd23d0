#pragma once

// What a FutureFloat / FutureInt8 object holds: one native Future, which is
// used by one thread at a time. Python threads may share the object, so
// calls are admitted here: the first get() takes the future for itself and
// waits for the wait_for() calls under way; a get() after that (also one
// racing it) and a wait_for() after get() never touch the taken future but
// an invalid one of their own, which refuses them as the native future
// refuses a second get(): Future_NotValid or false, with its log line.
//
// A future never reaches back into Python, so its waits run without the
// interpreter lock, and so does the collection of a request that its
// destructor makes (at most 11000 ms) when the outputs were never taken.

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "kestrane/future.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace ophel {

namespace py = pybind11;

template <typename T>
class FutureHandle {
 public:
  FutureHandle() : future_(std::make_unique<kestrane::Future<T>>()) {}
  explicit FutureHandle(kestrane::Future<T>&& future)
      : future_(std::make_unique<kestrane::Future<T>>(std::move(future))) {}
  FutureHandle(const FutureHandle&) = delete;
  FutureHandle& operator=(const FutureHandle&) = delete;

  ~FutureHandle() {
    bool pending = false;
    {
      std::lock_guard lock(mutex_);
      pending = !taken_;
    }
    if (pending && Py_IsInitialized() && PyGILState_Check()) {
      py::gil_scoped_release nogil;
      future_.reset();
    }
  }

  // Lock released by the caller.
  std::vector<kestrane::NDArray<T>> get(kestrane::StatusCode& status) {
    bool first = false;
    {
      std::unique_lock lock(mutex_);
      first = !taken_;
      taken_ = true;
      if (first) waitersGone_.wait(lock, [&] { return waiters_ == 0; });
    }
    return first ? future_->get(status) : kestrane::Future<T>().get(status);
  }

  bool waitFor(int64_t timeoutMs) {
    bool taken = false;
    {
      std::lock_guard lock(mutex_);
      taken = taken_;
      if (!taken) ++waiters_;
    }
    if (taken) return kestrane::Future<T>().waitFor(timeoutMs);
    const bool ready = future_->waitFor(timeoutMs);
    {
      std::lock_guard lock(mutex_);
      --waiters_;
    }
    waitersGone_.notify_all();
    return ready;
  }

 private:
  std::unique_ptr<kestrane::Future<T>> future_;
  std::mutex mutex_;
  std::condition_variable waitersGone_;
  int waiters_ = 0;
  bool taken_ = false;
};

}  // namespace ophel
