#include "support/logsafe.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/common/unit.hpp"

using testutil::owned_stralloc;

namespace {

std::string cat(const std::string &before, const std::string &text) {
  owned_stralloc sa{};
  EXPECT_EQ(stralloc_copyb(&sa, before.data(), (uint32_t)before.size()), 1);
  EXPECT_EQ(logsafe_cat(&sa, text.data(), (uint32_t)text.size()), 1);
  return std::string(sa.bytes, sa.length);
}

}  // namespace

TEST(logsafe_cat, EveryByteOutsideThePrintableRangeAndColonPercentBecomeQuestionMarks) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += (char)c;
  std::string want;
  for (int c = 0; c < 100; ++c) want += (c >= '!' && c <= '~' && c != ':' && c != '%') ? (char)c : '?';
  EXPECT_EQ(cat("", all), want + "...");
  // The counted form passes over NUL bytes instead of stopping at them.
  EXPECT_EQ(cat("x ", std::string("a\0b\n~\x7f\x80\xff", 8)), "x a?b?~???");
}

TEST(logsafe_catprint, SpacesColonsAndPercentStayControlBytesDoNot) {
  stralloc sa{};
  const std::string text = std::string("5201 :a%b\t\n\x7f\xff", 13) + std::string(100, 'x');
  ASSERT_EQ(logsafe_catprint(&sa, text.data(), (uint32_t)text.size()), 1);
  EXPECT_EQ(std::string(sa.bytes, sa.length), "5201 :a%b????" + std::string(87, 'x') + "...");
}

TEST(logsafe_cat, CutAfterOneHundredBytesIncludingExactlyOneHundred) {
  EXPECT_EQ(cat("", std::string(99, 'a')), std::string(99, 'a'));
  EXPECT_EQ(cat("", std::string(100, 'a')), std::string(100, 'a') + "...");
  EXPECT_EQ(cat("pre", std::string(5000, 'b')), "pre" + std::string(100, 'b') + "...");
  EXPECT_EQ(cat("pre", ""), "pre");
}
