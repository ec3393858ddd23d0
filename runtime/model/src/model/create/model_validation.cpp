#include "model_validation.h"

#include <algorithm>
#include <limits>
#include <set>

#include "config/globals.h"
#include "core/log.h"
#include "hwdep/platform.h"
#include "model/core_mode_table.h"

namespace kestrane::model_checks {

namespace {

constexpr uint32_t kSingle = static_cast<uint32_t>(CoreMode::Single);
constexpr uint32_t kMulti = static_cast<uint32_t>(CoreMode::Multi);
constexpr uint32_t kGlobal = static_cast<uint32_t>(CoreMode::Global);
constexpr uint32_t kGlobal4 = static_cast<uint32_t>(CoreMode::Global4);
constexpr uint32_t kGlobal8 = static_cast<uint32_t>(CoreMode::Global8);

bool isGlobal(CoreId core) { return core.core == Core::GlobalCore; }

const std::vector<zrb::CoreConfig>& firstBundleCores(const zrb::ZRB& model) {
  static const std::vector<zrb::CoreConfig> none;
  return model.getBundles().empty() ? none : model.getBundles()[0].cores;
}

uint64_t roundUp(uint64_t value, uint64_t align) { return (value + align - 1) / align * align; }

template <typename Entries>
bool coresMatch(const Entries& entries, uint32_t mode, const std::set<uint32_t>& expected, const char* message) {
  for (const auto& entry : entries) {
    std::set<uint32_t> cores;
    for (const zrb::Designation& d : entry.designations) {
      if (d.core_config.mode == mode) cores.insert(coreKey(d.core_config.core_id));
    }
    if (cores != expected) {
      KLOG_ERROR(fmt::runtime(message), mode);
      return false;
    }
  }
  return true;
}

template <typename T>
std::vector<T> keepMode(const std::vector<T>& entries, uint32_t mode) {
  std::vector<T> kept;
  for (const T& entry : entries) {
    T copy = entry;
    copy.designations.clear();
    for (const zrb::Designation& d : entry.designations) {
      if (d.core_config.mode == mode) copy.designations.push_back(d);
    }
    if (!copy.designations.empty()) kept.push_back(std::move(copy));
  }
  return kept;
}

}  // namespace

bool checkZRB(const zrb::ZRB& model) {
  bool ok = true;
  const auto& bundles = model.getBundles();
  if (bundles.empty()) {
    KLOG_ERROR("No bundle in the ZRB.");
    ok = false;
  } else {
    if (bundles[0].inputs.empty()) {
      KLOG_ERROR("No input data in the ZRB.");
      ok = false;
    }
    if (bundles[0].outputs.empty()) {
      KLOG_ERROR("No output data in the ZRB.");
      ok = false;
    }
    if (bundles[0].section_binaries.empty()) {
      KLOG_ERROR("No section binaries data in the ZRB.");
      ok = false;
    }
  }
  if (!ok) KLOG_ERROR("The ZRB file is invalid. Please check if it was compiled properly.");
  return ok;
}

bool checkZRBCores(const zrb::ZRB& model) {
  const std::string product = processPlatform().getProduct();
  std::set<uint32_t> modes;
  for (const zrb::Bundle& bundle : model.getBundles()) {
    for (const zrb::CoreConfig& config : bundle.cores) {
      if (product == "ebrill-v4" && config.mode != kSingle) {
        KLOG_ERROR("Ebrill-v4 only supports Single core mode, but your ZRB contains 0x{:x} core mode.", config.mode);
        return false;
      }
      modes.insert(config.mode);
    }
  }
  for (uint32_t mode : modes) {
    if (!checkZRBCoresAtEachMode(model, mode)) return false;
  }
  return true;
}

bool checkZRBCoresAtEachMode(const zrb::ZRB& model, uint32_t mode) {
  for (const zrb::Bundle& bundle : model.getBundles()) {
    const auto globals = std::count_if(bundle.cores.begin(), bundle.cores.end(),
                                       [](const zrb::CoreConfig& c) { return isGlobal(c.core_id); });
    std::set<uint32_t> ioSet, binarySet;
    for (const zrb::CoreConfig& config : bundle.cores) {
      if (config.mode != mode) continue;
      const CoreId id = config.core_id;
      if (id.core == Core::Error || id.cluster == Cluster::Error) {
        KLOG_ERROR("Invalid target core (Core id 0x{:x}) detected.", coreKey(id));
        return false;
      }
      const uint32_t key = coreKey(id);
      switch (mode) {
        case kSingle:
          ioSet.insert(key);
          binarySet.insert(key);
          break;
        case kMulti:
          (isGlobal(id) ? binarySet : ioSet).insert(key);
          break;
        case kGlobal:
          if (isGlobal(id) && !(id.cluster == Cluster::Cluster1 && globals == 2)) {
            ioSet.insert(key);
            binarySet.insert(key);
          }
          break;
        case kGlobal4:
          if (isGlobal(id)) {
            ioSet.insert(key);
            binarySet.insert(key);
          }
          break;
        case kGlobal8:
          if (isGlobal(id) && id.cluster == Cluster::Cluster0) {
            ioSet.insert(key);
            binarySet.insert(key);
          }
          break;
        default:
          KLOG_ERROR("Unexpected core mode, 0x{:x}", mode);
          return false;
      }
    }
    if (!coresMatch(bundle.inputs, mode, ioSet,
                    "The ZRB file is invalid. A core mismatch was detected in INPUT designations (core mode 0x{:x}). "
                    "Please check if it was compiled properly.") ||
        !coresMatch(bundle.outputs, mode, ioSet,
                    "The ZRB file is invalid. A core mismatch was detected in OUTPUT designations (core mode "
                    "0x{:x}). Please check if it was compiled properly.")) {
      return false;
    }
    std::map<uint32_t, std::set<uint32_t>> byType;
    for (const zrb::SectionBinary& section : bundle.section_binaries) {
      for (const zrb::Designation& d : section.designations) {
        if (d.core_config.mode == mode) byType[section.memory_type].insert(coreKey(designationCore(d)));
      }
    }
    for (const auto& [type, cores] : byType) {
      if (cores != binarySet) {
        KLOG_ERROR("The ZRB file is invalid. A core mismatch was detected in binary section 0x{:x} (core mode "
                   "0x{:x}). Please check if it was compiled properly.",
                   type, mode);
        return false;
      }
    }
  }
  return true;
}

bool doesZRBUseCache(const zrb::ZRB& model) {
  for (const zrb::Bundle& bundle : model.getBundles()) {
    for (const zrb::RmemIdConfig& rmem : bundle.rmem_ids) {
      if (rmem.rmem_type == 2) return true;
    }
  }
  return false;
}

bool usesSecondIoArea(const std::vector<zrb::Bundle>& bundles) {
  for (const zrb::Bundle& bundle : bundles) {
    for (const zrb::RmemIdConfig& rmem : bundle.rmem_ids) {
      if (rmem.rmem_type == 13 || rmem.rmem_type == 14) return true;
    }
  }
  return false;
}

bool doesSupportedCoresMatchGivenCoreModeAndCores(const std::vector<zrb::CoreConfig>& cores, CoreMode mode,
                                                  const std::vector<CoreId>& coreIds) {
  const auto m = static_cast<uint32_t>(mode);
  switch (mode) {
    case CoreMode::Global:
      if (std::any_of(cores.begin(), cores.end(),
                      [](const zrb::CoreConfig& c) { return c.mode == kGlobal && isGlobal(c.core_id); }))
        return true;
      KLOG_ERROR("The ModelConfig object specifies global core mode, but no global cores are included in the ZRB "
                 "file. The ZRB file supports the following core mode and cores.\n{}",
                 coreModeTable(cores));
      return false;
    case CoreMode::Single:
    case CoreMode::Multi:
    case CoreMode::Global4:
    case CoreMode::Global8: {
      std::vector<CoreId> left = coreIds;
      for (const zrb::CoreConfig& c : cores) {
        if (c.mode != m) continue;
        left.erase(std::remove(left.begin(), left.end(), c.core_id), left.end());
      }
      if (left.empty()) return true;
      KLOG_ERROR("The cores specified in the ModelConfig object include cores that are not covered by the ZRB file. "
                 "Please ensure all specified cores are included in the ZRB file. The ZRB file supports the "
                 "following core mode and cores.\n{}",
                 coreModeTable(cores));
      return false;
    }
    default:
      KLOG_ERROR("Unexpected core mode, 0x{:x}", m);
      return false;
  }
}

bool doesZRBAndModelConfigMatch(const zrb::ZRB& model, const ModelConfig& config) {
  const std::vector<zrb::CoreConfig>& cores = firstBundleCores(model);
  const bool cache = doesZRBUseCache(model);
  switch (config.getCoreAllocationPolicy()) {
    case CoreAllocationPolicy::Auto: {
      const auto n = std::count_if(cores.begin(), cores.end(), [](const zrb::CoreConfig& c) { return c.mode == kSingle; });
      const int r = config.getNumCores();
      if (n >= r) {
        if (cache && r >= 2) {
          KLOG_ERROR("Model using cache is allowed to use only one NPU core.");
          return false;
        }
        return true;
      }
      if (n > 0) {
        KLOG_ERROR("Core allocation policy is set to `Auto`, but the number of supported single-core mode cores ({}) "
                   "in the ZRB file is less than the requested number of cores ({}) for automatic allocation. Adjust "
                   "the configuration accordingly.",
                   n, r);
      } else {
        KLOG_ERROR("Core allocation policy is set to `Auto`, but no supported single-core mode cores are detected in "
                   "the ZRB file. The ZRB file supports the following core mode and cores.\n{}",
                   coreModeTable(cores));
      }
      return false;
    }
    case CoreAllocationPolicy::Manual: {
      if (!doesSupportedCoresMatchGivenCoreModeAndCores(cores, config.getCoreMode(), config.getCoreIds())) return false;
      const int count = config.getNumCores();
      if (cache && ((config.getCoreMode() == CoreMode::Single && count >= 2) ||
                    (config.getCoreMode() == CoreMode::Global4 && count >= 6))) {
        KLOG_ERROR("Model using cache is allowed to use only one NPU core.");
        return false;
      }
      return true;
    }
    default:
      KLOG_ERROR("Unexpected core allocation policy: {}", static_cast<int32_t>(config.getCoreAllocationPolicy()));
      return false;
  }
}

std::vector<zrb::Bundle> filterBundlesByCoreMode(const std::vector<zrb::Bundle>& bundles, CoreMode mode) {
  const auto m = static_cast<uint32_t>(mode);
  std::vector<zrb::Bundle> out;
  out.reserve(bundles.size());
  for (const zrb::Bundle& bundle : bundles) {
    zrb::Bundle b = bundle;
    b.cores.clear();
    for (const zrb::CoreConfig& c : bundle.cores) {
      if (c.mode == m) b.cores.push_back(c);
    }
    b.inputs = keepMode(bundle.inputs, m);
    b.outputs = keepMode(bundle.outputs, m);
    b.section_binaries = keepMode(bundle.section_binaries, m);
    for (zrb::CacheDesignation& cache : b.cache_designations) {
      cache.entries = keepMode(cache.entries, m);
    }
    out.push_back(std::move(b));
  }
  return out;
}

std::vector<std::vector<uint64_t>> buildIoSlotOffsets(const std::vector<zrb::Bundle>& bundles, bool second) {
  CoreId reference;
  if (!bundles.empty() && !bundles[0].section_binaries.empty() &&
      !bundles[0].section_binaries[0].designations.empty()) {
    reference = bundles[0].section_binaries[0].designations[0].core_config.core_id;
  }
  uint64_t end = 0;
  for (const zrb::Bundle& bundle : bundles) {
    for (const zrb::SectionBinary& section : bundle.section_binaries) {
      const uint32_t type = section.memory_type;
      if (!((type >= 15 && type <= 20) || type == 30)) continue;
      for (const zrb::Designation& d : section.designations) {
        if (designationCore(d) == reference) end = std::max(end, d.address + section.size);
      }
    }
  }
  uint64_t base = roundUp(end, 64);
  const uint32_t param10 = static_cast<uint32_t>(processPlatform().getGeneralParam10());
  auto onReference = [&](const zrb::Designation& d) {
    return designationCore(d) == reference ||
           (d.core_config.mode == kMulti && d.core_config.core_id.cluster == reference.cluster);
  };
  std::vector<std::vector<uint64_t>> offsets;
  for (size_t b = 0; b < bundles.size(); ++b) {
    const zrb::Bundle& bundle = bundles[b];
    offsets.push_back({0});
    if (!second) continue;
    uint32_t align = bundle.cores.empty() ? 0 : bundle.cores[0].pow2_b;
    if (align <= 1) align = param10;
    uint64_t lo = std::numeric_limits<uint64_t>::max();
    for (const zrb::Input& input : bundle.inputs) {
      for (const zrb::Designation& d : input.designations) {
        if (onReference(d)) lo = std::min(lo, d.address);
      }
    }
    if (lo == std::numeric_limits<uint64_t>::max()) {
      KLOG_ERROR("Bundle {} has no input on core 0x{:x}, where its second IO area is placed.", b, coreKey(reference));
      return {};
    }
    uint64_t hi = lo;
    for (const zrb::Output& output : bundle.outputs) {
      StatusCode status = StatusCode::OK;
      // Bytes rather than elements: wider NPU types must not make areas overlap.
      const uint64_t size =
          ioAreaElements(output, bundle.sequence_lengths, align, status) * npuElementBytes(output.word2_nibble);
      if (status != StatusCode::OK) return {};
      for (const zrb::Designation& d : output.designations) {
        if (onReference(d)) hi = std::max(hi, size + d.address);
      }
    }
    const uint64_t length = hi - lo;
    if (base < lo + length && lo < base + length) {
      KLOG_ERROR("The second IO area of bundle {} (0x{:x}, {} bytes) overlaps its first (0x{:x}).", b, base, length,
                 lo);
      return {};
    }
    offsets.back().push_back(base - lo);
    base = roundUp(base + length, 64);
  }
  return offsets;
}

}  // namespace kestrane::model_checks
