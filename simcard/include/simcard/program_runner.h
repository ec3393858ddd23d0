#pragma once

#include <cstdint>

#include "simcard/card_layout.h"

namespace kestrane::simcard {

class DeviceMemory;
class StopToken;

// One posted run on one core.
struct RunContext {
  CoreLayout core;
  uint32_t runId = 0;
  uint32_t ioSlotOffset = 0;
  bool hasIoSlot = false;
  uint32_t extraDelayMs = 0;  // injected by tests
  bool interleave = false;    // DDR addresses reach the channel windows
};

enum class RunOutcome { Succeeded, Failed, Stopped };

// Executes the program in the core's instruction memory. A hanging program
// (or core) waits until the token stops it. A malformed program, an access
// outside device memory or a Fault instruction fails the run; effects of the
// instructions before stay, as on hardware.
RunOutcome runProgram(DeviceMemory& memory, const RunContext& context, const StopToken& stop, bool hang);

}  // namespace kestrane::simcard
