#pragma once

// A per-thread object, made on the thread's first use and destroyed when the
// thread ends. Unlike a thread_local with a destructor, whose first use
// registers that destructor with the C library and ends the process when
// the registration finds no host memory, a thread's first use here throws
// std::bad_alloc, which the call that made it can report.

#include <pthread.h>

#include <memory>
#include <new>
#include <stdexcept>

namespace kestrane::platform {

template <typename T>
class ThreadSlot {
 public:
  ThreadSlot() : created_(pthread_key_create(&key_, &destroy) == 0) {}
  // The key stays: threads still running may end after the slot, and run
  // its destructor then.
  ~ThreadSlot() = default;
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  // The calling thread's object; throws std::bad_alloc when it has none yet
  // and there is no memory for one (std::runtime_error when the system had
  // no key left for the slot).
  T& get() {
    if (!created_) throw std::runtime_error("no thread-specific key left");
    if (void* p = pthread_getspecific(key_)) return *static_cast<T*>(p);
    auto made = std::make_unique<T>();
    if (pthread_setspecific(key_, made.get()) != 0) throw std::bad_alloc();
    return *made.release();
  }

 private:
  static void destroy(void* p) { const std::unique_ptr<T> owned(static_cast<T*>(p)); }

  pthread_key_t key_{};
  bool created_;
};

}  // namespace kestrane::platform
