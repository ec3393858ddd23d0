#include <gtest/gtest.h>

#include <map>

#include "simcard/card_layout.h"
#include "tests/engine/engine_fixture.h"

namespace kestrane::test {
namespace {

// Both with the description's plain DDR and with a description whose DDR
// is interleaved over four channels (and a card that has them).
class BulkTransferTest : public EngineTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    cardOptions_.interleave = GetParam();
    if (GetParam()) seams::setDeviceFamily("Ebrill");
    EngineTest::SetUp();
  }
  // What a program on the card sees at `address`.
  std::vector<uint8_t> deviceView(uint64_t address, size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
      const uint64_t at = GetParam() ? simcard::channelAddress(address + i) : address + i;
      EXPECT_TRUE(card_->peek(at, &out[i], 1));
    }
    return out;
  }
  void setDeviceView(uint64_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint64_t at = GetParam() ? simcard::channelAddress(address + i) : address + i;
      EXPECT_TRUE(card_->poke(at, &bytes[i], 1));
    }
  }
};

// Cache bytes go out and come back in 1 MiB chunks, land where programs see
// them, and a cache reset zeroes every placement on the model's cores.
TEST_P(BulkTransferTest, DumpLoadAndResetCacheMemory) {
  const CoreId core = coreOf(0, 1);
  const uint64_t base = coreLayout(core).ddr + 0x100000;
  constexpr uint64_t kSize = 0x280400;  // two whole chunks and a part
  AcceleratorImpl& acc = open();
  EXPECT_EQ(acc.interleave(), GetParam());
  std::vector<uint8_t> cache(kSize);
  for (size_t i = 0; i < kSize; ++i) cache[i] = static_cast<uint8_t>(i * 31 / 7);
  ASSERT_EQ(acc.loadToNPU(cache.data(), base, 0, kSize), StatusCode::OK);
  EXPECT_EQ(deviceView(base + 0x1FFF00, 0x200), std::vector<uint8_t>(cache.begin() + 0x1FFF00, cache.begin() + 0x200100));
  std::vector<uint8_t> back(kSize + 0x400, 0xEE);
  ASSERT_EQ(acc.dumpFromNPU(back.data(), base - 0x400, 0x400, kSize), StatusCode::OK);
  EXPECT_TRUE(std::equal(cache.begin(), cache.end(), back.begin() + 0x400));
  EXPECT_EQ(back[0x3FF], 0xEE);

  FakeVariant v = transformVariant();
  v.caches = {{core, base, 0x1000}, {coreOf(0, 2), base, 0x2000}};
  FakeModel model(singleCores({core}), {v}, transformProgram(8));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  ASSERT_EQ(acc.resetCacheMemory(&model, 0), StatusCode::OK);
  EXPECT_EQ(deviceView(base, 0x1001), [&] {
    std::vector<uint8_t> expected(0x1001, 0);
    expected[0x1000] = cache[0x1000];
    return expected;
  }());
  // Cache areas with no placement on the model's cores are not silently skipped.
  model.variant(0).caches = {{coreOf(1, 1), base, 0x10}};
  LogCapture log;
  EXPECT_EQ(acc.resetCacheMemory(&model, 0), StatusCode::Model_NoCache);
  EXPECT_EQ(log.count("no cache placement of variant 0 is on the model's cores"), 1u);
  card_->faults().failNext(simcard::FaultOp::Transfer, 1);
  EXPECT_EQ(acc.dumpFromNPU(back.data(), base, 0, 16), StatusCode::Driver_FailedToReadMemoryBuffer);
  EXPECT_EQ(log.count("Failed to dump From NPU - readMemoryBuffer read 0 bytes, expected 16 bytes."), 1u);
}

// Registration leaves each byte as the last section placed over it wrote it
// (zeros first, then payloads, in their order), and writes little more than
// the bytes the sections cover, however often they are placed over each
// other.
TEST_P(BulkTransferTest, RegistrationWritesWhatLastsOfOverlappingSections) {
  struct Placement {
    uint64_t offset, size;
    int file;  // -1: no payload
  };
  struct Case {
    const char* name;
    std::vector<Placement> placements;
  };
  std::vector<Placement> staggered;
  for (int k = 0; k < 40; ++k) staggered.push_back({k * 0x1000ull, 0x10000 + 700, k % 3});
  staggered.push_back({0x8000, 3000, 1});
  const Case cases[] = {
      {"one place fifty times", std::vector<Placement>(50, {0, 0x40000, 0})},
      {"staggered and nested", staggered},
      {"zeros beneath payloads",
       {{0, 0x30000, -1}, {0x1000, 5000, 0}, {0x20000, 0x800, -1}, {0, 0x30000, -1}, {0x2C000, 0x8000, 2}}},
  };
  const CoreId core = coreOf(0, 2);
  const uint64_t base = coreLayout(core).ddr + 0x100000;
  AcceleratorImpl& acc = open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeModel model(singleCores({core}), {transformVariant()}, transformProgram(8));
    std::vector<std::vector<uint8_t>> files;
    std::vector<std::string> paths;
    for (int f = 0; f < 3; ++f) {
      files.push_back(std::vector<uint8_t>(0x50000));
      for (size_t i = 0; i < files[f].size(); ++i) files[f][i] = static_cast<uint8_t>((i * (2 * f + 3) + f) % 251);
      paths.push_back(model.writeFile(files[f]));
    }
    uint64_t end = 0;
    for (const Placement& p : c.placements) {
      model.addSection(1, 0x100000 + p.offset, p.size, p.file < 0 ? "" : paths[static_cast<size_t>(p.file)]);
      end = std::max(end, p.offset + p.size);
    }
    // The order in which registration writes them.
    std::vector<uint8_t> expected(end, 0x77);
    setDeviceView(base, expected);
    for (bool payloads : {false, true}) {
      for (const Placement& p : c.placements) {
        if ((p.file >= 0) != payloads) continue;
        for (uint64_t i = 0; i < p.size; ++i)
          expected[p.offset + i] = payloads ? files[static_cast<size_t>(p.file)][i] : 0;
      }
    }
    // The bytes the sections cover, with two interleave periods to spare per
    // placement, in each channel.
    std::map<uint64_t, uint64_t> spans;
    for (const SectionPlacement& s : model.sectionPlacements()) {
      uint64_t& spanEnd = spans[s.address];
      spanEnd = std::max(spanEnd, s.address + s.size);
    }
    uint64_t covered = 0, reach = 0;
    for (const auto& [from, to] : spans) {
      covered += to > std::max(from, reach) ? to - std::max(from, reach) : 0;
      reach = std::max(reach, to);
    }
    const uint64_t bound = (GetParam() ? 4 : 1) * (covered + 2 * 1024 * model.sectionPlacements().size());
    const uint64_t before = card_->stats().bytesWritten;
    ASSERT_EQ(model.launch(acc), StatusCode::OK);
    EXPECT_LE(card_->stats().bytesWritten - before, bound);
    EXPECT_TRUE(deviceView(base, expected.size()) == expected);
    EXPECT_EQ(model.dispose(), StatusCode::OK);
  }
}

// Interleaved inputs and outputs: the program sees the inputs whole and its
// outputs come back whole.
TEST_P(BulkTransferTest, TaskIoFollowsTheInterleave) {
  constexpr uint32_t kSize = 3000;
  AcceleratorImpl& acc = open();
  FakeVariant v = transformVariant();
  v.interleaved = true;
  FakeModel model(singleCores({coreOf(0, 0)}), {v}, transformProgram(kSize));
  ASSERT_EQ(model.launch(acc), StatusCode::OK);
  Submitted s = submitBytes(model, pattern(kSize, 3));
  Finished f = finish(model, s);
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.out(), transformed(pattern(kSize, 3)));
  const auto input = pattern(kSize, 3);
  EXPECT_EQ(deviceView(coreLayout(coreOf(0, 0)).ddr + kIn, kSize), std::vector<uint8_t>(input.begin(), input.end()));
}

INSTANTIATE_TEST_SUITE_P(Interleave, BulkTransferTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FourChannels" : "Plain"; });

}  // namespace
}  // namespace kestrane::test
