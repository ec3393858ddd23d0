// Model creation when host memory runs out. This binary's own operator new
// fails every allocation above a limit the test sets; a layout-kind-0
// record's index tables are the largest allocations creation makes.

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "model_fixture.h"
#include "support/log_capture.h"

namespace {

constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();
std::atomic<size_t> allocationLimit{kNoLimit};

void* allocate(size_t n) {
  if (n > allocationLimit.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t n) { return allocate(n); }
void* operator new[](size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace kestrane::test {
namespace {

TEST(HostMemory, IndexTablesWithoutMemorySayThatMemoryRanOut) {
  json description = testModel("identity_int8");
  json& in = description["bundles"][0]["inputs"][0];
  in["original"] = in["shape"] = {1024, 64, 64};  // 2^22 elements: tables of 16 MiB each
  const auto file = writeModel(description);
  LogCapture log;
  StatusCode status = StatusCode::OK;
  allocationLimit = 8 << 20;
  std::unique_ptr<ModelImpl> model = ModelImpl::create(file->path(), oneCore(), status);
  allocationLimit = kNoLimit;
  EXPECT_EQ(status, StatusCode::BadAlloc);
  EXPECT_EQ(model, nullptr);
  EXPECT_EQ(log.count("error|"), 1u) << log.text();
  EXPECT_EQ(log.count("Input 0 of NPU operation 0 (layout kind 0) has no index tables of its 4194304 host elements "
                      "- out of host memory."),
            1u)
      << log.text();
}

}  // namespace
}  // namespace kestrane::test
