#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "driver/device_memory_access.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

// Programs, sequence lengths and inputs go up through the driver layer, as
// the engine sends them; two cores then run at once on their own io slots.
TEST_F(DriverTest, ProgramsOnTwoCoresTransformTheirUploadedInputs) {
  auto card = attach(0);
  auto device = open(0);
  ASSERT_NE(device, nullptr);
  const auto& layout = card->layout();
  const CoreId ids[2] = {{Cluster::Cluster0, Core::Core1}, {Cluster::Cluster1, Core::Core3}};
  const simcard::CoreLayout cores[2] = {layout.cores[layout.find(0, 1)], layout.cores[layout.find(1, 3)]};
  constexpr uint32_t kSlot = 0x40000, kIn = 0x1000, kOut = 0x8000, kRow = 96, kRows = 5, kSize = kRow * kRows;
  uint64_t host = 0;
  ASSERT_EQ(device->allocateHostMemory(host, 4096), StatusCode::OK);
  auto upload = [&](uint64_t address, const void* data, uint32_t size) {
    std::memcpy(bytes(host), data, size);
    EXPECT_EQ(writeDeviceMemory(*device, address, 0, size, host, false, 0), size);
  };
  std::mt19937 rng(7);
  std::vector<int8_t> input[2];
  for (int i = 0; i < 2; ++i) {
    // The sequence length (RMEM word 0) scales the row; the io slot moves both buffers.
    const auto code =
        ProgramAssembler().affineInt8(ddrSlot(kOut), ddrSlot(kIn), kRow, i ? -3 : 2, 5).scaledBy(0).bytes();
    ASSERT_LE(code.size(), 4096u);
    upload(cores[i].imem, code.data(), static_cast<uint32_t>(code.size()));
    upload(cores[i].rmem, &kRows, 4);
    for (int k = 0; k < int(kSize); ++k) input[i].push_back(static_cast<int8_t>(rng()));
    upload(cores[i].ddr + kSlot + kIn, input[i].data(), kSize);
  }
  ASSERT_EQ(device->claimCores({ids[0], ids[1]}), StatusCode::OK);
  ASSERT_EQ(device->postInfer({ids[0], ids[1]}, kSlot), StatusCode::OK);
  for (const CoreId& id : ids) EXPECT_TRUE(device->waitDone(id, 10000000000ull));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(readDeviceMemory(*device, cores[i].ddr + kSlot + kOut, 0, kSize, host, false, 0), kSize);
    for (uint32_t k = 0; k < kSize; ++k)
      ASSERT_EQ(static_cast<int8_t>(bytes(host)[k]), std::clamp(input[i][k] * (i ? -3 : 2) + 5, -128, 127)) << k;
  }
  EXPECT_EQ(device->unclaimCores({ids[0], ids[1]}), StatusCode::OK);
  device->freeHostMemory(host);
}

}  // namespace
}  // namespace kestrane::test
