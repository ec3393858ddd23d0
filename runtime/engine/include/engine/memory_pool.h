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
// and comes back allocates nothing. What a buffer's return needs (its node
// in the free list, room among the spare nodes) is made when it goes out,
// so returning buffers and setAllocator never allocate: dispose and
// destructors cannot fail for lack of host memory, and a request that finds
// none for that fails with BadAlloc. The room grows by doubling, so that
// a run of buffers new to the pool moves each spare node a few times, not
// once per buffer; a hand-out that fails, for its books or at the
// allocator, gives back the nodes it made and keeps nothing. Returns and
// finished allocator calls signal a condition variable on which
// setAllocator waits: at most 3000 ms for the buffers still out, and then
// for the allocator calls still in flight (each ends by itself), so that
// the allocator is never switched under a call and every buffer goes back
// to the allocator that made it. Meanwhile new requests for the allocator
// wait for the switch.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
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
    Ready ready;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !switching_; });
      if (allocator_ == nullptr) return StatusCode::MemoryPool_AllocatorNotSet;
      auto it = freeList_.lower_bound(size);
      const bool reuse = it != freeList_.end() && it->first == size;
      if (!readyReturn(ready, !reuse)) return StatusCode::BadAlloc;
      if (reuse) {
        out.data = it->second;
        out.size = size;
        spareFree_.push_back(freeList_.extract(it));  // room made when the node was made
        bookInUse(std::move(ready.booked), out.data, size);
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
      endCall(nullptr, 0, ready);
      throw;
    }
    endCall(status == StatusCode::OK ? address : nullptr, size, ready);
    if (status != StatusCode::OK) return status;
    out.data = address;
    out.size = size;
    return StatusCode::OK;
  }

  // Returns one buffer; MemoryPool_BufNotFound for one the pool did not hand
  // out. Allocates nothing.
  StatusCode freeHostMemory(const Buffer& buf) {
    {
      std::lock_guard lock(mutex_);
      auto it = inUse_.find(buf.data);
      if (it == inUse_.end()) {
        KLOG_ERROR("`buf` not found");
        return StatusCode::MemoryPool_BufNotFound;
      }
      auto node = inUse_.extract(it);
      // After the buffers of the same size, in the node made when it went
      // out (there are at least as many spare ones as buffers out).
      auto free = std::move(spareFree_.back());
      spareFree_.pop_back();
      free.key() = node.mapped();
      free.mapped() = node.key();
      freeList_.insert(std::move(free));
      spareInUse_.push_back(std::move(node));  // room made when it went out
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
    if (allocator_ != nullptr) {
      for (const auto& entry : freeList_) {
        try {
          allocator_->freeHostMemory(entry.second);
        } catch (const std::exception& e) {  // the switch completes whatever one free does
          KLOG_ERROR("Failed to free a host buffer of the memory pool: {}", e.what());
        }
      }
    }
    freeNodes_ -= freeList_.size();
    freeList_.clear();
    inUseNodes_ -= inUse_.size();
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
  using FreeList = std::multimap<uint64_t, void*>;  // size -> address, in order of return
  using InUse = std::map<void*, uint64_t>;          // address -> size

  // What readyReturn made for one hand-out.
  struct Ready {
    InUse::node_type booked;   // the buffer's entry among those handed out
    FreeList::node_type back;  // a new buffer's entry in the free list once it returns
    bool madeBooked = false;   // `booked` is new rather than a spare
  };

  template <typename Map>
  static typename Map::node_type newNode() {
    Map map;
    map.emplace();
    return map.extract(map.begin());
  }

  // Room for `count` nodes among `spares`, at least twice the room there
  // was, so that however many buffers come new each spare moves a few
  // times only. Never less when memory is short: growing by one node at a
  // time costs the square of the count and scatters the heap.
  template <typename Node>
  static void makeRoom(std::vector<Node>& spares, size_t count) {
    if (spares.capacity() < count) spares.reserve(std::max(count, 2 * spares.capacity()));
  }

  // Under the mutex, before a buffer goes out: takes a node for its books
  // (a spare one, else a new one) and, for a buffer new to the pool, makes
  // its free-list node, with room among the spares for every node made, so
  // that neither its hand-out nor its return allocates. False, with a line
  // and nothing kept, when there is no memory for that.
  bool readyReturn(Ready& ready, bool newBuffer) {
    try {
      if (spareInUse_.empty()) {
        makeRoom(spareInUse_, inUseNodes_ + 1);
        ready.booked = newNode<InUse>();
        ready.madeBooked = true;
        ++inUseNodes_;
      } else {
        ready.booked = std::move(spareInUse_.back());
        spareInUse_.pop_back();
      }
      if (newBuffer) {
        makeRoom(spareFree_, freeNodes_ + 1);
        ready.back = newNode<FreeList>();
        ++freeNodes_;
      }
      return true;
    } catch (const std::bad_alloc&) {
      giveBack(ready);
      KLOG_ERROR("No host memory for the books of the memory pool.");
      return false;
    }
  }

  // Under the mutex: undoes readyReturn for a buffer that did not go out.
  // Nodes it made go (a spare it took goes back), so failed hand-outs,
  // however many, keep nothing.
  void giveBack(Ready& ready) {
    if (ready.back) {
      ready.back = FreeList::node_type();
      --freeNodes_;
    }
    if (!ready.booked) return;
    if (ready.madeBooked) {
      ready.booked = InUse::node_type();
      --inUseNodes_;
    } else {
      spareInUse_.push_back(std::move(ready.booked));  // its room is still there
    }
  }

  // An allocator call ended with `address` (null: it failed); books the
  // buffer, or gives back what readyReturn made for it.
  void endCall(void* address, uint64_t size, Ready& ready) {
    {
      std::lock_guard lock(mutex_);
      --calls_;
      if (address != nullptr) {
        spareFree_.push_back(std::move(ready.back));  // its return takes one
        bookInUse(std::move(ready.booked), address, size);
      } else {
        giveBack(ready);
      }
    }
    changed_.notify_all();
  }

  // Under the mutex: books a buffer as handed out in the node readyReturn took.
  void bookInUse(InUse::node_type node, void* address, uint64_t size) {
    node.key() = address;
    node.mapped() = size;
    inUse_.insert(std::move(node));
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Allocator* allocator_ = nullptr;
  size_t calls_ = 0;         // allocator calls in flight
  bool switching_ = false;   // setAllocator waits for calls_ to reach 0
  FreeList freeList_;
  InUse inUse_;
  // Nodes of the two maps not in use: a buffer that moves from one map to
  // the other takes one, so that steady traffic allocates nothing. There
  // are at least as many spare free-list nodes as buffers handed out, and
  // each vector has room for every node of its kind (the counts: nodes in
  // the map, among the spares and in the hands of a call).
  std::vector<FreeList::node_type> spareFree_;
  std::vector<InUse::node_type> spareInUse_;
  size_t freeNodes_ = 0;
  size_t inUseNodes_ = 0;
  // Last: lists the pool once everything above exists and unlists it
  // before any of it goes, so callers holding only a Buffer can learn the
  // size of its block (handedOutBufferSize).
  BufferBookEntry bookEntry_{this, [](const void* pool, const void* data) {
                               return static_cast<const MemoryPool*>(pool)->handedOutSize(data);
                             }};
};

}  // namespace kestrane
