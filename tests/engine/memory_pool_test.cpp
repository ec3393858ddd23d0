#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "engine/memory_pool.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

// Hands out malloc'ed blocks and keeps count.
class CountingAllocator {
 public:
  ~CountingAllocator() {
    for (void* p : live_) std::free(p);
  }
  StatusCode allocateHostMemory(void*& address, uint64_t size) {
    std::lock_guard lock(mutex_);
    ++allocations;
    if (failNext) {
      failNext = false;
      return StatusCode::Driver_FailedToAllocateHostMemory;
    }
    address = std::malloc(size);
    live_.insert(address);
    return StatusCode::OK;
  }
  StatusCode freeHostMemory(void* address) {
    std::lock_guard lock(mutex_);
    ++frees;
    live_.erase(address);
    std::free(address);
    return StatusCode::OK;
  }
  size_t live() {
    std::lock_guard lock(mutex_);
    return live_.size();
  }

  std::atomic<int> allocations{0}, frees{0};
  bool failNext = false;

 private:
  std::mutex mutex_;
  std::set<void*> live_;
};

using Pool = MemoryPool<CountingAllocator>;

// Pools and allocators live on the heap in these tests: ThreadSanitizer
// forgets a std::mutex only when its memory is freed.
struct Fixture {
  std::unique_ptr<CountingAllocator> owned = std::make_unique<CountingAllocator>();
  std::unique_ptr<Pool> pooled = std::make_unique<Pool>();
  CountingAllocator& allocator = *owned;
  Pool& pool = *pooled;
};

TEST(MemoryPoolTest, ReusesBuffersOfTheExactSizeInTheOrderTheyCameBack) {
  Fixture f;
  CountingAllocator& allocator = f.allocator;
  Pool& pool = f.pool;
  Buffer a, b, c;
  EXPECT_EQ(pool.allocateHostMemory(64, a), StatusCode::MemoryPool_AllocatorNotSet);
  pool.setAllocator(&allocator);
  ASSERT_EQ(pool.allocateHostMemory(64, a), StatusCode::OK);
  ASSERT_EQ(pool.allocateHostMemory(64, b), StatusCode::OK);
  EXPECT_EQ(a.size, 64u);
  EXPECT_EQ(pool.freeHostMemory(a), StatusCode::OK);
  EXPECT_EQ(pool.freeHostMemory(b), StatusCode::OK);
  ASSERT_EQ(pool.allocateHostMemory(32, c), StatusCode::OK);  // a larger free one is not cut down
  EXPECT_EQ(allocator.allocations, 3);
  Buffer again1, again2;
  ASSERT_EQ(pool.allocateHostMemory(64, again1), StatusCode::OK);
  ASSERT_EQ(pool.allocateHostMemory(64, again2), StatusCode::OK);
  EXPECT_EQ(again1.data, a.data);
  EXPECT_EQ(again2.data, b.data);
  EXPECT_EQ(allocator.allocations, 3);

  // Returning twice: refused alone, skipped in a list.
  LogCapture log;
  EXPECT_EQ(pool.freeHostMemory(c), StatusCode::OK);
  EXPECT_EQ(pool.freeHostMemory(c), StatusCode::MemoryPool_BufNotFound);
  std::vector<std::vector<Buffer>> lists = {{again1, c}, {again2}};
  EXPECT_EQ(pool.freeHostMemory(lists), StatusCode::OK);
  EXPECT_TRUE(lists.empty());
  EXPECT_EQ(log.count("`buf` not found"), 2u);
  EXPECT_EQ(pool.freeCount(), 3u);

  // A failed allocation leaves no trace in the books.
  allocator.failNext = true;
  Buffer d;
  EXPECT_EQ(pool.allocateHostMemory(100, d), StatusCode::Driver_FailedToAllocateHostMemory);
  EXPECT_EQ(pool.inUseCount(), 0u);
  pool.setAllocator(nullptr);
  EXPECT_EQ(allocator.live(), 0u);
}

TEST(MemoryPoolTest, ConcurrentCallersShareBuffers) {
  Fixture f;
  CountingAllocator& allocator = f.allocator;
  Pool& pool = f.pool;
  pool.setAllocator(&allocator);
  constexpr int kThreads = 8, kRounds = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Buffer buf;
        const uint64_t size = 16 << ((t + i) % 3);
        if (pool.allocateHostMemory(size, buf) != StatusCode::OK || buf.size != size) ++failures;
        std::memset(buf.data, t, size);  // nobody else holds it
        if (pool.freeHostMemory(buf) != StatusCode::OK) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(pool.inUseCount(), 0u);
  EXPECT_LE(allocator.allocations, kThreads * 3);
  pool.setAllocator(nullptr);
  EXPECT_EQ(allocator.frees, allocator.allocations);
}

// Changing the allocator waits up to 3 s for buffers still out, then frees
// the pooled ones and forgets the rest: their late return is not found.
TEST(MemoryPoolTest, ChangingTheAllocatorWaitsThreeSecondsForBuffersStillOut) {
  Fixture f;
  CountingAllocator& allocator = f.allocator;
  Pool& pool = f.pool;
  pool.setAllocator(&allocator);
  Buffer kept, returned, late;
  ASSERT_EQ(pool.allocateHostMemory(8, kept), StatusCode::OK);
  ASSERT_EQ(pool.allocateHostMemory(8, returned), StatusCode::OK);
  ASSERT_EQ(pool.allocateHostMemory(8, late), StatusCode::OK);
  ASSERT_EQ(pool.freeHostMemory(returned), StatusCode::OK);
  // One comes back while the pool waits; the other never does.
  std::thread back([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pool.freeHostMemory(late);
  });
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  pool.setAllocator(nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
  back.join();
  EXPECT_EQ(log.count("1 host buffers were not returned to the memory pool within 3000 ms"), 1u);
  EXPECT_EQ(allocator.frees, 2);  // the two that came back
  EXPECT_EQ(pool.freeHostMemory(kept), StatusCode::MemoryPool_BufNotFound);
  allocator.freeHostMemory(kept.data);
}

}  // namespace
}  // namespace kestrane::test
