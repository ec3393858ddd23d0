#pragma once

// A device whose every control call succeeds with no bytes: for tests of the
// device-file registry, which only needs something to open.

#include <memory>

#include "platform/device_file.h"

namespace kestrane::platform {

struct NullDevice : DeviceBackend {
  struct Session : DeviceSession {
    IoResult control(uint32_t, const void*, uint32_t, void*, uint32_t,
                     const std::shared_ptr<IoCompletion>&) override {
      return IoResult::done(0);
    }
  };
  std::unique_ptr<DeviceSession> open() override { return std::make_unique<Session>(); }
};

}  // namespace kestrane::platform
