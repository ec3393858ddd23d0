#pragma once

// The simulated card: the device backend behind "\\.\kestrane_pcieN" that
// behaves as the card and its kernel driver would. It answers the six control
// codes with their byte records, keeps sparse device memory, registers, DMA
// mappings and core claims, and runs the programs found in the cores'
// instruction memories on threads of its own.
//
// Threads: one run thread per core, started by the core's first post, woken
// by each later post (and by the destructor, which stops the runs in
// progress and joins them). A post whose thread cannot be started fails its
// run, as a failed program does; the next post on the core tries again.
// Locks: the card's mutex is taken before the device memory's, and the
// memory's page heaps' last of all; a run thread takes the device memory's
// alone and the card's alone, never both.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/device_backend.h"
#include "platform/io_completion.h"
#include "simcard/card_options.h"
#include "simcard/device_memory.h"
#include "simcard/fault_plan.h"

namespace kestrane::simcard {

// What tests can see of the card's traffic.
struct CardStats {
  std::map<uint32_t, uint64_t> callsByCode;  // control calls per code
  int maxCallsInFlight = 0;                  // most control calls inside the card at once
  std::map<uint32_t, uint64_t> postsByCore;  // by core key
  size_t liveMappings = 0;
  uint64_t committedBytes = 0;
  // Replies the card had ready for requests their caller had cancelled:
  // dropped without touching the caller's record or event.
  uint64_t droppedReplies = 0;
  std::map<uint32_t, uint64_t> resetsByCore;  // by core key
  // DMA transfers made while a run was in progress on some core.
  uint64_t transfersWhileRunning = 0;
  // Bytes DMA transfers wrote into device memory.
  uint64_t bytesWritten = 0;
  // Bytes of the page copies the launches in progress keep to undo their writes.
  uint64_t journaledBytes = 0;
  // Host memory the card maps for its pages and copies (whole slabs).
  uint64_t hostMappedBytes = 0;
};

// What a reset leaves in every byte a core's instruction memory and RMEM held.
inline constexpr uint8_t kResetPattern = 0xE5;

class SimCard : public platform::DeviceBackend,
                public platform::IoCancelHandler,
                public std::enable_shared_from_this<SimCard> {
 public:
  SimCard(int index, CardOptions options);
  ~SimCard() override;
  SimCard(const SimCard&) = delete;
  SimCard& operator=(const SimCard&) = delete;

  // A new handle; claims belong to it, so two handles play two processes.
  std::unique_ptr<platform::DeviceSession> open() override;

  int index() const { return index_; }
  const CardLayout& layout() const { return layout_; }
  FaultPlan& faults() { return faults_; }
  CardStats stats() const;
  std::map<uint32_t, uint32_t> registers() const;
  // Core keys (cluster | core) claimed by any handle.
  std::vector<uint32_t> claimedCores() const;
  bool peek(uint64_t address, void* dst, uint64_t size) const { return memory_.read(address, dst, size); }
  bool poke(uint64_t address, const void* src, uint64_t size) { return memory_.write(address, src, size); }
  // Resets a core as the kernel driver does when a waiter gives up on its
  // run: a run in progress ends without success, and what the core's
  // instruction memory and RMEM held reads kResetPattern.
  void resetCore(uint32_t coreKey);

  // Entry points of the handles.
  // A call that runs out of host memory throws std::bad_alloc having
  // changed nothing the caller relies on (the platform turns it into ENOMEM).
  platform::IoResult control(uint64_t session, uint32_t code, const void* in, uint32_t inLen, void* out,
                             uint32_t outLen, const std::shared_ptr<platform::IoCompletion>& completion);
  // Gives back the session's cores and ends its launches; allocates nothing.
  void closeSession(uint64_t session);
  // A waiter gave up on its wait: as the kernel driver does, the card resets
  // the core if the run waited on still runs. `tag` names the core and run.
  void ioCancelled(uint64_t tag) override;

 private:
  struct Run;
  struct CoreState;
  // Layout indices of the cores a command names: at most five a cluster.
  struct CoreList {
    size_t at[10] = {};
    size_t count = 0;
    void push(size_t core) { at[count++] = core; }
    bool has(size_t core) const { return std::find(begin(), end(), core) != end(); }
    const size_t* begin() const { return at; }
    const size_t* end() const { return at + count; }
  };

  platform::IoResult deviceInfo(const void* in, uint32_t inLen, void* out, uint32_t outLen);
  // An unmap ends the launches whose latest write went through the mapping
  // (see Launch); allocates nothing.
  platform::IoResult mapDma(const void* in, uint32_t inLen, void* out, uint32_t outLen, bool map);
  platform::IoResult registerAccess(const void* in, uint32_t inLen, void* out, uint32_t outLen);
  platform::IoResult transfer(uint64_t session, const void* in, uint32_t inLen);
  platform::IoResult command(uint64_t session, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                             const std::shared_ptr<platform::IoCompletion>& completion);
  bool post(uint64_t session, uint8_t mask0, uint8_t mask1, uint32_t ioSlot, bool hasIoSlot);
  // The record of the core's next run: its previous run's once nothing else
  // holds it, else a new one.
  std::shared_ptr<Run> newRun(CoreState& state);
  void startRun(size_t core, uint32_t ioSlot, bool hasIoSlot, std::shared_ptr<Run> run);
  // The run thread of one core: runs the core's runs one after another.
  void runnerMain(size_t core);
  void finishRun(const std::shared_ptr<Run>& run, bool ok);
  // Ends the core's run without success and replies to its waiters; under the card's mutex.
  void endRun(CoreState& core);
  // Under the card's mutex.
  void resetCoreLocked(size_t core);
  // Layout index of each set bit of a cluster's mask; false for a bit the card lacks.
  bool coresOf(uint8_t mask0, uint8_t mask1, CoreList& cores) const;
  // Answers a pending request with its 16-byte record; false (a dropped
  // reply) when its caller had cancelled it.
  static bool reply(platform::IoCompletion& completion, uint8_t* record, bool ok);

  // A launch: cores a handle claimed, from the claim until the handle's
  // first post on them or their giving back. The handle's writes go to its
  // newest launch; while that launch is open its journal keeps what they
  // changed. It ends (its copies dropped, later writes not journaled) when
  // the handle unmaps the mapping its latest write went through, unless
  // one of its writes was refused for want of memory (the cap, or host
  // memory for the pages: a launch that failed for lack of memory). Such a
  // launch stays open, and when the handle gives the cores back with no
  // post its writes are undone: the memory is left as that launch found it.
  struct Launch {
    uint64_t session = 0;
    std::vector<size_t> cores;
    DeviceMemory::Journal journal;
    uint64_t mapping = 0;  // the DMA mapping its latest write went through
    bool ended = false;
  };
  // Ends the session's launches on any core for which onCores(layout index)
  // holds, undoing those that ran out of memory when `givenBack`; under the
  // card's mutex. Allocates nothing: a session's close runs it.
  template <typename OnCores>
  void endLaunches(uint64_t session, OnCores onCores, bool givenBack);

  const int index_;
  const CardOptions options_;
  const CardLayout layout_;
  DeviceMemory memory_;
  FaultPlan faults_;
  std::atomic<uint64_t> nextSession_{1};
  std::atomic<int> inFlight_{0};

  mutable std::mutex mutex_;
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> mappings_;  // handle -> host address, size
  uint64_t nextHandle_ = 0x1000;
  std::map<uint32_t, uint32_t> registers_;
  std::vector<CoreState> cores_;
  uint32_t nextRunId_ = 1;
  bool stopping_ = false;
  CardStats stats_;
  std::vector<Launch> launches_;  // oldest first
};

}  // namespace kestrane::simcard
