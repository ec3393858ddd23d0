// What the engine reads of a model: the description a forced bundle gets,
// target cores and the latency tables the watchdogs write.

#include <atomic>
#include <thread>

#include "model_fixture.h"

namespace kestrane::test {
namespace {

constexpr CoreId kCore{Cluster::Cluster0, Core::Core0};

TEST(ModelEngineView, ForcedBundleGetsTheDefaultDescription) {
  ModelConfig config;
  config.forceSingleNPUBundle(2);
  const Created c = createModel(testModel("program_kinds"), config);
  ASSERT_EQ(c.status, StatusCode::OK);
  ASSERT_EQ(c.model->variantCount(), 1u);
  ASSERT_EQ(c.model->modelDescs().size(), 1u);
  EXPECT_EQ(c.model->modelDescs()[0].descPath, "");
  EXPECT_EQ(c.model->modelDescs()[0].inputNames, (std::vector<std::string>{"input_0"}));
  EXPECT_EQ(c.model->getInputBufferInfo()[0].original_channel, 48u);
  EXPECT_EQ(c.model->config().early_latencies.size(), 1u);
}

TEST(ModelEngineView, TargetCoresAndLatencies) {
  ModelConfig config;
  config.early_latencies = {5, 6, 7};
  Created c = createModel(testModel("two_variants"), config);
  ASSERT_EQ(c.status, StatusCode::OK);
  ModelImpl& m = *c.model;
  EXPECT_EQ(m.currentConfig().early_latencies, (std::vector<uint64_t>{5, 6}));
  EXPECT_EQ(m.currentConfig().finish_latencies, (std::vector<uint64_t>{0, 0}));
  EXPECT_FALSE(m.setTargetCoreIds({kCore}));  // manual allocation keeps its cores
  EXPECT_TRUE(m.hasTargetCore({Cluster::Cluster1, Core::Core3}));
  EXPECT_EQ(m.dispose(), StatusCode::OK);
  EXPECT_FALSE(m.setLatency(2, 1, 1));
  EXPECT_EQ(m.memoryHandle(kCore), 0);
  m.setMemoryHandle(kCore, 9);
  EXPECT_EQ(m.memoryHandle(kCore), 9);

  // Workers write latencies while callers read them.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const ModelConfig now = m.currentConfig();
      EXPECT_LE(now.early_latencies[1], 1000u);
      EXPECT_LE(m.finishedLatency(1), 2000u);
    }
  });
  for (uint64_t i = 0; i <= 1000; ++i) EXPECT_TRUE(m.setLatency(1, i, 2 * i));
  done = true;
  reader.join();
  EXPECT_EQ(m.consumedLatency(1), 1000u);
  EXPECT_EQ(m.currentConfig().finish_latencies[1], 2000u);

  ModelConfig automatic;
  automatic.setSingleCoreMode(2);
  Created a = createModel(testModel("identity_int8"), automatic);
  ASSERT_EQ(a.status, StatusCode::OK);
  EXPECT_TRUE(a.model->targetCores().empty());
  EXPECT_TRUE(a.model->setTargetCoreIds({{Cluster::Cluster1, Core::Core1}, kCore}));
  EXPECT_EQ(a.model->targetCores()[1], kCore);  // as given, not sorted
}

}  // namespace
}  // namespace kestrane::test
