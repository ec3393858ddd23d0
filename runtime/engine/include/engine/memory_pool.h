#pragma once

// A model's pool of host DMA buffers, kept by exact byte size. Memory comes
// from and goes back to an allocator (the accelerator, AcceleratorImpl),
// which maps it for the device under a process-wide semaphore; the pool
// spares that for every request after the first of a size.
//
// Allocator: StatusCode allocateHostMemory(void*& address, uint64_t size)
// and StatusCode freeHostMemory(void* address).
//
// Threads: any thread may take and return buffers. One mutex guards the free
// list, the books of buffers handed out and the allocator pointer; it is
// taken once per buffer and never across an allocation. Returns signal a
// condition variable on which setAllocator waits (at most 3000 ms).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "kestrane/status.h"
#include "kestrane/type.h"
#include "runtime/log.h"

namespace kestrane {

template <typename Allocator>
class MemoryPool {
 public:
  static constexpr std::chrono::milliseconds kReturnWait{3000};

  MemoryPool() = default;
  ~MemoryPool() { setAllocator(nullptr); }
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  // A buffer of exactly `size` bytes: a returned one of that size (the one
  // that came back first), else a new one from the allocator.
  StatusCode allocateHostMemory(uint64_t size, Buffer& out) {
    Allocator* allocator = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (allocator_ == nullptr) return StatusCode::MemoryPool_AllocatorNotSet;
      auto it = freeList_.lower_bound(size);
      if (it != freeList_.end() && it->first == size) {
        out.data = it->second;
        out.size = size;
        inUse_.emplace(it->second, size);
        freeList_.erase(it);
        return StatusCode::OK;
      }
      allocator = allocator_;
    }
    void* address = nullptr;
    const StatusCode status = allocator->allocateHostMemory(address, size);
    if (status != StatusCode::OK) return status;
    {
      std::lock_guard lock(mutex_);
      inUse_.emplace(address, size);
    }
    out.data = address;
    out.size = size;
    return StatusCode::OK;
  }

  // Returns one buffer; MemoryPool_BufNotFound for one the pool did not hand out.
  StatusCode freeHostMemory(const Buffer& buf) {
    {
      std::lock_guard lock(mutex_);
      auto it = inUse_.find(buf.data);
      if (it == inUse_.end()) {
        KLOG_ERROR("`buf` not found");
        return StatusCode::MemoryPool_BufNotFound;
      }
      freeList_.emplace(it->second, it->first);  // after the buffers of the same size
      inUse_.erase(it);
    }
    returned_.notify_one();
    return StatusCode::OK;
  }

  // Returns every buffer of every list (unknown ones are logged and
  // skipped) and empties `bufs`; always OK.
  StatusCode freeHostMemory(std::vector<std::vector<Buffer>>& bufs) {
    for (const auto& list : bufs)
      for (const Buffer& buf : list) freeHostMemory(buf);
    bufs.clear();
    return StatusCode::OK;
  }

  // Installs the allocator (launch) or removes it (null: dispose,
  // destruction). Waits up to 3000 ms for the buffers still out, frees the
  // free list through the old allocator and forgets everything: a buffer
  // returned later is not found.
  void setAllocator(Allocator* allocator) {
    std::unique_lock lock(mutex_);
    if (!returned_.wait_for(lock, kReturnWait, [&] { return inUse_.empty(); }))
      KLOG_WARN("{} host buffers were not returned to the memory pool within {} ms; they are forgotten.",
                inUse_.size(), kReturnWait.count());
    if (allocator_ != nullptr)
      for (const auto& entry : freeList_) allocator_->freeHostMemory(entry.second);
    freeList_.clear();
    inUse_.clear();
    allocator_ = allocator;
  }

  // The size the pool handed out the buffer at `data` with; 0 when the
  // pool has not handed it out (or it came back).
  uint64_t handedOutSize(const void* data) const {
    std::lock_guard lock(mutex_);
    auto it = inUse_.find(const_cast<void*>(data));
    return it == inUse_.end() ? 0 : it->second;
  }

  // For inspection: buffers waiting for reuse, and buffers handed out.
  size_t freeCount() const {
    std::lock_guard lock(mutex_);
    return freeList_.size();
  }
  size_t inUseCount() const {
    std::lock_guard lock(mutex_);
    return inUse_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  Allocator* allocator_ = nullptr;
  std::multimap<uint64_t, void*> freeList_;  // size -> address, in order of return
  std::map<void*, uint64_t> inUse_;          // address -> size
};

}  // namespace kestrane
