#pragma once

// Renders hardware descriptions of formats 1 to 4 for tests, and the checks
// the parser tests share. The version 4 defaults follow the regular address
// layout of the card (two clusters of four cores and a global core).

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hwdep/platform.h"

namespace kestrane::test {

// A little-endian byte writer.
class Bytes {
 public:
  Bytes& u8(uint8_t v) { return le(v, 1); }
  Bytes& u32(uint32_t v) { return le(v, 4); }
  Bytes& u64(uint64_t v) { return le(v, 8); }
  Bytes& raw(const std::string& s) {
    data.insert(data.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& tag(const char* fourChars) { return raw(std::string(fourChars, 4)); }
  Bytes& str(const std::string& s) { return u32(static_cast<uint32_t>(s.size())).raw(s); }  // u32 count, bytes
  Bytes& append(const std::vector<uint8_t>& more) { return raw(std::string(more.begin(), more.end())); }
  // Each value in its own width.
  template <typename Values>
  Bytes& all(const Values& values) {
    for (auto v : values) le(static_cast<uint64_t>(v), sizeof v);
    return *this;
  }

  std::vector<uint8_t> data;

 private:
  Bytes& le(uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
};

// The overview block of versions 2 to 4.
struct Overview {
  std::string vendor = "old-vendor", product = "old-product", family = "Taliss";
  uint32_t value0 = 7, value1 = 1;
  uint8_t value2 = 2, value3 = 0;
  uint32_t value4 = 9, value5 = 3;
  uint8_t value6 = 0, value7 = 1;
  void render(Bytes& b) const;
};

// Addresses of a core record in record order: BUFFER, WMEM, type 26, DDR,
// IMEM, DLMEM, CLMEM, RMEM, Status Register, Control Register, GLOBALIMEM.
using RecordAddresses = std::array<uint64_t, 11>;

struct CoreRecord {
  uint32_t kind = 0;
  RecordAddresses addresses{};
};

// Addresses of ordinary core n (0 to 3) and of the global core of cluster c.
RecordAddresses ordinaryCoreAddresses(uint64_t c, uint64_t n);
RecordAddresses globalCoreAddresses(uint64_t c);

struct DescriptionV4 {
  Overview overview{"kestrane", "taliss2-v4", "Taliss2", 5, 3, 3, 1, 25, 3, 1, 1};
  std::vector<std::vector<CoreRecord>> clusters;
  uint64_t closing0 = 0xDEADFFFF, closing1 = 0xC0DEBEEF;
  std::array<uint32_t, 2> gbl = {4, 0};
  std::array<uint8_t, 11> swc = {1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  // Index then 15 flags per module entry.
  std::vector<std::pair<uint32_t, std::array<uint8_t, 15>>> modules;
  std::array<uint64_t, 40> gnl = {4, 1,  1,  2,   3, 3, 4, 2, 1,  64, 64, 3,  1048576, 26, 11, 0, 0, 2, 128, 4,
                                  4, 4,  2,  4,   8, 2, 384, 4, 5, 11, 5,  5,  16, 0xFFFFFFFFFFFFFFFEull, 3, 64, 12, 46, 26, 65536};
  std::array<uint64_t, 8> vol = {256, 256, 256, 128, 128, 128, 16, 4096};
  std::array<uint32_t, 5> csw = {3, 0, 0, 1, 1024};
  std::string trailer = "0x12345678";

  // The card's own description: the regular clusters and module table.
  static DescriptionV4 card();
  std::vector<uint8_t> render() const;
};

// Version 1: 52 header words, then 184-byte core entries, then the device
// family string whose length is word 0.
struct DescriptionV1 {
  std::array<uint32_t, 52> words{};  // word 0 is set from `family`
  // Per entry: its id and the u32 at each 8-byte field offset 8 to 176 (k at
  // offset 8 + 8k).
  struct Entry {
    uint32_t id;
    std::array<uint32_t, 22> fields;
  };
  std::vector<Entry> entries;
  std::string family = "Ebrill";

  std::vector<uint8_t> render() const;
};

// Items of a version 2/3 system block.
struct SystemItem {
  uint32_t id;
  int32_t index;
  std::vector<uint32_t> cores;  // cluster items only
};

struct DescriptionV2 {
  Overview overview;
  std::vector<SystemItem> system;
  std::array<std::array<uint64_t, 21>, 3> rows{};
  std::array<uint64_t, 5> systemValues{};
  std::array<uint32_t, 3> gbl{};
  uint8_t gbl3 = 0;
  std::array<uint8_t, 13> switches{};
  std::array<uint64_t, 42> general{};
  uint32_t boundary = 0x12345678;

  std::vector<uint8_t> render() const;
};

struct DescriptionV3 {
  Overview overview;
  std::vector<SystemItem> system;
  std::array<std::array<uint64_t, 10>, 3> rows{};
  std::array<uint64_t, 2> msc{};
  std::array<uint32_t, 2> gbl{};
  std::array<uint8_t, 9> switches{};
  std::array<uint64_t, 27> gnl{};
  std::array<uint64_t, 7> vol{};
  std::array<uint32_t, 5> csw{};
  uint32_t boundary = 0x12345678;

  std::vector<uint8_t> render() const;
};

// --- Shared checks.

inline constexpr const char* kNotRetrieved = "error|Hardware information could not be retrieved.";

inline hwdep::Platform parse(const std::vector<uint8_t>& bytes) { return hwdep::Platform(bytes.data(), bytes.size()); }

inline const hwdep::CoreEntry& coreOf(const hwdep::Platform& p, uint32_t cluster, uint32_t core) {
  return p.getCoreEntry(p.getCluster(static_cast<int32_t>(cluster)), core);
}

// Offset of the first occurrence of a four-character tag, or the size.
size_t findTag(const std::vector<uint8_t>& bytes, const char* tag);
// Replaces the first occurrence of a tag (e.g. to drop a section's tag);
// returns false when it is not there.
bool replaceTag(std::vector<uint8_t>& bytes, const char* from, const char* to);
// A copy with the u32 at `at` set to `value`.
std::vector<uint8_t> patchU32(std::vector<uint8_t> bytes, size_t at, uint32_t value);

// Every shorter copy of `full` fails with exactly two error lines (the
// reader's or seek's, then the constructor's), leaving no clusters when
// `dropsClusters`, except the lengths `fits` accepts, which parse without a
// line.
void expectTruncationsFail(const std::vector<uint8_t>& full, const std::function<bool(size_t)>& fits,
                           bool dropsClusters = true);
// Every general value: entry `first + i` of `entries` in slot `slot + i` for
// each range {slot, first, count}; every other slot unset.
struct SlotRange {
  size_t slot, first, count;
};
void expectGeneralValues(const hwdep::Platform& p, const std::vector<SlotRange>& ranges,
                         const std::vector<uint64_t>& entries);
// Each of the crafted descriptions (absurd counts or lengths) fails with two
// error lines and stores no cluster.
void expectRefusedWithoutClusters(const std::vector<std::vector<uint8_t>>& crafted);

}  // namespace kestrane::test
