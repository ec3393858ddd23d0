#include "platform/device_file.h"

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/event.h"
#include "platform/io_completion.h"
#include "platform/system_error.h"

namespace kestrane::platform {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<DeviceBackend>> devices;
  std::function<void()> provider;
  bool providerRan = false;
};

Registry& registry() {
  static Registry r;
  return r;
}

// The record of a new call. Each thread keeps its last two and reuses one
// that nobody else holds: a backend that still keeps a record (a cancelled
// call it has not answered yet, or an answer it is still letting go of)
// makes the thread take another.
std::shared_ptr<IoCompletion> newCompletion(void* out, uint32_t outLen, Event* event) {
  thread_local std::shared_ptr<IoCompletion> kept[2];
  thread_local size_t older = 0;
  for (auto& record : kept) {
    if (record && record.use_count() == 1) {
      record->rearm(out, outLen, event);
      return record;
    }
  }
  std::shared_ptr<IoCompletion>& record = kept[older];
  older ^= 1;
  record = std::make_shared<IoCompletion>(out, outLen, event);
  return record;
}

void runProviderOnce() {
  std::function<void()> provider;
  {
    std::lock_guard lock(registry().mutex);
    if (registry().providerRan || !registry().provider) return;
    registry().providerRan = true;
    provider = registry().provider;
  }
  provider();  // registers through registerDevice, which takes the lock
}

}  // namespace

void registerDevice(const std::string& name, std::shared_ptr<DeviceBackend> backend) {
  std::lock_guard lock(registry().mutex);
  registry().devices[name] = std::move(backend);
}

bool unregisterDevice(const std::string& name) {
  std::lock_guard lock(registry().mutex);
  return registry().devices.erase(name) > 0;
}

void setDefaultDeviceProvider(std::function<void()> provider) {
  std::lock_guard lock(registry().mutex);
  registry().provider = std::move(provider);
  registry().providerRan = false;
}

std::unique_ptr<DeviceHandle> openDevice(const std::string& name) {
  runProviderOnce();
  std::shared_ptr<DeviceBackend> backend;
  {
    std::lock_guard lock(registry().mutex);
    auto it = registry().devices.find(name);
    if (it != registry().devices.end()) backend = it->second;
  }
  if (!backend) {
    setLastError(ENOENT);
    return nullptr;
  }
  auto session = backend->open();
  if (!session) {
    setLastError(EACCES);
    return nullptr;
  }
  return std::make_unique<DeviceHandle>(std::move(session));
}

bool deviceIoControl(DeviceHandle& handle, uint32_t code, const void* in, uint32_t inLen, void* out,
                     uint32_t outLen, uint32_t* bytesReturned, Overlapped* overlapped) {
  Event ownEvent;
  Event* event = overlapped && overlapped->event ? overlapped->event : &ownEvent;
  event->reset();
  if (overlapped) overlapped->completion.reset();
  const auto completion = newCompletion(out, outLen, event);
  IoResult result = handle.session().control(code, in, inLen, out, outLen, completion);
  if (result.kind == IoResult::Kind::Pending) {
    if (overlapped) {
      overlapped->completion = completion;
      setLastError(kErrorIoPending);
      return false;
    }
    event->wait();
    if (bytesReturned) *bytesReturned = completion->bytes();
    if (!completion->succeeded()) {
      setLastError(EIO);
      return false;
    }
    return true;
  }
  event->set();
  if (result.kind == IoResult::Kind::Failed) {
    if (bytesReturned) *bytesReturned = 0;
    setLastError(EIO);
    return false;
  }
  if (bytesReturned) *bytesReturned = result.bytes;
  return true;
}

bool getOverlappedResult(Overlapped& overlapped, uint32_t* bytes, bool wait) {
  if (!overlapped.completion) {
    setLastError(EINVAL);
    return false;
  }
  if (!overlapped.completion->finished()) {
    if (!wait || !overlapped.event) {
      setLastError(kErrorIoPending);
      return false;
    }
    overlapped.event->wait();
  }
  if (bytes) *bytes = overlapped.completion->bytes();
  if (!overlapped.completion->succeeded()) {
    setLastError(EIO);
    return false;
  }
  return true;
}

bool cancelIo(Overlapped& overlapped) {
  if (!overlapped.completion) return false;
  return overlapped.completion->cancel();
}

}  // namespace kestrane::platform
