#include "simcard/page_heap.h"

#include <sys/mman.h>

#include <cstring>
#include <new>
#include <utility>

#include "platform/host_allowance.h"

namespace kestrane::simcard {

// A slab's record, apart from the slab so that its pages stay untouched
// until used. It lives in one of the heap's two lists: `partial_` while a
// page of the slab is free, `full_` while none is.
struct PageHeap::Slab {
  uint8_t* base = nullptr;
  uint32_t free = 0;  // bit i: page i is free
  Slab* prev = nullptr;
  Slab* next = nullptr;
};

namespace {

constexpr uint32_t kAllFree = 0xFFFFFFFFu;
static_assert(PageHeap::kSlabPages == 32, "a slab's free pages are the bits of a uint32_t");

uint32_t indexOf(const uint8_t* base, const uint8_t* bytes) {
  return static_cast<uint32_t>(static_cast<uint64_t>(bytes - base) / PageHeap::kPageSize);
}

}  // namespace

PageHeap::Page::Page(Page&& other) noexcept
    : heap_(std::exchange(other.heap_, nullptr)),
      slab_(std::exchange(other.slab_, nullptr)),
      bytes_(std::exchange(other.bytes_, nullptr)) {}

PageHeap::Page& PageHeap::Page::operator=(Page&& other) noexcept {
  if (this != &other) {
    reset();
    heap_ = std::exchange(other.heap_, nullptr);
    slab_ = std::exchange(other.slab_, nullptr);
    bytes_ = std::exchange(other.bytes_, nullptr);
  }
  return *this;
}

void PageHeap::Page::reset() noexcept {
  if (bytes_ == nullptr) return;
  heap_->giveBack(slab_, bytes_);
  heap_ = nullptr;
  slab_ = nullptr;
  bytes_ = nullptr;
}

PageHeap::~PageHeap() {
  for (Slab* list : {partial_, full_}) {
    while (list != nullptr) {
      Slab* next = list->next;
      munmap(list->base, kSlabSize);
      delete list;
      list = next;
    }
  }
}

void PageHeap::link(Slab* slab) noexcept {
  Slab*& head = slab->free != 0 ? partial_ : full_;
  slab->prev = nullptr;
  slab->next = head;
  if (head != nullptr) head->prev = slab;
  head = slab;
}

void PageHeap::unlink(Slab* slab) noexcept {
  Slab*& head = slab->free != 0 ? partial_ : full_;
  if (slab->prev != nullptr)
    slab->prev->next = slab->next;
  else
    head = slab->next;
  if (slab->next != nullptr) slab->next->prev = slab->prev;
  slab->prev = slab->next = nullptr;
}

PageHeap::Page PageHeap::allocate() noexcept {
  if (!platform::takeHostAllowance(kPageSize)) return {};
  std::lock_guard lock(mutex_);
  Slab* slab = partial_;
  if (slab == nullptr) {
    if (failMaps_ > 0) {
      --failMaps_;
      return {};
    }
    void* base = mmap(nullptr, kSlabSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return {};
#ifdef MADV_NOHUGEPAGE
    madvise(base, kSlabSize, MADV_NOHUGEPAGE);  // advice only: a kernel without it still works
#endif
    slab = new (std::nothrow) Slab;
    if (slab == nullptr) {
      munmap(base, kSlabSize);
      return {};
    }
    slab->base = static_cast<uint8_t*>(base);
    slab->free = kAllFree;
    link(slab);
    ++usage_.slabs;
  }
  const uint32_t index = static_cast<uint32_t>(__builtin_ctz(slab->free));
  unlink(slab);
  slab->free &= ~(1u << index);
  link(slab);
  ++usage_.pages;
  return Page(this, slab, slab->base + index * kPageSize);
}

void PageHeap::giveBack(Slab* slab, uint8_t* bytes) noexcept {
  // Its memory goes back at once; the page then reads zero again. Should
  // the kernel refuse, zeros are written instead, so that the next owner
  // still finds a zero page.
  if (madvise(bytes, kPageSize, MADV_DONTNEED) != 0) std::memset(bytes, 0, kPageSize);
  std::lock_guard lock(mutex_);
  unlink(slab);
  slab->free |= 1u << indexOf(slab->base, bytes);
  --usage_.pages;
  if (slab->free != kAllFree) {
    link(slab);
    return;
  }
  munmap(slab->base, kSlabSize);
  delete slab;
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
