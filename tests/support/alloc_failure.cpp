#include "support/alloc_failure.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

// ASan and TSan bring their own malloc, which a replacement here would bypass.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTRANE_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KESTRANE_COUNT_MALLOC 0
#endif
#endif
#ifndef KESTRANE_COUNT_MALLOC
#define KESTRANE_COUNT_MALLOC 1
#endif

#if KESTRANE_COUNT_MALLOC
// The C library's own allocator under its internal names: calling them
// neither counts nor allocates through dlsym.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}
#endif

namespace kestrane::test {

namespace {

constexpr int kFamilies = 2;
std::atomic<int64_t> gLive{0};  // blocks of operator new not yet deleted

std::atomic<int> gScopes{0};
std::atomic<uint64_t> gCount[kFamilies] = {0, 0};
std::atomic<uint64_t> gFailAt{0};  // 0: none
std::atomic<int> gFailFamily{0};
std::atomic<bool> gFailed{false};
std::atomic<uint64_t> gFailedBytes{0};
thread_local int tScopes = 0;  // trivial: no destructor for the C library to register

// False when this allocation (of `bytes`) is the one chosen to fail.
bool admit(AllocFamily family, std::size_t bytes) {
  if (gScopes.load(std::memory_order_relaxed) == 0 && tScopes == 0) return true;
  const auto f = static_cast<int>(family);
  const uint64_t n = gCount[f].fetch_add(1) + 1;
  if (n != gFailAt.load() || f != gFailFamily.load()) return true;
  gFailedBytes.store(bytes);
  gFailed.store(true);
  return false;
}

void* plainBlock(std::size_t size) {
#if KESTRANE_COUNT_MALLOC
  return __libc_malloc(size);
#else
  return std::malloc(size);
#endif
}

void* alignedBlock(std::size_t alignment, std::size_t size) {
#if KESTRANE_COUNT_MALLOC
  return __libc_memalign(alignment, size);
#else
  void* p = nullptr;
  return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
#endif
}

void* allocate(std::size_t size, std::size_t alignment) {
  if (!admit(AllocFamily::New, size)) return nullptr;
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t) ? plainBlock(size) : alignedBlock(alignment, size);
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

bool mallocFamilyCounted() { return KESTRANE_COUNT_MALLOC != 0; }

void failAllocation(std::optional<uint64_t> k, AllocFamily family) {
  gFailAt.store(0);
  for (auto& count : gCount) count.store(0);
  gFailed.store(false);
  gFailedBytes.store(0);
  gFailFamily.store(static_cast<int>(family));
  gFailAt.store(k.value_or(0));
}

uint64_t countedAllocations(AllocFamily family) { return gCount[static_cast<int>(family)].load(); }

bool allocationFailed() { return gFailed.load(); }

uint64_t failedAllocationBytes() { return gFailed.load() ? gFailedBytes.load() : 0; }

int64_t liveAllocations() { return gLive.load(); }

CountedAllocations::CountedAllocations() { gScopes.fetch_add(1); }
CountedAllocations::~CountedAllocations() { gScopes.fetch_sub(1); }

CountedAllocationsOnThisThread::CountedAllocationsOnThisThread() { ++tScopes; }
CountedAllocationsOnThisThread::~CountedAllocationsOnThisThread() { --tScopes; }

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

#if KESTRANE_COUNT_MALLOC
// The malloc family of the whole process, the C library's internal callers
// included (fopen, strdup, opendir, pthread_create's thread data). free stays
// the C library's: every block comes from its allocator.
namespace {

bool admitMalloc(std::size_t bytes) {
  if (kestrane::test::admit(kestrane::test::AllocFamily::Malloc, bytes)) return true;
  errno = ENOMEM;
  return false;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* malloc(std::size_t n) noexcept {
  return admitMalloc(n) ? __libc_malloc(n) : nullptr;
}

__attribute__((visibility("default"))) void* calloc(std::size_t n, std::size_t size) noexcept {
  // An overflowing product is the C library's to refuse.
  return admitMalloc(n * size) ? __libc_calloc(n, size) : nullptr;
}

__attribute__((visibility("default"))) void* realloc(void* p, std::size_t n) noexcept {
  // A shrink to nothing frees: no allocation to fail.
  if (p != nullptr && n == 0) return __libc_realloc(p, n);
  return admitMalloc(n) ? __libc_realloc(p, n) : nullptr;
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t n) noexcept {
  return admitMalloc(n) ? __libc_memalign(alignment, n) : nullptr;
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t n) noexcept {
  return admitMalloc(n) ? __libc_memalign(alignment, n) : nullptr;
}

__attribute__((visibility("default"))) int posix_memalign(void** out, std::size_t alignment, std::size_t n) noexcept {
  // Refused arguments are refused before any allocation, as the C library does.
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  // The error is the result; errno stays as it was.
  if (!kestrane::test::admit(kestrane::test::AllocFamily::Malloc, n)) return ENOMEM;
  void* p = __libc_memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
#endif
