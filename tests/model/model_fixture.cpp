#include "model_fixture.h"

#include <fstream>

#include "support/zrb_json.h"
#include "support/zrb_writer.h"

namespace kestrane::test {

json testModel(const std::string& name) {
  std::ifstream in(std::string(KESTRANE_TEST_MODELS) + "/" + name + ".json");
  EXPECT_TRUE(in) << name;
  return json::parse(in);
}

std::unique_ptr<TempModelFile> writeModel(const json& description) {
  return std::make_unique<TempModelFile>(zrbw::write(zrbw::modelFromJson(description, KESTRANE_TEST_MODELS)).bytes);
}

ModelConfig oneCore() {
  ModelConfig config;
  config.setSingleCoreMode(std::vector<CoreId>{{Cluster::Cluster0, Core::Core0}});
  return config;
}

Created createModel(const json& description, const ModelConfig& config) {
  Created c;
  c.file = writeModel(description);
  c.model = ModelImpl::create(c.file->path(), config, c.status);
  return c;
}

json on(uint32_t core, uint64_t address, uint32_t mode) {
  return {{"core_word", core}, {"mode", mode}, {"address", address}};
}

}  // namespace kestrane::test
