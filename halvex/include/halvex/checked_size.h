#pragma once

// Sums and products of sizes that callers and model descriptions give
// (shapes, split sizes, repeat counts): each says when the exact result does
// not fit int64, where plain arithmetic would be undefined or wrap.

#include <cstdint>
#include <optional>

namespace kestrane::halvex {

inline std::optional<int64_t> checkedAdd(int64_t a, int64_t b) {
  int64_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}

inline std::optional<int64_t> checkedMul(int64_t a, int64_t b) {
  int64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}

// The product of the sizes in [first, last) (1 for none). A 0 anywhere gives
// 0 whatever the other sizes: an empty tensor may have sizes whose product
// does not fit.
template <typename It>
std::optional<int64_t> checkedProduct(It first, It last) {
  for (It it = first; it != last; ++it) {
    if (*it == 0) return 0;
  }
  int64_t n = 1;
  for (; first != last; ++first) {
    if (__builtin_mul_overflow(n, *first, &n)) return std::nullopt;
  }
  return n;
}

template <typename Sizes>
std::optional<int64_t> checkedProduct(const Sizes& sizes) {
  return checkedProduct(sizes.begin(), sizes.end());
}

}  // namespace kestrane::halvex
