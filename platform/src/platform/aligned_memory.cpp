#include "platform/aligned_memory.h"

#include <atomic>
#include <cstdlib>

#include "platform/host_allowance.h"

namespace kestrane::platform {

namespace {
std::atomic<int> gFailures{0};

bool takeInjectedFailure() {
  int n = gFailures.load();
  while (n > 0) {
    if (gFailures.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}
}  // namespace

void* alignedMalloc(size_t size, size_t alignment) {
  if (takeInjectedFailure()) return nullptr;
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  if ((alignment & (alignment - 1)) != 0) return nullptr;
  if (!takeHostAllowance(size)) return nullptr;
  void* p = nullptr;
  // A zero-byte request still yields a distinct block.
  if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) return nullptr;
  return p;
}

void alignedFree(void* p) { std::free(p); }

void failNextAlignedAllocations(int count) { gFailures.store(count < 0 ? 0 : count); }

}  // namespace kestrane::platform
