#include "zrb_fixture.h"

#include <unistd.h>

#include <random>

namespace kestrane::test {

void ZrbTest::SetUp() {
  previousCwd_ = fs::current_path();
  if (const char* t = std::getenv("TMPDIR")) previousTmpdir_ = t;
  root_ = fs::temp_directory_path() /
          ("zrbtest_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(root_);
  tmp_ = root_ / "tmp";
  cwd_ = root_ / "cwd";
  files_ = root_ / "files";
  for (const auto& d : {tmp_, cwd_, files_}) fs::create_directories(d);
  ::setenv("TMPDIR", tmp_.c_str(), 1);
  fs::current_path(cwd_);
}

void ZrbTest::TearDown() {
  fs::current_path(previousCwd_);
  if (previousTmpdir_) {
    ::setenv("TMPDIR", previousTmpdir_->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string ZrbTest::save(const std::vector<uint8_t>& bytes, const std::string& name) {
  const fs::path path = files_ / name;
  EXPECT_TRUE(zrbw::writeFile(path.string(), bytes));
  return path.string();
}

void ZrbTest::expectNothingOutside(const zrb::ZRB& model) const {
  EXPECT_TRUE(fs::is_empty(cwd_)) << "a load wrote into the working directory";
  for (const auto& entry : fs::directory_iterator(tmp_)) {
    EXPECT_EQ(entry.path(), model.getTempDirectory()) << "a load wrote " << entry.path();
  }
}

zrbw::Model sampleModel(uint32_t version, size_t bigPayload, size_t smallPayload) {
  using namespace zrbw;
  std::mt19937 rng(version + bigPayload);
  const auto bytes = [&](size_t n) {
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
  };
  const Designation d0{0x10001, 0x0821, 0x0B, 0x100002000};
  const Designation d1{0x20003, 0x1960, 0x04, 0x8000};

  Model m;
  m.version = version;
  m.target_hardware = 3;
  m.header_word = 0xA1B2C3D4;
  m.header_word_ext = 0x0BADF00D;
  m.noise_seed = 77;
  m.metadata = {{0x0061, bytes(40), std::nullopt}, {0x0010, {}, 100}};

  Bundle b0;
  b0.bundle_word = 9;
  b0.metadata = {{0x002A, bytes(5), std::nullopt}};
  b0.cores = {{0x10001, 0x0861}, {0x20002, 0x1962}};
  IoEntry in0;
  in0.name = "image";
  in0.designations = {d0, d1};
  in0.size = 0x300;
  in0.flags = ioFlags(true, 1, 2, true);
  in0.flags2 = 0x00028005;
  in0.dims = {4, 4, 3, 4, 4, 3, 4, 4, 16, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0x99};
  in0.scales = {0.5f, 0.25f, 2.0f};
  in0.channel_bytes = {1, 2, 3};
  in0.io_groups = {{{1, 2}, {3, 4}, {5, 6}}, {{7}, {8}, {9}}};
  IoEntry in1;
  in1.name = "tokens";
  in1.designations = {d1};
  in1.flags = ioFlags(false, 4, 0, false);
  in1.dims = {1, 1, 16, 1, 1, 16, 1, 1, 16, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0};
  in1.scales = {1.0f};
  IoEntry out0;
  out0.name = "logits";
  out0.designations = {d0};
  out0.size = 64;
  out0.flags = ioFlags(false, 0, 7, false);
  out0.dims = {2, 2, 8, 2, 2, 8, 2, 2, 8, 0xFFFFFFFF, 1, 0xFFFFFFFF, 3};
  out0.scales = {0.125f};
  b0.inputs = {in0, in1};
  b0.outputs = {out0};
  SequenceLength seq;
  seq.name = "seq";
  seq.type_word = 0x102;
  seq.max_size = 64;
  seq.extra = {7, 8, 9};
  seq.input_axes = {{0, {{0x201, 1.0f, 0.5f}}}, {1, {{0x001, 2.0f, 0.0f}, {0x102, 1.0f, 1.0f}}}};
  seq.output_axes = {{0, {{0x000, 1.0f, 0.0f}}}};
  seq.sequence_rmem_ids = {0};
  seq.cache_rmem_ids = {1};
  b0.sequence_lengths = {seq};
  b0.section_binaries = {{binaryFlags(false, true, 3, 0x5A), {d0}, bytes(smallPayload), std::nullopt},
                         {binaryFlags(true, false, 4, 0), {}, {}, 0x1000}};
  b0.rmem_ids = {{1, 16, 1.0f, 0.0f}, {2, 32, 0.5f, 1.0f}};
  CacheDesignation cad;
  cad.type_word = 1;
  cad.name = "kv";
  cad.size = 0x100;
  cad.entries = {{{d1}, 42}, {{d0, d1}, 43}};
  cad.designations = {d1, d0};
  b0.cache_designations = {cad};

  Bundle b1;
  b1.bundle_word = 2;
  b1.cores = {{0x20001, 0x1000}};
  b1.metadata = {{0, {}, std::nullopt}};  // an empty payload still makes a file
  b1.section_binaries = {{binaryFlags(false, false, 31, 1), {d1}, bytes(bigPayload), std::nullopt},
                         {binaryFlags(false, false, 0, 0), {}, {}, std::nullopt}};
  m.bundles = {b0, b1};
  return m;
}

}  // namespace kestrane::test
