#include "platform/thread_start.h"

#include <atomic>

namespace kestrane::platform {

namespace {
std::atomic<uint64_t> gStarts{0};
std::atomic<uint64_t> gFailAt{0};  // 0: none
}  // namespace

namespace detail {

bool admitThreadStart() {
  const uint64_t n = gStarts.fetch_add(1) + 1;
  if (n != gFailAt.load()) return true;
  setLastError(EAGAIN);
  return false;
}

}  // namespace detail

void failThreadStart(std::optional<uint64_t> k) {
  gFailAt.store(0);
  gStarts.store(0);
  gFailAt.store(k.value_or(0));
}

uint64_t threadStarts() { return gStarts.load(); }

}  // namespace kestrane::platform
