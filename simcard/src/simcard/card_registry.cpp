#include "simcard/card_registry.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "core/log.h"
#include "platform/device_file.h"

namespace kestrane::simcard {

namespace {

std::mutex gMutex;
std::map<int, std::shared_ptr<SimCard>> gCards;

int configuredCardCount() {
  const char* text = std::getenv("OPHEL_SIM_CARDS");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < 0 || n > kMaxCards) {
    KLOG_WARN("OPHEL_SIM_CARDS=\"{}\" is not a card count from 0 to {}; using 1.", text, kMaxCards);
    return 1;
  }
  return static_cast<int>(n);
}

// Registers the default cards not registered yet. A card whose construction
// or registration throws (no host memory) is left out, with those after it,
// and the exception goes to the caller: the cards before it stay, and the
// next call (the next device open) makes the rest.
void installDefaultsOnce() {
  static std::mutex installing;  // taken before gMutex
  static bool installed = false;
  std::lock_guard once(installing);
  if (installed) return;
  const int count = configuredCardCount();
  std::lock_guard lock(gMutex);
  for (int i = 0; i < count; ++i) {
    if (gCards.count(i)) continue;
    auto card = std::make_shared<SimCard>(i, CardOptions{});
    std::shared_ptr<SimCard>& slot = gCards[i];
    try {
      platform::registerDevice(deviceName(i), card);
    } catch (...) {
      gCards.erase(i);
      throw;
    }
    slot = std::move(card);
  }
  installed = true;
}

// The first device open of the process registers the default cards.
[[maybe_unused]] const bool gProviderInstalled = (platform::setDefaultDeviceProvider(installDefaultsOnce), true);

}  // namespace

uint64_t defaultMemoryCap() {
  constexpr uint64_t kDefault = 1ull << 30;
  const char* text = std::getenv("OPHEL_SIM_MEMORY_CAP");
  if (text == nullptr || *text == '\0') return kDefault;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text, &end, 10);
  int shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10;
  if (*end == 'M' || *end == 'm') shift = 20;
  if (*end == 'G' || *end == 'g') shift = 30;
  if (shift != 0) ++end;
  if (end == text || *end != '\0' || *text == '-' || n == 0 || n > (~0ull >> shift)) {
    KLOG_WARN("OPHEL_SIM_MEMORY_CAP=\"{}\" is not a byte count; using {}.", text, kDefault);
    return kDefault;
  }
  return static_cast<uint64_t>(n) << shift;
}

std::string deviceName(int index) {
  std::string name = "\\\\.\\kestrane_pcie";
  return index > 0 ? name + std::to_string(index) : name;
}

void installDefaultCards() { installDefaultsOnce(); }

std::shared_ptr<SimCard> attachCard(int index, const CardOptions& options) {
  installDefaultsOnce();
  auto card = std::make_shared<SimCard>(index, options);
  std::shared_ptr<SimCard> previous;
  {
    std::lock_guard lock(gMutex);
    platform::registerDevice(deviceName(index), card);
    previous = std::exchange(gCards[index], card);
  }
  return card;  // `previous` dies outside the lock: its runs are joined
}

void detachCard(int index) {
  installDefaultsOnce();
  std::shared_ptr<SimCard> previous;
  {
    std::lock_guard lock(gMutex);
    platform::unregisterDevice(deviceName(index));
    auto it = gCards.find(index);
    if (it == gCards.end()) return;
    previous = std::move(it->second);
    gCards.erase(it);
  }
}

void detachAllCards() {
  installDefaultsOnce();
  std::map<int, std::shared_ptr<SimCard>> cards;
  {
    std::lock_guard lock(gMutex);
    cards.swap(gCards);
    for (auto& entry : cards) platform::unregisterDevice(deviceName(entry.first));
  }
}

std::shared_ptr<SimCard> findCard(int index) {
  installDefaultsOnce();
  std::lock_guard lock(gMutex);
  auto it = gCards.find(index);
  return it == gCards.end() ? nullptr : it->second;
}

}  // namespace kestrane::simcard
