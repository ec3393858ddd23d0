// Cache memory of a sequence model on the simulated card: dump, reset and
// load (lists and files), the tail filter run by the model's rearrangement
// program, and their refusals.

#include <cstring>
#include <filesystem>
#include <fstream>

#include "inference_fixture.h"
#include "support/log_capture.h"
#include "utilkit/fs_utils.h"

namespace kestrane::test {
namespace {

using Bytes = std::vector<int8_t>;
using Areas = std::vector<Bytes>;
namespace fs = std::filesystem;

// L tokens with a cache of `cacheSize` mark the first L + cacheSize bytes of
// the cache with 0x5A.
void fillCache(Model& model, int64_t tokens, uint32_t cacheSize) {
  StatusCode sc = StatusCode::InternalError;
  model.infer({arrayOf<float>({tokens, 1, 16}, Values(static_cast<size_t>(tokens) * 16))}, cacheSize, sc);
  ASSERT_EQ(sc, StatusCode::OK);
}

Areas dump(Model& model) {
  StatusCode sc = StatusCode::InternalError;
  Areas areas = model.dumpCacheMemory(sc);
  EXPECT_EQ(sc, StatusCode::OK);
  return areas;
}

Bytes marked(size_t n, int8_t value, size_t size = 32) {
  Bytes b(size, 0);
  std::fill(b.begin(), b.begin() + static_cast<long>(n), value);
  return b;
}

class CacheTest : public InferenceTest {
 protected:
  void SetUp() override {
    InferenceTest::SetUp();
    dir_ = utilkit::createTempDirectory("cachetest_", 8);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    InferenceTest::TearDown();
  }
  fs::path dir_;
};

TEST_F(CacheTest, DumpResetAndLoadRestoreTheBytes) {
  Model& model = launch(testModel("sequence_cache"), onCore(0, 2));
  fillCache(model, 3, 2);
  const Areas filled = dump(model);
  ASSERT_EQ(filled, Areas{marked(5, 0x5A)});

  model.resetCacheMemory();
  EXPECT_EQ(dump(model), Areas{marked(0, 0)});
  EXPECT_EQ(model.loadCacheMemory(filled), StatusCode::OK);
  EXPECT_EQ(dump(model), filled);

  // Files: one per area, named by the area's hash, with or without a "/".
  const std::string hash = model.getCacheInfos().at(0).layer_hash;
  const fs::path sub = dir_ / "sub";
  EXPECT_EQ(model.dumpCacheMemory(sub.string()), StatusCode::OK);
  std::vector<uint8_t> file;
  ASSERT_TRUE(utilkit::readBinaryFile((sub / ("cache_" + hash + ".bin")).string(), file));
  EXPECT_EQ(Bytes(file.begin(), file.end()), filled[0]);
  model.resetCacheMemory();
  EXPECT_EQ(model.loadCacheMemory(sub.string() + "/"), StatusCode::OK);
  EXPECT_EQ(dump(model), filled);

  // A list given with the right count and sizes is filled in place.
  Areas given{Bytes(32, 1)};
  EXPECT_EQ(model.dumpCacheMemory(given), StatusCode::OK);
  EXPECT_EQ(given, filled);
}

TEST_F(CacheTest, DumpAndLoadRefuseWhatDoesNotFit) {
  LogCapture log;
  Model& model = launch(testModel("sequence_cache"), onCore(0, 3));
  Areas two{Bytes(32), Bytes(32)}, shortArea{Bytes(31)};
  EXPECT_EQ(model.dumpCacheMemory(two), StatusCode::Model_NumCacheMismatched);
  EXPECT_EQ(model.loadCacheMemory(two), StatusCode::Model_NumCacheMismatched);
  EXPECT_EQ(model.dumpCacheMemory(shortArea), StatusCode::Model_BufferSizeMismatched);
  EXPECT_EQ(model.loadCacheMemory(shortArea), StatusCode::Model_BufferSizeMismatched);
  EXPECT_EQ(log.count("kv_0(Index: 0): Wrong buffer size (expected: 32, actual: 31)"), 2u);

  const std::string missing = (dir_ / "missing").string();
  EXPECT_EQ(model.loadCacheMemory(missing), StatusCode::Model_FailedToFindDirectory);
  EXPECT_EQ(log.count(missing + " is not directory."), 1u);
  EXPECT_EQ(model.loadCacheMemory(dir_.string()), StatusCode::Model_FailedToOpenCacheFile);
  const fs::path cacheFile = dir_ / ("cache_" + model.getCacheInfos()[0].layer_hash + ".bin");
  std::ofstream(cacheFile) << "short";
  EXPECT_EQ(model.loadCacheMemory(dir_.string()), StatusCode::Model_BufferSizeMismatched);
  // A file that cannot be written, and a directory that cannot be made.
  fs::remove(cacheFile);
  fs::create_directory(cacheFile);
  EXPECT_EQ(model.dumpCacheMemory(dir_.string()), StatusCode::Model_FailedToOpenCacheFile);
  std::ofstream(dir_ / "plain") << "x";
  EXPECT_EQ(model.dumpCacheMemory((dir_ / "plain" / "below").string()), StatusCode::Model_FailedToFindDirectory);

  EXPECT_EQ(model.dispose(), StatusCode::OK);
  StatusCode sc = StatusCode::InternalError;
  model.dumpCacheMemory(sc);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
  EXPECT_EQ(model.loadCacheMemory(Areas{Bytes(32)}), StatusCode::Model_NotLaunched);
  Model& plain = launch(testModel("identity_int8"), onCore(0, 0));
  plain.dumpCacheMemory(sc);
  EXPECT_EQ(sc, StatusCode::Model_NoCache);
  EXPECT_EQ(log.count("Model doesn't have KV-cache"), 1u);
}

TEST_F(CacheTest, TailFilterRunsTheRearrangementProgram) {
  LogCapture log;
  Model& model = launch(testModel("sequence_cache"), onCore(1, 1));
  fillCache(model, 3, 2);
  StatusCode sc = StatusCode::InternalError;
  // The program marks the a0 = 3 tail positions it was handed.
  EXPECT_EQ(model.filterCacheTail(5, 3, {true, false, true}, sc), 4);
  EXPECT_EQ(sc, StatusCode::OK);
  Bytes expected = marked(5, 0x5A);
  std::fill(expected.begin(), expected.begin() + 3, 0x7E);
  EXPECT_EQ(dump(model), Areas{expected});

  // Refusals (the argument checks are tested on their own) and a move of
  // nothing leave the cache as it was.
  EXPECT_EQ(model.filterCacheTail(33, 1, {true}, sc), 33);
  EXPECT_EQ(sc, StatusCode::Model_CacheOverflow);
  EXPECT_EQ(model.moveCacheTail(2, 3, 5, sc), 5);
  EXPECT_EQ(sc, StatusCode::OK);
  EXPECT_EQ(dump(model), Areas{expected});

  // The program's bundle has data sections, the later over the front of
  // the earlier: they come back with the program after it ran.
  json overlapping = testModel("sequence_cache");
  for (auto [size, fill] : {std::pair{0x600, 7}, std::pair{0x400, 3}})
    overlapping["bundles"][0]["section_binaries"].push_back(
        {{"memory_type", 0},
         {"payload", {{"repeat", {{"size", size}, {"byte", fill}}}}},
         {"designations", {{{"each_core", true}, {"region", "DDR"}, {"address", 0xA000}}}}});
  Model& overlapped = launch(overlapping, onCore(1, 3));
  fillCache(overlapped, 3, 2);
  EXPECT_EQ(overlapped.filterCacheTail(4, 2, {true, false}, sc), 3);
  EXPECT_EQ(sc, StatusCode::OK);

  Model& twoVariants = launch(testModel("two_variants"), onCore(1, 2));
  EXPECT_EQ(twoVariants.filterCacheTail(1, 1, {true}, sc), 1);
  EXPECT_EQ(sc, StatusCode::Model_InvalidSupplementary);
  EXPECT_EQ(log.count("`filterCacheTail` is not available for a a model with CPU-offload."), 1u);
  EXPECT_EQ(model.dispose(), StatusCode::OK);
  EXPECT_EQ(model.filterCacheTail(5, 1, {true}, sc), 5);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
  EXPECT_EQ(model.moveCacheTail(1, 1, 5, sc), 5);
  EXPECT_EQ(sc, StatusCode::Model_NotLaunched);
}

// A move of the cache tail hands the rearrangement program the eight
// arguments of the move; this model's program records them behind the
// cache and moves n bytes from src to dst, as the device's would.
TEST_F(CacheTest, TailMoveRunsTheRearrangementProgram) {
  json description = testModel("sequence_cache");
  json& bundle = description["bundles"][0];
  bundle["sequence_lengths"][0]["extra_words"] = {256, 0, 0};  // the largest cache size
  bundle["cache_designations"][0]["size"] = 288;
  bundle["section_binaries"][1]["program"] =
      json::array({"copy ddr+0x8100 @RMEM+8 32", "copy ddr+0x8040 ddr+0x80C0 1 scale=7"});
  Model& model = launch(description, onCore(0, 0));
  Bytes cache(288, 0);
  for (size_t i = 0; i < 256; ++i) cache[i] = static_cast<int8_t>(i % 100);
  ASSERT_EQ(model.loadCacheMemory(Areas{cache}), StatusCode::OK);
  StatusCode sc = StatusCode::InternalError;
  // Head 10, tail 5 of 200 with the granule 64: dst 64, src 192, end 256, n 64.
  EXPECT_EQ(model.moveCacheTail(10, 5, 200, sc), 72u);
  EXPECT_EQ(sc, StatusCode::OK);
  Bytes expected = cache;
  std::copy(cache.begin() + 192, cache.begin() + 256, expected.begin() + 64);
  const uint32_t args[8] = {0, 0, 0, 192, 64, 64, 128, 128};
  std::memcpy(expected.data() + 256, args, sizeof args);
  EXPECT_EQ(dump(model), Areas{expected});
}

// An area placed only on another core than the model's: dump and load
// fail with a line each and touch neither the caller's bytes, the files,
// nor the card's memory.
TEST_F(CacheTest, DumpAndLoadNeedAPlacementOnTheModelsCores) {
  json description = testModel("sequence_cache");
  description["bundles"][0]["cache_designations"][0]["entries"][0]["designations"] = {
      {{"core_word", 0x10001}, {"region", "DDR"}, {"address", 32768}, {"flag", true}}};
  Model& model = launch(description, onCore(0, 1));
  const std::vector<uint8_t> marks(32, 0x44);
  ASSERT_TRUE(card_->poke(0x800000000 + 0x8000, marks.data(), marks.size()));
  LogCapture log;
  Areas areas{Bytes(32, 7)};
  EXPECT_EQ(model.dumpCacheMemory(areas), StatusCode::Model_NoCache);
  EXPECT_EQ(areas, Areas{Bytes(32, 7)});
  EXPECT_EQ(model.dumpCacheMemory(dir_.string()), StatusCode::Model_NoCache);
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_EQ(model.loadCacheMemory(areas), StatusCode::Model_NoCache);
  EXPECT_EQ(log.count("error|Failed to dump cache memory - kv_0(Index: 0): no placement on the model's cores."), 2u);
  EXPECT_EQ(log.count("error|Failed to load cache memory - kv_0(Index: 0): no placement on the model's cores."), 1u);
  std::vector<uint8_t> onCard(32);
  ASSERT_TRUE(card_->peek(0x800000000 + 0x8000, onCard.data(), onCard.size()));
  EXPECT_EQ(onCard, marks);
}

TEST_F(CacheTest, WithoutRearrangementProgramResetZeroFillsAndFiltersAreRefused) {
  LogCapture log;
  json description = testModel("sequence_cache");
  description["bundles"][0]["section_binaries"].erase(1);
  Model& model = launch(description, onCore(0, 1));
  fillCache(model, 2, 0);
  EXPECT_EQ(dump(model), Areas{marked(2, 0x5A)});
  model.resetCacheMemory();
  EXPECT_EQ(dump(model), Areas{marked(0, 0)});
  StatusCode sc = StatusCode::InternalError;
  EXPECT_EQ(model.filterCacheTail(2, 1, {false}, sc), 2);
  EXPECT_EQ(sc, StatusCode::Model_InvalidSupplementary);
  EXPECT_EQ(log.count("Failed to rearrange cache memory - bundle_0 doesn't support cache rearrangement"), 1u);
}

TEST_F(CacheTest, DefaultCacheIsFoundOnTheTargetCore) {
  // No cache designation: the model derives one between its input and
  // output areas, placed by target core alone.
  json description = testModel("sequence_cache");
  json& bundle = description["bundles"][0];
  bundle.erase("cache_designations");
  for (const char* io : {"inputs", "outputs"}) {
    json& d = bundle[io][0]["designations"][0];
    d["region"] = "DDR";
    d["flag"] = true;
  }
  bundle["section_binaries"][0]["program"] = json::array({"affine_i8 ddr+0x2000 ddr+0x1000 16 1 1 scale=0"});
  Model& model = launch(description, onCore(1, 3));
  ASSERT_EQ(model.getCacheInfos().size(), 1u);
  const size_t size = model.getCacheInfos()[0].size;
  ASSERT_GT(size, 0u);
  Areas pattern{Bytes(size, 0x33)};
  EXPECT_EQ(model.loadCacheMemory(pattern), StatusCode::OK);
  EXPECT_EQ(dump(model), pattern);
}

}  // namespace
}  // namespace kestrane::test
