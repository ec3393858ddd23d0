#include "simcard/sim_card.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "core/log.h"
#include "platform/io_completion.h"
#include "platform/system_error.h"
#include "platform/thread_start.h"
#include "platform/unaligned.h"
#include "simcard/program_runner.h"
#include "simcard/stop_token.h"

namespace kestrane::simcard {

namespace {

// The card's side of the control codes and records.
constexpr uint32_t kCodeDeviceInfo = 0x222000;
constexpr uint32_t kCodeMap = 0x222004;
constexpr uint32_t kCodeUnmap = 0x222008;
constexpr uint32_t kCodeRegister = 0x222012;
constexpr uint32_t kCodeTransfer = 0x22201A;
constexpr uint32_t kCodeCommand = 0x222026;

constexpr uint32_t kInfoSize = 128;
constexpr uint32_t kOlderInfoSize = 1040;
constexpr uint32_t kMappingSize = 24;
constexpr uint32_t kRegisterSize = 12;
constexpr uint32_t kTransferSize = 32;
constexpr uint32_t kCommandSize = 16;

constexpr uint8_t kOpClaim = 0x00, kOpUnclaim = 0x01, kOpQuery = 0x03, kOpPost = 0x04, kOpWait = 0x05;
constexpr uint8_t kSuccessBit = 0x02;
constexpr uint8_t kAllCores = 0x1F;
constexpr uint64_t kForeignOwner = ~0ull;  // cores taken by "another process"

constexpr uint16_t kVendorId = 0x1E5A;
constexpr uint16_t kDeviceId = 0x0200;

using platform::load;
using platform::store;

class Session : public platform::DeviceSession {
 public:
  Session(std::shared_ptr<SimCard> card, uint64_t id) : card_(std::move(card)), id_(id) {}
  ~Session() override { card_->closeSession(id_); }
  platform::IoResult control(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                             const std::shared_ptr<platform::IoCompletion>& completion) override {
    return card_->control(id_, code, in, inLen, out, outLen, completion);
  }

 private:
  std::shared_ptr<SimCard> card_;
  uint64_t id_;
};

}  // namespace

using Waiter = std::pair<std::shared_ptr<platform::IoCompletion>, std::array<uint8_t, kCommandSize>>;

struct SimCard::Run {
  size_t core = 0;
  RunContext context;
  StopToken stop;
  bool done = false;  // under the card's mutex
  bool ok = false;
  std::vector<Waiter> waiters;
  bool hang = false;
};

// One core's claim, its latest run, and the thread that runs its runs (made
// on the core's first run, or the first after one that found no thread;
// woken by each post, joined by the destructor).
struct SimCard::CoreState {
  uint64_t owner = 0;  // session holding the claim, 0 when free
  std::shared_ptr<Run> run;
  // The run before: its record serves the next post once nothing else holds it.
  std::shared_ptr<Run> previous;
  bool postRefused = false;  // the last post here was refused: the next wait fails
  std::shared_ptr<Run> pending;  // posted, not yet taken by the run thread
  std::condition_variable wake;
  std::thread runner;
  std::vector<Waiter> replying;  // the run thread's, for the waiters it answers
};

SimCard::SimCard(int index, CardOptions options)
    : index_(index),
      options_(std::move(options)),
      layout_(options_.useBuiltinLayout ? builtinLayout(options_.interleave) : options_.layout),
      memory_(layout_.regions, options_.memoryCapBytes),
      cores_(layout_.cores.size()) {
  // Every code the card answers has its counter from the start, so that
  // counting a call never allocates (an unmap on the way out of a block).
  for (uint32_t code : {kCodeDeviceInfo, kCodeMap, kCodeUnmap, kCodeRegister, kCodeTransfer, kCodeCommand})
    stats_.callsByCode[code] = 0;
}

SimCard::~SimCard() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (CoreState& core : cores_) {
      if (!core.run) continue;
      core.run->stop.stop();
      for (auto& [completion, record] : core.run->waiters)
        if (!reply(*completion, record.data(), false)) ++stats_.droppedReplies;
      core.run->waiters.clear();
    }
  }
  for (CoreState& core : cores_) {
    core.wake.notify_all();
    if (core.runner.joinable()) core.runner.join();
  }
}

std::unique_ptr<platform::DeviceSession> SimCard::open() {
  return std::make_unique<Session>(shared_from_this(), nextSession_++);
}

CardStats SimCard::stats() const {
  std::lock_guard lock(mutex_);
  CardStats s = stats_;
  s.liveMappings = mappings_.size();
  s.committedBytes = memory_.committedBytes();
  for (const Launch& l : launches_) s.journaledBytes += l.journal.copiedBytes();
  s.hostMappedBytes = memory_.hostUsage().mappedBytes();
  return s;
}

std::map<uint32_t, uint32_t> SimCard::registers() const {
  std::lock_guard lock(mutex_);
  return registers_;
}

std::vector<uint32_t> SimCard::claimedCores() const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> keys;
  for (size_t i = 0; i < cores_.size(); ++i)
    if (cores_[i].owner != 0) keys.push_back(layout_.cores[i].key());
  return keys;
}

void SimCard::closeSession(uint64_t session) {
  std::lock_guard lock(mutex_);
  for (CoreState& core : cores_)
    if (core.owner == session) core.owner = 0;
  endLaunches(session, [](size_t) { return true; }, true);
}

template <typename OnCores>
void SimCard::endLaunches(uint64_t session, OnCores onCores, bool givenBack) {
  auto touches = [&](const Launch& l) {
    return l.session == session && std::any_of(l.cores.begin(), l.cores.end(), onCores);
  };
  // Newest first: an older launch's pages are restored last.
  for (auto it = launches_.rbegin(); it != launches_.rend(); ++it)
    if (givenBack && it->journal.refusedForMemory && touches(*it)) memory_.restore(it->journal);  // never throws
  launches_.erase(std::remove_if(launches_.begin(), launches_.end(), touches), launches_.end());
}

platform::IoResult SimCard::control(uint64_t session, uint32_t code, const void* in, uint32_t inLen, void* out,
                                    uint32_t outLen, const std::shared_ptr<platform::IoCompletion>& completion) {
  // Counted out on every way out, an exception's too (no host memory).
  struct InFlight {
    std::atomic<int>& count;
    const int now = ++count;
    ~InFlight() { --count; }
  } inFlight{inFlight_};
  {
    std::lock_guard lock(mutex_);
    ++stats_.callsByCode[code];  // allocates only for a code the card does not answer
    stats_.maxCallsInFlight = std::max(stats_.maxCallsInFlight, inFlight.now);
  }
  platform::IoResult result = platform::IoResult::failed();
  if (in != nullptr) {
    switch (code) {
      case kCodeDeviceInfo: result = deviceInfo(in, inLen, out, outLen); break;
      case kCodeMap: result = mapDma(in, inLen, out, outLen, true); break;
      case kCodeUnmap: result = mapDma(in, inLen, out, outLen, false); break;
      case kCodeRegister: result = registerAccess(in, inLen, out, outLen); break;
      case kCodeTransfer: result = transfer(session, in, inLen); break;
      case kCodeCommand: result = command(session, in, inLen, out, outLen, completion); break;
      default: break;
    }
  }
  return result;
}

platform::IoResult SimCard::deviceInfo(const void*, uint32_t inLen, void* out, uint32_t outLen) {
  if (faults_.take(FaultOp::DeviceInfo) || out == nullptr) return platform::IoResult::failed();
  const uint16_t subDevice = static_cast<uint16_t>((options_.chipGeneration & 0xF) << 12 |
                                                   (options_.firmwareRevision & 0xF) << 8 | 0x01);
  const uint16_t version[4] = {3, 2, 0, options_.driverRevision};
  if (!options_.olderInfoLayout) {
    if (inLen != kInfoSize || outLen < kInfoSize) return platform::IoResult::failed();
    std::memset(out, 0, kInfoSize);
    store<uint16_t>(out, 0, kVendorId);
    store<uint16_t>(out, 2, kDeviceId);
    store<uint16_t>(out, 4, kVendorId);
    store<uint16_t>(out, 6, subDevice);
    store<uint8_t>(out, 16, options_.pcieGeneration);
    store<uint8_t>(out, 17, options_.lanes);
    store<uint8_t>(out, 18, options_.validDevice);
    for (int i = 0; i < 4; ++i) store<uint16_t>(out, 32 + 2 * i, version[i]);
    store<uint8_t>(out, 40, options_.requiredFirmware & 0xF);
    return platform::IoResult::done(kInfoSize);
  }
  if (inLen != kOlderInfoSize || outLen < kOlderInfoSize) return platform::IoResult::failed();
  std::memset(out, 0, kOlderInfoSize);
  for (int i = 0; i < 4; ++i) store<uint16_t>(out, 2 * i, version[i]);
  const int entry = index_ % 64;
  store<int32_t>(out, 8, entry);
  const size_t at = 16 + 16 * static_cast<size_t>(entry);
  store<uint32_t>(out, at, uint32_t{kDeviceId} << 16 | kVendorId);
  store<uint32_t>(out, at + 4, uint32_t{subDevice} << 16 | kVendorId);
  store<uint8_t>(out, at + 12, options_.pcieGeneration);
  store<uint8_t>(out, at + 13, options_.lanes);
  return platform::IoResult::done(kOlderInfoSize);
}

platform::IoResult SimCard::mapDma(const void* in, uint32_t inLen, void* out, uint32_t outLen, bool map) {
  if (inLen < kMappingSize || out == nullptr || outLen < kMappingSize) return platform::IoResult::failed();
  uint8_t record[kMappingSize];
  std::memcpy(record, in, kMappingSize);
  std::lock_guard lock(mutex_);
  if (map) {
    if (faults_.take(FaultOp::MapCall)) return platform::IoResult::failed();
    const uint64_t host = load<uint64_t>(record, 8);
    const uint32_t size = load<uint32_t>(record, 16);
    uint64_t handle = 0;
    if (host != 0 && size != 0 && !faults_.take(FaultOp::MapZeroHandle)) {
      handle = nextHandle_++;
      mappings_[handle] = {host, size};
    }
    store<uint64_t>(record, 0, handle);
  } else {
    const uint64_t handle = load<uint64_t>(record, 0);
    if (faults_.take(FaultOp::Unmap) || mappings_.erase(handle) == 0) return platform::IoResult::failed();
    // The launches whose latest write went through it are through with
    // their writes: unless one was refused for want of memory (their undo
    // then waits for the cores to be given back), their copies go.
    for (Launch& l : launches_) {
      if (l.ended || l.mapping != handle || l.journal.refusedForMemory) continue;
      l.journal.before.clear();  // gives the pages back: allocates nothing
      l.ended = true;
    }
  }
  std::memcpy(out, record, kMappingSize);
  return platform::IoResult::done(kMappingSize);
}

platform::IoResult SimCard::registerAccess(const void* in, uint32_t inLen, void* out, uint32_t outLen) {
  if (inLen < kRegisterSize) return platform::IoResult::failed();
  const uint32_t op = load<uint32_t>(in, 0), address = load<uint32_t>(in, 4), value = load<uint32_t>(in, 8);
  std::lock_guard lock(mutex_);
  if (op == 3) {
    registers_[address] = value;
    return platform::IoResult::done(0);
  }
  if (op == 2 && out != nullptr && outLen >= 4) {
    auto it = registers_.find(address);
    store<uint32_t>(out, 0, it == registers_.end() ? 0 : it->second);
    return platform::IoResult::done(4);
  }
  return platform::IoResult::failed();
}

platform::IoResult SimCard::transfer(uint64_t session, const void* in, uint32_t inLen) {
  if (inLen < kTransferSize) return platform::IoResult::failed();
  const uint32_t direction = load<uint32_t>(in, 0);
  const uint64_t handle = load<uint64_t>(in, 8), device = load<uint64_t>(in, 16);
  const uint64_t offset = load<uint32_t>(in, 24), count = load<uint32_t>(in, 28);
  std::lock_guard lock(mutex_);
  if (faults_.take(FaultOp::Transfer) || direction > 1 || count == 0) return platform::IoResult::failed();
  auto it = mappings_.find(handle);
  if (it == mappings_.end() || offset + count > it->second.second) return platform::IoResult::failed();
  auto* host = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(it->second.first)) + offset;
  if (std::any_of(cores_.begin(), cores_.end(), [](const CoreState& c) { return c.run && !c.run->done; }))
    ++stats_.transfersWhileRunning;
  // A write goes to the handle's newest launch while that launch is open.
  Launch* launch = nullptr;
  for (auto l = launches_.rbegin(); l != launches_.rend() && launch == nullptr; ++l)
    if (l->session == session) launch = &*l;
  DeviceMemory::Journal* journal = nullptr;
  if (direction == 1 && launch != nullptr && !launch->ended) {
    journal = &launch->journal;
    launch->mapping = handle;
  }
  errno = 0;
  const bool ok = direction == 1 ? memory_.write(device, host, count, journal) : memory_.read(device, host, count);
  // No host memory for the pages: the call ends as one short of memory
  // (ENOMEM to the caller), having changed nothing.
  if (!ok && errno == ENOMEM) throw std::bad_alloc();
  if (ok && direction == 1) stats_.bytesWritten += count;
  return ok ? platform::IoResult::done(0) : platform::IoResult::failed();
}

bool SimCard::coresOf(uint8_t mask0, uint8_t mask1, CoreList& cores) const {
  if ((mask0 | mask1) & ~kAllCores) return false;
  const uint8_t masks[2] = {mask0, mask1};
  for (int cluster = 0; cluster < 2; ++cluster) {
    for (int core = 0; core < 5; ++core) {
      if (!(masks[cluster] & (1u << core))) continue;
      int at = layout_.find(cluster, core);
      if (at < 0) return false;
      cores.push(static_cast<size_t>(at));
    }
  }
  return true;
}

platform::IoResult SimCard::command(uint64_t session, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                                    const std::shared_ptr<platform::IoCompletion>& completion) {
  if (inLen < kCommandSize || out == nullptr || outLen < kCommandSize) return platform::IoResult::failed();
  std::array<uint8_t, kCommandSize> reply;
  std::memcpy(reply.data(), in, kCommandSize);
  const uint8_t op = reply[0];
  const uint8_t mask0 = reply[4], mask1 = reply[5];
  bool ok = false;
  CoreList cores;
  {
    std::lock_guard lock(mutex_);
    switch (op) {
      case kOpClaim:
        ok = !faults_.take(FaultOp::Claim) && coresOf(mask0, mask1, cores) &&
             std::all_of(cores.begin(), cores.end(), [&](size_t c) {
               return cores_[c].owner == 0 || cores_[c].owner == session;
             });
        if (ok) {
          // Recorded before the claim: a claim short of host memory takes nothing.
          launches_.push_back({session, std::vector<size_t>(cores.begin(), cores.end()), {}});
          for (size_t c : cores) cores_[c].owner = session;
        }
        break;
      case kOpUnclaim:
        ok = !faults_.take(FaultOp::Unclaim) && coresOf(mask0, mask1, cores) &&
             std::all_of(cores.begin(), cores.end(), [&](size_t c) {
               return cores_[c].owner == 0 || cores_[c].owner == session;
             });
        if (ok) {
          for (size_t c : cores) cores_[c].owner = 0;
          endLaunches(session, [&](size_t c) { return cores.has(c); }, true);
        }
        break;
      case kOpQuery: {
        ok = !faults_.take(FaultOp::Query);
        if (!ok) break;
        uint8_t free[2] = {0, 0};
        for (size_t i = 0; i < cores_.size(); ++i)
          if (cores_[i].owner == 0) free[layout_.cores[i].cluster] |= static_cast<uint8_t>(1u << layout_.cores[i].core);
        reply[4] = free[0];
        reply[5] = free[1];
        uint8_t steal0 = 0, steal1 = 0;
        if (faults_.takeSteal(steal0, steal1) && coresOf(steal0, steal1, cores))
          for (size_t c : cores)
            if (cores_[c].owner == 0) cores_[c].owner = kForeignOwner;
        break;
      }
      case kOpPost: {
        const bool hasIoSlot = reply[12] & 1;
        ok = post(session, mask0, mask1, hasIoSlot ? load<uint32_t>(reply.data(), 8) : 0, hasIoSlot);
        break;
      }
      case kOpWait: {
        const int cluster = mask0 & 1, core = (mask0 >> 3) & 7;
        const int at = layout_.find(cluster, core);
        if (at < 0) break;
        CoreState& state = cores_[static_cast<size_t>(at)];
        if (std::exchange(state.postRefused, false)) break;
        std::shared_ptr<Run> run = state.run;
        if (run && !run->done) {
          reply[0] = op | kSuccessBit;
          run->waiters.emplace_back(completion, reply);
          // A caller that gives up on the wait makes the kernel driver reset the core.
          completion->setCancelHandler(weak_from_this(), uint64_t{static_cast<uint32_t>(at)} << 32 | run->context.runId);
          return platform::IoResult::pending();
        }
        ok = run && run->ok;
        break;
      }
      default:
        break;
    }
  }
  reply[0] = ok ? (op | kSuccessBit) : (op & ~kSuccessBit);
  std::memcpy(out, reply.data(), kCommandSize);
  return platform::IoResult::done(kCommandSize);
}

bool SimCard::post(uint64_t session, uint8_t mask0, uint8_t mask1, uint32_t ioSlot, bool hasIoSlot) {
  CoreList cores;
  const bool known = coresOf(mask0, mask1, cores);
  const bool refused = faults_.take(FaultOp::Post) || !known ||
                       std::any_of(cores.begin(), cores.end(), [&](size_t c) { return cores_[c].owner != session; });
  if (refused) {
    // Nothing runs, so the next wait on these cores must not report an older run.
    for (size_t c : cores) cores_[c].postRefused = true;
    return false;
  }
  // What allocates comes first, so that a post short of host memory starts
  // no run and leaves the launch as it was: the cores' counters and run records.
  std::shared_ptr<Run> records[std::size(CoreList{}.at)];
  for (size_t i = 0; i < cores.count; ++i) {
    const size_t c = cores.at[i];
    stats_.postsByCore.try_emplace(layout_.cores[c].key(), 0);
    records[i] = newRun(cores_[c]);
  }
  // The launch is through: what it wrote stays.
  endLaunches(session, [&](size_t c) { return cores.has(c); }, false);
  for (size_t i = 0; i < cores.count; ++i) {
    const size_t c = cores.at[i];
    ++stats_.postsByCore[layout_.cores[c].key()];
    startRun(c, ioSlot, hasIoSlot, std::move(records[i]));
  }
  return true;
}

void SimCard::endRun(CoreState& state) {
  if (!state.run || state.run->done) return;
  state.run->stop.stop();
  state.run->done = true;
  state.run->ok = false;
  for (auto& [completion, record] : state.run->waiters)
    if (!reply(*completion, record.data(), false)) ++stats_.droppedReplies;
  state.run->waiters.clear();
}

void SimCard::resetCoreLocked(size_t core) {
  endRun(cores_[core]);
  const CoreLayout& c = layout_.cores[core];
  for (uint64_t base : {c.imem, c.rmem}) {
    const MemoryRegion region = layout_.regionAt(base);
    memory_.scramble(base, region.size ? region.size : DeviceMemory::kPageSize, kResetPattern);
  }
  try {
    ++stats_.resetsByCore[c.key()];
  } catch (const std::bad_alloc&) {  // a count lost; the reset, which a cancel may run, stands
  }
}

void SimCard::resetCore(uint32_t coreKey) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < cores_.size(); ++i)
    if (layout_.cores[i].key() == coreKey) resetCoreLocked(i);
}

void SimCard::ioCancelled(uint64_t tag) {
  const size_t core = static_cast<size_t>(tag >> 32);
  const uint32_t runId = static_cast<uint32_t>(tag);
  std::lock_guard lock(mutex_);
  const std::shared_ptr<Run>& run = cores_[core].run;
  if (run && !run->done && run->context.runId == runId) resetCoreLocked(core);
}

std::shared_ptr<SimCard::Run> SimCard::newRun(CoreState& state) {
  if (state.previous && state.previous.use_count() == 1) {
    std::shared_ptr<Run> run = std::move(state.previous);
    run->stop.reset();
    run->done = false;
    run->ok = false;
    run->waiters.clear();
    return run;
  }
  return std::make_shared<Run>();
}

void SimCard::startRun(size_t core, uint32_t ioSlot, bool hasIoSlot, std::shared_ptr<Run> run) {
  auto& state = cores_[core];
  // A new post abandons a run that never ended (a hung core): its waiters
  // learn that it failed.
  endRun(state);
  state.postRefused = false;
  state.previous = std::move(state.run);
  run->core = core;
  run->context.core = layout_.cores[core];
  run->context.runId = nextRunId_++;
  run->context.ioSlotOffset = ioSlot;
  run->context.hasIoSlot = hasIoSlot;
  run->context.interleave = options_.interleave;
  const uint32_t key = layout_.cores[core].key();
  run->context.extraDelayMs = faults_.delayMs(key);
  const RunFault fault = faults_.takeRunFault(key);
  const bool hang = faults_.hangs(key) || fault == RunFault::Hang;
  run->hang = hang;
  state.run = run;
  if (fault == RunFault::Fail) {
    run->done = true;  // ends at once, failed; nothing of the program runs
    return;
  }
  if (!state.runner.joinable() && !platform::startThread(state.runner, &SimCard::runnerMain, this, core)) {
    // No thread for the core: the run fails as a failed run does, and the
    // next post tries again.
    KLOG_ERROR("Simulated card {}: failed to start the run thread of core {:x}: {}", index_, key,
               platform::systemErrorText(platform::lastError()));
    run->done = true;
    return;
  }
  state.pending = std::move(run);
  // Woken under the mutex: the run thread then queues for it ahead of the
  // poster's next call and starts promptly, as a core does on its post.
  state.wake.notify_one();
}

void SimCard::runnerMain(size_t core) {
  CoreState& state = cores_[core];
  std::unique_lock lock(mutex_);
  for (;;) {
    state.wake.wait(lock, [&] { return state.pending || stopping_; });
    if (stopping_) return;
    std::shared_ptr<Run> run = std::move(state.pending);
    state.pending.reset();
    if (run->done) continue;  // abandoned before it started
    lock.unlock();
    RunOutcome outcome = RunOutcome::Failed;
    try {
      outcome = runProgram(memory_, run->context, run->stop, run->hang);
    } catch (const std::exception& e) {  // no host memory for the program's buffers
      KLOG_ERROR("Simulated card {}: the run on core {:x} failed: {}", index_, run->context.core.key(), e.what());
    }
    if (outcome != RunOutcome::Stopped) finishRun(run, outcome == RunOutcome::Succeeded);
    lock.lock();
    run.reset();  // under the mutex, before startRun may look for a record to reuse
  }
}

void SimCard::finishRun(const std::shared_ptr<Run>& run, bool ok) {
  std::vector<Waiter>& replying = cores_[run->core].replying;
  {
    std::lock_guard lock(mutex_);
    if (run->done) return;
    run->done = true;
    run->ok = ok;
    replying.swap(run->waiters);
  }
  // Answered once the mutex is let go, so a woken caller's next call does
  // not block on it. A cancel that meets an answer here finds the run done
  // and leaves the core alone.
  for (auto& [completion, record] : replying) {
    if (reply(*completion, record.data(), ok)) continue;
    std::lock_guard lock(mutex_);
    ++stats_.droppedReplies;
  }
  replying.clear();
}

bool SimCard::reply(platform::IoCompletion& completion, uint8_t* record, bool ok) {
  if (!ok) record[0] &= static_cast<uint8_t>(~kSuccessBit);
  return completion.complete(true, record, kCommandSize);
}

}  // namespace kestrane::simcard
