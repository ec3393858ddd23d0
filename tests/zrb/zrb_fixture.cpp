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

namespace {

using namespace zrbw;

// Mode words of version-3 designations and cores: bits 0-1 mode, 12-15
// supported modes 1-4, 18-19 clusters; cores add 2-5 and 6-9 (powers of
// two) and 10.
constexpr uint32_t kV3Mode1Cluster0 = 0x41001;      // mode 1, supported 1, Cluster0
constexpr uint32_t kV3Mode3Both = 0xC6003;          // mode 3, supported 2, 3, both clusters
constexpr uint32_t kV3CoreMode = 0x4A000 | (4u << 2) | (1u << 6) | (1u << 10) | 2u;

IoEntry io(const std::string& name, std::vector<Designation> designations, uint32_t flags,
           std::array<uint32_t, 3> original, std::array<uint32_t, 3> device, std::vector<float> scales) {
  IoEntry e;
  e.name = name;
  e.designations = std::move(designations);
  e.flags = flags;
  e.dims = {original[0], original[1], original[2], original[0], original[1], original[2],
            device[0],   device[1],   device[2],   0,           0,           0,           0};
  e.scales = std::move(scales);
  return e;
}

}  // namespace

std::string versionName(uint32_t version) {
  const uint32_t major = version >> 16;
  if (major > 2) return "V" + std::to_string(major);
  return "V" + std::to_string(major) + "_" + std::to_string(version & 0xF);
}

Model sampleModel(uint32_t version, size_t bigPayload, size_t smallPayload) {
  std::mt19937 rng(version + bigPayload);
  const auto bytes = [&](size_t n) {
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
  };
  const uint32_t major = version >> 16;

  Model m;
  m.version = version;
  m.target_hardware = 3;
  m.header_word = 0xA1B2C3D4;
  m.noise_seed = 91;

  // Designations in the version's own form.
  Designation d0{0x10001, 0x0821, 0x0B, 0x100002000};
  Designation d1{0x20003, 0x1960, 0x04, 0x8000};
  if (major == 3) {
    d0.mode_word = kV3Mode1Cluster0;
    d1.mode_word = kV3Mode3Both;
  } else if (major <= 2) {
    d0.mode_word = 0x0431;   // mode 1, flag (bit 10), links Core0 (its own) and Core1
    d1.mode_word = 0x0302;   // mode 2, links 0xFFFD and GlobalCore
  }

  Bundle b0;
  b0.bundle_word = 9;
  b0.metadata = {{0x002A, bytes(5), std::nullopt}};
  if (major == 1) {
    b0.cores = {{0x20003, 0x20, {0x1234, 0x5678, 0x9ABC}}, {0x10002, 9, {0x700100000, 0, 0}}};
  } else if (major <= 3) {
    const uint32_t mode = major == 3 ? kV3CoreMode : (2u | (4u << 2) | (1u << 6) | (1u << 10));
    b0.cores = {{0x10001, mode, {1, 2, 3}}, {0x20002, major == 3 ? 0x3u : 3u, {4, 5, 6}}};
  } else {
    b0.cores = {{0x10001, 0x0861, {}}, {0x20002, 0x1962, {}}};
  }

  // io type 1 with groups, per-channel scales; bits 1-3 in versions 2 and 3.
  const uint32_t in0Flags = major >= 4 ? ioFlags(true, 1, 2, true) : major == 3 ? (1u | (1u << 1) | (2u << 4)) : 3u;
  IoEntry in0 = io("image", {d0, d1}, in0Flags, {4, 4, 3}, {4, 4, 16}, {0.5f, 0.25f, 2.0f});
  in0.size = 0x300;
  in0.flags2 = 0x00028005;
  in0.channel_bytes = {1, 2, 3};
  in0.io_groups = {{{1, 2}, {3, 4}, {5, 6}}, {{7}, {8}, {9}}};
  in0.seq_lengths = {0, 5, 7};
  in0.seq_extra = 3;
  in0.address = 0x100002000;
  // io type 4: no groups.
  IoEntry in1 = io("tokens", {d1}, major >= 4 ? ioFlags(false, 4, 0, false) : 8u, {1, 1, 16}, {1, 1, 16}, {1.0f});
  in1.seq_lengths = {4, 0, 0};
  in1.address = 0x4000;
  IoEntry out0 = io("logits", {d0}, major >= 4 ? ioFlags(false, 0, 7, false) : major == 3 ? (7u << 4) : 0u,
                    {2, 2, 8}, {2, 2, 8}, {0.125f});
  out0.size = 64;
  out0.seq_lengths = {6, 0, 0};
  out0.address = 0x10000;
  if (major == 2) in0.dims[0] = 5;  // a reshaped shape of its own where the entry carries one
  b0.inputs = {in0, in1};
  b0.outputs = {out0};

  if (major == 1) {
    b0.metadata.clear();
    const Designation c0{0x10001, 0, 0, 0x20000}, c1{0x20004, 0, 0, 0x24000};
    b0.section_binaries = {{0, {c0, c1}, bytes(smallPayload), std::nullopt},
                           {0, {}, {}, std::nullopt},
                           {0, {c1}, bytes(bigPayload), std::nullopt}};
    m.bundles = {b0};
    return m;
  }

  b0.section_binaries = {{binaryFlags(false, true, 3, major == 2 ? 0 : 0x5A), {d0}, bytes(smallPayload), std::nullopt},
                         {binaryFlags(true, false, 4, 0), {}, {}, 0x1000}};
  b0.rmem_ids = {{1, 16, 1.0f, 0.0f}, {2, 32, 1.0f, 0.0f}, {3, 48, 1.0f, 0.0f}};
  b0.cache_designations = {{0xF1, "", 0x100, {}, {d1, d0}}};
  if (major >= 3) m.metadata = {{0x0061, bytes(40), std::nullopt}, {0x0010, {}, 100}};
  if (major == 2) b0.metadata.push_back({0x0001, bytes(3), std::nullopt});

  Bundle b1;
  b1.bundle_word = 2;
  b1.metadata = {{0x0004, bytes(7), std::nullopt}};
  b1.cores = {{0x20001, major == 3 ? 0x80000u : major == 2 ? 0u : 0x1000u, {}}};
  b1.section_binaries = {{binaryFlags(false, false, 31, major == 2 ? 0 : 1), {d1}, bytes(bigPayload), std::nullopt}};
  if (major >= 5) {
    // Sequence indices and the aux word in the entries, explicit sequence
    // lengths and cache entries, and empty payloads that still make files.
    m.header_word_ext = 0x0BADF00D;
    b0.inputs[0].dims = {4, 4, 3, 4, 4, 3, 4, 4, 16, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0x99};
    b0.inputs[1].dims = {1, 1, 16, 1, 1, 16, 1, 1, 16, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0};
    b0.outputs[0].dims = {2, 2, 8, 2, 2, 8, 2, 2, 8, 0xFFFFFFFF, 1, 0xFFFFFFFF, 3};
    b0.sequence_lengths = {{"seq", 0x102, 64, {7, 8, 9},
                            {{0, {{0x201, 1.0f, 0.5f}}}, {1, {{0x001, 2.0f, 0.0f}, {0x102, 1.0f, 1.0f}}}},
                            {{0, {{0x000, 1.0f, 0.0f}}}}, {0}, {1}}};
    b0.rmem_ids[1].multiplier = 0.5f;
    b0.cache_designations[0] = {1, "kv", 0x100, {{{d1}, 42}, {{d0, d1}, 43}}, {d1, d0}};
    b1.metadata = {{0, {}, std::nullopt}};
    b1.section_binaries.push_back({binaryFlags(false, false, 0, 0), {}, {}, std::nullopt});
  }
  m.bundles = {b0, b1};
  return m;
}

}  // namespace kestrane::test
