#include "support/alloc_failure.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace kestrane::test {

namespace {

std::atomic<int> gScopes{0};
std::atomic<uint64_t> gCount{0};
std::atomic<uint64_t> gFailAt{0};  // 0: none
std::atomic<bool> gFailed{false};
std::atomic<int64_t> gLive{0};

// False when this allocation is the one chosen to fail.
bool admit() {
  if (gScopes.load(std::memory_order_relaxed) == 0) return true;
  const uint64_t n = gCount.fetch_add(1) + 1;
  if (n != gFailAt.load()) return true;
  gFailed.store(true);
  return false;
}

void* allocate(std::size_t size, std::size_t alignment) {
  if (!admit()) return nullptr;
  if (size == 0) size = 1;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) p = std::malloc(size);
  else if (posix_memalign(&p, alignment, size) != 0) p = nullptr;
  if (p != nullptr) gLive.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) {
  if (p != nullptr) gLive.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
  void* p = allocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void failAllocation(std::optional<uint64_t> k) {
  gFailAt.store(0);
  gCount.store(0);
  gFailed.store(false);
  gFailAt.store(k.value_or(0));
}

uint64_t countedAllocations() { return gCount.load(); }

bool allocationFailed() { return gFailed.load(); }

int64_t liveAllocations() { return gLive.load(); }

CountedAllocations::CountedAllocations() { gScopes.fetch_add(1); }
CountedAllocations::~CountedAllocations() { gScopes.fetch_sub(1); }

}  // namespace kestrane::test

using kestrane::test::allocate;
using kestrane::test::allocateOrThrow;
using kestrane::test::release;

constexpr std::size_t kPlain = alignof(std::max_align_t);

void* operator new(std::size_t n) { return allocateOrThrow(n, kPlain); }
void* operator new[](std::size_t n) { return allocateOrThrow(n, kPlain); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocateOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocateOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
