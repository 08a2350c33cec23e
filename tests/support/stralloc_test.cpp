#include "support/stralloc.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/common/unit.hpp"
#include "support/alloc.hpp"

using testutil::owned_stralloc;
using testutil::in_child;

namespace {
std::string str(const stralloc &sa) { return std::string(sa.bytes, sa.length); }
}  // namespace

TEST(stralloc_ready, NeverAllocatedWithZero) {
  if (alloc_pool_free() < 16) GTEST_SKIP() << "pool used up by earlier tests in this process";
  auto r = in_child([] {
    const uint32_t before = alloc_pool_free();
    owned_stralloc sa{};
    CHILD_CHECK(stralloc_ready(&sa, 0) == 1);
    CHILD_CHECK(sa.bytes != nullptr);
    CHILD_CHECK(sa.length == 0);
    CHILD_CHECK(sa.capacity == 0);
    CHILD_CHECK(alloc_pool_free() == before - 16);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(stralloc_ready, FirstAllocationHasNoSlack) {
  owned_stralloc sa{};
  sa.length = 7;  // meaningless while bytes is null
  ASSERT_EQ(stralloc_ready(&sa, 100), 1);
  EXPECT_EQ(sa.capacity, 100u);
  EXPECT_EQ(sa.length, 0u);
}

TEST(stralloc_ready, GrowthAddsAnEighthPlusThirty) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_ready(&sa, 100), 1);
  std::memset(sa.bytes, 'q', 100);
  sa.length = 100;
  ASSERT_EQ(stralloc_ready(&sa, 100), 1);  // enough already: nothing changes
  EXPECT_EQ(sa.capacity, 100u);
  ASSERT_EQ(stralloc_ready(&sa, 101), 1);
  EXPECT_EQ(sa.capacity, 143u);  // 101 + 12 + 30
  EXPECT_EQ(sa.length, 100u);
  EXPECT_EQ(str(sa), std::string(100, 'q'));
}

TEST(stralloc_readyplus, CountsFromLength) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_ready(&sa, 100), 1);
  sa.length = 100;
  ASSERT_EQ(stralloc_readyplus(&sa, 0), 1);
  EXPECT_EQ(sa.capacity, 100u);
  ASSERT_EQ(stralloc_readyplus(&sa, 1), 1);
  EXPECT_EQ(sa.capacity, 143u);
  ASSERT_EQ(stralloc_readyplus(&sa, 43), 1);
  EXPECT_EQ(sa.capacity, 143u);
  ASSERT_EQ(stralloc_readyplus(&sa, 44), 1);
  EXPECT_EQ(sa.capacity, 144u + 18 + 30);
}

TEST(stralloc_copys, LeavesZMarker) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_copys(&sa, "abc"), 1);
  EXPECT_EQ(sa.length, 3u);
  EXPECT_EQ(sa.bytes[3], 'Z');
  ASSERT_EQ(stralloc_append(&sa, ""), 1);
  EXPECT_EQ(sa.length, 4u);
  EXPECT_STREQ(sa.bytes, "abc");
}

TEST(stralloc_copyb, ReplacesContents) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_copys(&sa, "a longer first text"), 1);
  ASSERT_EQ(stralloc_copyb(&sa, "xy\0z", 4), 1);
  EXPECT_EQ(str(sa), std::string("xy\0z", 4));
  EXPECT_EQ(sa.bytes[4], 'Z');
}

TEST(stralloc_catb, AppendsAndMarks) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_catb(&sa, "ab", 2), 1);  // never allocated: acts as copyb
  EXPECT_EQ(str(sa), "ab");
  EXPECT_EQ(sa.bytes[2], 'Z');
  ASSERT_EQ(stralloc_cats(&sa, "cd"), 1);
  EXPECT_EQ(str(sa), "abcd");
  EXPECT_EQ(sa.bytes[4], 'Z');
  ASSERT_EQ(stralloc_catb(&sa, "", 0), 1);
  EXPECT_EQ(str(sa), "abcd");
  EXPECT_EQ(sa.bytes[4], 'Z');
}

TEST(stralloc_append, OverwritesZMarker) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_catb(&sa, "ab", 2), 1);
  ASSERT_EQ(stralloc_append(&sa, "c"), 1);
  EXPECT_EQ(str(sa), "abc");
  ASSERT_EQ(stralloc_append(&sa, "d"), 1);
  EXPECT_EQ(str(sa), "abcd");
}

TEST(stralloc_append, NeverAllocated) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_append(&sa, "x"), 1);
  EXPECT_EQ(str(sa), "x");
  EXPECT_GE(sa.capacity, 1u);
}

TEST(stralloc_cat, AppendsOtherString) {
  owned_stralloc a{}, b{};
  ASSERT_EQ(stralloc_copys(&a, "left-"), 1);
  ASSERT_EQ(stralloc_copys(&b, "right"), 1);
  ASSERT_EQ(stralloc_cat(&a, &b), 1);
  EXPECT_EQ(str(a), "left-right");
  owned_stralloc empty{};
  ASSERT_EQ(stralloc_cat(&a, &empty), 1);
  EXPECT_EQ(str(a), "left-right");
}

TEST(stralloc_catb, ManyAppendsKeepEverything) {
  owned_stralloc sa{};
  std::string want;
  for (int i = 0; i < 5000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    ASSERT_EQ(stralloc_cats(&sa, piece.c_str()), 1);
    want += piece;
    ASSERT_LE(sa.length + 1, sa.capacity);  // room for the marker
  }
  EXPECT_EQ(str(sa), want);
}

// Requests near 2^32 must fail as allocation failures, never wrap into a
// small request that then overflows the area.
TEST(stralloc_ready, GrowthSumNearLimitFails) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_copys(&sa, "keep"), 1);
  char *const bytes = sa.bytes;
  const uint32_t cap = sa.capacity;
  // w fits, but w + w/8 + 30 does not.
  for (uint32_t n : {UINT32_MAX, UINT32_MAX - 100, 0xF0000000u}) {
    errno = 0;
    EXPECT_EQ(stralloc_ready(&sa, n), 0) << n;
    EXPECT_EQ(errno, ENOMEM) << n;
  }
  EXPECT_EQ(sa.bytes, bytes);
  EXPECT_EQ(sa.capacity, cap);
  EXPECT_EQ(str(sa), "keep");
}

TEST(stralloc_readyplus, SumNearLimitFails) {
  owned_stralloc sa{};
  ASSERT_EQ(stralloc_copys(&sa, "0123456789"), 1);
  // length + n wraps past 2^32 to a small number.
  errno = 0;
  EXPECT_EQ(stralloc_readyplus(&sa, UINT32_MAX - 5), 0);
  EXPECT_EQ(errno, ENOMEM);
  errno = 0;
  EXPECT_EQ(stralloc_readyplus(&sa, UINT32_MAX), 0);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(str(sa), "0123456789");
}

TEST(stralloc_copyb, LengthPlusOneNearLimitFails) {
  owned_stralloc sa{};
  static const char src[4] = "abc";  // never read: the request fails first
  errno = 0;
  EXPECT_EQ(stralloc_copyb(&sa, src, UINT32_MAX), 0);  // never allocated
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(sa.bytes, nullptr);
  ASSERT_EQ(stralloc_copys(&sa, "abc"), 1);
  errno = 0;
  EXPECT_EQ(stralloc_copyb(&sa, src, UINT32_MAX), 0);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(str(sa), "abc");
}

TEST(stralloc_catb, LengthPlusOneNearLimitFails) {
  owned_stralloc sa{};
  static const char src[4] = "abc";
  ASSERT_EQ(stralloc_copys(&sa, "abc"), 1);
  errno = 0;
  EXPECT_EQ(stralloc_catb(&sa, src, UINT32_MAX), 0);
  EXPECT_EQ(errno, ENOMEM);
  errno = 0;
  EXPECT_EQ(stralloc_catb(&sa, src, UINT32_MAX - 3), 0);  // length + n + 1 = 2^32
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(str(sa), "abc");
  EXPECT_EQ(sa.bytes[3], 'Z');
}

TEST(stralloc_readyplus, NeverAllocatedHugeFails) {
  owned_stralloc sa{};
  errno = 0;
  EXPECT_EQ(stralloc_readyplus(&sa, UINT32_MAX), 0);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(sa.bytes, nullptr);
}
