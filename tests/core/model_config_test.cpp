#include <gtest/gtest.h>

#include <functional>

#include "kestrane/model_config.h"
#include "support/log_capture.h"

using namespace kestrane;

namespace {

constexpr Cluster C0 = Cluster::Cluster0;
constexpr Cluster C1 = Cluster::Cluster1;
const Cluster kNoCluster = static_cast<Cluster>(0x30000);

std::vector<CoreId> clusterCores(Cluster cluster, bool withGlobal, std::vector<CoreId> before = {}) {
  for (Core core : {Core::Core0, Core::Core1, Core::Core2, Core::Core3}) before.push_back({cluster, core});
  if (withGlobal) before.push_back({cluster, Core::GlobalCore});
  return before;
}

void expectConfig(const ModelConfig& c, CoreMode mode, CoreAllocationPolicy policy, const std::vector<CoreId>& cores,
                  int numCores) {
  EXPECT_EQ(c.getCoreMode(), mode);
  EXPECT_EQ(c.getCoreAllocationPolicy(), policy);
  EXPECT_EQ(c.getCoreIds(), cores);
  EXPECT_EQ(c.getNumCores(), numCores);
}

// Runs a refused call on a configuration in multi-core mode and checks the
// one error line and that nothing changed.
void expectRefused(const std::function<bool(ModelConfig&)>& call, const std::string& message) {
  ModelConfig config;
  config.setMultiCoreMode({C1});
  config.forceSingleNPUBundle(3);
  test::LogCapture capture;
  EXPECT_FALSE(call(config));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"error|" + message}));
  expectConfig(config, CoreMode::Multi, CoreAllocationPolicy::Manual, clusterCores(C1, true), 5);
  EXPECT_EQ(config.getForcedNPUBundleIndex(), 3) << message;
}

std::string numCoresMessage(int n) {
  return "Invalid `num_cores` value: " + std::to_string(n) +
         ". The value must be between 1 and 8 (inclusive) to enable single-core mode. Please specify a valid number "
         "within this range. Note that there are 8 available local cores.";
}

std::string deprecated(const std::string& what, const std::string& instead) {
  return "warning|`" + what + "` is deprecated and will be removed in a future release. Please use `" + instead +
         "` instead.";
}

}  // namespace

TEST(ModelConfig, DefaultsUseEveryLocalCore) {
  test::LogCapture capture;
  const ModelConfig config;
  EXPECT_TRUE(capture.lines().empty()) << capture.text();
  expectConfig(config, CoreMode::Single, CoreAllocationPolicy::Manual, clusterCores(C1, false, clusterCores(C0, false)),
               8);
  EXPECT_EQ(config.getForcedNPUBundleIndex(), -1);
  EXPECT_FALSE(config.getAsyncPipelineEnabled());
  EXPECT_EQ(config.schedule_policy, SchedulePolicy::FIFO);
  EXPECT_EQ(config.latency_set_policy, LatencySetPolicy::Auto);
  EXPECT_EQ(config.maintenance_policy, MaintenancePolicy::Maintain);
}

TEST(ModelConfig, DeprecatedCountConstructor) {
  {
    test::LogCapture capture;
    const ModelConfig config(3);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{deprecated(
                                   "ModelConfig(int num_cores)",
                                   "ModelConfig()` and `ModelConfig::setSingleCoreMode(int num_cores)")}));
    expectConfig(config, CoreMode::Single, CoreAllocationPolicy::Auto, {}, 3);
  }
  test::LogCapture capture;
  const ModelConfig bad(9);
  EXPECT_EQ(capture.count("warning|"), 1u);
  EXPECT_EQ(capture.count("error|" + numCoresMessage(9)), 1u);
  expectConfig(bad, CoreMode::Single, CoreAllocationPolicy::Manual, {}, 0);
}

TEST(ModelConfig, SingleCoreModeByCountOrSortedDeduplicatedList) {
  ModelConfig config;
  test::LogCapture capture;
  EXPECT_TRUE(config.setSingleCoreMode(8));
  EXPECT_TRUE(config.setSingleCoreMode(1));
  EXPECT_TRUE(capture.lines().empty());
  expectConfig(config, CoreMode::Single, CoreAllocationPolicy::Auto, {}, 1);
  ASSERT_TRUE(config.setMultiCoreMode({C0}));
  EXPECT_TRUE(config.setSingleCoreMode({{C1, Core::Core1}, {C0, Core::Core2}, {C1, Core::Core1}}));
  expectConfig(config, CoreMode::Single, CoreAllocationPolicy::Manual, {{C0, Core::Core2}, {C1, Core::Core1}}, 2);
}

TEST(ModelConfig, RefusalsLogOneLineAndChangeNothing) {
  for (int n : {0, 9, -1}) expectRefused([n](ModelConfig& c) { return c.setSingleCoreMode(n); }, numCoresMessage(n));
  using L = std::vector<CoreId>;
  const std::vector<std::pair<L, std::string>> lists = {
      {{}, "Invalid core IDs: `core_ids` must not be empty."},
      {{{C0, Core::Core0}, {Cluster::Error, Core::Error}}, "Invalid core ID: `Cluster::Error` is not a valid cluster."},
      {{{C0, Core::Error}}, "Invalid core ID: `Core::Error` is not a valid core."},
      {{{C0, Core::All}}, "Invalid core ID: `Core::All` is not a valid core."},
      {{{C0, Core::GlobalCore}}, "Invalid core ID: `Core::GlobalCore` cannot be used in single-core mode."},
      {{{C0, static_cast<Core>(5)}}, "Invalid core ID: {Cluster 10000, Core 5} is not available."},
      {{{kNoCluster, Core::Core0}}, "Invalid core ID: {Cluster 30000, Core 1} is not available."},
      // Only the first refusal is reported.
      {{{C0, Core::GlobalCore}, {C0, Core::All}}, "Invalid core ID: `Core::GlobalCore` cannot be used in single-core mode."},
  };
  for (const auto& [list, message] : lists)
    expectRefused([list = list](ModelConfig& c) { return c.setSingleCoreMode(list); }, message);
  using Setter = bool (ModelConfig::*)(const std::vector<Cluster>&);
  for (Setter setter : {&ModelConfig::setMultiCoreMode, &ModelConfig::setGlobal4CoreMode}) {
    auto with = [setter](std::vector<Cluster> clusters) {
      return [setter, clusters](ModelConfig& c) { return (c.*setter)(clusters); };
    };
    expectRefused(with({}), "Invalid clusters: `clusters` must not be empty.");
    expectRefused(with({Cluster::Error}), "Invalid cluster: `Cluster::Error` is not a valid cluster.");
    expectRefused(with({C0, kNoCluster}), "Invalid cluster: Cluster 30000 is not available.");
  }
  expectRefused([](ModelConfig& c) { return c.forceSingleNPUBundle(-2); },
                "Invalid `npu_bundle_index` value: -2. It must be a non-negative integer to specify an NPU bundle "
                "or -1 to indicate that no single NPU bundle is enforced.");
  ModelConfig config;
  test::LogCapture capture;
  EXPECT_FALSE(config.setGlobalCoreMode({}));
  EXPECT_EQ(capture.count("warning|`setGlobalCoreMode` is deprecated."), 1u);
  EXPECT_EQ(capture.count("error|Invalid clusters: `clusters` must not be empty."), 1u);
  EXPECT_EQ(config.getCoreMode(), CoreMode::Single);
}

TEST(ModelConfig, ClusterModes) {
  ModelConfig config;
  test::LogCapture capture;
  EXPECT_TRUE(config.setMultiCoreMode({C0}));
  expectConfig(config, CoreMode::Multi, CoreAllocationPolicy::Manual, clusterCores(C0, true), 5);
  EXPECT_TRUE(config.setGlobal4CoreMode({C1, C0}));
  expectConfig(config, CoreMode::Global4, CoreAllocationPolicy::Manual, clusterCores(C1, true, clusterCores(C0, true)),
               10);
  EXPECT_TRUE(config.setMultiCoreMode({C1, C1}));  // a cluster listed twice claims its cores once
  expectConfig(config, CoreMode::Multi, CoreAllocationPolicy::Manual, clusterCores(C1, true), 5);
  EXPECT_TRUE(config.setGlobal8CoreMode());
  EXPECT_EQ(config.getCoreMode(), CoreMode::Global8);
  EXPECT_EQ(config.getNumCores(), 10);
  EXPECT_TRUE(config.forceSingleNPUBundle(4));
  EXPECT_TRUE(config.forceSingleNPUBundle(-1));
  EXPECT_TRUE(capture.lines().empty()) << capture.text();

  EXPECT_TRUE(config.setGlobalCoreMode({C1}));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"warning|`setGlobalCoreMode` is deprecated. Please consider "
                                                       "using `setGlobal8CoreMode` or `setGlobal4CoreMode` instead."}));
  expectConfig(config, CoreMode::Global, CoreAllocationPolicy::Manual, clusterCores(C1, true), 5);
}

TEST(ModelConfig, DeprecatedAutoAndManualModes) {
  ModelConfig config;
  {
    test::LogCapture capture;
    EXPECT_TRUE(config.setAutoMode(2));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{deprecated("ModelConfig::setAutoMode(int num_cores)",
                                                                    "ModelConfig::setSingleCoreMode(int num_cores)")}));
    EXPECT_EQ(config.getCoreAllocationPolicy(), CoreAllocationPolicy::Auto);
    EXPECT_EQ(config.getNumCores(), 2);
  }
  ASSERT_TRUE(config.setMultiCoreMode({C0}));
  config.setAutoMode(0);
  test::LogCapture capture;
  EXPECT_TRUE(config.setManualMode());
  // One warning of its own, then per cluster one for exclude(cluster) and
  // one for each of its five cores.
  EXPECT_EQ(capture.lines()[0], deprecated("ModelConfig::setManualMode()",
                                           "ModelConfig::setSingleCoreMode(std::vector<CoreId> core_ids)"));
  EXPECT_EQ(capture.count(deprecated("ModelConfig::exclude", "ModelConfig::setSingleCoreMode")), 12u);
  EXPECT_EQ(capture.lines().size(), 13u);
  expectConfig(config, CoreMode::Multi, CoreAllocationPolicy::Manual, {}, 0);
}

TEST(ModelConfig, IncludeAddsCoresWithoutResortingAndWholeClustersByMode) {
  ModelConfig config;
  ASSERT_TRUE(config.setSingleCoreMode({{C1, Core::Core3}}));
  test::LogCapture capture;
  EXPECT_TRUE(config.include(C0, Core::Core1));
  EXPECT_TRUE(config.include(C1, Core::Core3));  // already there
  EXPECT_TRUE(config.include(Core::Core0));      // cluster 0
  EXPECT_EQ(capture.count(deprecated("ModelConfig::include", "ModelConfig::setSingleCoreMode")), 3u);
  // Refused silently: only the deprecation warning.
  for (auto [cluster, core] : {std::pair{Cluster::Error, Core::Core0}, {C0, Core::Error}, {kNoCluster, Core::Core0},
                               {C0, static_cast<Core>(5)}, {kNoCluster, Core::All}}) {
    test::LogCapture refused;
    EXPECT_FALSE(config.include(cluster, core));
    EXPECT_EQ(refused.lines().size(), 1u) << refused.text();
    EXPECT_EQ(refused.count("warning|"), 1u);
  }
  expectConfig(config, CoreMode::Single, CoreAllocationPolicy::Manual,
               {{C1, Core::Core3}, {C0, Core::Core1}, {C0, Core::Core0}}, 3);
  // A whole cluster skips the global core only in single mode.
  test::LogCapture whole;
  EXPECT_TRUE(config.include(C1));
  EXPECT_EQ(whole.count("warning|`ModelConfig::include` is deprecated"), 5u);
  EXPECT_EQ(config.getCoreIds(), (std::vector<CoreId>{{C1, Core::Core3}, {C0, Core::Core1}, {C0, Core::Core0},
                                                     {C1, Core::Core0}, {C1, Core::Core1}, {C1, Core::Core2}}));

  ModelConfig multi;
  ASSERT_TRUE(multi.setMultiCoreMode({C1}));
  EXPECT_TRUE(multi.include(C0, Core::All));
  expectConfig(multi, CoreMode::Multi, CoreAllocationPolicy::Manual, clusterCores(C0, true, clusterCores(C1, true)),
               10);

  ModelConfig all;
  ASSERT_TRUE(all.setSingleCoreMode(2));
  EXPECT_TRUE(all.includeAllCores());
  EXPECT_EQ(all.getCoreIds(), clusterCores(C1, false, clusterCores(C0, false)));
  EXPECT_EQ(all.getCoreAllocationPolicy(), CoreAllocationPolicy::Auto);
}

TEST(ModelConfig, ExcludeRemovesFirstMatchAndAcceptsAbsentCores) {
  ModelConfig config;
  ASSERT_TRUE(config.setMultiCoreMode({C0}));
  test::LogCapture capture;
  EXPECT_TRUE(config.exclude(C0, Core::Core3));
  EXPECT_TRUE(config.exclude(C0, Core::Core3));  // absent: still true
  EXPECT_TRUE(config.exclude(Core::Core0));
  EXPECT_TRUE(config.exclude(kNoCluster));
  EXPECT_EQ(capture.count(deprecated("ModelConfig::exclude", "ModelConfig::setSingleCoreMode")), 4u);
  expectConfig(config, CoreMode::Multi, CoreAllocationPolicy::Manual,
               {{C0, Core::Core1}, {C0, Core::Core2}, {C0, Core::GlobalCore}}, 3);
  EXPECT_TRUE(config.exclude(C0));
  EXPECT_TRUE(config.getCoreIds().empty());
  ModelConfig full;
  EXPECT_TRUE(full.excludeAllCores());
  EXPECT_TRUE(full.getCoreIds().empty());
  EXPECT_EQ(full.getNumCores(), 0);
}
