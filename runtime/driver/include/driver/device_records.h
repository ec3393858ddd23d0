#pragma once

// The control codes of the card's kernel driver and the layout of their
// little-endian request and reply records.

#include <cstddef>
#include <cstdint>

#include "platform/unaligned.h"

namespace kestrane::devrec {

inline constexpr uint32_t kDeviceInfo = 0x222000;
inline constexpr uint32_t kMapDma = 0x222004;
inline constexpr uint32_t kUnmapDma = 0x222008;
inline constexpr uint32_t kRegister = 0x222012;
inline constexpr uint32_t kTransfer = 0x22201A;
inline constexpr uint32_t kCommand = 0x222026;

inline constexpr uint32_t kDeviceInfoSize = 128;
inline constexpr uint32_t kOlderDeviceInfoSize = 1040;
inline constexpr uint32_t kMappingSize = 24;
inline constexpr uint32_t kRegisterSize = 12;
inline constexpr uint32_t kTransferSize = 32;
inline constexpr uint32_t kCommandSize = 16;

// DeviceInfo offsets.
inline constexpr size_t kInfoMainVendor = 0, kInfoMainDevice = 2, kInfoSubVendor = 4, kInfoSubDevice = 6;
inline constexpr size_t kInfoPcieGeneration = 16, kInfoLanes = 17, kInfoValidDevice = 18;
inline constexpr size_t kInfoVersion = 32;  // major, minor, patch, revision: u16 each
inline constexpr size_t kInfoRequiredFirmware = 40;

// Older layout: four version words, the card's entry index, a table of 64 entries.
inline constexpr size_t kOlderEntryIndex = 8, kOlderTable = 16, kOlderEntrySize = 16, kOlderEntries = 64;

// RegisterRequest operations.
inline constexpr uint32_t kRegisterRead = 2, kRegisterWrite = 3;

// DeviceCommand operations and reply bit.
inline constexpr uint8_t kClaimCores = 0x00, kUnclaimCores = 0x01, kQueryFreeCores = 0x03, kPostRun = 0x04,
                         kWaitRun = 0x05;
inline constexpr uint8_t kRunFlag = 0x04;
inline constexpr uint8_t kReplySuccess = 0x02;

using platform::load;
using platform::store;

}  // namespace kestrane::devrec
