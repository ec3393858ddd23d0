#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "driver/ddk.h"
#include "driver/device_records.h"
#include "driver/native_memory.h"
#include "driver/pcie_driver.h"
#include "driver/system_driver.h"
#include "support/log_capture.h"
#include "tests/driver/driver_fixture.h"

namespace kestrane::test {
namespace {

using simcard::FaultOp;

constexpr uint64_t kDdr = 0x800000000;

TEST_F(DriverTest, HostMemoryRoundTripsThroughDeviceMemoryAndFailedTransfersMoveNothing) {
  auto card = attach(0);
  auto device = open(0);
  ASSERT_NE(device, nullptr);
  uint64_t out = 0, back = 0;
  ASSERT_EQ(device->allocateHostMemory(out, 5000), StatusCode::OK);
  ASSERT_EQ(device->allocateHostMemory(back, 5000), StatusCode::OK);
  EXPECT_EQ(out % 32, 0u);
  std::iota(bytes(out), bytes(out) + 5000, 1);
  EXPECT_EQ(device->writeMemoryBuffer(kDdr, 0x100, 5000, out, 0), 5000u);
  EXPECT_EQ(device->readMemoryBuffer(kDdr + 0x100, 0, 5000, back, 0), 5000u);
  EXPECT_EQ(std::memcmp(bytes(out), bytes(back), 5000), 0);
  uint8_t first = 0;
  card->peek(kDdr + 0x100, &first, 1);
  EXPECT_EQ(first, 1);
  {
    LogCapture log;  // only the start of a block is DMA memory
    EXPECT_EQ(device->readMemoryBuffer(kDdr, 0, 16, back + 16, 0), 0u);
    EXPECT_EQ(device->writeMemoryBuffer(kDdr, 0, 16, 0x1234, 0), 0u);
    EXPECT_EQ(log.count("This is not a DMA memory."), 2u);
  }
  card->faults().failNext(FaultOp::Transfer);
  EXPECT_EQ(device->writeMemoryBuffer(kDdr, 0, 256, back, 0), 0u);
  EXPECT_EQ(device->writeMemoryBuffer(0x10, 0, 256, back, 0), 0u);     // no device memory there
  EXPECT_EQ(device->writeMemoryBuffer(kDdr, 0, 5001, back, 0), 0u);    // more than the block holds
  EXPECT_EQ(device->readMemoryBuffer(kDdr + 0x100, 0, 5000, back, 0), 5000u);
  EXPECT_EQ(std::memcmp(bytes(out), bytes(back), 5000), 0);
  EXPECT_EQ(card->stats().liveMappings, 2u);
  EXPECT_EQ(device->freeHostMemory(out), StatusCode::OK);
  EXPECT_EQ(device->freeHostMemory(out), StatusCode::Driver_FailedToAllocateHostMemory);
  EXPECT_EQ(card->stats().liveMappings, 1u);
}

TEST_F(DriverTest, TransfersOfFourGibibytesAreRefusedNotTruncated) {
  auto card = attach(0);
  std::unique_ptr<DDK> ddk;
  stdoutOf([&] { ddk = DDK::create(0); });
  ASSERT_NE(ddk, nullptr);
  DDKMemory* block = ddk->allocMemory(4096, 32);
  ASSERT_NE(block, nullptr);
  const uint64_t calls = card->stats().callsByCode[devrec::kTransfer];
  // Cut to 32 bits this would be 0, which means "the whole block".
  EXPECT_FALSE(block->transfer(true, kDdr, 0, 1ull << 32));
  EXPECT_FALSE(block->transfer(true, kDdr, 4097, 0));
  EXPECT_EQ(card->stats().callsByCode[devrec::kTransfer], calls);
  EXPECT_TRUE(block->transfer(true, kDdr, 4000, 0));  // to the end of the block
  block->release();
}

TEST_F(DriverTest, MappingFailuresOfAllKindsAreReportedWithTheSize) {
  auto card = attach(0);
  auto device = open(0);
  const struct {
    std::function<void()> fault;
    uint64_t size;
    const char* printed;
  } cases[] = {
      {[&] { card->faults().failNext(FaultOp::MapCall); }, 1024,
       "*E: [SystemDriver] S/G DMA memory is not supported.\n\n"
       "*E: Sorry! No more linear physical heap memory : 1KB\n"},
      {[&] { card->faults().failNext(FaultOp::MapZeroHandle); }, (1ull << 30) + 5,
       "*E: [SystemDriver] S/G DMA memory can't mapping : 1073741829 bytes\n"
       "*E: Sorry! No more linear physical heap memory : 1GB 5 Byte\n"},
      {[&] { card->faults().failNextHostAllocations(1); }, 100,
       "*E: [SystemDriver] System memory insufficient : 100 bytes\n"
       "*E: Sorry! No more linear physical heap memory : 100 Byte\n"},
  };
  for (const auto& c : cases) {
    c.fault();
    uint64_t host = 0;
    EXPECT_EQ(stdoutOf([&] {
                EXPECT_EQ(device->allocateHostMemory(host, c.size), StatusCode::Driver_FailedToAllocateHostMemory);
              }),
              c.printed);
  }
  EXPECT_EQ(card->stats().liveMappings, 0u);
  EXPECT_EQ(describeSize((3ull << 30) + (2 << 20) + 1024), "3GB 2MB 1KB");
  EXPECT_EQ(describeSize(1023), "1023 Byte");
}

TEST_F(DriverTest, BlockWithoutMappingFailsItsTransferAndTheProcessGoesOn) {
  auto card = attach(0);
  SystemDriver ddk;
  const std::string out = stdoutOf([&] {
    ASSERT_TRUE(ddk.open(0));
    card->faults().failNext(FaultOp::MapCall);
    NativeMemory block(ddk, 64, 32);
    EXPECT_EQ(block.address(), 0u);
    EXPECT_FALSE(ddk.pcie()->memoryWrite(block, kDdr, 0, 64));
    EXPECT_FALSE(ddk.pcie()->memoryRead(block, kDdr, 0, 64));
  });
  EXPECT_NE(out.find("*E: MemoryWrite - None DMA operation.\n*E: MemoryRead - None DMA operation.\n"),
            std::string::npos);
}

TEST_F(DriverTest, UnreleasedBlocksAreReleasedWithAWarning) {
  auto card = attach(0);
  const std::string out = stdoutOf([&] {
    auto ddk = DDK::create(0);
    ASSERT_NE(ddk, nullptr);
    ASSERT_NE(ddk->allocMemory(128, 32), nullptr);
    ASSERT_NE(ddk->allocMemory(128, 32), nullptr);
    EXPECT_EQ(card->stats().liveMappings, 2u);
  });
  EXPECT_NE(out.find("*W: Unreleased memory is existed.\n"), std::string::npos);
  EXPECT_EQ(card->stats().liveMappings, 0u);
}

TEST_F(DriverTest, ConcurrentAllocationTransferAndFreeStayBalanced) {
  auto card = attach(0);
  auto device = open(0);
  ASSERT_NE(device, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        uint64_t host = 0;
        if (device->allocateHostMemory(host, 4096 + 64 * t) != StatusCode::OK) continue;
        bytes(host)[0] = static_cast<uint8_t>(t);
        device->writeMemoryBuffer(kDdr, 0x10000 * t, 4096, host, 0);
        device->readMemoryBuffer(kDdr, 0x10000 * t, 4096, host, 0);
        EXPECT_EQ(bytes(host)[0], t);
        EXPECT_EQ(device->freeHostMemory(host), StatusCode::OK);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto stats = card->stats();
  EXPECT_EQ(stats.liveMappings, 0u);
  EXPECT_EQ(stats.callsByCode[devrec::kMapDma], stats.callsByCode[devrec::kUnmapDma]);
  EXPECT_EQ(stats.maxCallsInFlight, 1);
}

TEST_F(DriverTest, FreeDuringTransfersNeverPullsTheBlockAway) {
  attach(0);
  auto device = open(0);
  for (int round = 0; round < 20; ++round) {
    uint64_t host = 0;
    ASSERT_EQ(device->allocateHostMemory(host, 1 << 16), StatusCode::OK);
    std::thread reader([&] {
      for (int i = 0; i < 5; ++i) device->readMemoryBuffer(kDdr, 0, 1 << 16, host, 0);
    });
    EXPECT_EQ(device->freeHostMemory(host), StatusCode::OK);
    reader.join();
  }
}

}  // namespace
}  // namespace kestrane::test
