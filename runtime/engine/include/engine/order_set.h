#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestrane {

// A set of task orders, kept sorted in an array: a watchdog holds only the
// few tasks placed on its core group at a time, so this beats a tree and,
// once it has held that many, allocates nothing. Not thread-safe.
class OrderSet {
 public:
  OrderSet() { orders_.reserve(8); }
  bool empty() const { return orders_.empty(); }
  // The lowest order; the set must not be empty.
  uint64_t lowest() const { return orders_.front(); }
  void insert(uint64_t order) {
    auto at = std::lower_bound(orders_.begin(), orders_.end(), order);
    if (at == orders_.end() || *at != order) orders_.insert(at, order);
  }
  void erase(uint64_t order) {
    auto at = std::lower_bound(orders_.begin(), orders_.end(), order);
    if (at != orders_.end() && *at == order) orders_.erase(at);
  }

 private:
  std::vector<uint64_t> orders_;
};

}  // namespace kestrane
