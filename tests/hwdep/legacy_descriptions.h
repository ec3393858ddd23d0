#pragma once

// Builders of hardware descriptions in the older formats 1 to 3.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "description_builder.h"

namespace kestrane::test {

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
std::vector<uint8_t> renderSystemBlock(const std::vector<SystemItem>& items);

struct Overview {
  std::string vendor = "old-vendor";
  std::string product = "old-product";
  std::string family = "Taliss";
  uint32_t value0 = 7, value1 = 1;
  uint8_t value2 = 2, value3 = 0;
  uint32_t value4 = 9, value5 = 3;
  uint8_t value6 = 0, value7 = 1;
  void render(Bytes& b) const;
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

}  // namespace kestrane::test
