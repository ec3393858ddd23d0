#include "core/buffer_book.h"

#include <mutex>

namespace kestrane {

namespace {

// Constant-initialised: usable before any constructor ran and after exit
// began destroying objects.
std::mutex gMutex;
BufferBookEntry* gFirst = nullptr;

}  // namespace

BufferBookEntry::BufferBookEntry(const void* owner, Lookup lookup) : owner_(owner), lookup_(lookup) {
  std::lock_guard lock(gMutex);
  next_ = gFirst;
  if (gFirst != nullptr) gFirst->prev_ = this;
  gFirst = this;
}

BufferBookEntry::~BufferBookEntry() {
  std::lock_guard lock(gMutex);
  if (prev_ != nullptr) prev_->next_ = next_;
  else gFirst = next_;
  if (next_ != nullptr) next_->prev_ = prev_;
}

uint64_t handedOutBufferSize(const void* data) {
  if (data == nullptr) return 0;
  std::lock_guard lock(gMutex);
  for (const BufferBookEntry* e = gFirst; e != nullptr; e = e->next_)
    if (const uint64_t size = e->lookup_(e->owner_, data)) return size;
  return 0;
}

}  // namespace kestrane
