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
// `bigPayload` bytes in bundle 1.
zrbw::Model sampleModel(uint32_t version, size_t bigPayload = 3000, size_t smallPayload = 700);

}  // namespace kestrane::test
