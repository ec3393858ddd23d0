#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "support/log_capture.h"
#include "support/zrb_writer.h"
#include "zrb/zrb.h"

namespace kestrane::test {

namespace fs = std::filesystem;

// Every test runs with a private system temporary directory (TMPDIR) and a
// private, empty working directory, so it can tell what a load wrote where.
class ZrbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the bytes as a model file beside (not inside) the two directories.
  std::string save(const std::vector<uint8_t>& bytes, const std::string& name = "model.zrb");
  std::string save(const zrbw::Written& written, const std::string& name = "model.zrb") {
    return save(written.bytes, name);
  }
  // Loads the model (which must succeed) and returns its first bundle.
  zrb::Bundle loadFirstBundle(const zrbw::Model& source, const std::string& name = "model.zrb") {
    zrb::ZRB model;
    EXPECT_TRUE(model.load(save(zrbw::write(source), name))) << name;
    return model.getBundles().empty() ? zrb::Bundle{} : model.getBundles()[0];
  }
  // Nothing in the working directory, nothing in the temporary directory but
  // the model's own directory.
  void expectNothingOutside(const zrb::ZRB& model) const;

  fs::path root_, tmp_, cwd_, files_;

 private:
  fs::path previousCwd_;
  std::optional<std::string> previousTmpdir_;
};

// A model that uses every section and field of the version, with noise in
// ignored words, a payload of `smallPayload` bytes in bundle 0 and one of
// `bigPayload` bytes in the last binary. Versions 2 to 6 get two bundles,
// version 1 its one bundle with three candidates. Shaped so that reading it
// exercises what each version has of its own: derived sequence lengths (3,
// 4), the older core and designation words (2, 3), the sub-version
// differences (1, 2) and the platform designations and checksums (1).
zrbw::Model sampleModel(uint32_t version, size_t bigPayload = 3000, size_t smallPayload = 700);

// Every format version and sub-version, newest first.
inline const std::vector<uint32_t> kAllVersions = {0x60000, 0x50000, 0x40000, 0x30000, 0x20000,
                                                   0x20001, 0x20002, 0x10000, 0x10001, 0x10002};

// "V4", "V2_1", "V1_0", ...: a test-name suffix for the version word.
std::string versionName(uint32_t version);
inline std::string versionParamName(const ::testing::TestParamInfo<uint32_t>& info) {
  return versionName(info.param);
}

inline bool isVersion1(uint32_t version) { return (version >> 16) == 1; }
inline bool isVersion2(uint32_t version) { return (version >> 16) == 2; }

}  // namespace kestrane::test
