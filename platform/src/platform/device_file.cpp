#include "platform/device_file.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <new>

#include "platform/event.h"
#include "platform/io_completion.h"
#include "platform/system_error.h"
#include "platform/thread_slot.h"

namespace kestrane::platform {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<DeviceBackend>> devices;
  std::function<void()> provider;
  bool providerRan = false;
  // Set anew with each provider, so that a run of an older one that ends
  // after the change does not count for the new one.
  uint64_t providerGeneration = 0;
  // Held while the provider runs (taken before `mutex`): concurrent opens
  // wait for the run, and a provider that succeeded runs once.
  std::mutex providerRun;
};

Registry& registry() {
  static Registry r;
  return r;
}

// A thread's last two call records.
struct KeptCompletions {
  std::shared_ptr<IoCompletion> records[2];
  size_t older = 0;
};

ThreadSlot<KeptCompletions>& keptCompletions() {
  static ThreadSlot<KeptCompletions> slot;
  return slot;
}

// The record of a new call. Each thread keeps its last two and reuses one
// that nobody else holds: a backend that still keeps a record (a cancelled
// call it has not answered yet, or an answer it is still letting go of)
// makes the thread take another. Null when there is no memory for one.
std::shared_ptr<IoCompletion> newCompletion(void* out, uint32_t outLen, Event* event) {
  try {
    KeptCompletions& kept = keptCompletions().get();
    for (auto& record : kept.records) {
      if (record && record.use_count() == 1) {
        record->rearm(out, outLen, event);
        return record;
      }
    }
    std::shared_ptr<IoCompletion>& record = kept.records[kept.older];
    record = std::make_shared<IoCompletion>(out, outLen, event);
    kept.older ^= 1;
    return record;
  } catch (const std::exception&) {
    return nullptr;
  }
}

// A record made at load for a call that finds no memory for one of its own:
// an unmap on the way out of a block, cores given back, must not fail for
// that. It serves one call at a time, once nothing else holds it (a pending
// call keeps it until it ends); a call that finds it taken fails with ENOMEM.
struct SpareCompletion {
  std::mutex mutex;
  std::shared_ptr<IoCompletion> record = std::make_shared<IoCompletion>(nullptr, 0, nullptr);
};

SpareCompletion& spareCompletion() {
  static SpareCompletion spare;
  return spare;
}

// Made at load, not on the first call that needs it (short of memory then).
[[maybe_unused]] const bool gSpareReady = (spareCompletion(), true);

// Whether this thread is running the provider: an open it makes from there
// (a provider opening a card) must not wait for its own run.
thread_local bool tProviding = false;

class Providing {
 public:
  Providing() { tProviding = true; }
  ~Providing() { tProviding = false; }
  Providing(const Providing&) = delete;
  Providing& operator=(const Providing&) = delete;
};

// Runs the default-device provider unless one has run to its end; one that
// threw is tried again by the next open. False when it threw now. An open
// from inside the provider runs nothing and finds what is registered so far.
bool runProviderOnce() {
  if (tProviding) return true;
  std::lock_guard running(registry().providerRun);
  std::function<void()> provider;
  uint64_t generation = 0;
  try {
    {
      std::lock_guard lock(registry().mutex);
      if (registry().providerRan || !registry().provider) return true;
      provider = registry().provider;
      generation = registry().providerGeneration;
    }
    const Providing providing;
    provider();  // registers through registerDevice, which takes the lock
  } catch (const std::bad_alloc&) {
    setLastError(ENOMEM);
    return false;
  } catch (...) {
    setLastError(EIO);
    return false;
  }
  std::lock_guard lock(registry().mutex);
  if (registry().providerGeneration == generation) registry().providerRan = true;
  return true;
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
  ++registry().providerGeneration;
}

std::unique_ptr<DeviceHandle> openDevice(const std::string& name) {
  // A provider that failed leaves its reason (ENOMEM, EIO) unless the name
  // is found anyway (registered by other means).
  const bool provided = runProviderOnce();
  const int providerError = provided ? ENOENT : lastError();
  try {
    std::shared_ptr<DeviceBackend> backend;
    {
      std::lock_guard lock(registry().mutex);
      auto it = registry().devices.find(name);
      if (it != registry().devices.end()) backend = it->second;
    }
    if (!backend) {
      setLastError(providerError);
      return nullptr;
    }
    auto session = backend->open();
    if (!session) {
      setLastError(EACCES);
      return nullptr;
    }
    return std::make_unique<DeviceHandle>(std::move(session));
  } catch (const std::bad_alloc&) {  // the session or the handle: no memory
    setLastError(ENOMEM);
    return nullptr;
  }
}

bool deviceIoControl(DeviceHandle& handle, uint32_t code, const void* in, uint32_t inLen, void* out,
                     uint32_t outLen, uint32_t* bytesReturned, Overlapped* overlapped) {
  Event ownEvent;
  Event* event = overlapped && overlapped->event ? overlapped->event : &ownEvent;
  event->reset();
  if (overlapped) overlapped->completion.reset();
  std::unique_lock<std::mutex> spare;
  auto completion = newCompletion(out, outLen, event);
  if (!completion) {
    spare = std::unique_lock(spareCompletion().mutex, std::try_to_lock);
    if (spare.owns_lock() && spareCompletion().record.use_count() == 1) {
      completion = spareCompletion().record;
      completion->rearm(out, outLen, event);
    }
  }
  if (!completion) {
    setLastError(ENOMEM);
    return false;
  }
  IoResult result = IoResult::failed();
  try {
    result = handle.session().control(code, in, inLen, out, outLen, completion);
  } catch (const std::bad_alloc&) {  // the device had no memory for the call: it did nothing
    setLastError(ENOMEM);
    return false;
  }
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
