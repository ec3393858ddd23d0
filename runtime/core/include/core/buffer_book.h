#pragma once

// The host blocks that memory pools have handed out, across the process. A
// Buffer is only an address and a size, and a caller may change the size
// (the Python Buffer class lets it), so whoever copies into a caller's
// Buffer on trust asks here how large the block at that address really is.
//
// Each pool keeps one entry, which lists it from construction to
// destruction. The list is intrusive and its lock needs no construction, so
// it works at any point of start-up and exit. Lock order: the list's lock,
// then whatever the pool's lookup takes; a pool never lists or unlists
// itself while it holds its own lock.

#include <cstdint>

#include "kestrane/export.h"

namespace kestrane {

class BufferBookEntry {
 public:
  // The size of the block handed out at `data`; 0 when `owner` has none there.
  using Lookup = uint64_t (*)(const void* owner, const void* data);

  BufferBookEntry(const void* owner, Lookup lookup);
  ~BufferBookEntry();
  BufferBookEntry(const BufferBookEntry&) = delete;
  BufferBookEntry& operator=(const BufferBookEntry&) = delete;

 private:
  friend uint64_t handedOutBufferSize(const void* data);

  const void* owner_;
  Lookup lookup_;
  BufferBookEntry* prev_ = nullptr;
  BufferBookEntry* next_ = nullptr;
};

// The size of the block that a listed pool has handed out at `data`; 0 when
// none has (never handed out, given back, or its model disposed).
KESTRANE_API uint64_t handedOutBufferSize(const void* data);

}  // namespace kestrane
