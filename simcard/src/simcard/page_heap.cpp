#include "simcard/page_heap.h"

#include <sys/mman.h>

#include <cstring>
#include <new>
#include <utility>

#include "platform/host_allowance.h"

namespace kestrane::simcard {

namespace {

constexpr uint32_t kAllFree = 0xFFFFFFFFu;
static_assert(PageHeap::kSlabPages == 32, "a slab's free pages are the bits of a uint32_t");

uint32_t indexOf(const uint8_t* base, const uint8_t* bytes) {
  return static_cast<uint32_t>(static_cast<uint64_t>(bytes - base) / PageHeap::kPageSize);
}

}  // namespace

PageHeap::Page::Page(Page&& other) noexcept
    : heap_(std::exchange(other.heap_, nullptr)),
      slab_(std::exchange(other.slab_, {})),
      bytes_(std::exchange(other.bytes_, nullptr)) {}

PageHeap::Page& PageHeap::Page::operator=(Page&& other) noexcept {
  if (this != &other) {
    reset();
    heap_ = std::exchange(other.heap_, nullptr);
    slab_ = std::exchange(other.slab_, {});
    bytes_ = std::exchange(other.bytes_, nullptr);
  }
  return *this;
}

void PageHeap::Page::reset() noexcept {
  if (bytes_ == nullptr) return;
  heap_->giveBack(slab_, bytes_);
  heap_ = nullptr;
  slab_ = {};
  bytes_ = nullptr;
}

PageHeap::~PageHeap() {
  for (Slabs* list : {&partial_, &full_})
    for (const Slab& slab : *list) munmap(slab.base, kSlabSize);
}

PageHeap::Page PageHeap::allocate() noexcept {
  if (!platform::takeHostAllowance(kPageSize)) return {};
  std::lock_guard lock(mutex_);
  if (partial_.empty()) {
    if (failMaps_ > 0) {
      --failMaps_;
      return {};
    }
    void* base = mmap(nullptr, kSlabSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return {};
#ifdef MADV_NOHUGEPAGE
    madvise(base, kSlabSize, MADV_NOHUGEPAGE);  // advice only: a kernel without it still works
#endif
    try {
      partial_.push_front({static_cast<uint8_t*>(base), kAllFree});
    } catch (const std::bad_alloc&) {
      munmap(base, kSlabSize);
      return {};
    }
    ++usage_.slabs;
  }
  const Slabs::iterator slab = partial_.begin();
  const auto index = static_cast<uint32_t>(__builtin_ctz(slab->free));
  slab->free &= ~(1u << index);
  if (slab->free == 0) full_.splice(full_.begin(), partial_, slab);
  ++usage_.pages;
  return Page(this, slab, slab->base + index * kPageSize);
}

void PageHeap::giveBack(Slabs::iterator slab, uint8_t* bytes) noexcept {
  // Its memory goes back at once; the page then reads zero again. Should
  // the kernel refuse, zeros are written instead, so that the next owner
  // still finds a zero page.
  if (madvise(bytes, kPageSize, MADV_DONTNEED) != 0) std::memset(bytes, 0, kPageSize);
  std::lock_guard lock(mutex_);
  if (slab->free == 0) partial_.splice(partial_.begin(), full_, slab);
  slab->free |= 1u << indexOf(slab->base, bytes);
  --usage_.pages;
  if (slab->free != kAllFree) return;
  munmap(slab->base, kSlabSize);
  partial_.erase(slab);
  --usage_.slabs;
}

PageHeap::Usage PageHeap::usage() const {
  std::lock_guard lock(mutex_);
  return usage_;
}

void PageHeap::failNextMaps(int count) {
  std::lock_guard lock(mutex_);
  failMaps_ = count < 0 ? 0 : count;
}

}  // namespace kestrane::simcard
