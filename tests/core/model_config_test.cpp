#include <gtest/gtest.h>

#include <functional>

#include "kestrane/model_config.h"
#include "support/log_capture.h"

using namespace kestrane;

namespace {

constexpr Cluster C0 = Cluster::Cluster0;
constexpr Cluster C1 = Cluster::Cluster1;

std::vector<CoreId> clusterCores(Cluster cluster, bool withGlobal) {
  std::vector<CoreId> cores = {{cluster, Core::Core0}, {cluster, Core::Core1}, {cluster, Core::Core2}, {cluster, Core::Core3}};
  if (withGlobal) cores.push_back({cluster, Core::GlobalCore});
  return cores;
}

std::vector<CoreId> join(std::vector<CoreId> a, const std::vector<CoreId>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Every member that a setter may change.
struct State {
  CoreMode mode;
  CoreAllocationPolicy policy;
  std::vector<CoreId> cores;
  int numCores;
  int bundle;
  bool operator==(const State& o) const {
    return mode == o.mode && policy == o.policy && cores == o.cores && numCores == o.numCores && bundle == o.bundle;
  }
};

State stateOf(const ModelConfig& c) {
  return {c.getCoreMode(), c.getCoreAllocationPolicy(), c.getCoreIds(), c.getNumCores(), c.getForcedNPUBundleIndex()};
}

// Runs a refused call on a configuration in multi-core mode and checks the
// one error line and that nothing changed.
void expectRefused(const std::function<bool(ModelConfig&)>& call, const std::string& message) {
  ModelConfig config;
  config.setMultiCoreMode({C1});
  config.forceSingleNPUBundle(3);
  const State before = stateOf(config);
  test::LogCapture capture;
  EXPECT_FALSE(call(config));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|" + message}));
  EXPECT_TRUE(stateOf(config) == before) << message;
}

const std::string kNumCoresMessage =
    "Invalid `num_cores` value: {}. The value must be between 1 and 8 (inclusive) to enable single-core mode. Please "
    "specify a valid number within this range. Note that there are 8 available local cores.";

std::string numCoresMessage(int n) {
  std::string m = kNumCoresMessage;
  return m.replace(m.find("{}"), 2, std::to_string(n));
}

}  // namespace

TEST(ModelConfig, DefaultsUseEveryLocalCore) {
  test::LogCapture capture;
  const ModelConfig config;
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  EXPECT_EQ(config.getCoreMode(), CoreMode::Single);
  EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Manual);
  EXPECT_EQ(config.getCoreIds(), join(clusterCores(C0, false), clusterCores(C1, false)));
  EXPECT_EQ(config.getNumCores(), 8);
  EXPECT_EQ(config.getForcedNPUBundleIndex(), -1);
  EXPECT_FALSE(config.getAsyncPipelineEnabled());
  EXPECT_EQ(config.schedule_policy, SchedulePolicy::FIFO);
  EXPECT_EQ(config.latency_set_policy, LatencySetPolicy::Auto);
  EXPECT_EQ(config.maintenance_policy, MaintenancePolicy::Maintain);
  EXPECT_TRUE(config.early_latencies.empty());
  EXPECT_TRUE(config.finish_latencies.empty());
}

TEST(ModelConfig, DeprecatedCountConstructor) {
  {
    test::LogCapture capture;
    const ModelConfig config(3);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"warning|`ModelConfig(int num_cores)` is deprecated and will be removed in a "
                                        "future release. Please use `ModelConfig()` and "
                                        "`ModelConfig::setSingleCoreMode(int num_cores)` instead."}));
    EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Auto);
    EXPECT_EQ(config.getNumCores(), 3);
    EXPECT_TRUE(config.getCoreIds().empty());
  }
  test::LogCapture capture;
  const ModelConfig bad(9);
  EXPECT_EQ(capture.count("warning|"), 1u);
  EXPECT_EQ(capture.count("error|" + numCoresMessage(9)), 1u);
  EXPECT_EQ(bad.getCoreMode(), CoreMode::Single);
  EXPECT_EQ(bad.getCoreAllocationPolicy(), CoreAllocationPolicy::Manual);
  EXPECT_EQ(bad.getNumCores(), 0);
  EXPECT_TRUE(bad.getCoreIds().empty());
}

TEST(ModelConfig, SingleCoreModeByCount) {
  ModelConfig config;
  test::LogCapture capture;
  EXPECT_TRUE(config.setSingleCoreMode(8));
  EXPECT_TRUE(config.setSingleCoreMode(1));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(config.getCoreMode(), CoreMode::Single);
  EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Auto);
  EXPECT_TRUE(config.getCoreIds().empty());
  EXPECT_EQ(config.getNumCores(), 1);
  for (int n : {0, 9, -1}) {
    expectRefused([n](ModelConfig& c) { return c.setSingleCoreMode(n); }, numCoresMessage(n));
  }
}

TEST(ModelConfig, SingleCoreModeByListSortsAndDeduplicates) {
  ModelConfig config;
  ASSERT_TRUE(config.setMultiCoreMode({C0}));
  EXPECT_TRUE(config.setSingleCoreMode({{C1, Core::Core1}, {C0, Core::Core2}, {C1, Core::Core1}}));
  EXPECT_EQ(config.getCoreIds(), (std::vector<CoreId>{{C0, Core::Core2}, {C1, Core::Core1}}));
  EXPECT_EQ(config.getNumCores(), 2);
  EXPECT_EQ(config.getCoreMode(), CoreMode::Single);
  EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Manual);
}

TEST(ModelConfig, SingleCoreModeRefusalsInCheckOrder) {
  using L = std::vector<CoreId>;
  const std::vector<std::pair<L, std::string>> cases = {
      {{}, "Invalid core IDs: `core_ids` must not be empty."},
      {{{C0, Core::Core0}, {Cluster::Error, Core::Error}}, "Invalid core ID: `Cluster::Error` is not a valid cluster."},
      {{{C0, Core::Error}}, "Invalid core ID: `Core::Error` is not a valid core."},
      {{{C0, Core::All}}, "Invalid core ID: `Core::All` is not a valid core."},
      {{{C0, Core::GlobalCore}}, "Invalid core ID: `Core::GlobalCore` cannot be used in single-core mode."},
      {{{C0, static_cast<Core>(5)}}, "Invalid core ID: {Cluster 10000, Core 5} is not available."},
      {{{static_cast<Cluster>(0x30000), Core::Core0}}, "Invalid core ID: {Cluster 30000, Core 1} is not available."},
      // Only the first refusal is reported.
      {{{C0, Core::GlobalCore}, {C0, Core::All}}, "Invalid core ID: `Core::GlobalCore` cannot be used in single-core mode."},
  };
  for (const auto& [list, message] : cases) {
    expectRefused([list = list](ModelConfig& c) { return c.setSingleCoreMode(list); }, message);
  }
}

TEST(ModelConfig, ClusterModes) {
  ModelConfig config;
  test::LogCapture capture;
  EXPECT_TRUE(config.setMultiCoreMode({C0}));
  EXPECT_EQ(config.getCoreMode(), CoreMode::Multi);
  EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Manual);
  EXPECT_EQ(config.getCoreIds(), clusterCores(C0, true));
  EXPECT_EQ(config.getNumCores(), 5);

  EXPECT_TRUE(config.setGlobal4CoreMode({C1, C0}));
  EXPECT_EQ(config.getCoreMode(), CoreMode::Global4);
  EXPECT_EQ(config.getCoreIds(), join(clusterCores(C0, true), clusterCores(C1, true)));
  EXPECT_EQ(config.getNumCores(), 10);

  // A cluster listed twice claims its cores once.
  EXPECT_TRUE(config.setMultiCoreMode({C1, C1}));
  EXPECT_EQ(config.getCoreIds(), clusterCores(C1, true));
  EXPECT_EQ(config.getNumCores(), 5);

  EXPECT_TRUE(config.setGlobal8CoreMode());
  EXPECT_EQ(config.getCoreMode(), CoreMode::Global8);
  EXPECT_EQ(config.getNumCores(), 10);
  EXPECT_TRUE(capture.lines().empty()) << capture.text();

  EXPECT_TRUE(config.setGlobalCoreMode({C1}));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"warning|`setGlobalCoreMode` is deprecated. Please consider "
                                                       "using `setGlobal8CoreMode` or `setGlobal4CoreMode` instead."}));
  EXPECT_EQ(config.getCoreMode(), CoreMode::Global);
  EXPECT_EQ(config.getCoreIds(), clusterCores(C1, true));
}

TEST(ModelConfig, ClusterModeRefusals) {
  using Setter = bool (ModelConfig::*)(const std::vector<Cluster>&);
  for (Setter setter : {&ModelConfig::setMultiCoreMode, &ModelConfig::setGlobal4CoreMode}) {
    auto with = [setter](std::vector<Cluster> clusters) {
      return [setter, clusters](ModelConfig& c) { return (c.*setter)(clusters); };
    };
    expectRefused(with({}), "Invalid clusters: `clusters` must not be empty.");
    expectRefused(with({Cluster::Error}), "Invalid cluster: `Cluster::Error` is not a valid cluster.");
    expectRefused(with({C0, static_cast<Cluster>(0x30000)}), "Invalid cluster: Cluster 30000 is not available.");
  }
  ModelConfig config;
  test::LogCapture capture;
  EXPECT_FALSE(config.setGlobalCoreMode({}));
  EXPECT_EQ(capture.count("warning|`setGlobalCoreMode` is deprecated."), 1u);
  EXPECT_EQ(capture.count("error|Invalid clusters: `clusters` must not be empty."), 1u);
  EXPECT_EQ(config.getCoreMode(), CoreMode::Single);
}

TEST(ModelConfig, ForcedBundleAndPipelineFlag) {
  ModelConfig config;
  EXPECT_TRUE(config.forceSingleNPUBundle(4));
  EXPECT_EQ(config.getForcedNPUBundleIndex(), 4);
  EXPECT_TRUE(config.forceSingleNPUBundle(-1));
  EXPECT_EQ(config.getForcedNPUBundleIndex(), -1);
  expectRefused([](ModelConfig& c) { return c.forceSingleNPUBundle(-2); },
                "Invalid `npu_bundle_index` value: -2. It must be a non-negative integer to specify an NPU bundle "
                "or -1 to indicate that no single NPU bundle is enforced.");
  test::LogCapture capture;
  config.setAsyncPipelineEnabled(true);
  EXPECT_TRUE(config.getAsyncPipelineEnabled());
  EXPECT_TRUE(capture.lines().empty());
}

TEST(ModelConfig, DeprecatedAutoAndManualModes) {
  ModelConfig config;
  {
    test::LogCapture capture;
    EXPECT_TRUE(config.setAutoMode(2));
    EXPECT_EQ(capture.count("warning|`ModelConfig::setAutoMode(int num_cores)` is deprecated"), 1u);
    EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Auto);
    EXPECT_EQ(config.getNumCores(), 2);
  }
  ASSERT_TRUE(config.setMultiCoreMode({C0}));
  config.setAutoMode(0);
  test::LogCapture capture;
  EXPECT_TRUE(config.setManualMode());
  // One warning of its own, then per cluster one for exclude(cluster) and
  // one for each of its five cores.
  EXPECT_EQ(capture.count("warning|`ModelConfig::setManualMode()` is deprecated"), 1u);
  EXPECT_EQ(capture.count("warning|`ModelConfig::exclude` is deprecated"), 12u);
  EXPECT_EQ(capture.lines().size(), 13u);
  EXPECT_EQ(config.getCoreMode(), CoreMode::Multi);
  EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Manual);
  EXPECT_TRUE(config.getCoreIds().empty());
  EXPECT_EQ(config.getNumCores(), 0);
}

TEST(ModelConfig, IncludeAddsCoresWithoutResorting) {
  ModelConfig config;
  ASSERT_TRUE(config.setSingleCoreMode({{C1, Core::Core3}}));
  test::LogCapture capture;
  EXPECT_TRUE(config.include(C0, Core::Core1));
  EXPECT_TRUE(config.include(C1, Core::Core3));  // already there
  EXPECT_TRUE(config.include(Core::Core0));      // cluster 0
  EXPECT_EQ(config.getCoreIds(), (std::vector<CoreId>{{C1, Core::Core3}, {C0, Core::Core1}, {C0, Core::Core0}}));
  EXPECT_EQ(config.getNumCores(), 3);
  EXPECT_EQ(capture.count("warning|`ModelConfig::include` is deprecated"), 3u);

  // Refused silently: only the deprecation warning.
  for (auto [cluster, core] : {std::pair{Cluster::Error, Core::Core0}, {C0, Core::Error},
                               {static_cast<Cluster>(0x30000), Core::Core0}, {C0, static_cast<Core>(5)},
                               {static_cast<Cluster>(0x30000), Core::All}}) {
    test::LogCapture refused;
    EXPECT_FALSE(config.include(cluster, core));
    EXPECT_EQ(refused.lines().size(), 1u) << refused.text();
    EXPECT_EQ(refused.count("warning|"), 1u);
  }
  EXPECT_EQ(config.getNumCores(), 3);
  EXPECT_EQ(config.getCoreMode(), CoreMode::Single);
  EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Manual);
}

TEST(ModelConfig, IncludeAllSkipsGlobalCoreOnlyInSingleMode) {
  ModelConfig single;
  ASSERT_TRUE(single.setSingleCoreMode({{C1, Core::Core0}}));
  test::LogCapture capture;
  EXPECT_TRUE(single.include(C0));
  EXPECT_EQ(capture.count("warning|`ModelConfig::include` is deprecated"), 5u);
  EXPECT_EQ(single.getCoreIds(), join({{C1, Core::Core0}}, clusterCores(C0, false)));

  ModelConfig multi;
  ASSERT_TRUE(multi.setMultiCoreMode({C1}));
  EXPECT_TRUE(multi.include(C0, Core::All));
  EXPECT_EQ(multi.getCoreIds(), join(clusterCores(C1, true), clusterCores(C0, true)));
  EXPECT_EQ(multi.getNumCores(), 10);

  ModelConfig all;
  ASSERT_TRUE(all.setSingleCoreMode(2));
  EXPECT_TRUE(all.includeAllCores());
  EXPECT_EQ(all.getCoreIds(), join(clusterCores(C0, false), clusterCores(C1, false)));
  EXPECT_EQ(all.getCoreAllocationPolicy(), CoreAllocationPolicy::Auto);
}

TEST(ModelConfig, ExcludeRemovesFirstMatchAndAcceptsAbsentCores) {
  ModelConfig config;
  ASSERT_TRUE(config.setMultiCoreMode({C0}));
  test::LogCapture capture;
  EXPECT_TRUE(config.exclude(C0, Core::Core3));
  EXPECT_TRUE(config.exclude(C0, Core::Core3));  // absent: still true
  EXPECT_TRUE(config.exclude(Core::Core0));
  EXPECT_TRUE(config.exclude(static_cast<Cluster>(0x30000)));
  EXPECT_EQ(capture.count("warning|"), 4u);
  EXPECT_EQ(config.getCoreIds(), (std::vector<CoreId>{{C0, Core::Core1}, {C0, Core::Core2}, {C0, Core::GlobalCore}}));
  EXPECT_EQ(config.getNumCores(), 3);
  EXPECT_EQ(config.getCoreMode(), CoreMode::Multi);

  EXPECT_TRUE(config.exclude(C0));
  EXPECT_TRUE(config.getCoreIds().empty());
  ModelConfig full;
  EXPECT_TRUE(full.excludeAllCores());
  EXPECT_TRUE(full.getCoreIds().empty());
  EXPECT_EQ(full.getNumCores(), 0);
}

TEST(ModelConfig, CopiesAreIndependent) {
  ModelConfig a;
  a.early_latencies = {1, 2};
  ModelConfig b = a;
  ASSERT_TRUE(b.setMultiCoreMode({C1}));
  b.early_latencies.push_back(3);
  EXPECT_EQ(a.getCoreMode(), CoreMode::Single);
  EXPECT_EQ(a.getNumCores(), 8);
  EXPECT_EQ(a.early_latencies.size(), 2u);
  ModelConfig c = std::move(b);
  EXPECT_EQ(c.getCoreIds(), clusterCores(C1, true));
  EXPECT_EQ(c.early_latencies.size(), 3u);
}

TEST(ModelConfig, DeprecationWarningTexts) {
  const std::vector<std::pair<std::function<void(ModelConfig&)>, std::string>> cases = {
      {[](ModelConfig& c) { c.setAutoMode(1); },
       "`ModelConfig::setAutoMode(int num_cores)` is deprecated and will be removed in a future release. Please use "
       "`ModelConfig::setSingleCoreMode(int num_cores)` instead."},
      {[](ModelConfig& c) { c.setManualMode(); },
       "`ModelConfig::setManualMode()` is deprecated and will be removed in a future release. Please use "
       "`ModelConfig::setSingleCoreMode(std::vector<CoreId> core_ids)` instead."},
      {[](ModelConfig& c) { c.include(C0, Core::Core0); },
       "`ModelConfig::include` is deprecated and will be removed in a future release. Please use "
       "`ModelConfig::setSingleCoreMode` instead."},
      {[](ModelConfig& c) { c.exclude(C0, Core::Core0); },
       "`ModelConfig::exclude` is deprecated and will be removed in a future release. Please use "
       "`ModelConfig::setSingleCoreMode` instead."},
  };
  for (const auto& [call, text] : cases) {
    ModelConfig config;
    test::LogCapture capture;
    call(config);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_EQ(capture.lines()[0], "warning|" + text);
  }
}
