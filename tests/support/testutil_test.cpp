// The program runner every other test relies on: a program gets only the
// descriptors asked for, and a timeout ends what it started too.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "tests/common/testutil.hpp"

namespace {
// The shell's open descriptors, listed while it waits for ls.
const char *const list_fds = "ls /proc/$$/fd; :";
}

TEST(testutil, ProgramsGetOnlyTheDescriptorsAskedFor) {
  const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 0);
  testutil::RunOptions opt;
  opt.extra_fds = {{5, stray}};
  EXPECT_EQ(testutil::run({"/bin/sh", "-c", list_fds}, opt).out, "0\n1\n2\n5\n");
  testutil::Process p({"/bin/sh", "-c", std::string("exec >&2; ") + list_fds});
  EXPECT_EQ(p.wait(), 0);
  EXPECT_EQ(p.err(), "0\n1\n2\n");
  close(stray);
}

TEST(testutil, TimeoutEndsTheProgramsChildren) {
  testutil::RunOptions opt;
  opt.timeout_ms = 300;
  const auto start = std::chrono::steady_clock::now();
  // The child holds standard output open: the run ends only when it dies.
  auto r = testutil::run({"/bin/sh", "-c", "sleep 10 & wait"}, opt);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.signal(), SIGKILL);
  EXPECT_LT(ms, 5000);
}
