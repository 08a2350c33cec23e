#include "support/iopause.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

namespace {

taia at(uint64_t s, uint64_t ns) {
  taia t;
  t.seconds = s;
  t.nanoseconds = ns;
  return t;
}

long elapsed_ms(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

}  // namespace

TEST(iopause_timeout, PastDeadlineIsZero) {
  const uint64_t base = (uint64_t{1} << 62) + 1700000000;
  const taia stamp = at(base, 300), deadline = at(base - 1, 300);
  EXPECT_EQ(iopause_timeout(&deadline, &stamp), 0);
  const taia just = at(base, 299);
  EXPECT_EQ(iopause_timeout(&just, &stamp), 0);
}

TEST(iopause_timeout, EqualDeadlineWaitsTwentyMs) {
  const taia stamp = at((uint64_t{1} << 62) + 5, 123456789);
  EXPECT_EQ(iopause_timeout(&stamp, &stamp), 20);
}

TEST(iopause_timeout, HalfSecondAhead) {
  const uint64_t base = (uint64_t{1} << 62) + 1700000000;
  const taia stamp = at(base, 700000000), deadline = at(base + 1, 200000000);
  EXPECT_EQ(iopause_timeout(&deadline, &stamp), 520);
}

TEST(iopause_timeout, CappedAtThousandSecondsPlusTwenty) {
  const uint64_t base = (uint64_t{1} << 62) + 1700000000;
  const taia stamp = at(base, 0);
  const taia hour = at(base + 3600, 0);
  EXPECT_EQ(iopause_timeout(&hour, &stamp), 1000020);
  const taia exactly = at(base + 1000, 0);
  EXPECT_EQ(iopause_timeout(&exactly, &stamp), 1000020);
  const taia under = at(base + 999, 0);
  EXPECT_EQ(iopause_timeout(&under, &stamp), 999020);
  const taia far = at(UINT64_MAX, 999999999);
  EXPECT_EQ(iopause_timeout(&far, &stamp), 1000020);
}

TEST(iopause_timeout, TruncatesTowardZero) {
  const taia stamp = at(100, 0), deadline = at(100, 1999999);  // 1.999999 ms
  EXPECT_EQ(iopause_timeout(&deadline, &stamp), 21);
}

TEST(iopause, ReturnsWhenReadable) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  taia stamp, deadline, wait;
  taia_now(&stamp);
  taia_uint(&wait, 10);
  taia_add(&deadline, &stamp, &wait);
  iopause_fd x[1];
  x[0].fd = p[0];
  x[0].events = POLLIN;
  x[0].revents = 0;
  const auto start = std::chrono::steady_clock::now();
  iopause(x, 1, &deadline, &stamp);
  EXPECT_LT(elapsed_ms(start), 5000);
  EXPECT_NE(x[0].revents & POLLIN, 0);
  close(p[0]);
  close(p[1]);
}

TEST(iopause, ClearsStaleEventsOnTimeout) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  taia stamp;
  taia_now(&stamp);
  iopause_fd x[1];
  x[0].fd = p[0];
  x[0].events = POLLIN;
  x[0].revents = POLLIN | POLLHUP;  // left over from an earlier call
  const auto start = std::chrono::steady_clock::now();
  iopause(x, 1, &stamp, &stamp);  // 20 ms
  EXPECT_GE(elapsed_ms(start), 15);
  EXPECT_EQ(x[0].revents, 0);
  close(p[0]);
  close(p[1]);
}

TEST(iopause, NoDescriptorsIsAPureWait) {
  taia stamp, deadline;
  taia_now(&stamp);
  const taia d = at(0, 80000000);  // 80 ms
  taia_add(&deadline, &stamp, &d);
  const auto start = std::chrono::steady_clock::now();
  iopause(nullptr, 0, &deadline, &stamp);
  const long ms = elapsed_ms(start);
  EXPECT_GE(ms, 90);  // 80 ms + 20 ms, less scheduling slack
  EXPECT_LT(ms, 5000);
}

TEST(iopause, PastDeadlineDoesNotWait) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  taia stamp, deadline;
  taia_now(&stamp);
  const taia one = at(1, 0);
  taia_sub(&deadline, &stamp, &one);
  iopause_fd x[1];
  x[0].fd = p[0];
  x[0].events = POLLIN;
  const auto start = std::chrono::steady_clock::now();
  iopause(x, 1, &deadline, &stamp);
  EXPECT_LT(elapsed_ms(start), 15);
  EXPECT_EQ(x[0].revents, 0);
  close(p[0]);
  close(p[1]);
}
