// The bound on host memory that the fuzz target sets: every block a model
// file sizes (index tables, DMA buffers, result arrays and lists, cache
// blocks) is taken from it, and a block past it fails where it is made, as
// it does when memory runs out.

#include <optional>

#include "inference_fixture.h"
#include "platform/host_allowance.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

class HostAllowance : public InferenceTest {
 protected:
  void TearDown() override {
    platform::setHostAllowance(std::nullopt);
    InferenceTest::TearDown();
  }
};

TEST_F(HostAllowance, IndexTablesPastItRefuseCreationAsOutOfMemory) {
  accelerator();
  const auto file = writeModel(testModel("identity_int8"));
  platform::setHostAllowance(4 * 128 - 1);  // the input's table: 128 elements
  LogCapture log;
  StatusCode status = StatusCode::OK;
  EXPECT_EQ(Model::create(file->path(), oneCore(), status), nullptr);
  EXPECT_EQ(status, StatusCode::BadAlloc);
  EXPECT_EQ(log.count("error|"), 1u) << log.text();
  EXPECT_EQ(log.count("Input 0 of NPU operation 0 (layout kind 0) has no index tables of its 128 host elements "
                      "- out of host memory."),
            1u)
      << log.text();
}

TEST_F(HostAllowance, RequestBlocksPastItFailAsOutOfMemory) {
  Model& model = launch(testModel("identity_int8"), oneCore());
  const NDArray<float> x = arrayOf<float>({4, 4, 8}, steps(128, 1, -100, 100, 3));
  StatusCode sc = StatusCode::OK;
  platform::setHostAllowance(0);
  model.infer({x}, sc);
  EXPECT_EQ(sc, StatusCode::BadAlloc);
  EXPECT_TRUE(model.acquireOutputBuffer().empty());

  platform::setHostAllowance(std::nullopt);
  std::vector<Buffer> in = model.acquireInputBuffer(), out = model.acquireOutputBuffer();
  ASSERT_EQ(model.inferBuffer(in, out), StatusCode::OK);
  platform::setHostAllowance(4 * 128 - 1);
  LogCapture log;
  std::vector<std::vector<float>> lists;
  EXPECT_EQ(model.repositionOutputs(out, lists), StatusCode::BadAlloc);
  EXPECT_EQ(log.count("Failed to allocate the output lists."), 1u) << log.text();
  model.releaseBuffer(in);
  model.releaseBuffer(out);
}

TEST_F(HostAllowance, CacheBlocksPastItFailAsOutOfMemory) {
  Model& model = launch(testModel("sequence_cache"), oneCore());
  platform::setHostAllowance(31);  // the cache: 32 bytes
  LogCapture log;
  StatusCode sc = StatusCode::OK;
  model.dumpCacheMemory(sc);
  EXPECT_EQ(sc, StatusCode::BadAlloc);
  EXPECT_EQ(model.dumpCacheMemory(::testing::TempDir() + "cache_dump"), StatusCode::BadAlloc);
  EXPECT_EQ(log.count("Failed to dump cache memory - out of host memory."), 2u) << log.text();
}

}  // namespace
}  // namespace kestrane::test
