#include "simcard/device_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/log.h"
#include "platform/host_allowance.h"

namespace kestrane::simcard {

namespace {

// The card's device memory is host memory. The allowance is a test-only
// bound (the product never sets it) that lets a test run the card short of
// host memory.
std::unique_ptr<uint8_t[]> newPage() {
  platform::takeHostAllowanceOrThrow(DeviceMemory::kPageSize);
  return std::make_unique<uint8_t[]>(DeviceMemory::kPageSize);  // value-initialised: zero
}

}  // namespace

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
  // The copies first (a page the write makes was not committed before),
  // then the pages; without memory for one, what was made goes again.
  std::map<uint64_t, std::unique_ptr<uint8_t[]>> copies;
  std::vector<uint64_t> made;
  try {
    made.reserve(fresh);
    for (uint64_t page = first; journal && page <= last; ++page) {
      if (journal->before.count(page)) continue;
      auto it = pages_.find(page);
      std::unique_ptr<uint8_t[]> copy;
      if (it != pages_.end()) {
        copy = newPage();
        std::memcpy(copy.get(), it->second.get(), kPageSize);
      }
      copies.emplace(page, std::move(copy));
    }
    for (uint64_t page = first; page <= last; ++page) {
      if (pages_.find(page) != pages_.end()) continue;
      pages_.emplace(page, newPage());  // inserts nothing when it throws
      made.push_back(page);             // reserved: cannot throw
    }
  } catch (const std::bad_alloc&) {
    for (uint64_t page : made) pages_.erase(page);
    copies.clear();  // room for the line
    KLOG_ERROR("Simulated card: no host memory for the pages of a write of {} bytes at 0x{:x}.", size, address);
    if (journal) journal->refusedForMemory = true;
    errno = ENOMEM;
    return false;
  }
  if (journal) journal->before.merge(copies);  // moves the nodes: cannot throw
  while (size > 0) {
    uint64_t page = address / kPageSize, within = address % kPageSize;
    uint64_t n = std::min(size, kPageSize - within);
    std::memcpy(pages_.find(page)->second.get() + within, in, n);
    in += n;
    address += n;
    size -= n;
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
      it->second = std::move(bytes);
      continue;
    }
    try {
      pages_.emplace(page, std::move(bytes));
    } catch (const std::bad_alloc&) {
      KLOG_ERROR("Simulated card: no host memory to restore the page at 0x{:x}; it reads zero.", page * kPageSize);
    }
  }
}

uint64_t DeviceMemory::committedBytes() const {
  std::lock_guard lock(mutex_);
  return pages_.size() * kPageSize;
}

}  // namespace kestrane::simcard
