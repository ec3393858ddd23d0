#pragma once

namespace kestrane {

// Root of the device-file clients.
class DriverCommon {
 public:
  virtual ~DriverCommon() = default;
};

}  // namespace kestrane
