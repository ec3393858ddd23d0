#pragma once

// Every device-memory transfer goes through these two functions. With the
// interleave flag set and the address inside the interleaved range, a
// transfer is split over the four DDR channels: host granule g (256 bytes)
// belongs to channel g mod 4, and a channel's k-th granule sits at position
// start + k * 1024 of the channel's window.

#include <cstdint>

namespace kestrane {

class Driver;

inline constexpr uint64_t kInterleaveFirst = 0x800000000;
inline constexpr uint64_t kInterleaveLast = 0xEFFFFFFFF;
inline constexpr uint64_t kInterleaveGranule = 256;
inline constexpr uint64_t kInterleavePeriod = 1024;

// Base address of channel c's window.
inline constexpr uint64_t channelWindow(int channel) { return static_cast<uint64_t>(channel + 4) << 33; }

// `host` is the start of a DMA buffer of the driver. Bytes moved, 0 on failure
// (a split transfer moves all or reports 0).
uint64_t readDeviceMemory(Driver& driver, uint64_t address, uint64_t offset, uint64_t size, uint64_t host,
                          bool interleave, uint32_t memoryHandle);
uint64_t writeDeviceMemory(Driver& driver, uint64_t address, uint64_t offset, uint64_t size, uint64_t host,
                           bool interleave, uint32_t memoryHandle);

// The bytes of an n-byte interleaved transfer that channel c's window gets
// (c > 0): from the transfer's start to the end of its last granule of the
// channel, 0 when it has none.
uint64_t channelBytes(int channel, uint64_t n);
// Gathers channel c's granules of the n bytes at src into dst, one per
// 1 KiB period; returns the bytes to send (0 when the channel has none).
uint64_t interleaveData(uint8_t* dst, const uint8_t* src, int channel, uint64_t n);
// The reverse: scatters channel c's granules from dst's periods back into place.
void deinterleaveData(uint8_t* dst, const uint8_t* src, int channel, uint64_t n);

}  // namespace kestrane
