#include "support/byte.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(byte_zero, ClearsExactlyCount) {
  char b[8];
  std::memset(b, 'x', sizeof b);
  byte_zero(b + 2, 4);
  EXPECT_EQ(std::string(b, 8), std::string("xx\0\0\0\0xx", 8));
  byte_zero(b, 0);
  EXPECT_EQ(b[0], 'x');
}

TEST(byte_copy, ShiftsTowardStart) {
  char b[] = "abcdefgh";
  byte_copy(b, 6, b + 2);  // destination below the source
  EXPECT_STREQ(b, "cdefghgh");
}

TEST(byte_copy_from_end, ShiftsTowardEnd) {
  char b[] = "abcdefgh";
  byte_copy_from_end(b + 2, 6, b);  // destination above the source
  EXPECT_STREQ(b, "ababcdef");
}

TEST(byte_chr, FindsFirstOrCount) {
  EXPECT_EQ(byte_chr("abcabc", 6, 'c'), 2u);
  EXPECT_EQ(byte_chr("abcabc", 2, 'c'), 2u);
  EXPECT_EQ(byte_chr("abc", 0, 'a'), 0u);
  EXPECT_EQ(byte_chr("a\0b", 3, 0), 1u);
  EXPECT_EQ(byte_chr("a\xff" "b", 3, 0x1ff), 1u);  // low 8 bits compared
  EXPECT_EQ(byte_chr("a\xff" "b", 3, -1), 1u);
}

TEST(byte_diff, UnsignedDifference) {
  EXPECT_EQ(byte_diff("abc", 3, "abc"), 0);
  EXPECT_EQ(byte_diff("abd", 3, "abc"), 1);
  EXPECT_LT(byte_diff("abc", 3, "abd"), 0);
  EXPECT_EQ(byte_diff("abX", 2, "abY"), 0);
  EXPECT_EQ(byte_diff("\x80", 1, "\x01"), 0x7f);  // bytes compare unsigned
  EXPECT_EQ(byte_diff("a\0x", 3, "a\0y"), 'x' - 'y');  // NUL does not stop it
}

TEST(str_len, CountsBeforeNul) {
  EXPECT_EQ(str_len(""), 0u);
  EXPECT_EQ(str_len("abc"), 3u);
  EXPECT_EQ(str_len("ab\0cd"), 2u);
}

TEST(str_chr, IndexOrLength) {
  EXPECT_EQ(str_chr("abc", 'x'), 3u);
  EXPECT_EQ(str_chr("abc", 'b'), 1u);
  EXPECT_EQ(str_chr("abc", 0), 3u);
  EXPECT_EQ(str_chr("", 'a'), 0u);
  EXPECT_EQ(str_chr("a=b=c", '='), 1u);
}

TEST(str_diff, SignAtFirstDifference) {
  EXPECT_EQ(str_diff("abc", "abc"), 0);
  EXPECT_EQ(str_diff("", ""), 0);
  EXPECT_EQ(str_diff("a", "ab"), -'b');
  EXPECT_EQ(str_diff("ab", "a"), 'b');
  EXPECT_GT(str_diff("\xe9", "e"), 0);  // unsigned bytes
  EXPECT_LT(str_diff("abc", "abd"), 0);
}

TEST(str_start, PrefixTest) {
  EXPECT_EQ(str_start("PATH=x", "PATH"), 1);
  EXPECT_EQ(str_start("PAT", "PATH"), 0);
  EXPECT_EQ(str_start("anything", ""), 1);
  EXPECT_EQ(str_start("", ""), 1);
  EXPECT_EQ(str_start("", "a"), 0);
  EXPECT_EQ(str_start("PATH", "PATH"), 1);
  EXPECT_EQ(str_start("XATH", "PATH"), 0);
}
