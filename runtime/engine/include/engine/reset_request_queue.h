#pragma once

#include <cstdint>

#include "engine/flag_queue.h"

namespace kestrane {

// Core keys of the cores whose runs timed out, for the accelerator's reset
// thread. Watchdogs push, the reset thread pops; the accelerator closes it
// when it goes (only the open flag is ever cleared), and a closed queue
// ignores further requests.
class ResetRequestQueue : public FlagQueue<uint32_t> {};

}  // namespace kestrane
