#pragma once

// An ordered map from job id to a value that waiters can take out with a
// time-out, and that can be closed so that nobody waits for it any longer.
// The job manager keeps its promises, done futures and outputs in three of
// them.
//
// Threads: any number. One mutex guards the map and its open flag; every
// waiter is woken by each put and by close. Values are moved in and out under
// the mutex and nothing else runs under it.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "async/deadline.h"

namespace kestrane {

enum class MapResult : int { Ok = 0, TimedOut = 1, Closed = 2 };

template <typename V>
class ClosableMap {
 public:
  using Node = typename std::map<uint32_t, V>::node_type;

  ClosableMap() = default;
  ClosableMap(const ClosableMap&) = delete;
  ClosableMap& operator=(const ClosableMap&) = delete;

  // Stores the value under the id (replacing an entry already there). A
  // closed map refuses it and leaves the value with the caller.
  MapResult put(uint32_t id, V&& value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_) return MapResult::Closed;
      map_.insert_or_assign(id, std::move(value));
    }
    changed_.notify_all();
    return MapResult::Ok;
  }

  // Puts back a node takeNode handed out (replacing an entry of its id);
  // allocates nothing. A closed map refuses it and leaves it with the caller.
  MapResult putNode(Node& node) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_) return MapResult::Closed;
      map_.erase(node.key());
      map_.insert(std::move(node));
    }
    changed_.notify_all();
    return MapResult::Ok;
  }

  // Moves the entry of the id into `out` and erases it, waiting up to
  // timeoutMs (not at all when it is zero or negative) for it to appear. An
  // entry present in a closed map is still handed out; otherwise TimedOut
  // while the map is open, Closed once it is closed.
  MapResult take(uint32_t id, V& out, int64_t timeoutMs) {
    Node node;
    const MapResult result = takeNode(id, node, timeoutMs);
    if (result == MapResult::Ok) out = std::move(node.mapped());
    return result;
  }

  // The same, handing out the map's own node (key(), mapped()): no value
  // needs to be made to receive it, so that, for a value whose making
  // allocates (a promise), taking allocates nothing.
  MapResult takeNode(uint32_t id, Node& out, int64_t timeoutMs) {
    const AsyncClock::time_point deadline = deadlineAfter(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return !open_ || map_.count(id) != 0; });
    const auto it = map_.find(id);
    if (it != map_.end()) {
      out = map_.extract(it);
      return MapResult::Ok;
    }
    return open_ ? MapResult::TimedOut : MapResult::Closed;
  }

  // Takes out the entry with the smallest id without waiting; an empty node
  // when the map is empty. Allocates nothing.
  Node takeFirst() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (map_.empty()) return Node();
    return map_.extract(map_.begin());
  }

  // Refuses every later put and wakes all waiters. Idempotent.
  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = false;
    }
    changed_.notify_all();
  }

  bool isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return map_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint32_t, V> map_;
  bool open_ = true;
};

}  // namespace kestrane
