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
// list, the books of buffers handed out, the allocator pointer and the count
// of allocator calls in flight; it is taken once per buffer and never across
// an allocation. The two maps' nodes are reused, so a buffer that goes out
// and comes back allocates nothing. Returns and finished allocator calls signal a condition
// variable on which setAllocator waits: at most 3000 ms for the buffers
// still out, and then for the allocator calls still in flight (each ends
// by itself), so that the allocator is never switched under a call and
// every buffer goes back to the allocator that made it. Meanwhile new
// requests for the allocator wait for the switch.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "core/buffer_book.h"
#include "core/log.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

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
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !switching_; });
      if (allocator_ == nullptr) return StatusCode::MemoryPool_AllocatorNotSet;
      auto it = freeList_.lower_bound(size);
      if (it != freeList_.end() && it->first == size) {
        out.data = it->second;
        out.size = size;
        spareFree_.push_back(freeList_.extract(it));
        bookInUse(out.data, size);
        return StatusCode::OK;
      }
      allocator = allocator_;
      ++calls_;
    }
    void* address = nullptr;
    StatusCode status = StatusCode::InternalError;
    try {
      status = allocator->allocateHostMemory(address, size);
    } catch (...) {
      endCall(nullptr, 0);
      throw;
    }
    endCall(status == StatusCode::OK ? address : nullptr, size);
    if (status != StatusCode::OK) return status;
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
      auto node = inUse_.extract(it);
      // After the buffers of the same size.
      if (spareFree_.empty()) {
        freeList_.emplace(node.mapped(), node.key());
      } else {
        auto free = std::move(spareFree_.back());
        spareFree_.pop_back();
        free.key() = node.mapped();
        free.mapped() = node.key();
        freeList_.insert(std::move(free));
      }
      spareInUse_.push_back(std::move(node));
    }
    changed_.notify_all();
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
  // destruction). Waits up to 3000 ms for the buffers still out, then for
  // the allocator calls in flight, frees the free list through the old
  // allocator and forgets everything: a buffer returned later is not found.
  void setAllocator(Allocator* allocator) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !switching_; });
    if (!changed_.wait_for(lock, kReturnWait, [&] { return inUse_.empty() && calls_ == 0; }))
      KLOG_WARN("{} host buffers were not returned to the memory pool within {} ms; they are forgotten.",
                inUse_.size() + calls_, kReturnWait.count());
    // No new call reaches the old allocator from here on.
    switching_ = true;
    changed_.wait(lock, [&] { return calls_ == 0; });
    if (allocator_ != nullptr)
      for (const auto& entry : freeList_) allocator_->freeHostMemory(entry.second);
    freeList_.clear();
    inUse_.clear();
    allocator_ = allocator;
    switching_ = false;
    lock.unlock();
    changed_.notify_all();
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
  // An allocator call ended with `address` (null: it failed); books it.
  void endCall(void* address, uint64_t size) {
    {
      std::lock_guard lock(mutex_);
      --calls_;
      if (address != nullptr) bookInUse(address, size);
    }
    changed_.notify_all();
  }

  // Under the mutex: books a buffer as handed out, in a spare node when
  // there is one.
  void bookInUse(void* address, uint64_t size) {
    if (spareInUse_.empty()) {
      inUse_.emplace(address, size);
      return;
    }
    auto node = std::move(spareInUse_.back());
    spareInUse_.pop_back();
    node.key() = address;
    node.mapped() = size;
    inUse_.insert(std::move(node));
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Allocator* allocator_ = nullptr;
  size_t calls_ = 0;         // allocator calls in flight
  bool switching_ = false;   // setAllocator waits for calls_ to reach 0
  std::multimap<uint64_t, void*> freeList_;  // size -> address, in order of return
  std::map<void*, uint64_t> inUse_;          // address -> size
  // Nodes of the two maps not in use: a buffer that moves from one map to
  // the other takes one, so that steady traffic allocates nothing.
  std::vector<std::multimap<uint64_t, void*>::node_type> spareFree_;
  std::vector<std::map<void*, uint64_t>::node_type> spareInUse_;
  // Last: lists the pool once everything above exists and unlists it
  // before any of it goes, so callers holding only a Buffer can learn the
  // size of its block (handedOutBufferSize).
  BufferBookEntry bookEntry_{this, [](const void* pool, const void* data) {
                               return static_cast<const MemoryPool*>(pool)->handedOutSize(data);
                             }};
};

}  // namespace kestrane
