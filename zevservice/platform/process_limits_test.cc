#include "platform/process_limits.h"

#include <gtest/gtest.h>

namespace zev {

TEST(ProcessLimits, ParsesTheValuesAsSystemdSpellsThem) {
  struct Case {
    const char* text;
    bool memory_ok;
    uint64_t bytes;
    bool cpu_ok;
    uint64_t usec;
  };
  const Case cases[] = {
      {"512M", true, 512ULL << 20, false, 0},
      {"1G", true, 1ULL << 30, false, 0},
      {"64k", true, 64ULL << 10, false, 0},
      {"2T", true, 2ULL << 40, false, 0},
      {"1048576", true, 1048576, false, 0},
      {"100%", false, 0, true, 1000000},
      {"250%", false, 0, true, 2500000},
      {"5%", false, 0, true, 50000},
      {"", false, 0, false, 0},
      {"0", false, 0, false, 0},
      {"0%", false, 0, false, 0},
      {"%", false, 0, false, 0},
      {"M", false, 0, false, 0},
      {"1.5G", false, 0, false, 0},
      {"-1", false, 0, false, 0},
      {" 1G", false, 0, false, 0},
      {"1GB", false, 0, false, 0},
      {"50 %", false, 0, false, 0},
      {"18446744073709551615", true, UINT64_MAX, false, 0},
      {"18446744073709551616", false, 0, false, 0},  // one past 64 bits
      {"17179869184G", false, 0, false, 0},          // 2^64 bytes
      {"infinity", false, 0, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t bytes = 7, usec = 7;
    EXPECT_EQ(ParseMemoryMax(c.text, &bytes), c.memory_ok) << c.text;
    EXPECT_EQ(bytes, c.memory_ok ? c.bytes : 7) << c.text;
    EXPECT_EQ(ParseCpuQuota(c.text, &usec), c.cpu_ok) << c.text;
    EXPECT_EQ(usec, c.cpu_ok ? c.usec : 7) << c.text;
  }
}

}  // namespace zev
