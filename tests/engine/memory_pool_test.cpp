#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "engine/memory_pool.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

// malloc and free, counted.
struct CountingAllocator {
  StatusCode allocateHostMemory(void*& address, uint64_t size) {
    if (failNext.exchange(false)) return StatusCode::Driver_FailedToAllocateHostMemory;
    ++allocations;
    address = std::malloc(size);
    return StatusCode::OK;
  }
  StatusCode freeHostMemory(void* address) {
    ++frees;
    std::free(address);
    return StatusCode::OK;
  }
  std::atomic<int> allocations{0}, frees{0};
  std::atomic<bool> failNext{false};
};

// On the heap: ThreadSanitizer forgets a std::mutex only when its memory is freed.
using Pool = std::unique_ptr<MemoryPool<CountingAllocator>>;
Pool makePool(CountingAllocator* allocator) {
  auto pool = std::make_unique<MemoryPool<CountingAllocator>>();
  pool->setAllocator(allocator);
  return pool;
}

TEST(MemoryPoolTest, ReusesBuffersOfTheExactSizeInTheOrderTheyCameBack) {
  CountingAllocator allocator;
  Buffer a, b, c, again1, again2;
  EXPECT_EQ(makePool(nullptr)->allocateHostMemory(64, a), StatusCode::MemoryPool_AllocatorNotSet);
  Pool pool = makePool(&allocator);
  ASSERT_EQ(pool->allocateHostMemory(64, a), StatusCode::OK);
  ASSERT_EQ(pool->allocateHostMemory(64, b), StatusCode::OK);
  EXPECT_EQ(pool->freeHostMemory(a), StatusCode::OK);
  EXPECT_EQ(pool->freeHostMemory(b), StatusCode::OK);
  ASSERT_EQ(pool->allocateHostMemory(32, c), StatusCode::OK);  // a larger free one is not cut down
  ASSERT_EQ(pool->allocateHostMemory(64, again1), StatusCode::OK);
  ASSERT_EQ(pool->allocateHostMemory(64, again2), StatusCode::OK);
  EXPECT_EQ(again1.data, a.data);
  EXPECT_EQ(again2.data, b.data);
  EXPECT_EQ(again2.size, 64u);
  EXPECT_EQ(allocator.allocations, 3);

  // Returning twice: refused alone, skipped in a list.
  LogCapture log;
  EXPECT_EQ(pool->freeHostMemory(c), StatusCode::OK);
  EXPECT_EQ(pool->freeHostMemory(c), StatusCode::MemoryPool_BufNotFound);
  std::vector<std::vector<Buffer>> lists = {{again1, c}, {again2}};
  EXPECT_EQ(pool->freeHostMemory(lists), StatusCode::OK);
  EXPECT_TRUE(lists.empty());
  EXPECT_EQ(log.count("`buf` not found"), 2u);

  // A failed allocation leaves no trace in the books.
  allocator.failNext = true;
  EXPECT_EQ(pool->allocateHostMemory(100, a), StatusCode::Driver_FailedToAllocateHostMemory);
  EXPECT_EQ(pool->inUseCount(), 0u);
  pool->setAllocator(nullptr);
  EXPECT_EQ(allocator.frees, 3);
}

TEST(MemoryPoolTest, ConcurrentCallersShareBuffers) {
  CountingAllocator allocator;
  Pool pool = makePool(&allocator);
  constexpr int kThreads = 8, kRounds = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Buffer buf;
        const uint64_t size = 16 << ((t + i) % 3);
        if (pool->allocateHostMemory(size, buf) != StatusCode::OK || buf.size != size) ++failures;
        std::memset(buf.data, t, size);  // nobody else holds it
        if (pool->freeHostMemory(buf) != StatusCode::OK) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_LE(allocator.allocations, kThreads * 3);
  pool->setAllocator(nullptr);
  EXPECT_EQ(allocator.frees, allocator.allocations);
}

// Changing the allocator waits up to 3 s for buffers still out, then frees
// the pooled ones and forgets the rest: their late return is not found.
TEST(MemoryPoolTest, ChangingTheAllocatorWaitsThreeSecondsForBuffersStillOut) {
  CountingAllocator allocator;
  Pool pool = makePool(&allocator);
  Buffer kept, late;
  ASSERT_EQ(pool->allocateHostMemory(8, kept), StatusCode::OK);
  ASSERT_EQ(pool->allocateHostMemory(8, late), StatusCode::OK);
  std::thread back([&] {  // comes back while the pool waits
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pool->freeHostMemory(late);
  });
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  pool->setAllocator(nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
  back.join();
  EXPECT_EQ(log.count("1 host buffers were not returned to the memory pool within 3000 ms"), 1u);
  EXPECT_EQ(allocator.frees, 1);
  EXPECT_EQ(pool->freeHostMemory(kept), StatusCode::MemoryPool_BufNotFound);
  std::free(kept.data);
}

}  // namespace
}  // namespace kestrane::test
