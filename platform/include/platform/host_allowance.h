#pragma once

// A bound on the host memory that blocks sized by a model file may take, for
// the fuzz targets and tests: a file whose costs the card bounds but the
// process cannot hold (gigabytes of index tables, result arrays or DMA
// buffers, or of the simulated card's device memory) then fails where such a
// block is made, with that place's usual out-of-memory status, instead of
// taking the machine's memory. The product never sets it.

#include <cstdint>
#include <optional>

namespace kestrane::platform {

// From now on the consulting allocations may take `bytes` in all; blocks
// given back are not returned to it, so a caller sets it anew before each
// piece of work. nullopt: no bound (the default).
void setHostAllowance(std::optional<uint64_t> bytes);

// Takes `bytes` of the allowance before a block of that size is made:
// false, taking nothing, when less is left.
bool takeHostAllowance(uint64_t bytes);

// As takeHostAllowance, for blocks whose failure the caller catches as
// std::bad_alloc: throws that when less is left.
void takeHostAllowanceOrThrow(uint64_t bytes);

}  // namespace kestrane::platform
