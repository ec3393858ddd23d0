// The memory pool short of host memory: a hand-out whose books find no
// memory fails with BadAlloc and changes nothing, and whatever went before,
// returning buffers and letting go of the allocator allocate nothing at all.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "counting_allocator.h"
#include "engine/memory_pool.h"
#include "support/alloc_failure.h"

namespace kestrane::test {
namespace {

TEST(PoolMemoryTest, AHandOutShortOfMemoryFailsWithBadAllocAndReturnsNeverAllocate) {
  const struct {
    const char* name;
    std::vector<uint64_t> warm;   // handed out and returned first, nothing failing
    std::vector<uint64_t> sizes;  // then handed out with allocation k failing
  } cases[] = {
      {"new buffers", {}, {64, 64, 128}},
      {"returned buffers", {64, 64, 128}, {64, 128, 64}},
      {"some of each", {64}, {64, 64, 256, 64}},
  };
  for (const auto& c : cases) {
    bool failed = true;
    for (uint64_t k = 1; failed && !HasFailure(); ++k) {
      SCOPED_TRACE(std::string(c.name) + ", allocation " + std::to_string(k) + " failing");
      CountingAllocator allocator;
      auto pool = std::make_unique<MemoryPool<CountingAllocator>>();
      pool->setAllocator(&allocator);
      std::vector<Buffer> out;
      for (uint64_t size : c.warm) {
        Buffer b;
        ASSERT_EQ(pool->allocateHostMemory(size, b), StatusCode::OK);
        out.push_back(b);
      }
      for (const Buffer& b : out) ASSERT_EQ(pool->freeHostMemory(b), StatusCode::OK);
      out.clear();
      out.reserve(c.sizes.size());
      failAllocation(k);
      {
        CountedAllocations counted;
        for (uint64_t size : c.sizes) {
          Buffer b;
          const size_t before = pool->inUseCount();
          StatusCode status = StatusCode::InternalError;
          EXPECT_NO_THROW(status = pool->allocateHostMemory(size, b));
          if (status == StatusCode::OK) {
            out.push_back(b);
          } else {
            EXPECT_EQ(status, StatusCode::BadAlloc);
            EXPECT_EQ(pool->inUseCount(), before);
          }
        }
      }
      failed = allocationFailed();
      // Every way back, with the first allocation on it failing: none comes.
      failAllocation(1);
      {
        CountedAllocations counted;
        for (const Buffer& b : out) EXPECT_EQ(pool->freeHostMemory(b), StatusCode::OK);
        EXPECT_EQ(pool->inUseCount(), 0u);
        EXPECT_NO_THROW(pool->setAllocator(nullptr));
        EXPECT_EQ(countedAllocations(), 0u) << "a way back allocated";
      }
      failAllocation(std::nullopt);
      EXPECT_EQ(allocator.frees, allocator.allocations);
    }
  }
}

// Buffers new to the pool, held or each back at once: each makes its own
// nodes, and the room for the spares grows by doubling, a few times in
// all, not once per buffer.
TEST(PoolMemoryTest, NewBuffersMakeTheirNodesAndTheRoomGrowsByDoubling) {
  const struct {
    const char* name;
    size_t warm;       // buffers of another size out and back first
    bool held;         // else each new buffer comes back at once
    uint64_t nodes;    // at most, per new buffer
  } cases[] = {{"held", 0, true, 2}, {"held beside returned ones", 1000, true, 2}, {"each back at once", 0, false, 1}};
  constexpr size_t kNew = 4000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CountingAllocator allocator;
    auto pool = std::make_unique<MemoryPool<CountingAllocator>>();
    pool->setAllocator(&allocator);
    std::vector<Buffer> out(c.warm + kNew);
    for (size_t i = 0; i < c.warm; ++i) ASSERT_EQ(pool->allocateHostMemory(8, out[i]), StatusCode::OK);
    for (size_t i = 0; i < c.warm; ++i) pool->freeHostMemory(out[i]);
    failAllocation(std::nullopt);
    {
      CountedAllocations counted;
      for (size_t i = c.warm; i < out.size(); ++i) {
        ASSERT_EQ(pool->allocateHostMemory(16 + i, out[i]), StatusCode::OK);  // a size of its own
        if (!c.held) pool->freeHostMemory(out[i]);
      }
    }
    uint64_t growths = 2;  // both vectors, from empty to 1, then doubling up to every node
    for (size_t n = 2 * out.size(); n > 1; n /= 2) growths += 2;
    EXPECT_LE(countedAllocations(), c.nodes * kNew + growths);
    for (size_t i = c.warm; c.held && i < out.size(); ++i) pool->freeHostMemory(out[i]);
    pool->setAllocator(nullptr);
    EXPECT_EQ(allocator.frees, allocator.allocations);
  }
}

// However a hand-out fails, it gives back what it made: many refused
// acquisitions keep what the first kept (room among the spares at most),
// and the pool serves and takes back buffers as before.
TEST(PoolMemoryTest, RefusedHandOutsKeepNothing) {
  const struct {
    const char* name;
    std::function<void(CountingAllocator&)> arrange;  // makes the next hand-out fail
    bool withSpares;  // whether it fails with spare nodes about (one allocation only then)
  } ways[] = {
      {"the allocator refuses", [](CountingAllocator& a) { a.failNext = true; }, true},
      {"the allocator throws", [](CountingAllocator& a) { a.throwNext = true; }, true},
      {"no memory for the books", [](CountingAllocator&) { failAllocation(1); }, true},
      {"no memory for the books' second node", [](CountingAllocator&) { failAllocation(2); }, false},
  };
  const struct {
    const char* name;
    std::vector<uint64_t> out, back;  // buffers held, and buffers returned, before
  } states[] = {{"empty", {}, {}}, {"buffers out", {64, 128}, {}}, {"buffers back", {}, {64, 64, 128}}};
  for (const auto& way : ways) {
    for (const auto& state : states) {
      if (!state.back.empty() && !way.withSpares) continue;
      SCOPED_TRACE(std::string(way.name) + ", " + state.name);
      CountingAllocator allocator;
      auto pool = std::make_unique<MemoryPool<CountingAllocator>>();
      pool->setAllocator(&allocator);
      std::vector<Buffer> held(state.out.size() + state.back.size());
      for (size_t i = 0; i < held.size(); ++i) {
        const uint64_t size = i < state.out.size() ? state.out[i] : state.back[i - state.out.size()];
        ASSERT_EQ(pool->allocateHostMemory(size, held[i]), StatusCode::OK);
      }
      for (size_t i = state.out.size(); i < held.size(); ++i) pool->freeHostMemory(held[i]);
      held.resize(state.out.size());
      auto refused = [&] {
        Buffer b;
        StatusCode status = StatusCode::OK;
        way.arrange(allocator);
        {
          CountedAllocations counted;
          try {
            status = pool->allocateHostMemory(256, b);
          } catch (const std::runtime_error&) {
            status = StatusCode::InternalError;
          }
        }
        failAllocation(std::nullopt);
        return status != StatusCode::OK && pool->inUseCount() == state.out.size();
      };
      ASSERT_TRUE(refused());
      const int64_t kept = liveAllocations();
      for (int i = 0; i < 50; ++i) ASSERT_TRUE(refused());
      EXPECT_EQ(liveAllocations(), kept);
      Buffer b;
      ASSERT_EQ(pool->allocateHostMemory(256, b), StatusCode::OK);
      held.push_back(b);
      for (const Buffer& h : held) EXPECT_EQ(pool->freeHostMemory(h), StatusCode::OK);
      EXPECT_EQ(pool->freeCount(), state.out.size() + state.back.size() + 1);
      pool->setAllocator(nullptr);
      EXPECT_EQ(allocator.frees, allocator.allocations);
    }
  }
}

}  // namespace
}  // namespace kestrane::test
