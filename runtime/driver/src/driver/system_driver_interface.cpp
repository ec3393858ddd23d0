#include "driver/system_driver_interface.h"

#include <string>

#include "driver/driver_print.h"
#include "platform/aligned_memory.h"
#include "platform/system_error.h"

namespace kestrane {

namespace {
const char* const kDeviceFile = "\\\\.\\kestrane_pcie";
}

bool SystemDriverInterface::open(int card) {
  close();
  std::string name = kDeviceFile;
  if (card > 0) name += std::to_string(card);
  device_ = platform::openDevice(name);
  if (!device_) {
    const std::string reason = platform::systemErrorText(platform::lastError()).substr(0, 4096);
    driverPrint("*E: [SystemDriver] %s\n", reason.c_str());
    return false;
  }
  return true;
}

void SystemDriverInterface::close() { device_.reset(); }

void* SystemDriverInterface::alignedAlloc(uint64_t size, uint64_t alignment) {
  if (size > SIZE_MAX || alignment > SIZE_MAX) return nullptr;
  return platform::alignedMalloc(static_cast<size_t>(size), static_cast<size_t>(alignment));
}

void SystemDriverInterface::alignedFree(void* p) { platform::alignedFree(p); }

}  // namespace kestrane
