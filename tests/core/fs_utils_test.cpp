#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "support/log_capture.h"
#include "utilkit/fs_utils.h"

using namespace kestrane;
namespace fs = std::filesystem;

class FsUtils : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = utilkit::createTempDirectory("fs_test_", 8);
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(FsUtils, RoundTripsBytesAndEmptyFiles) {
  const std::vector<uint8_t> bytes = {0, 1, 2, 255, 0, 7};
  ASSERT_TRUE(utilkit::writeBinaryFile(path("a.bin"), bytes.data(), bytes.size()));
  std::vector<uint8_t> back = {9, 9};
  ASSERT_TRUE(utilkit::readBinaryFile(path("a.bin"), back));
  EXPECT_EQ(back, bytes);
  ASSERT_TRUE(utilkit::writeBinaryFile(path("empty.bin"), nullptr, 0));
  EXPECT_EQ(fs::file_size(path("empty.bin")), 0u);
  ASSERT_TRUE(utilkit::readBinaryFile(path("empty.bin"), back));
  EXPECT_TRUE(back.empty());
}

TEST_F(FsUtils, FailuresAreReportedAndAFailedReadKeepsTheList) {
  test::LogCapture capture;
  std::vector<uint8_t> keep = {1, 2, 3};
  EXPECT_FALSE(utilkit::readBinaryFile(path("missing.bin"), keep));
  EXPECT_FALSE(utilkit::readBinaryFile(dir_.string(), keep));
  EXPECT_EQ(keep, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(capture.count("Failed to open file \"" + path("missing.bin") + "\": No such file or directory"), 1u);
  EXPECT_EQ(capture.count("Is a directory"), 1u);
  const uint8_t byte = 1;
  EXPECT_FALSE(utilkit::writeBinaryFile(path("no/such/dir/file"), &byte, 1));
  EXPECT_EQ(capture.count("Failed to open file \"" + path("no/such/dir/file") + "\""), 1u);
  // A full device: the bytes are accepted into the stream buffer and refused
  // when it is flushed at close.
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(utilkit::writeBinaryFile("/dev/full", &byte, 1));
    EXPECT_EQ(capture.count("Failed to write binary fully"), 1u);
  }
}

TEST_F(FsUtils, GetFileSizeRewinds) {
  const std::vector<uint8_t> bytes(1234, 5);
  ASSERT_TRUE(utilkit::writeBinaryFile(path("s.bin"), bytes.data(), bytes.size()));
  std::FILE* f = std::fopen(path("s.bin").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 100, SEEK_SET);
  EXPECT_EQ(utilkit::getFileSize(f), 1234);
  EXPECT_EQ(std::ftell(f), 0);
  std::fclose(f);
}

TEST(TempDirectory, NamesFollowAlphabetAndAreUniqueUnderConcurrency) {
  std::mutex mutex;
  std::set<std::string> names;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        const fs::path p = utilkit::createTempDirectory("zrb_", 8);
        ASSERT_FALSE(p.empty());
        std::lock_guard lock(mutex);
        names.insert(p.string());
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(names.size(), 200u);
  for (const auto& name : names) {
    const fs::path p(name);
    EXPECT_EQ(p.parent_path(), fs::temp_directory_path());
    const std::string leaf = p.filename().string();
    ASSERT_EQ(leaf.size(), 12u);
    EXPECT_EQ(leaf.substr(0, 4), "zrb_");
    for (char c : leaf.substr(4)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << leaf;
    struct stat info {};
    ASSERT_EQ(::stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    fs::remove(p);
  }
}

TEST(TempDirectory, ExhaustedNamesGiveEmptyPath) {
  // With no random characters every attempt draws the same name.
  const fs::path first = utilkit::createTempDirectory("kestrane_fixed_" + std::to_string(::getpid()), 0);
  ASSERT_FALSE(first.empty());
  test::LogCapture capture;
  EXPECT_TRUE(utilkit::createTempDirectory("kestrane_fixed_" + std::to_string(::getpid()), 0).empty());
  EXPECT_EQ(capture.count("Failed to create a temp directory."), 1u);
  fs::remove(first);
}
