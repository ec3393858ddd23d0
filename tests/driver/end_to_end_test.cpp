#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "driver/device_memory_access.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

// Uploads through the driver layer, as the engine does.
void upload(Driver& driver, uint64_t device, const void* data, uint64_t size) {
  uint64_t host = 0;
  ASSERT_EQ(driver.allocateHostMemory(host, size), StatusCode::OK);
  std::memcpy(bytes(host), data, size);
  EXPECT_EQ(writeDeviceMemory(driver, device, 0, size, host, false, 0), size);
  driver.freeHostMemory(host);
}

TEST_F(DriverTest, ProgramsOnTwoCoresTransformTheirInputs) {
  auto card = attach(0);
  auto device = open(0);
  ASSERT_NE(device, nullptr);
  const auto& layout = card->layout();
  const CoreId ids[2] = {{Cluster::Cluster0, Core::Core1}, {Cluster::Cluster1, Core::Core3}};
  const simcard::CoreLayout cores[2] = {layout.cores[layout.find(0, 1)], layout.cores[layout.find(1, 3)]};
  constexpr uint32_t kSlot = 0x40000, kIn = 0x1000, kOut = 0x8000, kWeights = 0x100;
  constexpr uint32_t kRow = 96, kRows = 5;  // the sequence length lives in RMEM word 0

  std::mt19937 rng(7);
  std::vector<int8_t> input[2], weights(kRow * kRows);
  for (auto& w : weights) w = static_cast<int8_t>(rng() % 21) - 10;
  for (int i = 0; i < 2; ++i) {
    const auto program = ProgramAssembler()
                             .affineInt8(ddrSlot(kOut), ddrSlot(kIn), kRow, i == 0 ? 2 : -3, 5)
                             .scaledBy(0)
                             .addWeightsInt8(ddrSlot(kOut), ddrSlot(kOut), ddr(kWeights), kRow)
                             .scaledBy(0)
                             .delay(500)
                             .bytes();
    upload(*device, cores[i].imem, program.data(), program.size());
    upload(*device, cores[i].rmem, &kRows, 4);
    upload(*device, cores[i].ddr + kWeights, weights.data(), weights.size());
    input[i].resize(kRow * kRows);
    for (auto& x : input[i]) x = static_cast<int8_t>(rng());
    upload(*device, cores[i].ddr + kSlot + kIn, input[i].data(), input[i].size());
  }

  ASSERT_EQ(device->claimCores({ids[0], ids[1]}), StatusCode::OK);
  ASSERT_EQ(device->postInfer({ids[0], ids[1]}, kSlot), StatusCode::OK);
  for (const CoreId& id : ids) EXPECT_TRUE(device->waitDone(id, 10000000000ull));

  uint64_t host = 0;
  ASSERT_EQ(device->allocateHostMemory(host, kRow * kRows), StatusCode::OK);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(readDeviceMemory(*device, cores[i].ddr + kSlot + kOut, 0, kRow * kRows, host, false, 0),
              kRow * kRows);
    const int mul = i == 0 ? 2 : -3;
    for (uint32_t k = 0; k < kRow * kRows; ++k) {
      int v = std::clamp(input[i][k] * mul + 5, -128, 127);
      v = std::clamp(v + weights[k], -128, 127);
      ASSERT_EQ(static_cast<int8_t>(bytes(host)[k]), v) << "core " << i << " byte " << k;
    }
  }
  EXPECT_EQ(device->unclaimCores({ids[0], ids[1]}), StatusCode::OK);
  device->freeHostMemory(host);
}

}  // namespace
}  // namespace kestrane::test
