#pragma once

// Making one host allocation fail, for tests: the binary that links
// kestrane_alloc_failure gets a replacement of every global operator new and
// delete. Allocations are counted, on every thread, only while a
// CountedAllocations scope is open somewhere, so that a test's own
// bookkeeping between calls neither moves the count nor meets the failure.
// The k-th counted allocation then throws std::bad_alloc (the nothrow forms
// return null), as when the host has no memory left.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace kestrane::test {

// From now on the `k`-th counted allocation (1: the next one) fails, once;
// nullopt: none fails. Sets the count back to 0.
void failAllocation(std::optional<uint64_t> k);

// Counted allocations since the last failAllocation call, the failed one included.
uint64_t countedAllocations();

// Whether the allocation failAllocation chose has come (and failed).
bool allocationFailed();

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

// What a call gave when the k-th counted allocation inside it was made to fail.
struct FailingRun {
  std::string thrown;   // what escaped the call; empty when nothing did
  bool failed = false;  // whether the k-th allocation came
};

// Runs `call` with allocations counted and the k-th failing (`counted`
// false: the call opens its own scopes), then lets every allocation succeed
// again.
template <typename F>
FailingRun runFailing(uint64_t k, F&& call, bool counted = true) {
  FailingRun run;
  failAllocation(k);
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
