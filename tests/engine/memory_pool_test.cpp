#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "counting_allocator.h"
#include "engine/memory_pool.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

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

// Whoever holds only a Buffer learns the size of its block from whichever
// pool handed it out, while it is out and its pool exists.
TEST(MemoryPoolTest, HandedOutBlocksAreKnownAcrossPools) {
  CountingAllocator allocator;
  Pool first = makePool(&allocator), second = makePool(&allocator);
  Buffer a, b;
  ASSERT_EQ(first->allocateHostMemory(64, a), StatusCode::OK);
  ASSERT_EQ(second->allocateHostMemory(100, b), StatusCode::OK);
  EXPECT_EQ(handedOutBufferSize(a.data), 64u);
  EXPECT_EQ(handedOutBufferSize(b.data), 100u);
  EXPECT_EQ(handedOutBufferSize(static_cast<char*>(b.data) + 1), 0u);  // blocks are known by their start
  EXPECT_EQ(handedOutBufferSize(nullptr), 0u);
  EXPECT_EQ(first->freeHostMemory(a), StatusCode::OK);
  EXPECT_EQ(handedOutBufferSize(a.data), 0u);  // back in the pool: not the caller's any more
  EXPECT_EQ(second->freeHostMemory(b), StatusCode::OK);
  ASSERT_EQ(first->allocateHostMemory(32, a), StatusCode::OK);
  second.reset();  // a pool that goes is no longer asked
  EXPECT_EQ(handedOutBufferSize(a.data), 32u);
  EXPECT_EQ(first->freeHostMemory(a), StatusCode::OK);
}

// Buffers go out and come back many times in changing orders and sizes
// (the pool reuses its book-keeping as they move): each request gets the
// buffer of its size that came back first, and the books stay right.
TEST(MemoryPoolTest, RepeatedRoundsKeepSizesAndReturnOrder) {
  CountingAllocator allocator;
  Pool pool = makePool(&allocator);
  const uint64_t sizes[] = {64, 64, 128, 64, 128};
  std::vector<Buffer> held(5);
  for (size_t i = 0; i < 5; ++i) ASSERT_EQ(pool->allocateHostMemory(sizes[i], held[i]), StatusCode::OK);
  const std::vector<std::vector<size_t>> returnOrders = {{4, 3, 2, 1, 0}, {1, 3, 0, 4, 2}, {2, 0, 4, 1, 3}};
  for (int round = 0; round < 9; ++round) {
    const std::vector<size_t>& order = returnOrders[static_cast<size_t>(round) % returnOrders.size()];
    for (size_t i : order) ASSERT_EQ(pool->freeHostMemory(held[i]), StatusCode::OK);
    ASSERT_EQ(pool->inUseCount(), 0u);
    // Expected: per size, the buffers in the order they came back.
    std::vector<void*> back64, back128;
    for (size_t i : order) (sizes[i] == 64 ? back64 : back128).push_back(held[i].data);
    size_t next64 = 0, next128 = 0;
    for (size_t i = 0; i < 5; ++i) {
      Buffer b;
      ASSERT_EQ(pool->allocateHostMemory(sizes[i], b), StatusCode::OK);
      EXPECT_EQ(b.data, sizes[i] == 64 ? back64[next64++] : back128[next128++]);
      EXPECT_EQ(pool->handedOutSize(b.data), sizes[i]);
      held[i] = b;
    }
    EXPECT_EQ(pool->freeCount(), 0u);
  }
  EXPECT_EQ(allocator.allocations, 5);
  for (const Buffer& b : held) pool->freeHostMemory(b);
  pool->setAllocator(nullptr);
  EXPECT_EQ(allocator.frees, 5);
}

// Every caller writes its own bytes into the buffers it holds and finds
// them unchanged before it returns them: a buffer handed to two callers at
// once shows, with or without a thread sanitizer.
TEST(MemoryPoolTest, ConcurrentCallersShareBuffers) {
  CountingAllocator allocator;
  Pool pool = makePool(&allocator);
  constexpr int kThreads = 8, kRounds = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Buffer held[2];
        std::vector<uint8_t> mine[2];
        for (int k = 0; k < 2; ++k) {
          const uint64_t size = 16 << ((t + i + k) % 3);
          if (pool->allocateHostMemory(size, held[k]) != StatusCode::OK || held[k].size != size) {
            ++failures;
            return;
          }
          mine[k].resize(size);
          for (size_t b = 0; b < size; ++b) mine[k][b] = static_cast<uint8_t>(t * 31 + i * 7 + k + b);
          std::memcpy(held[k].data, mine[k].data(), size);
        }
        std::this_thread::yield();
        for (int k = 0; k < 2; ++k) {
          if (std::memcmp(held[k].data, mine[k].data(), mine[k].size()) != 0) ++failures;
          if (pool->freeHostMemory(held[k]) != StatusCode::OK) ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_LE(allocator.allocations, kThreads * 6);
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

// An allocator that holds its first call until the test lets it go.
struct GatedAllocator : CountingAllocator {
  StatusCode allocateHostMemory(void*& address, uint64_t size) {
    entered.set_value();
    release.wait();
    return CountingAllocator::allocateHostMemory(address, size);
  }
  std::promise<void> entered;
  std::shared_future<void> release;
};

// The allocator is not switched under a call inside it: the switch waits,
// and the buffer that call makes goes back to the allocator that made it.
TEST(MemoryPoolTest, ChangingTheAllocatorWaitsForAllocatorCallsInFlight) {
  GatedAllocator allocator;
  std::promise<void> go;
  allocator.release = go.get_future().share();
  auto pool = std::make_unique<MemoryPool<GatedAllocator>>();
  pool->setAllocator(&allocator);
  StatusCode taken = StatusCode::InternalError;
  std::thread caller([&] {
    Buffer buf;
    taken = pool->allocateHostMemory(64, buf);
    if (taken == StatusCode::OK) pool->freeHostMemory(buf);
  });
  allocator.entered.get_future().wait();
  std::atomic<bool> switched{false};
  std::thread switcher([&] {
    pool->setAllocator(nullptr);
    switched = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room to switch too early
  EXPECT_FALSE(switched);
  go.set_value();
  caller.join();
  switcher.join();
  EXPECT_EQ(taken, StatusCode::OK);
  EXPECT_EQ(allocator.allocations, 1);
  EXPECT_EQ(allocator.frees, 1);
  EXPECT_EQ(pool->inUseCount() + pool->freeCount(), 0u);
}

}  // namespace
}  // namespace kestrane::test
