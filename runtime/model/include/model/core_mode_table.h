#pragma once

// The "Supported Core Modes and Cores" table of a bundle's core records, as
// the model summary renders it and model creation prints it in its messages.

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "kestrane/type.h"
#include "zrb/records.h"

namespace kestrane {

// Texts of the enumerations; an unknown value gives "Unreachable" and logs
// one error line with the raw value.
std::string coreModeText(uint32_t mode);
std::string clusterText(uint32_t cluster);
std::string coreText(uint32_t core);

// Modes ascending, clusters ascending within a mode, cores in record order
// (repeats kept). Keys are the raw values of the records.
std::map<uint32_t, std::map<uint32_t, std::vector<uint32_t>>> groupCoresByModeAndCluster(
    const std::vector<zrb::CoreConfig>& cores);

void writeCoreModeTable(const std::vector<zrb::CoreConfig>& cores, std::ostream& out);
// The table as text.
std::string coreModeTable(const std::vector<zrb::CoreConfig>& cores);

}  // namespace kestrane
