#pragma once

// IEEE 754 binary16 <-> binary32 conversion of whole arrays, exact and
// bit-for-bit: float to half rounds to nearest, ties to even; NaNs keep their
// payload (a payload lost in the narrowing keeps the lowest mantissa bit so
// the result stays a NaN). Integer operations only; the widest vector unit of
// the CPU is picked at run time.

#include <cstdint>

namespace kestrane {

// Nothing happens for a count of 0 or less. dst and src do not overlap.
void halfToFloatArray(float* dst, const uint16_t* src, int count);
void floatToHalfArray(uint16_t* dst, const float* src, int count);

}  // namespace kestrane
