#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kestrane {

// A double-ended FIFO over a circular array that only grows: once it has
// held as many items as a queue needs, taking and putting items allocates
// nothing (std::deque allocates a block every few items of a large type).
// Slots keep the moved-from items until they are reused. Not thread-safe.
template <typename T>
class RingDeque {
 public:
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }

  void push_back(T&& item) {
    reserveOneMore();
    slots_[(head_ + size_) % slots_.size()] = std::move(item);
    ++size_;
  }
  void push_front(T&& item) {
    reserveOneMore();
    head_ = (head_ + slots_.size() - 1) % slots_.size();
    slots_[head_] = std::move(item);
    ++size_;
  }
  T& front() { return slots_[head_]; }
  void pop_front() {
    head_ = (head_ + 1) % slots_.size();
    --size_;
  }
  // Moves every item, front first, into `out`, and empties the queue.
  void drainInto(std::vector<T>& out) {
    out.reserve(out.size() + size_);
    for (; size_ > 0; pop_front()) out.push_back(std::move(front()));
  }

 private:
  void reserveOneMore() {
    if (size_ < slots_.size()) return;
    std::vector<T> grown(slots_.empty() ? 4 : 2 * slots_.size());
    for (size_t i = 0; i < size_; ++i) grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_ = std::move(grown);
    head_ = 0;
  }

  std::vector<T> slots_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace kestrane
