#pragma once

#include <cstdint>
#include <memory>

namespace kestrane::platform {

class IoCompletion;

// How a backend answers one control call.
struct IoResult {
  enum class Kind { Done, Failed, Pending };
  Kind kind = Kind::Failed;
  uint32_t bytes = 0;  // reply bytes written, for Done

  static IoResult done(uint32_t bytes) { return {Kind::Done, bytes}; }
  static IoResult failed() { return {Kind::Failed, 0}; }
  static IoResult pending() { return {Kind::Pending, 0}; }
};

// One open handle of a device: what a process sees after opening the file.
// Closing the handle destroys the session.
class DeviceSession {
 public:
  virtual ~DeviceSession() = default;
  // Answers at once, writing at most `outLen` bytes to `out` (Done or Failed),
  // or keeps `completion` and finishes the call later through it (Pending);
  // a pending call never writes `out` directly.
  virtual IoResult control(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                           const std::shared_ptr<IoCompletion>& completion) = 0;
};

// What stands behind a device-file name.
class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  // Null when the device refuses the open.
  virtual std::unique_ptr<DeviceSession> open() = 0;
};

}  // namespace kestrane::platform
