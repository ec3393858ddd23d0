#pragma once

// Making one host allocation fail, for tests: the binary that links
// kestrane_alloc_failure gets a replacement of every global operator new and
// delete and, outside the AddressSanitizer and ThreadSanitizer builds (whose
// own malloc it would bypass), of the C library's malloc family (malloc,
// calloc, realloc, aligned_alloc, posix_memalign, memalign). The two families
// are counted apart: operator new's own block comes from the C library
// directly and counts once, as operator new. Allocations are counted, on
// every thread, only while a CountedAllocations scope is open somewhere, so
// that a test's own bookkeeping between calls neither moves the count nor
// meets the failure. The k-th counted allocation of the chosen family then
// fails as when the host has no memory left: operator new throws
// std::bad_alloc (the nothrow forms return null), the malloc family returns
// null (posix_memalign ENOMEM) and sets errno to ENOMEM.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace kestrane::test {

enum class AllocFamily { New, Malloc };

// Whether this build counts the malloc family (false under ASan and TSan).
bool mallocFamilyCounted();

// From now on the `k`-th counted allocation of `family` (1: the next one)
// fails, once; nullopt: none fails. Sets the counts of both families back to 0.
void failAllocation(std::optional<uint64_t> k, AllocFamily family = AllocFamily::New);

// Counted allocations of `family` since the last failAllocation call, the
// failed one included.
uint64_t countedAllocations(AllocFamily family = AllocFamily::New);

// Whether the allocation failAllocation chose has come (and failed).
bool allocationFailed();

// The byte size the failed allocation asked for; 0 while none failed.
uint64_t failedAllocationBytes();

// Blocks allocated and not yet freed, counted or not: what a call keeps is
// the difference across it.
int64_t liveAllocations();

// While one lives, allocations count (scopes nest; any thread may open one).
class CountedAllocations {
 public:
  CountedAllocations();
  ~CountedAllocations();
  CountedAllocations(const CountedAllocations&) = delete;
  CountedAllocations& operator=(const CountedAllocations&) = delete;
};

// While one lives, the allocations of the thread that opened it count, and
// those of other threads only under a CountedAllocations: a sweep of what
// one thread does, which the work of other threads must not shift.
class CountedAllocationsOnThisThread {
 public:
  CountedAllocationsOnThisThread();
  ~CountedAllocationsOnThisThread();
  CountedAllocationsOnThisThread(const CountedAllocationsOnThisThread&) = delete;
  CountedAllocationsOnThisThread& operator=(const CountedAllocationsOnThisThread&) = delete;
};

// What a call gave when the k-th counted allocation inside it was made to fail.
struct FailingRun {
  std::string thrown;   // what escaped the call; empty when nothing did
  bool failed = false;  // whether the k-th allocation came
};

// Runs `call` with allocations counted and the k-th of `family` failing
// (`counted` false: the call opens its own scopes), then lets every
// allocation succeed again.
template <typename F>
FailingRun runFailing(uint64_t k, F&& call, bool counted = true, AllocFamily family = AllocFamily::New) {
  FailingRun run;
  failAllocation(k, family);
  {
    std::optional<CountedAllocations> scope;
    if (counted) scope.emplace();
    try {
      call();
    } catch (const std::exception& e) {
      run.thrown = e.what();  // after the failure: this allocation succeeds
    } catch (...) {
      run.thrown = "an exception";
    }
  }
  run.failed = allocationFailed();
  failAllocation(std::nullopt);
  return run;
}

}  // namespace kestrane::test
