// The memory pool short of host memory: a hand-out whose books find no
// memory fails with BadAlloc and changes nothing, and whatever went before,
// returning buffers and letting go of the allocator allocate nothing at all.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
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

}  // namespace
}  // namespace kestrane::test
