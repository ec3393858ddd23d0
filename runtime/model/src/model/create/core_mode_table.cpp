#include "model/core_mode_table.h"

#include <sstream>

#include <fmt/format.h>

#include "core/log.h"

namespace kestrane {

namespace {

constexpr const char* kTop = "+---------------------------------------------------------------------------------------+";
constexpr const char* kTitle = "|                            Supported Core Modes and Cores                             |";
constexpr const char* kRule = "+------------+-----------+--------------------------------------------------------------+";
constexpr const char* kHeader = "| Core Mode  | Cluster   | Cores                                                        |";

}  // namespace

std::string coreModeText(uint32_t mode) {
  switch (mode) {
    case 0: return "Single";
    case 1: return "Multi";
    case 2: return "Global";
    case 3: return "Global4";
    case 4: return "Global8";
    case 15: return "Error";
    default:
      KLOG_ERROR("Unhandled CoreMode value (raw = {:x}): reached unreachable code path. CoreMode enum may be "
                 "incomplete or corrupted.",
                 mode);
      return "Unreachable";
  }
}

std::string clusterText(uint32_t cluster) {
  switch (cluster) {
    case 0x10000: return "Cluster0";
    case 0x20000: return "Cluster1";
    case 0x7FFF0000: return "Error";
    default:
      KLOG_ERROR("Unhandled Cluster value (raw = {:x}): reached unreachable code path. Cluster enum may be "
                 "incomplete or corrupted.",
                 cluster);
      return "Unreachable";
  }
}

std::string coreText(uint32_t core) {
  switch (core) {
    case 1: return "Core0";
    case 2: return "Core1";
    case 3: return "Core2";
    case 4: return "Core3";
    case 0xFFFC: return "All";
    case 0xFFFE: return "GlobalCore";
    case 0xFFFF: return "Error";
    default:
      KLOG_ERROR("Unhandled Core value (raw = {:x}): reached unreachable code path. Core enum may be incomplete or "
                 "corrupted.",
                 core);
      return "Unreachable";
  }
}

std::map<uint32_t, std::map<uint32_t, std::vector<uint32_t>>> groupCoresByModeAndCluster(
    const std::vector<zrb::CoreConfig>& cores) {
  std::map<uint32_t, std::map<uint32_t, std::vector<uint32_t>>> groups;
  for (const zrb::CoreConfig& c : cores) {
    groups[c.mode][static_cast<uint32_t>(c.core_id.cluster)].push_back(static_cast<uint32_t>(c.core_id.core));
  }
  return groups;
}

void writeCoreModeTable(const std::vector<zrb::CoreConfig>& cores, std::ostream& out) {
  out << kTop << '\n' << kTitle << '\n' << kRule << '\n' << kHeader << '\n' << kRule << '\n';
  for (const auto& [mode, clusters] : groupCoresByModeAndCluster(cores)) {
    bool first = true;
    for (const auto& [cluster, list] : clusters) {
      std::string names;
      for (uint32_t core : list) names += (names.empty() ? "" : ", ") + coreText(core);
      out << fmt::format("| {:<10} | {:<9} | {:<60} |\n", first ? coreModeText(mode) : std::string(),
                         clusterText(cluster), "[" + names + "]");
      first = false;
    }
    out << kRule << '\n';
  }
}

std::string coreModeTable(const std::vector<zrb::CoreConfig>& cores) {
  std::ostringstream out;
  writeCoreModeTable(cores, out);
  return out.str();
}

}  // namespace kestrane
