#include <gtest/gtest.h>

#include <map>
#include <random>

#include "driver/device_memory_access.h"
#include "engine/lasting_writes.h"
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
    // Sections that do not start on whole periods: the interleave puts
    // their bytes where their own transfers do, not in place.
    bool sentWhole = false;
  };
  std::vector<Placement> staggered;
  for (int k = 0; k < 40; ++k) staggered.push_back({k * 0x1000ull, 0x10000 + 700, k % 3});
  staggered.push_back({0x8000, 3000, 1});
  const Case cases[] = {
      {"one place fifty times", std::vector<Placement>(50, {0, 0x40000, 0})},
      {"staggered and nested", staggered},
      {"zeros beneath payloads",
       {{0, 0x30000, -1}, {0x1000, 5000, 0}, {0x20000, 0x800, -1}, {0, 0x30000, -1}, {0x2C000, 0x8000, 2}}},
      {"past a chunk, front within a period", {{0x300, 0x101000, 0}, {0x300, 0x1000, 1}}, true},
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
      files.push_back(std::vector<uint8_t>(0x110000));
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
    if (c.sentWhole) {
      // Each section sent whole, in 1 MiB chunks from its start.
      uint64_t host = 0;
      ASSERT_EQ(acc.driver().allocateHostMemory(host, 0x100000), StatusCode::OK);
      for (bool payloads : {false, true}) {
        for (const Placement& p : c.placements) {
          if ((p.file >= 0) != payloads) continue;
          for (uint64_t at = 0, n = 0; at < p.size; at += n) {
            n = std::min<uint64_t>(0x100000, p.size - at);
            auto* bytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(host));
            if (payloads) std::memcpy(bytes, files[static_cast<size_t>(p.file)].data() + at, n);
            if (!payloads) std::memset(bytes, 0, n);
            ASSERT_EQ(writeDeviceMemory(acc.driver(), base + p.offset, at, n, host, GetParam(), 0), n);
          }
        }
      }
      acc.driver().freeHostMemory(host);
      expected = deviceView(base, expected.size());
      setDeviceView(base, std::vector<uint8_t>(expected.size(), 0x77));
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

// Random sequences of writes on one core at 1 KiB-aligned and unaligned
// places, sent whole (in one transfer, or in chunks from their start as
// registration sends them) and then as their lasting parts: programs see the
// same memory both ways, and the parts stay within the bytes the writes
// cover, plus a few periods per write.
TEST_P(BulkTransferTest, LastingPartsLeaveWhatWholeWritesLeave) {
  constexpr uint64_t kSpan = 0x4000, kLargest = 0x1800, kMargin = 0x800;
  AcceleratorImpl& acc = open();
  Driver& driver = acc.driver();
  uint64_t host = 0;
  ASSERT_EQ(driver.allocateHostMemory(host, kLargest), StatusCode::OK);
  uint8_t* hostBytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(host));
  const CoreId core = coreOf(0, 0);
  const uint64_t base = coreLayout(core).ddr + 0x10000;
  // The device bytes the writes may reach: the stretch itself, or its
  // positions in each channel window.
  std::vector<uint64_t> areas = {base - kMargin};
  if (GetParam())
    for (int c = 1; c < 4; ++c) areas.push_back(channelWindow(c) + (base & 0xFFFFFFFF) - kMargin);
  const std::vector<uint8_t> stale(kSpan + kLargest + 2 * kMargin, 0xEE);
  auto snapshot = [&] {
    std::vector<uint8_t> seen;
    for (uint64_t area : areas) {
      std::vector<uint8_t> bytes(stale.size());
      EXPECT_TRUE(card_->peek(area, bytes.data(), bytes.size()));
      // Programs read the first 256 bytes of each period of a window.
      for (size_t i = 0; i < bytes.size(); ++i)
        if (!GetParam() || (area + i) % kInterleavePeriod < kInterleaveGranule) seen.push_back(bytes[i]);
    }
    for (uint64_t area : areas) EXPECT_TRUE(card_->poke(area, stale.data(), stale.size()));
    return seen;
  };
  std::mt19937 rng(39);
  for (int sequence = 0; sequence < 2000 && !HasFailure(); ++sequence) {
    const uint64_t chunk = sequence % 2 ? 0x800 : 0;
    std::vector<DevicePlacement> writes(1 + rng() % 8);
    std::vector<std::vector<uint8_t>> data;
    std::map<uint64_t, uint64_t> spans;
    for (DevicePlacement& w : writes) {
      const uint64_t at = rng() % kSpan;
      w = {core, base + (rng() % 2 ? at - at % kInterleavePeriod : at), 1 + rng() % kLargest};
      data.emplace_back(w.size);
      for (uint8_t& b : data.back()) b = static_cast<uint8_t>(rng());
      spans[w.address] = std::max(spans[w.address], w.address + w.size);
    }
    auto send = [&](const DevicePlacement& w, const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to) {
      for (uint64_t at = from, n = 0; at < to; at += n) {
        n = chunk ? std::min(chunk - at % chunk, to - at) : to - at;
        std::memcpy(hostBytes, bytes.data() + at, n);
        ASSERT_EQ(writeDeviceMemory(driver, w.address, at, n, host, GetParam(), 0), n);
      }
    };
    snapshot();
    for (size_t i = 0; i < writes.size(); ++i) send(writes[i], data[i], 0, writes[i].size);
    const std::vector<uint8_t> whole = snapshot();
    uint64_t sent = 0;
    const auto parts = lastingParts(writes, GetParam(), chunk);
    for (size_t i = 0; i < writes.size(); ++i) {
      for (const WritePart& part : parts[i]) {
        send(writes[i], data[i], part.offset, part.offset + part.size);
        sent += part.size;
      }
    }
    ASSERT_TRUE(snapshot() == whole) << "sequence " << sequence;
    uint64_t covered = 0, reach = 0;
    for (const auto& [from, to] : spans) {
      covered += to > std::max(from, reach) ? to - std::max(from, reach) : 0;
      reach = std::max(reach, to);
    }
    EXPECT_LE(sent, GetParam() ? 4 * covered + 24 * 1024 * writes.size() : covered + 4 * 1024 * writes.size());
  }
  driver.freeHostMemory(host);
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
