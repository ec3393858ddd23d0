// Which core records a configuration accepts and keeps, and the table of
// supported core modes that messages print.

#include <sstream>

#include "model/core_mode_table.h"
#include "model_fixture.h"
#include "support/log_capture.h"

namespace kestrane::test {
namespace {

constexpr uint32_t kGlobal0 = 0x1FFFE;

// One bundle compiled for every core mode: single on the eight local cores,
// multi, global4 on cluster 0, global8 on both clusters. Multi places IO on
// the local cores of cluster 0, the global modes on its global core.
json allModesModel() {
  json m = testModel("identity_int8");
  json& b = m["bundles"][0];
  std::vector<uint32_t> cluster0 = {0x10001, 0x10002, 0x10003, 0x10004, kGlobal0};
  for (uint32_t mode : {1u, 3u, 4u}) {
    std::vector<uint32_t> cores = cluster0;
    if (mode == 4) cores.insert(cores.end(), {0x20001, 0x20002, 0x20003, 0x20004, 0x2FFFE});
    for (uint32_t c : cores) b["cores"].push_back({{"core_word", c}, {"mode", mode}});
    auto place = [&](json& entry, uint64_t address) {
      if (mode == 1) {
        for (uint32_t c = 0x10001; c <= 0x10004; ++c) entry["designations"].push_back(on(c, address, mode));
      } else {
        entry["designations"].push_back(on(kGlobal0, address, mode));
      }
    };
    place(b["inputs"][0], 4096);
    place(b["outputs"][0], 8192);
    b["section_binaries"][0]["designations"].push_back({{"core_word", kGlobal0}, {"mode", mode}, {"region", "IMEM"}});
  }
  return m;
}

struct ModeCase;
void PrintTo(const ModeCase& mode, std::ostream* out);

struct ModeCase {
  const char* name;
  ModelConfig (*config)();
  size_t keptCores;
  std::vector<uint32_t> inputCores;
};

const ModeCase kModes[] = {
    {"Single", [] { return ModelConfig(); }, 8,
     {0x10001, 0x10002, 0x10003, 0x10004, 0x20001, 0x20002, 0x20003, 0x20004}},
    {"Multi", [] { ModelConfig c; c.setMultiCoreMode({Cluster::Cluster0}); return c; }, 5, {0x10001, 0x10002, 0x10003, 0x10004}},
    {"Global4", [] { ModelConfig c; c.setGlobal4CoreMode({Cluster::Cluster0}); return c; }, 5, {kGlobal0}},
    {"Global8", [] { ModelConfig c; c.setGlobal8CoreMode(); return c; }, 10, {kGlobal0}},
};

void PrintTo(const ModeCase& mode, std::ostream* out) { *out << mode.name; }

class CoreModeMatch : public ::testing::TestWithParam<ModeCase> {};

TEST_P(CoreModeMatch, KeepsOnlyTheConfiguredMode) {
  const ModeCase& mode = GetParam();
  const ModelConfig config = mode.config();
  const Created c = createModel(allModesModel(), config);
  ASSERT_EQ(c.status, StatusCode::OK);
  const zrb::Bundle& b = c.model->npuOpDescs()[0].bundle();
  ASSERT_EQ(b.cores.size(), mode.keptCores);
  for (const zrb::CoreConfig& core : b.cores) EXPECT_EQ(core.mode, static_cast<uint32_t>(config.getCoreMode()));
  std::vector<uint32_t> inputCores;
  for (const zrb::Designation& d : b.inputs[0].designations) inputCores.push_back(coreKey(designationCore(d)));
  EXPECT_EQ(inputCores, mode.inputCores);
  EXPECT_TRUE(std::is_sorted(c.model->targetCores().begin(), c.model->targetCores().end()));
  EXPECT_EQ(c.model->targetCores().size(), config.getCoreIds().size());
}

INSTANTIATE_TEST_SUITE_P(Modes, CoreModeMatch, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST(CoreModeTest, GlobalModeNeedsAGlobalRecordOnly) {
  json m = allModesModel();
  m["bundles"][0]["cores"].push_back({{"core_word", kGlobal0}, {"mode", 2}});
  m["bundles"][0]["inputs"][0]["designations"].push_back(on(kGlobal0, 4096, 2));
  m["bundles"][0]["outputs"][0]["designations"].push_back(on(kGlobal0, 8192, 2));
  m["bundles"][0]["section_binaries"][0]["designations"].push_back(
      {{"core_word", kGlobal0}, {"mode", 2}, {"region", "IMEM"}});
  ModelConfig config;
  config.setGlobalCoreMode({Cluster::Cluster0, Cluster::Cluster1});
  const Created c = createModel(m, config);
  ASSERT_EQ(c.status, StatusCode::OK);
  EXPECT_EQ(c.model->npuOpDescs()[0].bundle().cores.size(), 1u);
}

std::vector<zrb::CoreConfig> records(std::initializer_list<std::pair<uint32_t, uint32_t>> list) {
  std::vector<zrb::CoreConfig> out;
  for (const auto& [mode, key] : list) {
    zrb::CoreConfig c;
    c.mode = mode;
    c.core_id = CoreId{static_cast<Cluster>(key & 0xFFFF0000u), static_cast<Core>(key & 0xFFFFu)};
    out.push_back(c);
  }
  return out;
}

TEST(CoreModeTableTest, GroupsModesThenClustersKeepingRecordOrder) {
  const std::string expected =
      "+---------------------------------------------------------------------------------------+\n"
      "|                            Supported Core Modes and Cores                             |\n"
      "+------------+-----------+--------------------------------------------------------------+\n"
      "| Core Mode  | Cluster   | Cores                                                        |\n"
      "+------------+-----------+--------------------------------------------------------------+\n"
      "| Single     | Cluster0  | [Core0, Core1]                                               |\n"
      "|            | Cluster1  | [Core0]                                                      |\n"
      "+------------+-----------+--------------------------------------------------------------+\n"
      "| Global     | Cluster0  | [GlobalCore]                                                 |\n"
      "+------------+-----------+--------------------------------------------------------------+\n";
  EXPECT_EQ(coreModeTable(records({{2, kGlobal0}, {0, 0x10001}, {0, 0x20001}, {0, 0x10002}})), expected);
}

TEST(CoreModeTableTest, UnknownValuesShowUnreachable) {
  LogCapture log;
  const std::string table = coreModeTable(records({{0, 0x10005}, {9, 0x10001}}));
  EXPECT_NE(table.find("| Single     | Cluster0  | [Unreachable]"), std::string::npos) << table;
  EXPECT_NE(table.find("| Unreachable | Cluster0  | [Core0]"), std::string::npos) << table;
  EXPECT_EQ(log.count("Unhandled Core value (raw = 5): reached unreachable code path."), 1u);
  EXPECT_EQ(log.count("Unhandled CoreMode value (raw = 9)"), 1u);
}

}  // namespace
}  // namespace kestrane::test
