// The arguments of cache filters and moves, and their refusals.

#include "model/cache_rearrangement.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace kestrane::test {
namespace {

using S = StatusCode;

struct Case {
  const char* what;
  CacheRearrangement (*plan)();
  S status;
  bool run;
  RearrangeArgs args;
  uint32_t size;
  const char* line;
};

const Case kCases[] = {
    {"filter keeps three of four", [] { return planFilterCacheTail(100, 4, {true, false, true, true}, 128); }, S::OK,
     true, {4, 96, 0b1101, 0, 0, 0, 0, 0}, 99, nullptr},
    {"filter of no tail", [] { return planFilterCacheTail(40, 0, {}, 128); }, S::OK, true, {0, 40, 0, 0, 0, 0, 0, 0},
     40, nullptr},
    {"filter of 32 keeps all", [] { return planFilterCacheTail(32, 32, std::vector<bool>(32, true), 32); }, S::OK,
     true, {32, 0, 0xFFFFFFFF, 0, 0, 0, 0, 0}, 32, nullptr},
    {"filter mask too short", [] { return planFilterCacheTail(100, 4, {true, false, true}, 128); },
     S::Model_InvalidSupplementary, false, {}, 100, "`tail_size` (4) and `mask.size()` (3) are mismatched."},
    {"filter tail of 33", [] { return planFilterCacheTail(100, 33, std::vector<bool>(33), 128); },
     S::Model_InvalidSupplementary, false, {}, 100, "`tail_size` (33) is larger than 32 or `cache_size` (100)."},
    {"filter tail over cache", [] { return planFilterCacheTail(3, 4, std::vector<bool>(4), 128); },
     S::Model_InvalidSupplementary, false, {}, 3, "is larger than 32 or `cache_size` (3)."},
    {"filter negative", [] { return planFilterCacheTail(0x80000000u, 1, {true}, 128); },
     S::Model_InvalidSupplementary, false, {}, 0x80000000u, "negative arguments (`cache_size`: -2147483648"},
    {"filter over maximum", [] { return planFilterCacheTail(129, 1, {true}, 128); }, S::Model_CacheOverflow, false, {},
     129, "`cache_size` (129) exceeds `max_cache_size` (128)."},
    {"move by granule 16", [] { return planMoveCacheTail(10, 5, 100, 128, 16); }, S::OK, true,
     {0, 0, 0, 80, 16, 32, 48, 64}, 36, nullptr},
    {"move of nothing", [] { return planMoveCacheTail(10, 5, 15, 128, 16); }, S::OK, false, {}, 15, nullptr},
    {"move onto itself", [] { return planMoveCacheTail(17, 3, 40, 128, 16); }, S::OK, false, {}, 40, nullptr},
    {"move granule 0 counts as 1", [] { return planMoveCacheTail(2, 3, 10, 128, 0); }, S::OK, true,
     {0, 0, 0, 7, 2, 3, 5, 5}, 5, nullptr},
    {"move backwards", [] { return planMoveCacheTail(20, 5, 30, 128, 16); }, S::Model_InvalidSupplementary, false, {},
     30, "`r_move_dst` (32) > `r_move_src` (16)."},
    {"move head and tail over cache", [] { return planMoveCacheTail(10, 6, 15, 128, 16); },
     S::Model_InvalidSupplementary, false, {}, 15, "`num_head` + `num_tail` > `cache_size` (10 + 6 > 15)"},
    {"move negative tail", [] { return planMoveCacheTail(1, -1, 15, 128, 16); }, S::Model_InvalidSupplementary, false,
     {}, 15, "negative arguments (`num_head`: 1, `num_tail`: -1, `cache_size`: 15)"},
    {"move over maximum", [] { return planMoveCacheTail(1, 1, 200, 128, 16); }, S::Model_CacheOverflow, false, {}, 200,
     "`cache_size` (200) exceeds maxinum cache size (128)"},
};

TEST(CacheRearrangement, ArgumentsAndRefusalsFollowTheTable) {
  for (const Case& c : kCases) {
    LogCapture log;
    const CacheRearrangement r = c.plan();
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.run, c.run) << c.what;
    if (c.run) {
      EXPECT_EQ(r.args, c.args) << c.what;
    }
    EXPECT_EQ(r.newCacheSize, c.size) << c.what;
    if (c.line != nullptr) {
      EXPECT_EQ(log.count(c.line), 1u) << c.what << "\n" << log.text();
    } else {
      EXPECT_EQ(log.count("Failed"), 0u) << c.what;
    }
  }
  EXPECT_EQ(resetArguments(32), (RearrangeArgs{0, 0, 0, 0, 0, 0, 0, 32}));
  EXPECT_EQ(cacheFilePath("d", "00ab"), "d/cache_00ab.bin");
  EXPECT_EQ(cacheFilePath("d/", "00ab"), "d/cache_00ab.bin");
}

}  // namespace
}  // namespace kestrane::test
