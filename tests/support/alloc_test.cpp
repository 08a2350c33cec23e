#include "support/alloc.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "tests/common/unit.hpp"

// The pool is process-global and never recovers space, so every test that
// takes pool blocks runs in a forked child and counts from alloc_pool_free()
// rather than from a fresh 2048.  Run by ctest, each test starts in a fresh
// process with a full pool; run all in one process, later tests may find the
// pool used up by earlier ones and are then skipped.

using testutil::in_child;

namespace {
uintptr_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }
}  // namespace

#define NEED_POOL(n)                                                               \
  if (alloc_pool_free() < (n))                                                      \
  GTEST_SKIP() << "only " << alloc_pool_free() << " pool bytes left in this process"

TEST(alloc, SizeZeroTakesSixteenPoolBytes) {
  NEED_POOL(32);
  auto r = in_child([] {
    const uint32_t before = alloc_pool_free();
    char *a = static_cast<char *>(alloc(0));
    CHILD_CHECK(a != nullptr);
    CHILD_CHECK(alloc_pool_free() == before - 16);
    std::memset(a, 0x5a, 16);  // all 16 bytes are usable
    // Blocks are carved from the top down: the next one lies just below.
    char *b = static_cast<char *>(alloc(15));
    CHILD_CHECK(alloc_pool_free() == before - 32);
    CHILD_CHECK(b + 16 == a);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(alloc, EnlargementRule) {
  NEED_POOL(160);
  auto r = in_child([] {
    // (n & ~15) + 16: 16 takes 32, 17 takes 32, 31 takes 32, 32 takes 48.
    const uint32_t sizes[] = {16, 17, 31, 32, 1};
    const uint32_t taken[] = {32, 32, 32, 48, 16};
    for (int i = 0; i < 5; ++i) {
      const uint32_t before = alloc_pool_free();
      CHILD_CHECK(before >= taken[i]);
      void *p = alloc(sizes[i]);
      CHILD_CHECK(p != nullptr);
      CHILD_CHECK(before - alloc_pool_free() == taken[i]);
      CHILD_CHECK(addr(p) % 16 == 0);
    }
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(alloc, ExhaustedPoolFallsBackToMalloc) {
  NEED_POOL(16);
  auto r = in_child([] {
    const uint32_t before = alloc_pool_free();
    CHILD_CHECK(before % 16 == 0);
    const uint32_t fit = before / 16;
    if (before == 2048) CHILD_CHECK(fit == 128);  // a fresh pool holds 128 blocks of 15
    char *prev = nullptr;
    for (uint32_t i = 0; i < fit; ++i) {
      char *p = static_cast<char *>(alloc(15));
      CHILD_CHECK(p != nullptr);
      if (prev) CHILD_CHECK(p + 16 == prev);
      prev = p;
    }
    CHILD_CHECK(alloc_pool_free() == 0);
    // prev is now the start of the area (the counter is 0).
    const uintptr_t start = addr(prev);
    CHILD_CHECK(start % 16 == 0);

    char *m = static_cast<char *>(alloc(15));
    CHILD_CHECK(m != nullptr);
    CHILD_CHECK(addr(m) < start || addr(m) >= start + 2048);
    CHILD_CHECK(alloc_pool_free() == 0);
    std::memset(m, 1, 16);
    alloc_free(m);  // a malloc block really goes back to free
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(alloc_free, PoolBlockIsNotReleased) {
  NEED_POOL(32);
  auto r = in_child([] {
    const uint32_t before = alloc_pool_free();
    CHILD_CHECK(before >= 16);
    char *p = static_cast<char *>(alloc(10));
    std::memcpy(p, "pool block", 10);
    alloc_free(p);  // passing it to free would abort
    CHILD_CHECK(alloc_pool_free() == before - 16);
    CHILD_CHECK(std::memcmp(p, "pool block", 10) == 0);
    // The space is not reused: the next block lies below the freed one.
    char *q = static_cast<char *>(alloc(10));
    CHILD_CHECK(q != p);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(alloc, RequestsNearFourGigabytesFail) {
  const uint32_t before = alloc_pool_free();
  for (uint32_t n : {UINT32_MAX, UINT32_MAX - 15, UINT32_MAX - 14}) {
    errno = 0;
    EXPECT_EQ(alloc(n), nullptr) << n;
    EXPECT_EQ(errno, ENOMEM) << n;
  }
  EXPECT_EQ(alloc_pool_free(), before);
}

TEST(alloc_re, CopiesOldBytesAndReplacesPointer) {
  void *x = alloc(4000);  // larger than the pool: from malloc
  ASSERT_NE(x, nullptr);
  std::memcpy(x, "abcdef", 6);
  void *old = x;
  ASSERT_EQ(alloc_re(&x, 6, 9000), 1);
  EXPECT_NE(x, old);
  EXPECT_EQ(std::memcmp(x, "abcdef", 6), 0);
  alloc_free(x);
}

TEST(alloc_re, FailureLeavesPointerUntouched) {
  void *x = alloc(4000);
  ASSERT_NE(x, nullptr);
  void *old = x;
  errno = 0;
  EXPECT_EQ(alloc_re(&x, 4000, UINT32_MAX), 0);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(x, old);
  alloc_free(x);
}

TEST(alloc_re, FromPoolBlockToMalloc) {
  NEED_POOL(16);
  auto r = in_child([] {
    CHILD_CHECK(alloc_pool_free() >= 16);
    void *x = alloc(8);
    std::memcpy(x, "12345678", 8);
    const uint32_t before = alloc_pool_free();
    CHILD_CHECK(alloc_re(&x, 8, 5000) == 1);
    CHILD_CHECK(std::memcmp(x, "12345678", 8) == 0);
    CHILD_CHECK(alloc_pool_free() == before);
    alloc_free(x);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}
