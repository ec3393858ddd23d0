#pragma once

// Renders hardware descriptions for tests: a little-endian byte writer and a
// version 4 description model whose defaults follow the regular address
// layout of the card (two clusters of four cores and a global core).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrane::test {

class Bytes {
 public:
  Bytes& u8(uint8_t v);
  Bytes& u32(uint32_t v);
  Bytes& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
  Bytes& u64(uint64_t v);
  Bytes& tag(const char* fourChars);
  // u32 byte count, then the bytes.
  Bytes& str(const std::string& s);
  Bytes& raw(const std::string& s);
  Bytes& append(const std::vector<uint8_t>& more);
  size_t size() const { return data.size(); }

  std::vector<uint8_t> data;
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
  std::string vendor = "kestrane";
  std::string product = "taliss2-v4";
  std::string family = "Taliss2";
  uint32_t value0 = 5, value1 = 3;
  uint8_t value2 = 3, value3 = 1;
  uint32_t value4 = 25, value5 = 3;
  uint8_t value6 = 1, value7 = 1;
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

// Replaces the first occurrence of a four-character tag (e.g. to drop a
// section's tag); returns false when it is not there.
bool replaceTag(std::vector<uint8_t>& bytes, const char* from, const char* to);

}  // namespace kestrane::test
