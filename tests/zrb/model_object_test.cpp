// The model object's life: its temporary directory, the entrance checks of
// ZRB::load and the hardware check.

#include <fstream>
#include <type_traits>

#include "hwdep/platform.h"
#include "zrb_fixture.h"

namespace kestrane::test {
namespace {

static_assert(!std::is_copy_constructible_v<zrb::ZRB> && !std::is_copy_assignable_v<zrb::ZRB>,
              "a copy would remove the temporary directory twice");

using ModelObject = ZrbTest;

TEST_F(ModelObject, FreshObjectOwnsAnEmptyPrivateDirectory) {
  fs::path dir;
  {
    zrb::ZRB a;
    zrb::ZRB b;
    EXPECT_EQ(a.getTargetHardware(), 0x7FFFFFFFu);
    EXPECT_EQ(a.getFormatVersion(), 0x7FFFFFFFu);
    EXPECT_EQ(a.getHeaderWordExt(), 0u);
    EXPECT_TRUE(a.getBundles().empty());
    dir = a.getTempDirectory();
    ASSERT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_EQ(dir.parent_path(), tmp_);
    const std::string name = dir.filename().string();
    ASSERT_EQ(name.size(), 12u);
    EXPECT_EQ(name.substr(0, 4), "zrb_");
    EXPECT_NE(a.getTempDirectory(), b.getTempDirectory());
    std::ofstream(dir / "extracted.bin") << "payload";
  }
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(ModelObject, DestructionToleratesAVanishedDirectoryAndCanKeepIt) {
  fs::path kept;
  {
    zrb::ZRB gone;
    fs::remove_all(gone.getTempDirectory());
    zrb::ZRB keep;
    keep.setRemoveTempDirectory(false);
    kept = keep.getTempDirectory();
  }
  EXPECT_TRUE(fs::is_directory(kept));
}

TEST_F(ModelObject, SetBundlesWithItsOwnListKeepsIt) {
  zrb::ZRB model;
  zrb::Bundle bundle;
  bundle.setInputs({zrb::Input{}});
  bundle.setInputs(bundle.getInputs());
  EXPECT_EQ(bundle.getInputs().size(), 1u);
  model.setBundles({bundle, bundle});
  model.setBundles(model.getBundles());
  EXPECT_EQ(model.getBundles().size(), 2u);
  model.setMetadata({zrb::Metadatum{}});
  model.setMetadata(model.getMetadata());
  EXPECT_EQ(model.getMetadata().size(), 1u);
}

TEST_F(ModelObject, LoadRefusesMissingPathsDirectoriesAndUnknownVersions) {
  zrb::ZRB model;
  {
    LogCapture log;
    EXPECT_FALSE(model.load((files_ / "absent.zrb").string()));
    EXPECT_EQ(log.count("Unable to load; No such file exists:'" + (files_ / "absent.zrb").string() + "'"), 1u);
  }
  {
    LogCapture log;
    EXPECT_FALSE(model.load(files_.string()));
    EXPECT_EQ(log.count("Unable to load; Is a directory: '" + files_.string() + "'"), 1u);
  }
  zrbw::Written other = zrbw::write(sampleModel(0x60000));
  other.setWord("version", 0x70000);
  other.fixChecksum();
  for (const auto& bytes : {other.bytes, std::vector<uint8_t>{'.', 'Z', 'R', 'B', 0, 0}, std::vector<uint8_t>{}}) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(model.load(save(bytes)));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unable to load; no matching ZRB version!\n");
  }
  expectNothingOutside(model);
}

TEST_F(ModelObject, NoTemporaryDirectoryMeansNoLoad) {
  const std::string path = save(zrbw::write(sampleModel(0x60000)));
  ::setenv("TMPDIR", (root_ / "missing" / "deeper").c_str(), 1);
  LogCapture log;
  zrb::ZRB model;  // must not throw
  EXPECT_TRUE(model.getTempDirectory().empty());
  EXPECT_FALSE(model.load(path));
  EXPECT_FALSE(model.load(path, true));
  EXPECT_GE(log.count("no temporary directory"), 2u);
  EXPECT_TRUE(fs::is_empty(cwd_));
}

TEST_F(ModelObject, HardwareCheckComparesWithThePlatform) {
  {
    zrb::ZRB never;
    LogCapture log;
    EXPECT_FALSE(never.isSupportedHardware());
    EXPECT_EQ(log.count("ZRB contains invalid format version"), 1u);
  }
  const uint32_t hardware = hwdep::Platform().getHardwareVersion();
  for (const uint32_t version : {0x60000u, 0x50000u}) {
    for (const uint32_t target : {hardware, hardware + 1}) {
      zrbw::Model source = sampleModel(version);
      source.target_hardware = target;
      zrb::ZRB model;
      ASSERT_TRUE(model.load(save(zrbw::write(source))));
      EXPECT_EQ(model.isSupportedHardware(), target == hardware);
    }
  }
  zrb::ZRB legacy;
  legacy.setHeader(0x20001, 0, 0x7FFFFFFE);
  EXPECT_TRUE(legacy.isSupportedHardware());
}

}  // namespace
}  // namespace kestrane::test
