#include "model/request_scratch.h"

#include "platform/thread_slot.h"

namespace kestrane {

namespace {

// The thread's records; those below `inUse` are leased.
struct ThreadScratch {
  std::vector<std::unique_ptr<RequestScratch>> records;
  size_t inUse = 0;
};

// Throws std::bad_alloc on a thread's first request when there is no memory
// for its records.
ThreadScratch& threadScratch() {
  static platform::ThreadSlot<ThreadScratch> slot;
  return slot.get();
}

}  // namespace

ScratchLease::ScratchLease() {
  ThreadScratch& t = threadScratch();
  if (t.inUse == t.records.size()) t.records.push_back(std::make_unique<RequestScratch>());
  scratch_ = t.records[t.inUse++].get();
}

ScratchLease::~ScratchLease() { --threadScratch().inUse; }

}  // namespace kestrane
