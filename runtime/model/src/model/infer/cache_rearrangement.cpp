#include "model/cache_rearrangement.h"

#include "core/log.h"

namespace kestrane {

namespace {

constexpr uint32_t kMaxTail = 32;

CacheRearrangement refused(StatusCode status, uint32_t cacheSize) {
  CacheRearrangement r;
  r.status = status;
  r.newCacheSize = cacheSize;
  return r;
}

uint64_t roundDown(uint64_t v, uint64_t g) { return v / g * g; }
uint64_t roundUp(uint64_t v, uint64_t g) { return roundDown(v + g - 1, g); }

}  // namespace

CacheRearrangement planFilterCacheTail(uint32_t cacheSize, int32_t tailSize, const std::vector<bool>& mask,
                                       uint32_t maxCacheSize) {
  const auto c = static_cast<int32_t>(cacheSize);
  const int32_t t = tailSize;
  if (c < 0 || t < 0) {
    KLOG_ERROR("Failed to filter cache tail - negative arguments (`cache_size`: {}, `tail_size`: {})", c, t);
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  if (cacheSize > maxCacheSize) {
    KLOG_ERROR("Failed to filter cache tail - `cache_size` ({}) exceeds `max_cache_size` ({}).", cacheSize,
               maxCacheSize);
    return refused(StatusCode::Model_CacheOverflow, cacheSize);
  }
  if (static_cast<uint32_t>(t) > kMaxTail || t > c) {
    KLOG_ERROR("Failed to filter cache tail - `tail_size` ({}) is larger than 32 or `cache_size` ({}).", t, c);
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  if (static_cast<size_t>(t) != mask.size()) {
    KLOG_ERROR("Failed to filter cache tail - `tail_size` ({}) and `mask.size()` ({}) are mismatched.", t,
               mask.size());
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  uint32_t keep = 0, kept = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (!mask[i]) continue;
    keep |= 1u << i;
    ++kept;
  }
  CacheRearrangement r;
  r.run = true;
  r.args = {static_cast<uint32_t>(t), cacheSize - static_cast<uint32_t>(t), keep, 0, 0, 0, 0, 0};
  r.newCacheSize = cacheSize - static_cast<uint32_t>(t) + kept;
  return r;
}

CacheRearrangement planMoveCacheTail(uint32_t numHead, int32_t numTail, uint32_t cacheSize, uint32_t maxCacheSize,
                                     uint32_t granule) {
  const auto h = static_cast<int32_t>(numHead);
  const auto c = static_cast<int32_t>(cacheSize);
  const int32_t t = numTail;
  if (h < 0 || t < 0 || c < 0) {
    KLOG_ERROR("Failed to move cache tail - negative arguments (`num_head`: {}, `num_tail`: {}, `cache_size`: {})", h,
               t, c);
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  if (cacheSize > maxCacheSize) {
    KLOG_ERROR("Failed to move cache tail - `cache_size` ({}) exceeds maxinum cache size ({})", cacheSize,
               maxCacheSize);
    return refused(StatusCode::Model_CacheOverflow, cacheSize);
  }
  // All three are below 2^31, so the sums stay within 64 bits (and 32).
  const uint64_t head = numHead, tail = static_cast<uint64_t>(t), size = cacheSize;
  if (head + tail > size) {
    KLOG_ERROR("Failed to move cache tail - `num_head` + `num_tail` > `cache_size` ({} + {} > {})", h, t, c);
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  CacheRearrangement r;
  r.newCacheSize = cacheSize;
  if (head + tail == size) return r;
  const uint64_t g = granule == 0 ? 1 : granule;
  const uint64_t dst = roundUp(head, g), src = roundDown(size - tail, g), end = roundUp(size, g);
  if (dst > src) {
    KLOG_ERROR("Failed to move cache tail - `r_move_dst` ({}) > `r_move_src` ({}).", dst, src);
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  if (dst == src) return r;
  // A granule that rounds the end past 32 bits would wrap the arguments.
  if (end > UINT32_MAX) {
    KLOG_ERROR("Failed to move cache tail - the granule {} rounds `cache_size` ({}) past 32 bits.", g, c);
    return refused(StatusCode::Model_InvalidSupplementary, cacheSize);
  }
  const uint64_t n = end - src;
  r.run = true;
  r.args = {0,
            0,
            0,
            static_cast<uint32_t>(src),
            static_cast<uint32_t>(dst),
            static_cast<uint32_t>(n),
            static_cast<uint32_t>(dst + n),
            static_cast<uint32_t>(end - (dst + n))};
  r.newCacheSize = static_cast<uint32_t>(size - (src - dst));
  return r;
}

RearrangeArgs resetArguments(uint32_t maxCacheSize) { return {0, 0, 0, 0, 0, 0, 0, maxCacheSize}; }

std::string cacheFilePath(const std::string& directory, const std::string& layerHash) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  return path + "cache_" + layerHash + ".bin";
}

}  // namespace kestrane
