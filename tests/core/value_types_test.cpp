#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kestrane/type.h"

using namespace kestrane;

TEST(ValueTypes, EnumerationWidthsAndValues) {
  static_assert(sizeof(Cluster) == 4 && sizeof(Core) == 4 && sizeof(CoreMode) == 1);
  static_assert(sizeof(CacheType) == 1 && sizeof(LogLevel) == 1 && sizeof(SchedulePolicy) == 4);
  EXPECT_EQ(static_cast<int32_t>(Cluster::Error), 0x7FFF0000);
  EXPECT_EQ(static_cast<int32_t>(Core::All), 0xFFFC);
  EXPECT_EQ(static_cast<int>(CoreMode::Error), 15);
  EXPECT_EQ(static_cast<int>(LogLevel::OFF), 6);
}

TEST(ValueTypes, CoreIdDefaultsAndOrdersClusterFirst) {
  EXPECT_EQ(CoreId(), (CoreId{Cluster::Error, Core::Error}));
  const CoreId c0c3{Cluster::Cluster0, Core::Core3}, c1c0{Cluster::Cluster1, Core::Core0};
  const CoreId c0g{Cluster::Cluster0, Core::GlobalCore};
  EXPECT_TRUE(c0c3 < c1c0 && c0c3 < c0g);
  EXPECT_FALSE(c1c0 < c0c3 || c0c3 < c0c3);
  EXPECT_NE(c0c3, c0g);
}

TEST(ValueTypes, UniformScaleIgnoresItsListAndBufferSizesDoNotWrap) {
  Scale s;
  s.is_uniform = true;
  s.scale = 0.5f;
  s.scale_list = {1.0f, 2.0f};
  EXPECT_EQ(s[1], 0.5f);
  s.is_uniform = false;
  EXPECT_EQ(s[1], 2.0f);
  BufferInfo b;
  b.height = 65536, b.width = 65536, b.channel = 1;
  EXPECT_EQ(b.size(), uint64_t{1} << 32);
  b.original_height = 2, b.original_width = 3, b.original_channel = 4;
  b.reshaped_height = 4294967295u, b.reshaped_width = 2, b.reshaped_channel = 1;
  EXPECT_EQ(b.original_size(), 24u);
  EXPECT_EQ(b.reshaped_size(), 8589934590ull);
}

TEST(ValueTypes, LayerHashIsFnv1a64) {
  // Published FNV-1a 64-bit vectors.
  EXPECT_EQ(layerHash(""), "cbf29ce484222325");
  EXPECT_EQ(layerHash("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(layerHash("foobar"), "85944171f73967e8");
}

namespace {
std::atomic<int> gFrees{0};
void countingFree(void* p) {
  ++gFrees;
  std::free(p);
}
}  // namespace

TEST(NDArrayData, OwnedStorageFreedOnceAcrossCopiesAndMoves) {
  gFrees = 0;
  {
    internal::NDArrayData a(std::shared_ptr<void>(std::malloc(16), countingFree));
    void* p = a.data();
    ASSERT_NE(p, nullptr);
    internal::NDArrayData b = a;
    internal::NDArrayData c(std::move(a));
    EXPECT_EQ(a.data(), nullptr);  // a moved-from array does not point at memory it no longer owns
    EXPECT_EQ(b.data(), p);
    EXPECT_EQ(c.data(), p);
    internal::NDArrayData d;
    d = std::move(b);
    EXPECT_EQ(b.data(), nullptr);
    internal::NDArrayData& same = d;
    d = same;  // self-assignment keeps the storage
    EXPECT_EQ(d.data(), p);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
      threads.emplace_back([c] {
        for (int j = 0; j < 1000; ++j) internal::NDArrayData copy = c;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(gFrees.load(), 0);
  }
  EXPECT_EQ(gFrees.load(), 1);
}

TEST(NDArrayData, BorrowedStorageIsNeverFreed) {
  int8_t local[4] = {1, 2, 3, 4};
  {
    internal::NDArrayData borrowed(static_cast<void*>(local));
    internal::NDArrayData copy = borrowed;
    EXPECT_EQ(copy.data(), local);
  }
  EXPECT_EQ(local[3], 4);
}

TEST(NDArrayData, SizedAllocationReportsStatus) {
  StatusCode status = StatusCode::InternalError;
  internal::NDArrayData ok(64, status);
  EXPECT_EQ(status, StatusCode::OK);
  EXPECT_NE(ok.data(), nullptr);
  internal::NDArrayData zero(0, status);
  EXPECT_EQ(status, zero.data() ? StatusCode::OK : StatusCode::BadAlloc);
  for (int64_t size : {int64_t{-1}, int64_t{1} << 62}) {
    internal::NDArrayData bad(size, status);
    EXPECT_EQ(status, StatusCode::BadAlloc) << size;
    EXPECT_EQ(bad.data(), nullptr);
  }
}
