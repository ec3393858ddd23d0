#include "description_builder.h"

#include <algorithm>
#include <cstring>

namespace kestrane::test {

Bytes& Bytes::u8(uint8_t v) {
  data.push_back(v);
  return *this;
}

Bytes& Bytes::u32(uint32_t v) {
  for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}

Bytes& Bytes::u64(uint64_t v) {
  for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}

Bytes& Bytes::tag(const char* fourChars) { return raw(std::string(fourChars, 4)); }

Bytes& Bytes::str(const std::string& s) {
  u32(static_cast<uint32_t>(s.size()));
  return raw(s);
}

Bytes& Bytes::raw(const std::string& s) {
  data.insert(data.end(), s.begin(), s.end());
  return *this;
}

Bytes& Bytes::append(const std::vector<uint8_t>& more) {
  data.insert(data.end(), more.begin(), more.end());
  return *this;
}

RecordAddresses ordinaryCoreAddresses(uint64_t c, uint64_t n) {
  const uint64_t buffer = 0x100000000 + 0x10000000 * c + 0x1000000 * n;
  const uint64_t status = 0x10300000 + 0x1000 * c + 0x100 * n;
  return {buffer,
          buffer + 0xB00000,
          0x109000000 + 0x10000000 * c + 0x400000 * n,
          0x800000000 + 0x200000000 * c + 0x80000000 * n,
          buffer + 0x800000,
          buffer + 0xA00000,
          buffer + 0x900000,
          buffer + 0xC00000,
          status,
          status + 8,
          0x108800000 + 0x10000000 * c};
}

RecordAddresses globalCoreAddresses(uint64_t c) {
  RecordAddresses a = ordinaryCoreAddresses(c, 0);
  a[4] = a[10];                             // IMEM is GLOBALIMEM
  a[7] = 0x108C00000 + 0x10000000 * c;      // RMEM
  a[8] = 0x10300800 + 0x1000 * c;           // Status Register
  a[9] = a[8] + 8;                          // Control Register
  return a;
}

DescriptionV4 DescriptionV4::card() {
  DescriptionV4 d;
  for (uint64_t c = 0; c < 2; ++c) {
    std::vector<CoreRecord> records;
    for (uint64_t n = 0; n < 4; ++n) records.push_back({0, ordinaryCoreAddresses(c, n)});
    records.push_back({2, globalCoreAddresses(c)});
    d.clusters.push_back(records);
  }
  const char* flags[9] = {"000000000000000", "111011111101111", "111011001100000",
                          "100000001100000", "110000101100000", "100000001100000",
                          "100000001100000", "100000001100000", "100000000000000"};
  for (uint32_t i = 0; i < 9; ++i) {
    std::array<uint8_t, 15> f{};
    for (size_t k = 0; k < 15; ++k) f[k] = flags[i][k] == '1';
    d.modules.push_back({i, f});
  }
  return d;
}

std::vector<uint8_t> DescriptionV4::render() const {
  Bytes b;
  b.u32(4).tag(".OVL").str(vendor).str(product).str(family);
  b.u32(value0).u32(value1).u8(value2).u8(value3).u32(value4).u32(value5).u8(value6).u8(value7);
  b.tag(".SYS").u32(static_cast<uint32_t>(clusters.size()));
  for (const auto& cluster : clusters) b.u32(static_cast<uint32_t>(cluster.size()));
  for (const auto& cluster : clusters) {
    for (const auto& record : cluster) {
      b.u32(record.kind);
      for (uint64_t a : record.addresses) b.u64(a);
    }
  }
  b.u64(closing0).u64(closing1);
  b.tag(".CFG").tag(".GBL").u32(gbl[0]).u32(gbl[1]);
  b.tag(".SWC");
  for (uint8_t s : swc) b.u8(s);
  b.tag(".SMD");
  for (const auto& [index, f] : modules) {
    b.u32(index);
    for (uint8_t x : f) b.u8(x);
  }
  b.tag(".GNL");
  for (uint64_t v : gnl) b.u64(v);
  b.tag(".VOL");
  for (uint64_t v : vol) b.u64(v);
  b.tag(".CSW");
  for (uint32_t v : csw) b.u32(v);
  b.raw(trailer);
  return b.data;
}

bool replaceTag(std::vector<uint8_t>& bytes, const char* from, const char* to) {
  auto it = std::search(bytes.begin(), bytes.end(), from, from + 4);
  if (it == bytes.end()) return false;
  std::memcpy(&*it, to, 4);
  return true;
}

}  // namespace kestrane::test
