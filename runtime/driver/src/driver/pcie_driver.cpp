#include "driver/pcie_driver.h"

#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "config/globals.h"
#include "driver/device_records.h"
#include "driver/driver_print.h"
#include "driver/native_memory.h"
#include "platform/event.h"
#include "platform/system_error.h"

namespace kestrane {

namespace {

// Serialises every device control call of the process.
std::mutex gDeviceCallMutex;

constexpr uint16_t kRequiredDriverRevision = 1;
constexpr uint32_t kTimedOut = platform::kWaitTimeout;

void printTooOld(const char* part) { driverPrint("    %s is too old, please update to latest version.\n", part); }

}  // namespace

PCIeDriver::PCIeDriver() { appendDriverText("PCIe(WDF) driver"); }

bool PCIeDriver::open(int card) {
  if (!SystemDriverInterface::open(card)) {
    driverPrint("*E: Device driver is not found.\n");
    return false;
  }
  if (!readDeviceInfo()) return false;
  using namespace devrec;
  const uint8_t* info = info_.data();
  driverPrint("* PCIe Device Driver connection details.\n");
  driverPrint("\t> Driver version : %d.%d.%d (Revision %d)\n", load<uint16_t>(info, kInfoVersion),
              load<uint16_t>(info, kInfoVersion + 2), load<uint16_t>(info, kInfoVersion + 4),
              load<uint16_t>(info, kInfoVersion + 6));
  driverPrint("\t> PCIe Cards connection information.\n");
  driverPrint("\t\t - Main-System(VID:0x%04X,DID:0x%04X), Sub-System(VID:0x%04X,DID:0x%04X), PCIe %d.0 - %d Lanes\n",
              load<uint16_t>(info, kInfoMainVendor), load<uint16_t>(info, kInfoMainDevice),
              load<uint16_t>(info, kInfoSubVendor), load<uint16_t>(info, kInfoSubDevice), info[kInfoPcieGeneration],
              info[kInfoLanes]);
  return checkRevisions();
}

bool PCIeDriver::readDeviceInfo() {
  using namespace devrec;
  info_.fill(0);
  {
    std::lock_guard lock(gDeviceCallMutex);
    if (platform::deviceIoControl(*device_, kDeviceInfo, info_.data(), kDeviceInfoSize, info_.data(),
                                  kDeviceInfoSize, nullptr, nullptr))
      return true;
  }
  // Older drivers answer only the long layout: copy the selected card's entry.
  std::vector<uint8_t> older(kOlderDeviceInfoSize);
  {
    std::lock_guard lock(gDeviceCallMutex);
    if (!platform::deviceIoControl(*device_, kDeviceInfo, older.data(), kOlderDeviceInfoSize, older.data(),
                                   kOlderDeviceInfoSize, nullptr, nullptr))
      return false;
  }
  const int32_t entry = load<int32_t>(older.data(), kOlderEntryIndex);
  if (entry < 0 || entry >= static_cast<int32_t>(kOlderEntries)) return false;  // would read past the table
  const uint8_t* e = older.data() + kOlderTable + kOlderEntrySize * static_cast<size_t>(entry);
  info_.fill(0);
  store<uint32_t>(info_.data(), kInfoMainVendor, load<uint32_t>(e, 0));
  store<uint32_t>(info_.data(), kInfoSubVendor, load<uint32_t>(e, 4));
  info_[kInfoPcieGeneration] = e[12];
  info_[kInfoLanes] = e[13];
  std::memcpy(info_.data() + kInfoVersion, older.data(), 8);
  return true;
}

bool PCIeDriver::checkRevisions() {
  using namespace devrec;
  const uint16_t revision = load<uint16_t>(info_.data(), kInfoVersion + 6);
  if (revision != kRequiredDriverRevision) {
    driverPrint("*E: Driver revision number is not matched. (Required : %d)\n", kRequiredDriverRevision);
    printTooOld(revision < 2 ? "Driver" : "OPHEL SDK");
    return false;
  }
  const int actual = (load<uint16_t>(info_.data(), kInfoSubDevice) >> 8) & 0xF;
  const int required = info_[kInfoRequiredFirmware] & 0xF;
  if (actual == required) {
    driverPrint("\n");
    return true;
  }
  driverPrint("*E: Firmware revision number is not matched. (Required : %d, Actual : %d)\n", required, actual);
  printTooOld(actual < required ? "Firmware" : "Driver");
  return false;
}

uint32_t PCIeDriver::overlappedCall(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                                    uint32_t waitMs, bool& ok) {
  ok = false;
  if (!device_) return 0;
  platform::Event event(true);
  platform::Overlapped overlapped(&event);
  uint32_t bytes = 0;
  bool answered;
  {
    std::lock_guard lock(gDeviceCallMutex);
    answered = platform::deviceIoControl(*device_, code, in, inLen, out, outLen, &bytes, &overlapped);
  }
  if (answered) {
    ok = true;
    return bytes;
  }
  if (platform::lastError() != platform::kErrorIoPending) return 0;
  if (event.wait(waitMs) == platform::kWaitTimeout) {
    // After a successful cancel the device no longer touches `out` or `event`.
    if (platform::cancelIo(overlapped)) return kTimedOut;
  }
  ok = platform::getOverlappedResult(overlapped, &bytes, true);
  return ok ? bytes : 0;
}

uint32_t PCIeDriver::command(uint8_t* record, uint32_t timeoutMs) {
  // Claims, unclaims and queries are waited for as well (bounded), so their
  // reply never lands after the record is gone.
  uint32_t waitMs = kReplyTimeoutMs;
  if (record[0] & devrec::kRunFlag) waitMs = timeoutMs == 0 ? platform::kInfinite : timeoutMs;
  bool ok = false;
  const uint32_t result =
      overlappedCall(devrec::kCommand, record, devrec::kCommandSize, record, devrec::kCommandSize, waitMs, ok);
  return result == kTimedOut ? kTimedOut : (ok ? result : 0);
}

uint32_t PCIeDriver::readRegister(uint32_t address) {
  uint32_t request[3] = {devrec::kRegisterRead, address, 0};
  uint32_t value = 0;
  if (!device_) return 0;
  std::lock_guard lock(gDeviceCallMutex);
  if (!platform::deviceIoControl(*device_, devrec::kRegister, request, devrec::kRegisterSize, &value, 4, nullptr,
                                 nullptr))
    return 0;
  return value;
}

void PCIeDriver::writeRegister(uint32_t address, uint32_t value) {
  uint32_t request[3] = {devrec::kRegisterWrite, address, value};
  if (!device_) return;
  std::lock_guard lock(gDeviceCallMutex);
  platform::deviceIoControl(*device_, devrec::kRegister, request, devrec::kRegisterSize, nullptr, 0, nullptr,
                            nullptr);
}

bool PCIeDriver::allocDMA(NativeMemory& block, uint64_t size, uint64_t alignment) {
  std::unique_ptr<DmaMapping> mapping;
  try {
    mapping = std::make_unique<DmaMapping>();
  } catch (const std::bad_alloc&) {  // reported below as the buffer's failure
  }
  void* buffer = mapping ? alignedAlloc(size, alignment) : nullptr;
  if (buffer == nullptr) {
    driverPrintError("System memory insufficient : %lld bytes", static_cast<long long>(size));
    return false;
  }
  // The mapping record carries a 32-bit size: a larger block cannot be mapped.
  if (size > UINT32_MAX) {
    driverPrintError("S/G DMA memory can't mapping : %lld bytes", static_cast<long long>(size));
    alignedFree(buffer);
    return false;
  }
  uint8_t record[devrec::kMappingSize] = {};
  devrec::store<uint64_t>(record, 8, reinterpret_cast<uintptr_t>(buffer));
  devrec::store<uint32_t>(record, 16, static_cast<uint32_t>(size));
  bool called = false;
  if (device_) {
    std::lock_guard lock(gDeviceCallMutex);
    called = platform::deviceIoControl(*device_, devrec::kMapDma, record, devrec::kMappingSize, record,
                                       devrec::kMappingSize, nullptr, nullptr);
  }
  const int error = called ? 0 : platform::lastError();
  mapping->handle = devrec::load<uint64_t>(record, 0);
  mapping->hostAddress = reinterpret_cast<uintptr_t>(buffer);
  mapping->size = static_cast<uint32_t>(size);
  if (!called || mapping->handle == 0) {
    // A call that found no host memory mapped nothing.
    if (error == ENOMEM)
      driverPrintError("System memory insufficient : %lld bytes", static_cast<long long>(size));
    else if (!called)
      driverPrintError("S/G DMA memory is not supported.\n");
    else
      driverPrintError("S/G DMA memory can't mapping : %lld bytes", static_cast<long long>(size));
    alignedFree(buffer);
    return false;
  }
  block.setMapping(std::move(mapping), reinterpret_cast<uintptr_t>(buffer));
  return true;
}

void PCIeDriver::freeDMA(NativeMemory& block) {
  std::unique_ptr<DmaMapping> mapping = block.takeMapping();
  if (!mapping) return;
  if (mapping->handle != 0 && device_) {
    uint8_t record[devrec::kMappingSize] = {};
    devrec::store<uint64_t>(record, 0, mapping->handle);
    devrec::store<uint64_t>(record, 8, mapping->hostAddress);
    devrec::store<uint32_t>(record, 16, mapping->size);
    bool unmapped;
    {
      std::lock_guard lock(gDeviceCallMutex);
      unmapped = platform::deviceIoControl(*device_, devrec::kUnmapDma, record, devrec::kMappingSize, record,
                                           devrec::kMappingSize, nullptr, nullptr);
    }
    // Memory the device may still reach is never handed back to the heap.
    if (unmapped) alignedFree(reinterpret_cast<void*>(static_cast<uintptr_t>(mapping->hostAddress)));
  }
}

bool PCIeDriver::transfer(NativeMemory& block, bool toDevice, uint64_t deviceAddress, uint64_t hostOffset,
                          uint32_t size) {
  DmaMapping* mapping = block.mapping();
  if (mapping == nullptr) {
    driverPrint(toDevice ? "*E: MemoryWrite - None DMA operation.\n" : "*E: MemoryRead - None DMA operation.\n");
    return false;
  }
  if (hostOffset > UINT32_MAX) return false;  // the request carries a 32-bit offset
  uint8_t request[devrec::kTransferSize] = {};
  devrec::store<uint32_t>(request, 0, toDevice ? 1 : 0);
  devrec::store<uint64_t>(request, 8, mapping->handle);
  devrec::store<uint64_t>(request, 16, deviceAddress);
  devrec::store<uint32_t>(request, 24, static_cast<uint32_t>(hostOffset));
  devrec::store<uint32_t>(request, 28, size);
  bool ok = false;
  overlappedCall(devrec::kTransfer, request, devrec::kTransferSize, nullptr, 0, platform::kInfinite, ok);
  return ok;
}

bool PCIeDriver::memoryWrite(NativeMemory& block, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size) {
  return transfer(block, true, deviceAddress, hostOffset, size);
}

bool PCIeDriver::memoryRead(NativeMemory& block, uint64_t deviceAddress, uint64_t hostOffset, uint32_t size) {
  return transfer(block, false, deviceAddress, hostOffset, size);
}

}  // namespace kestrane
