#pragma once

// Which simulated cards exist. Processes get card 0 by default;
// OPHEL_SIM_CARDS=N makes cards 0 to N-1 (0: none). Tests attach cards with
// options of their own and reach each card's faults, counters and memory.

#include <memory>
#include <string>

#include "simcard/card_options.h"
#include "simcard/sim_card.h"

namespace kestrane::simcard {

inline constexpr int kMaxCards = 64;

// "\\.\kestrane_pcie" for card 0, "\\.\kestrane_pcieN" for card N.
std::string deviceName(int index);

// Registers the default cards once (done by the first device open anyway).
void installDefaultCards();

// Puts a new card under the index, replacing the card there. Handles opened
// on a replaced card keep it alive until they close.
std::shared_ptr<SimCard> attachCard(int index, const CardOptions& options = {});
void detachCard(int index);
void detachAllCards();
std::shared_ptr<SimCard> findCard(int index);

}  // namespace kestrane::simcard
