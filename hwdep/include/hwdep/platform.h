#pragma once

// The hardware description of the accelerator: vendor, product, device
// family, hardware version, clusters and cores with the device addresses of
// their memory regions, and the numeric parameters and switches the engine
// reads. Every Platform is parsed from a description compiled into the
// library (format version 4); the byte-buffer constructor parses a given
// description of format version 1 to 4.
//
// Thread safety: no locks. A Platform is complete when its constructor
// returns. The non-const getCluster and getCoreEntry insert a preset entry
// on a miss, so an instance shared between threads (processPlatform()) is
// only ever read through the const members, which never insert.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "hwdep/entries.h"
#include "hwdep/memory_type.h"

namespace kestrane::hwdep {

class Platform {
 public:
  static constexpr uint32_t kUnset32 = 0xDEADC0DE;
  static constexpr uint64_t kUnset64 = 0xDEADC0DEDEADC0DEULL;
  static constexpr uint32_t kUnsetCode = 0x7FFFFFFF;
  static constexpr size_t kSystemValues = 5;
  static constexpr size_t kGblValues = 4;
  static constexpr size_t kSwitches = 22;
  static constexpr size_t kGeneralValues = 62;
  static constexpr size_t kCswValues = 5;

  // Parses the compiled-in description.
  Platform();
  // Parses `length` bytes at `data`; the length stands for the length word.
  // A description that cannot be parsed logs "Hardware information could not
  // be retrieved." and leaves the fields it did not reach at their presets.
  Platform(const uint8_t* data, size_t length);

  // Cores refer to their cluster entry: a copy would point into the original.
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform(Platform&&) = default;
  Platform& operator=(Platform&&) = default;
  ~Platform() = default;

  // --- What the rest of the system reads.
  std::string getVendor() const { return vendor_; }
  std::string getProduct() const { return product_; }
  std::string getDeviceFamily() const { return deviceFamily_; }
  uint32_t getHardwareVersion() const { return hardwareVersion_; }

  // Cluster ids in ascending (signed) order.
  std::vector<uint32_t> getClusterIds() const;
  // Inserts an entry preset to {0x7FFF0000, no cores} when the id is absent.
  ClusterEntry& getCluster(int32_t clusterId);
  // Never inserts: an absent id throws std::out_of_range.
  const ClusterEntry& getCluster(int32_t clusterId) const;
  // Core ids of the cluster in ascending order (0xFFFE included).
  std::vector<uint32_t> getCoreIdsOfCluster(const ClusterEntry& cluster) const;
  // 0xFFFD is looked up as 0xFFFE. Inserts an entry preset to
  // {0xFFFF, no cluster, no values, no addresses} when the id is absent.
  CoreEntry& getCoreEntry(ClusterEntry& cluster, uint32_t coreId);
  // Never inserts: an absent id throws std::out_of_range.
  const CoreEntry& getCoreEntry(const ClusterEntry& cluster, uint32_t coreId) const;
  // The address stored under `memoryType`. An absent type throws
  // std::out_of_range("invalid map<K, T> key"), like a map lookup. The
  // description and configuration code ask only for types the compiled-in
  // description holds; callers elsewhere (engine, model runtime) must catch
  // it and turn it into a status.
  uint64_t lookupU64ById(const CoreEntry& core, int32_t memoryType) const;
  // Template value of a row (0 base, 1 step per core index, 2 step per
  // cluster index); an absent row or type throws like lookupU64ById.
  uint64_t getMemoryAddress(int32_t row, int32_t memoryType) const;

  uint64_t getGeneralParam9() const { return generalValues_[8]; }
  uint64_t getGeneralParam10() const { return generalValues_[9]; }
  bool getSwcFlag7() const { return switches_[16]; }

  // --- Every field, for inspection.
  uint32_t formatVersion() const { return formatVersion_; }
  uint32_t formatLength() const { return formatLength_; }
  uint32_t ovlValue0() const { return ovlValue0_; }
  bool ovlFlag3() const { return ovlFlag3_; }
  bool ovlFlag6() const { return ovlFlag6_; }
  bool ovlFlag7() const { return ovlFlag7_; }
  uint32_t ovlValue4() const { return ovlValue4_; }
  uint32_t ovlCode2() const { return ovlCode2_; }
  uint32_t ovlCode5() const { return ovlCode5_; }
  const KeyMap<KeyMap<uint64_t>>& addressTemplates() const { return addressTemplates_; }
  const KeyMap<ClusterEntry>& clusters() const { return clusters_; }
  const std::map<uint32_t, ModuleEntry>& modules() const { return modules_; }
  std::map<uint32_t, ModuleEntry>& modules() { return modules_; }
  uint64_t systemValue(size_t slot) const { return systemValues_.at(slot); }
  uint32_t gblValue(size_t slot) const { return gblValues_.at(slot); }
  bool switchValue(size_t slot) const { return switches_.at(slot); }
  uint64_t generalValue(size_t slot) const { return generalValues_.at(slot); }
  uint32_t cswValue(size_t slot) const { return cswValues_.at(slot); }
  const std::map<int32_t, uint32_t>& entryOffsets() const { return entryOffsets_; }

  // --- Filling, for the parsers. Each stores its argument and returns true;
  // a slot out of range throws std::out_of_range.
  bool setFormatVersion(uint32_t v) { return set(formatVersion_, v); }
  bool setFormatLength(uint32_t v) { return set(formatLength_, v); }
  bool setVendor(std::string v) { return set(vendor_, std::move(v)); }
  bool setProduct(std::string v) { return set(product_, std::move(v)); }
  bool setDeviceFamily(std::string v) { return set(deviceFamily_, std::move(v)); }
  bool setOvlValue0(uint32_t v) { return set(ovlValue0_, v); }
  bool setHardwareVersion(uint32_t v) { return set(hardwareVersion_, v); }
  bool setOvlFlag3(bool v) { return set(ovlFlag3_, v); }
  bool setOvlFlag6(bool v) { return set(ovlFlag6_, v); }
  bool setOvlFlag7(bool v) { return set(ovlFlag7_, v); }
  bool setOvlValue4(uint32_t v) { return set(ovlValue4_, v); }
  bool setOvlCode2(uint32_t v) { return set(ovlCode2_, v); }
  bool setOvlCode5(uint32_t v) { return set(ovlCode5_, v); }
  bool setSystemValue(size_t slot, uint64_t v) { return set(systemValues_.at(slot), v); }
  bool setGblValue(size_t slot, uint32_t v) { return set(gblValues_.at(slot), v); }
  bool setSwitch(size_t slot, bool v) { return set(switches_.at(slot), v); }
  bool setGeneralValue(size_t slot, uint64_t v) { return set(generalValues_.at(slot), v); }
  bool setCswValue(size_t slot, uint32_t v) { return set(cswValues_.at(slot), v); }
  bool setAddressTemplate(uint32_t row, uint32_t memoryType, uint64_t value);
  bool setEntryOffset(int32_t id, uint32_t offset);
  // Makes clusters[id] an entry with that id and no cores (dropping the
  // cores of an entry already there) and returns it.
  ClusterEntry& resetCluster(uint32_t id);

 private:
  bool parse(const uint8_t* data, size_t length);

  template <typename T, typename V>
  static bool set(T& field, V&& value) {
    field = std::forward<V>(value);
    return true;
  }

  uint32_t formatVersion_ = kUnset32;
  uint32_t formatLength_ = 0;
  std::string vendor_;
  std::string product_;
  std::string deviceFamily_;
  uint32_t ovlValue0_ = kUnset32;
  uint32_t hardwareVersion_ = kUnset32;
  bool ovlFlag3_ = false;
  bool ovlFlag6_ = false;
  bool ovlFlag7_ = false;
  uint32_t ovlValue4_ = kUnset32;
  uint32_t ovlCode2_ = kUnsetCode;
  uint32_t ovlCode5_ = kUnsetCode;
  KeyMap<KeyMap<uint64_t>> addressTemplates_;
  KeyMap<ClusterEntry> clusters_;
  std::map<uint32_t, ModuleEntry> modules_;
  std::array<uint64_t, kSystemValues> systemValues_;
  std::array<uint32_t, kGblValues> gblValues_{kUnset32, kUnset32, kUnset32, kUnsetCode};
  std::array<bool, kSwitches> switches_{};
  std::array<uint64_t, kGeneralValues> generalValues_;
  std::array<uint32_t, kCswValues> cswValues_{};
  std::map<int32_t, uint32_t> entryOffsets_;
};

}  // namespace kestrane::hwdep

namespace kestrane {
// The description model is also known as kestrane::Platform.
using hwdep::Platform;
}  // namespace kestrane
