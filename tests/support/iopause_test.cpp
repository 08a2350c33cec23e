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

const uint64_t base = (uint64_t{1} << 62) + 1700000000;

}  // namespace

// Milliseconds to wait from stamp to deadline: 20 more than the whole
// milliseconds between them, 0 once the deadline passed, at most 1000020.
TEST(iopause_timeout, Table) {
  const struct {
    taia deadline, stamp;
    int ms;
  } rows[] = {
      {at(base - 1, 300), at(base, 300), 0},
      {at(base, 299), at(base, 300), 0},
      {at((uint64_t{1} << 62) + 5, 123456789), at((uint64_t{1} << 62) + 5, 123456789), 20},
      {at(base + 1, 200000000), at(base, 700000000), 520},
      {at(base + 3600, 0), at(base, 0), 1000020},
      {at(base + 1000, 0), at(base, 0), 1000020},
      {at(base + 999, 0), at(base, 0), 999020},
      {at(UINT64_MAX, 999999999), at(base, 0), 1000020},
      {at(100, 1999999), at(100, 0), 21},  // 1.999999 ms: truncated toward zero
  };
  for (const auto &r : rows)
    EXPECT_EQ(iopause_timeout(&r.deadline, &r.stamp), r.ms)
        << r.deadline.seconds << "." << r.deadline.nanoseconds << " at " << r.stamp.seconds << "."
        << r.stamp.nanoseconds;
}

// Waits on a pipe's reading end (or on nothing) until the deadline,
// measured against the clock.
TEST(iopause, Table) {
  const struct {
    const char *name;
    bool data;        ///< a byte waits in the pipe
    unsigned nfds;    ///< 0: no descriptors, a pure wait
    short stale;      ///< revents left over from an earlier call
    int deadline_ms;  ///< from now; negative: in the past
    long min_ms, max_ms;
    short revents;    ///< the events that must be reported (all of them when 0)
  } rows[] = {
      {"returns when readable", true, 1, 0, 10000, 0, 5000, POLLIN},
      {"clears stale events on timeout", false, 1, POLLIN | POLLHUP, 0, 15, 5000, 0},
      {"no descriptors is a pure wait", false, 0, 0, 80, 90, 5000, 0},  // 80 + 20 ms, less slack
      {"past deadline does not wait", false, 1, 0, -1000, 0, 15, 0},
  };
  for (const auto &r : rows) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    if (r.data) {
      ASSERT_EQ(write(p[1], "x", 1), 1);
    }
    taia stamp, deadline;
    taia_now(&stamp);
    const int abs_ms = r.deadline_ms < 0 ? -r.deadline_ms : r.deadline_ms;
    const taia d = at(static_cast<uint64_t>(abs_ms / 1000), static_cast<uint64_t>(abs_ms % 1000) * 1000000);
    if (r.deadline_ms < 0)
      taia_sub(&deadline, &stamp, &d);
    else
      taia_add(&deadline, &stamp, &d);
    iopause_fd x[1];
    x[0].fd = p[0];
    x[0].events = POLLIN;
    x[0].revents = r.stale;
    const auto start = std::chrono::steady_clock::now();
    iopause(r.nfds ? x : nullptr, r.nfds, &deadline, &stamp);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, r.min_ms) << r.name;
    EXPECT_LT(ms, r.max_ms) << r.name;
    if (r.revents) {
      EXPECT_NE(x[0].revents & r.revents, 0) << r.name;
    } else if (r.nfds) {
      EXPECT_EQ(x[0].revents, 0) << r.name;
    }
    close(p[0]);
    close(p[1]);
  }
}
