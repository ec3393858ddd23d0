#include "driver/taliss_monitor.h"

#include <cstring>
#include <mutex>

#include "driver/driver_print.h"

namespace kestrane {

namespace {

std::mutex gNameMutex;
std::string gBlockName = TalissMonitor::kBlockName;

template <typename T>
T* word(uint8_t* base, uint64_t offset) {
  return reinterpret_cast<T*>(base + offset);
}

}  // namespace

void TalissMonitor::setBlockName(const std::string& name) {
  std::lock_guard lock(gNameMutex);
  gBlockName = name;
}

std::string TalissMonitor::blockName() {
  std::lock_guard lock(gNameMutex);
  return gBlockName;
}

TalissMonitor::TalissMonitor(bool writer) : writer_(writer) {
  if (!memory_.open(kBlockSize, blockName())) {
    driverPrint("*E: Failed to create monitor shared memory.\n");
    return;
  }
  if (writer_) __atomic_store_n(word<uint32_t>(static_cast<uint8_t*>(memory_.view()), 0), kMagic, __ATOMIC_SEQ_CST);
}

TalissMonitor::~TalissMonitor() {
  slot_ = nullptr;
  memory_.close();
}

void TalissMonitor::attachSlot(int card) {
  slot_ = nullptr;
  auto* view = static_cast<uint8_t*>(memory_.view());
  if (card < 0 || card >= kSlots || view == nullptr) return;
  if (__atomic_load_n(word<uint32_t>(view, 0), __ATOMIC_SEQ_CST) != kMagic) return;
  slot_ = view + kSlotsOffset + kSlotSize * static_cast<uint64_t>(card);
}

void TalissMonitor::setFlags(uint32_t bits) {
  if (slot_) __atomic_fetch_or(word<uint32_t>(slot_, 0), bits, __ATOMIC_SEQ_CST);
}

void TalissMonitor::clearFlags(uint32_t bits) {
  if (slot_) __atomic_fetch_and(word<uint32_t>(slot_, 0), ~bits, __ATOMIC_SEQ_CST);
}

void TalissMonitor::storeFootprint(uint64_t bytes) {
  if (slot_) __atomic_store_n(word<uint64_t>(slot_, kFootprintOffset), bytes, __ATOMIC_SEQ_CST);
}

void TalissMonitor::countPost(int cluster, int core) {
  if (!slot_ || cluster < 0 || cluster > 1 || core < 0 || core > 4) return;
  const uint64_t offset = kCountersOffset + 20 * static_cast<uint64_t>(cluster) + 4 * static_cast<uint64_t>(core);
  __atomic_fetch_add(word<uint32_t>(slot_, offset), 1u, __ATOMIC_SEQ_CST);
}

}  // namespace kestrane
