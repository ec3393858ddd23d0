#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/ring_deque.h"
#include "engine/spin_wait.h"

namespace kestrane {

// A FIFO with an open flag and an active flag, the shape of the model task
// queue, the scheduler's worker queue and the reset-request queue. Both flags
// start true. Closing stops pushes and lets consumers drain what is left;
// pausing keeps the items but sends consumers away until resumed.
//
// Threads: any number of producers and consumers. Waiters in pop() look for
// an item a moment where that has been paying (AdaptiveSpin), then block on
// the queue's condition variable; push wakes one, close, pause, resume and
// wakeAll wake every one, each after letting go of the mutex, so that a
// woken waiter does not run into it. One mutex guards everything; the ready
// flag mirrors, for the looking, whether pop would return at once. The
// items sit in a ring that allocates only when it grows.
template <typename T>
class FlagQueue {
 public:
  enum class Pop { Item, Paused, Drained };

  FlagQueue() = default;
  FlagQueue(const FlagQueue&) = delete;
  FlagQueue& operator=(const FlagQueue&) = delete;

  // Appends the item (moved from) and wakes one waiter; a paused queue takes
  // items too. False when the queue is closed: the item is left untouched.
  bool push(T&& item) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return false;
      items_.push_back(std::move(item));
      ready_.store(true, std::memory_order_release);
    }
    cv_.notify_one();
    return true;
  }

  // Puts an item back at the front (a consumer returning what it took).
  bool pushFront(T&& item) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return false;
      items_.push_front(std::move(item));
      ready_.store(true, std::memory_order_release);
    }
    cv_.notify_one();
    return true;
  }

  // Waits while the queue is empty, open and active (and `leave`, when
  // given, is false). Paused (also for `leave`): no item, even when items
  // wait. Drained: closed and empty.
  Pop pop(T& out, const std::atomic<bool>* leave = nullptr) {
    spin_.spin([&] { return ready_.load(std::memory_order_acquire) || (leave && leave->load()); });
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return !items_.empty() || !open_ || !active_ || (leave && leave->load()); });
    if (!active_ || (leave && leave->load())) return Pop::Paused;
    if (items_.empty()) return Pop::Drained;
    out = std::move(items_.front());
    items_.pop_front();
    updateReady();
    return Pop::Item;
  }

  // The front item without waiting, while the queue is active and not empty.
  bool tryPop(T& out) {
    std::lock_guard lock(mutex_);
    if (!active_ || items_.empty()) return false;
    out = std::move(items_.front());
    items_.pop_front();
    updateReady();
    return true;
  }

  // The front item, whatever the flags; false when empty. Allocates
  // nothing, for the ways out that empty a queue item by item.
  bool takeFront(T& out) {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return false;
    out = std::move(items_.front());
    items_.pop_front();
    updateReady();
    return true;
  }

  void close() { setFlag(open_, false); }
  void pause() { setFlag(active_, false); }
  void resume() { setFlag(active_, true); }
  // Wakes every waiter so that it looks at its `leave` flag again.
  void wakeAll() {
    { std::lock_guard lock(mutex_); }
    cv_.notify_all();
  }

  bool isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
  }
  bool isActive() const {
    std::lock_guard lock(mutex_);
    return active_;
  }
  // {open, active}, read together.
  std::pair<bool, bool> flags() const {
    std::lock_guard lock(mutex_);
    return {open_, active_};
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

 private:
  void setFlag(bool& flag, bool value) {
    {
      std::lock_guard lock(mutex_);
      flag = value;
      updateReady();
    }
    cv_.notify_all();
  }
  // Under the mutex.
  void updateReady() { ready_.store(!items_.empty() || !open_ || !active_, std::memory_order_release); }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  RingDeque<T> items_;
  bool open_ = true;
  bool active_ = true;
  std::atomic<bool> ready_{false};
  AdaptiveSpin spin_;
};

}  // namespace kestrane
