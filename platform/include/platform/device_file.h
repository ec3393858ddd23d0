#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/device_backend.h"

namespace kestrane::platform {

class Event;

// The state of one overlapped control call. The event is reset when the call
// starts and set when it completes.
struct Overlapped {
  explicit Overlapped(Event* e = nullptr) : event(e) {}
  Event* event;
  std::shared_ptr<IoCompletion> completion;  // set while a call is pending
};

// An open device file.
class DeviceHandle {
 public:
  explicit DeviceHandle(std::unique_ptr<DeviceSession> session) : session_(std::move(session)) {}
  DeviceSession& session() { return *session_; }

 private:
  std::unique_ptr<DeviceSession> session_;
};

// Device-file registry: names such as "\\.\kestrane_pcie3" map to backends.
void registerDevice(const std::string& name, std::shared_ptr<DeviceBackend> backend);
bool unregisterDevice(const std::string& name);
// Run before the first lookup, to register the default devices: once it has
// run to its end. One that throws is run again by the next open, and
// concurrent opens wait for the run in progress. An open the provider makes
// itself (on its own thread) finds the devices registered so far.
void setDefaultDeviceProvider(std::function<void()> provider);

// Null with lastError() ENOENT when nothing is registered under the name
// (ENOMEM or EIO when the provider failed just now), EACCES when the backend
// refuses, ENOMEM when there is no memory for the handle. Never throws.
std::unique_ptr<DeviceHandle> openDevice(const std::string& name);

// errno-style code of a call that was accepted and is still running.
inline constexpr int kErrorIoPending = 115;  // EINPROGRESS

// Without `overlapped` the call completes before returning. With it, a call
// the device cannot answer at once returns false with lastError()
// kErrorIoPending; its end sets the event and getOverlappedResult reads it.
// `bytesReturned` receives the reply size of a call that completed at once.
// A call short of host memory fails with lastError() ENOMEM, the device
// untouched by it; one that has no memory for its call record takes a record
// made at load, when no other call holds it. Never throws.
bool deviceIoControl(DeviceHandle& handle, uint32_t code, const void* in, uint32_t inLen, void* out,
                     uint32_t outLen, uint32_t* bytesReturned, Overlapped* overlapped);

// Result of a pending call that has completed (set `wait` to block for it).
bool getOverlappedResult(Overlapped& overlapped, uint32_t* bytes, bool wait);

// Cancels a pending call; afterwards the device touches neither the reply
// buffer nor the event. True when the call was cancelled, false when it had
// already completed.
bool cancelIo(Overlapped& overlapped);

}  // namespace kestrane::platform
