#include "support/taia.hpp"

#include <sys/time.h>

#include <gtest/gtest.h>

namespace {
constexpr uint64_t billion = 1000000000;
taia mk(uint64_t s, uint64_t ns, uint64_t as) {
  taia t;
  t.seconds = s;
  t.nanoseconds = ns;
  t.attoseconds = as;
  return t;
}
void expect_eq(const taia &t, uint64_t s, uint64_t ns, uint64_t as) {
  EXPECT_EQ(t.seconds, s);
  EXPECT_EQ(t.nanoseconds, ns);
  EXPECT_EQ(t.attoseconds, as);
}
}  // namespace

TEST(taia_uint, WholeSeconds) {
  taia t = mk(9, 9, 9);
  taia_uint(&t, 4294967295u);
  expect_eq(t, 4294967295u, 0, 0);
}

TEST(taia_now, LabelOfCurrentTime) {
  struct timeval before, after;
  taia t;
  gettimeofday(&before, nullptr);
  taia_now(&t);
  gettimeofday(&after, nullptr);
  const uint64_t base = (uint64_t{1} << 62) + 10;
  EXPECT_GE(t.seconds, base + static_cast<uint64_t>(before.tv_sec));
  EXPECT_LE(t.seconds, base + static_cast<uint64_t>(after.tv_sec));
  EXPECT_EQ(t.nanoseconds % 1000, 500u);  // middle of the microsecond
  EXPECT_LT(t.nanoseconds, billion);
  EXPECT_EQ(t.attoseconds, 0u);
}

TEST(taia_add, CarriesOnePerField) {
  taia t;
  const taia a = mk(5, 999999999, 0), b = mk(0, 1, 0);
  taia_add(&t, &a, &b);
  expect_eq(t, 6, 0, 0);
  const taia c = mk(5, 3, 999999999), d = mk(0, 0, 1);
  taia_add(&t, &c, &d);
  expect_eq(t, 5, 4, 0);
  // Attosecond carry into nanoseconds that then carry into seconds.
  const taia e = mk(5, 999999999, 999999999);
  taia_add(&t, &e, &d);
  expect_eq(t, 6, 0, 0);
  const taia f = mk(1, 999999999, 999999999);
  taia_add(&t, &f, &f);
  expect_eq(t, 3, 999999999, 999999998);
}

TEST(taia_add, SecondsWrapModulo) {
  taia t;
  const taia a = mk(UINT64_MAX, 999999999, 0), b = mk(0, 1, 0);
  taia_add(&t, &a, &b);
  expect_eq(t, 0, 0, 0);
}

TEST(taia_add, ResultMayAliasEitherOperand) {
  const taia a0 = mk(10, 999999999, 999999999), b0 = mk(7, 2, 3);
  taia separate;
  taia_add(&separate, &a0, &b0);
  taia a = a0, b = b0;
  taia_add(&a, &a, &b);
  expect_eq(a, separate.seconds, separate.nanoseconds, separate.attoseconds);
  a = a0;
  taia_add(&b, &a, &b);
  expect_eq(b, separate.seconds, separate.nanoseconds, separate.attoseconds);
  a = a0;
  taia_add(&a, &a, &a);
  expect_eq(a, 21, 999999999, 999999998);
}

TEST(taia_sub, BorrowsPerField) {
  taia t;
  const taia u = mk(10, 5, 3), v = mk(10, 5, 4);
  taia_sub(&t, &u, &v);
  expect_eq(t, UINT64_MAX, 999999999, 999999999);
  const taia u2 = mk(11, 5, 3);
  taia_sub(&t, &u2, &v);
  expect_eq(t, 0, 999999999, 999999999);
  const taia w = mk(3, 0, 0), x = mk(1, 1, 0);
  taia_sub(&t, &w, &x);
  expect_eq(t, 1, 999999999, 0);
  const taia y = mk(3, 7, 9), z = mk(1, 2, 4);
  taia_sub(&t, &y, &z);
  expect_eq(t, 2, 5, 5);
}

TEST(taia_sub, ResultMayAliasEitherOperand) {
  const taia u0 = mk(11, 5, 3), v0 = mk(10, 5, 4);
  taia separate;
  taia_sub(&separate, &u0, &v0);
  expect_eq(separate, 0, 999999999, 999999999);
  taia u = u0, v = v0;
  taia_sub(&v, &u, &v);
  expect_eq(v, 0, 999999999, 999999999);
  u = u0;
  v = v0;
  taia_sub(&u, &u, &v);
  expect_eq(u, 0, 999999999, 999999999);
  u = u0;
  taia_sub(&u, &u, &u);
  expect_eq(u, 0, 0, 0);
}

TEST(taia_less, FieldByField) {
  const taia a = mk(1, 5, 5), b = mk(2, 0, 0), c = mk(1, 6, 0), d = mk(1, 5, 6);
  EXPECT_EQ(taia_less(&a, &b), 1);
  EXPECT_EQ(taia_less(&b, &a), 0);
  EXPECT_EQ(taia_less(&a, &c), 1);
  EXPECT_EQ(taia_less(&a, &d), 1);
  EXPECT_EQ(taia_less(&d, &a), 0);
  EXPECT_EQ(taia_less(&a, &a), 0);
  const taia big = mk(UINT64_MAX, 0, 0);  // unsigned comparison
  EXPECT_EQ(taia_less(&a, &big), 1);
}

TEST(taia_approx, SecondsAndFraction) {
  const taia t = mk(3, 500000000, 0);
  EXPECT_DOUBLE_EQ(taia_frac(&t), 0.5);
  EXPECT_DOUBLE_EQ(taia_approx(&t), 3.5);
  const taia u = mk(0, 0, 500000000);
  EXPECT_DOUBLE_EQ(taia_frac(&u), 0.5e-9);
  const taia v = mk(0, 999999999, 999999999);
  EXPECT_NEAR(taia_frac(&v), 1.0, 1e-9);  // just below 1, as near as a double gets
  const taia w = mk(4611686018427387914u, 0, 0);
  EXPECT_DOUBLE_EQ(taia_approx(&w), 4611686018427387914.0);
}
