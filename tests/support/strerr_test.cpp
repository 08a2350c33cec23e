#include "support/strerr.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/common/unit.hpp"
#include "support/buffer.hpp"

using testutil::in_child;

namespace {

// Sends descriptor 2 into a pipe while fn runs, and returns what arrived.
template <class F>
std::string capture_stderr(F fn) {
  int p[2];
  if (pipe(p) == -1) return "pipe failed";
  const int saved = dup(2);
  dup2(p[1], 2);
  close(p[1]);
  fn();
  dup2(saved, 2);
  close(saved);
  std::string out;
  char b[512];
  ssize_t n;
  while ((n = read(p[0], b, sizeof b)) > 0) out.append(b, static_cast<size_t>(n));
  close(p[0]);
  return out;
}

}  // namespace

TEST(buffer_2, DescriptorTwoWith256Bytes) {
  ASSERT_NE(buffer_2, nullptr);
  EXPECT_EQ(buffer_2->descriptor, 2);
  EXPECT_EQ(buffer_2->size, 256u);
  EXPECT_EQ(buffer_2->pending, 0u);
  EXPECT_EQ(buffer_2->operation, &buffer_unixwrite);
}

TEST(strerr_sysinit, TextOfCurrentErrno) {
  errno = EACCES;
  strerr_sysinit();
  EXPECT_EQ(strerr_sys.next, nullptr);
  EXPECT_STREQ(strerr_sys.part1, "access denied");
  EXPECT_STREQ(strerr_sys.part2, "");
  EXPECT_STREQ(strerr_sys.part3, "");
}

TEST(strerr_warn, TextsThenSystemError) {
  const std::string out = capture_stderr([] {
    errno = ENOENT;
    strerr_warn("tollmark: fatal: ", "unable to read input: ", nullptr, nullptr, nullptr,
                nullptr, &strerr_sys);
  });
  EXPECT_EQ(out, "tollmark: fatal: unable to read input: file does not exist\n");
  EXPECT_EQ(buffer_2->pending, 0u);
}

TEST(strerr_warn, NullRecordGivesOnlyTexts) {
  const std::string out = capture_stderr([] {
    errno = ENOENT;
    strerr_warn("tollmark: fatal: ", "out of memory", nullptr, nullptr, nullptr, nullptr,
                nullptr);
  });
  EXPECT_EQ(out, "tollmark: fatal: out of memory\n");
}

TEST(strerr_warn, NullTextsSkippedAllSixUsed) {
  const std::string out = capture_stderr([] {
    strerr_warn("1", nullptr, "3", "4", nullptr, "6", nullptr);
    strerr_warn("a", "b", "c", "d", "e", "f", nullptr);
  });
  EXPECT_EQ(out, "1346\nabcdef\n");
}

TEST(strerr_warn, WalksRecordChain) {
  const strerr_record last{nullptr, "x", nullptr, "z"};
  const strerr_record first{&last, "p1-", "p2-", "p3-"};
  const std::string out = capture_stderr(
      [&] { strerr_warn("prefix: ", nullptr, nullptr, nullptr, nullptr, nullptr, &first); });
  EXPECT_EQ(out, "prefix: p1-p2-p3-xz\n");
}

TEST(strerr_warn, LongMessageArrivesWhole) {
  const std::string longtext(1000, 'w');  // four times buffer_2's space
  const std::string out = capture_stderr([&] {
    strerr_warnx("prog: warning: ", longtext.c_str(), ": tail");
  });
  EXPECT_EQ(out, "prog: warning: " + longtext + ": tail\n");
}

TEST(strerr_warn, ClosedStandardErrorIsIgnored) {
  auto r = in_child([] {
    close(2);
    errno = 0;
    strerr_warnx("nobody hears this");
    CHILD_CHECK(buffer_2->pending == 0);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(strerr_die, WritesThenExitsWithCode) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  auto r = in_child([&p]() -> int {
    dup2(p[1], 2);
    close(p[0]);
    errno = EPIPE;
    strerr_diesys(exit_temp, "gatemark: fatal: ", "unable to write output: ");
  });
  close(p[1]);
  char b[256];
  const ssize_t n = read(p[0], b, sizeof b);
  close(p[0]);
  EXPECT_EQ(r.code(), 111);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(b, static_cast<size_t>(n)),
            "gatemark: fatal: unable to write output: broken pipe\n");
}

TEST(strerr_die, UsageCode) {
  auto r = in_child([]() -> int {
    close(2);
    strerr_diex(exit_perm, "tollsetup: usage: ", "tollsetup dir");
  });
  EXPECT_EQ(r.code(), 100);
}
