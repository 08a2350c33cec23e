#include "support/fmt.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(fmt_ulong, ZeroIsOneDigit) {
  char b[4] = "###";
  EXPECT_EQ(fmt_ulong(b, 0), 1u);
  EXPECT_EQ(std::string(b, 3), "0##");  // no terminator written
}

TEST(fmt_ulong, DigitsMostSignificantFirst) {
  char b[FMT_ULONG + 1];
  std::memset(b, '#', sizeof b);
  EXPECT_EQ(fmt_ulong(b, 1234567890), 10u);
  EXPECT_EQ(std::string(b, 11), "1234567890#");
  EXPECT_EQ(fmt_ulong(b, 9), 1u);
  EXPECT_EQ(fmt_ulong(b, 10), 2u);
  EXPECT_EQ(fmt_ulong(b, 99), 2u);
  EXPECT_EQ(fmt_ulong(b, 100), 3u);
}

TEST(fmt_ulong, LargestValue) {
  char b[FMT_ULONG + 1];
  std::memset(b, '#', sizeof b);
  EXPECT_EQ(fmt_ulong(nullptr, UINT64_MAX), 20u);
  EXPECT_EQ(fmt_ulong(b, UINT64_MAX), FMT_ULONG);
  EXPECT_EQ(std::string(b, 21), "18446744073709551615#");
  EXPECT_EQ(fmt_ulong(nullptr, 10000000000000000000u), 20u);
  EXPECT_EQ(fmt_ulong(nullptr, 9999999999999999999u), 19u);
}

TEST(scan_ulong, LeadingDigitsOnly) {
  uint64_t u = 77;
  EXPECT_EQ(scan_ulong("12ab", &u), 2u);
  EXPECT_EQ(u, 12u);
  u = 77;
  EXPECT_EQ(scan_ulong("", &u), 0u);
  EXPECT_EQ(u, 0u);
  u = 77;
  EXPECT_EQ(scan_ulong("x", &u), 0u);
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(scan_ulong("+5", &u), 0u);
  EXPECT_EQ(scan_ulong("-5", &u), 0u);
  EXPECT_EQ(scan_ulong(" 5", &u), 0u);
  EXPECT_EQ(scan_ulong("007", &u), 3u);
  EXPECT_EQ(u, 7u);
  EXPECT_EQ(scan_ulong("1/", &u), 1u);  // '/' and ':' border the digits
  EXPECT_EQ(scan_ulong("1:", &u), 1u);
}

TEST(scan_ulong, LimitsAndWrap) {
  uint64_t u;
  EXPECT_EQ(scan_ulong("18446744073709551615", &u), 20u);
  EXPECT_EQ(u, UINT64_MAX);
  EXPECT_EQ(scan_ulong("18446744073709551616", &u), 20u);  // wraps modulo 2^64
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(scan_ulong("184467440737095516150", &u), 21u);
  EXPECT_EQ(u, UINT64_MAX * 10);
}

TEST(scan_unsigned, KeepsLowThirtyTwoBits) {
  uint32_t u;
  EXPECT_EQ(scan_unsigned("4294967295", &u), 10u);
  EXPECT_EQ(u, UINT32_MAX);
  EXPECT_EQ(scan_unsigned("4294967297x", &u), 10u);
  EXPECT_EQ(u, 1u);
  EXPECT_EQ(scan_unsigned("z", &u), 0u);
  EXPECT_EQ(u, 0u);
}

TEST(fmt_ulong, RoundTripsThroughScan) {
  for (uint64_t v : {uint64_t{0}, uint64_t{1}, uint64_t{65534}, uint64_t{4294967296},
                     UINT64_MAX - 1}) {
    char b[FMT_ULONG + 1];
    b[fmt_ulong(b, v)] = 0;
    uint64_t back;
    EXPECT_EQ(scan_ulong(b, &back), std::strlen(b));
    EXPECT_EQ(back, v);
  }
}

TEST(uint32_store, ByteOrders) {
  char b[4];
  uint32_store(b, 0x01020304);
  EXPECT_EQ(std::string(b, 4), "\x04\x03\x02\x01");
  uint32_store_big(b, 0x01020304);
  EXPECT_EQ(std::string(b, 4), "\x01\x02\x03\x04");
}

TEST(uint32_unpack, ByteOrders) {
  uint32_t u;
  uint32_unpack("\x04\x03\x02\x01", &u);
  EXPECT_EQ(u, 0x01020304u);
  uint32_unpack_big("\x01\x02\x03\x04", &u);
  EXPECT_EQ(u, 0x01020304u);
  uint32_unpack("\xff\xfe\x80\x7f", &u);  // high bytes not sign-extended
  EXPECT_EQ(u, 0x7f80feffu);
  uint32_unpack_big("\xff\xfe\x80\x7f", &u);
  EXPECT_EQ(u, 0xfffe807fu);
}
