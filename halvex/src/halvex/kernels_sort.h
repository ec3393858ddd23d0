#pragma once

// Sorting and top-k of one strided line. NaN orders as the largest value, so
// the comparison is a strict weak order on every input: ascending puts NaNs
// last, descending first. The order of equal values is not fixed.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrane::halvex::kernels {

template <typename T>
inline bool isNan(T v) {
  if constexpr (std::is_floating_point_v<T>) return v != v; else return false;
}

// a before b in ascending order, NaN largest.
template <typename T>
inline bool sortLess(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    return a < b || (!isNan(a) && isNan(b));
  } else {
    return a < b;
  }
}

// Order-preserving unsigned key of a value of at most 32 bits; every NaN maps
// to the largest key.
template <typename T>
inline uint32_t sortKey(T v) {
  if constexpr (std::is_same_v<T, float>) {
    if (v != v) return 0xFFFFFFFFu;
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  } else if constexpr (std::is_signed_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<uint32_t>(static_cast<U>(static_cast<U>(v) ^ (U(1) << (sizeof(T) * 8 - 1))));
  } else {
    return static_cast<uint32_t>(v);
  }
}

// Sorts items by their upper 32 bits with a least-significant-digit radix
// sort (bytes that are equal in every item are skipped).
inline void radixSortUpper32(std::vector<uint64_t>& items, std::vector<uint64_t>& tmp, int keyBytes) {
  const size_t n = items.size();
  tmp.resize(n);
  for (int pass = 0; pass < keyBytes; ++pass) {
    const int shift = 32 + pass * 8;
    size_t count[256] = {};
    for (size_t i = 0; i < n; ++i) ++count[(items[i] >> shift) & 0xFF];
    if (count[(items[0] >> shift) & 0xFF] == n) continue;
    size_t pos = 0;
    for (size_t& c : count) {
      const size_t here = c;
      c = pos;
      pos += here;
    }
    for (size_t i = 0; i < n; ++i) tmp[count[(items[i] >> shift) & 0xFF]++] = items[i];
    items.swap(tmp);
  }
}

// Scratch space reused across the lines of one call.
template <typename T>
struct SortScratch {
  std::vector<uint64_t> keyed;
  std::vector<uint64_t> tmp;
  std::vector<std::pair<T, int64_t>> pairs;
};

// Sorts the line in[0], in[is], ... (n elements); writes values to out
// (stride os) and source positions to index (stride xs).
template <typename T>
void sortLine(const T* in, int64_t n, int64_t is, T* out, int64_t os, int64_t* index, int64_t xs,
              bool descending, SortScratch<T>& s) {
  if (n <= 0) return;
  if constexpr (sizeof(T) <= 4) {
    if (n > 64) {
      // Keys with the position in the low half: one radix sort of 64-bit words.
      s.keyed.resize(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) {
        uint32_t key = sortKey(in[i * is]);
        if (descending) key = ~key;
        s.keyed[i] = (static_cast<uint64_t>(key) << 32) | static_cast<uint64_t>(i);
      }
      radixSortUpper32(s.keyed, s.tmp, static_cast<int>(sizeof(T) < 4 ? sizeof(T) : 4));
      for (int64_t i = 0; i < n; ++i) {
        const int64_t src = static_cast<int64_t>(s.keyed[i] & 0xFFFFFFFFu);
        out[i * os] = in[src * is];
        index[i * xs] = src;
      }
      return;
    }
  }
  s.pairs.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) s.pairs[i] = {in[i * is], i};
  if (descending) {
    std::sort(s.pairs.begin(), s.pairs.end(), [](const auto& a, const auto& b) { return sortLess(b.first, a.first); });
  } else {
    std::sort(s.pairs.begin(), s.pairs.end(), [](const auto& a, const auto& b) { return sortLess(a.first, b.first); });
  }
  for (int64_t i = 0; i < n; ++i) {
    out[i * os] = s.pairs[i].first;
    index[i * xs] = s.pairs[i].second;
  }
}

// The k largest (largest) or smallest elements of the line; ordered from the
// extreme inward when sorted, else in selection order.
template <typename T>
void topkLine(const T* in, int64_t n, int64_t is, int64_t k, bool largest, bool sorted, T* out, int64_t os,
              int64_t* index, int64_t xs, SortScratch<T>& s) {
  if (k <= 0 || n <= 0) return;
  if (k > n) k = n;
  s.pairs.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) s.pairs[i] = {in[i * is], i};
  auto run = [&](auto cmp) {
    if (k < n) std::nth_element(s.pairs.begin(), s.pairs.begin() + (k - 1), s.pairs.end(), cmp);
    if (sorted) std::sort(s.pairs.begin(), s.pairs.begin() + k, cmp);
  };
  if (largest) {
    run([](const auto& a, const auto& b) { return sortLess(b.first, a.first); });
  } else {
    run([](const auto& a, const auto& b) { return sortLess(a.first, b.first); });
  }
  for (int64_t i = 0; i < k; ++i) {
    out[i * os] = s.pairs[i].first;
    index[i * xs] = s.pairs[i].second;
  }
}

}  // namespace kestrane::halvex::kernels
