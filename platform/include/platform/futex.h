#pragma once

#include <atomic>
#include <cstdint>

namespace kestrane::platform {

// Blocks while `word` holds `expected`, at most until `deadline` (ticks100ns()
// time; 0: no limit). Returns early on a wake and may return spuriously:
// callers look at the word again. False when the deadline passed.
bool futexWait(const std::atomic<uint32_t>& word, uint32_t expected, uint64_t deadline = 0);

// Wakes every thread blocked on the word. Only the address is used, so a
// setter may wake after the owner of the word was free to let it go: a wake
// at an address nobody waits on does nothing, and one that reaches a later
// user of the memory is a spurious wake, which every futex user tolerates.
void futexWakeAll(const void* word);

}  // namespace kestrane::platform
