#pragma once

#include <cstdint>

#include "simcard/card_layout.h"

namespace kestrane::simcard {

// The device memory a card may commit unless a test says otherwise:
// OPHEL_SIM_MEMORY_CAP (bytes, or with a K, M or G suffix), else 1 GiB.
uint64_t defaultMemoryCap();

// How a simulated card presents itself. The defaults make a valid
// second-generation card whose driver and firmware match the runtime.
struct CardOptions {
  uint8_t chipGeneration = 1;    // sub-system device id bits 12..15
  uint8_t firmwareRevision = 3;  // sub-system device id bits 8..11
  uint8_t requiredFirmware = 3;  // what the driver asks of the firmware
  uint16_t driverRevision = 1;
  uint8_t validDevice = 1;  // 1: a valid second-generation device
  // Answer device information only in the older 1040-byte layout (which has
  // no required-firmware field, so the runtime then expects firmware 0).
  bool olderInfoLayout = false;
  uint8_t pcieGeneration = 4;
  uint8_t lanes = 8;
  uint64_t memoryCapBytes = defaultMemoryCap();  // device memory the card may commit
  // DDR spread over four channels, as on hardware whose description asks for
  // interleaved access: programs see the interleaved addresses, DMA reaches
  // the channel windows (see docs/simulated-card.md).
  bool interleave = false;
  bool useBuiltinLayout = true;  // else `layout` as given
  CardLayout layout;
};

}  // namespace kestrane::simcard
