#include "simcard/device_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/log.h"

namespace kestrane::simcard {

uint64_t DeviceMemory::Journal::copiedBytes() const {
  uint64_t n = 0;
  for (const auto& [page, bytes] : before)
    if (bytes) n += kPageSize;
  return n;
}

DeviceMemory::DeviceMemory(const std::vector<MemoryRegion>& regions, uint64_t capBytes) : cap_(capBytes) {
  std::vector<MemoryRegion> sorted;
  for (const auto& r : regions)
    if (r.size > 0 && r.base + r.size > r.base) sorted.push_back(r);
  std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.base < b.base; });
  for (const auto& r : sorted) {
    if (!regions_.empty() && r.base <= regions_.back().base + regions_.back().size) {
      auto& last = regions_.back();
      last.size = std::max(last.base + last.size, r.base + r.size) - last.base;
    } else {
      regions_.push_back(r);
    }
  }
}

bool DeviceMemory::contains(uint64_t address, uint64_t size) const {
  if (size == 0 || address + size < address) return false;
  auto it = std::upper_bound(regions_.begin(), regions_.end(), address,
                             [](uint64_t a, const MemoryRegion& r) { return a < r.base; });
  if (it == regions_.begin()) return false;
  --it;
  return address - it->base + size <= it->size;
}

bool DeviceMemory::read(uint64_t address, void* dst, uint64_t size) const {
  if (!contains(address, size)) return false;
  auto* out = static_cast<uint8_t*>(dst);
  std::lock_guard lock(mutex_);
  while (size > 0) {
    uint64_t page = address / kPageSize, within = address % kPageSize;
    uint64_t n = std::min(size, kPageSize - within);
    auto it = pages_.find(page);
    if (it == pages_.end())
      std::memset(out, 0, n);
    else
      std::memcpy(out, it->second.get() + within, n);
    out += n;
    address += n;
    size -= n;
  }
  return true;
}

bool DeviceMemory::write(uint64_t address, const void* src, uint64_t size, Journal* journal) {
  if (!contains(address, size)) return false;
  const auto* in = static_cast<const uint8_t*>(src);
  std::lock_guard lock(mutex_);
  uint64_t fresh = 0;
  const uint64_t first = address / kPageSize, last = (address + size - 1) / kPageSize;
  for (uint64_t page = first; page <= last; ++page)
    if (pages_.find(page) == pages_.end()) ++fresh;
  if ((pages_.size() + fresh) * kPageSize > cap_) {
    if (journal) journal->refusedForMemory = true;
    return false;
  }
  // The part of the write that falls on `page`: where in the page, how many
  // bytes, and from where in the source.
  struct Part {
    uint64_t within, n;
    const uint8_t* from;
  };
  auto partOf = [&](uint64_t page) {
    const uint64_t begin = std::max(address, page * kPageSize), end = std::min(address + size, (page + 1) * kPageSize);
    return Part{begin - page * kPageSize, end - begin, in + (begin - address)};
  };
  // What the write needs comes first: the pages it commits (they read zero)
  // and, with a journal, a copy of each committed page whose bytes it
  // changes and the journal has none of yet, and a note of each page it
  // commits. Without host memory for one, what was had goes again.
  std::map<uint64_t, PageHeap::Page> notes;
  std::vector<uint64_t> made;
  bool enough = true;
  try {
    made.reserve(fresh);
    for (uint64_t page = first; enough && page <= last; ++page) {
      auto it = pages_.find(page);
      const bool noted = journal && journal->before.count(page) > 0;
      if (it == pages_.end()) {
        if (journal && !noted) notes.emplace(page, PageHeap::Page());
        continue;
      }
      const Part part = partOf(page);
      if (!journal || noted || std::memcmp(it->second.get() + part.within, part.from, part.n) == 0) continue;
      PageHeap::Page copy = copies_.allocate();
      if (!copy) {
        enough = false;
        break;
      }
      std::memcpy(copy.get(), it->second.get(), kPageSize);
      notes.emplace(page, std::move(copy));  // on a throw the copy goes back
    }
    for (uint64_t page = first; enough && page <= last; ++page) {
      if (pages_.find(page) != pages_.end()) continue;
      PageHeap::Page bytes = heap_.allocate();
      if (!bytes) {
        enough = false;
        break;
      }
      pages_.emplace(page, std::move(bytes));  // on a throw the page goes back
      made.push_back(page);                    // reserved: cannot throw
    }
  } catch (const std::bad_alloc&) {
    enough = false;
  }
  if (!enough) {
    for (uint64_t page : made) pages_.erase(page);
    notes.clear();  // room for the line
    KLOG_ERROR("Simulated card: no host memory for the pages of a write of {} bytes at 0x{:x}.", size, address);
    if (journal) journal->refusedForMemory = true;
    errno = ENOMEM;
    return false;
  }
  if (journal) journal->before.merge(notes);  // moves the nodes: cannot throw
  // Only what differs is written: a page keeps the memory it never needed
  // (zeros written over a fresh page leave it untouched).
  for (uint64_t page = first; page <= last; ++page) {
    const Part part = partOf(page);
    uint8_t* to = pages_.find(page)->second.get() + part.within;
    if (std::memcmp(to, part.from, part.n) != 0) std::memcpy(to, part.from, part.n);
  }
  return true;
}

void DeviceMemory::scramble(uint64_t address, uint64_t size, uint8_t value) {
  if (size == 0 || address + size < address) return;
  std::lock_guard lock(mutex_);
  const uint64_t end = address + size;
  for (auto& [page, data] : pages_) {
    const uint64_t from = std::max(address, page * kPageSize), to = std::min(end, (page + 1) * kPageSize);
    if (from < to) std::memset(data.get() + (from - page * kPageSize), value, to - from);
  }
}

void DeviceMemory::restore(Journal& journal) {
  std::lock_guard lock(mutex_);
  for (auto& [page, bytes] : journal.before) {
    if (!bytes) {
      pages_.erase(page);
      continue;
    }
    auto it = pages_.find(page);
    if (it != pages_.end()) {
      // The bytes go back into the page, which stays where it is: the
      // copy's slab, which the failed launch's pages share, can empty.
      std::memcpy(it->second.get(), bytes.get(), kPageSize);
      bytes.reset();
      continue;
    }
    try {
      pages_.emplace(page, std::move(bytes));  // on a throw the copy stays in the journal
    } catch (const std::bad_alloc&) {
      KLOG_ERROR("Simulated card: no host memory to restore the page at 0x{:x}; it reads zero.", page * kPageSize);
    }
  }
  journal.before.clear();  // what is left goes back to the heap
}

PageHeap::Usage DeviceMemory::hostUsage() const {
  const PageHeap::Usage pages = heap_.usage(), copies = copies_.usage();
  return {pages.pages + copies.pages, pages.slabs + copies.slabs};
}

uint64_t DeviceMemory::committedBytes() const {
  std::lock_guard lock(mutex_);
  return pages_.size() * kPageSize;
}

}  // namespace kestrane::simcard
