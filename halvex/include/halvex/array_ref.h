#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kestrane::halvex {

// A read-only view of a list the caller keeps alive for the call: a pointer
// and a count. Built from a vector, a braced list or a pointer and a count.
template <typename T>
class ArrayRef {
 public:
  ArrayRef() = default;
  ArrayRef(const T* data, size_t size) : data_(data), size_(size) {}
  ArrayRef(const std::vector<T>& v) : data_(v.data()), size_(v.size()) {}  // NOLINT(runtime/explicit)
  // The braced list lives until the end of the full expression of the call
  // it is passed to, as long as the view is used.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winit-list-lifetime"
#endif
  ArrayRef(std::initializer_list<T> list)  // NOLINT(runtime/explicit)
      : data_(list.begin()), size_(list.size()) {}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  const T& operator[](size_t i) const { return data_[i]; }
  std::vector<T> vec() const { return std::vector<T>(begin(), end()); }

 private:
  const T* data_ = nullptr;
  size_t size_ = 0;
};

using IntArrayRef = ArrayRef<int64_t>;

}  // namespace kestrane::halvex
