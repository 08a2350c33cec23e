// corvane when fork keeps failing: started as nobody with a process limit
// below its pool, it warns, keeps serving with the children it has, reaps
// and replaces the ones that die, does not spin, and still stops on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "tests/stress/stress_util.hpp"

using stress::Tally;
using testutil::bin;
using testutil::RunOptions;
using testutil::TempDir;

namespace {

const char *service =
    "sub serve { my $in = ''; sysread(STDIN, $in, 256); syswrite(STDOUT, \"got $in\"); }\n1;\n";

Tally client(const std::string &path, int index, const stress::Workers &workers) {
  Tally t;
  std::string got;
  for (uint64_t n = 0; workers.running(); ++n) {
    std::string token = "c" + std::to_string(index) + "-" + std::to_string(n) + "\n";
    if (!stress::talk(path, token, got)) {
      ++t.nocon;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (got == "got " + token) {
      ++t.served;
    } else if (std::string("got " + token).compare(0, got.size(), got) == 0) {
      ++t.cut;
    } else {
      t.note_wrong(got);
    }
  }
  return t;
}

}  // namespace

TEST(fork_failure, WarnsKeepsReapingDoesNotSpinAndStops) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run corvane as an account of its own";
  const int secs = stress::seconds(4);
  TempDir dir;
  chmod(dir.path.c_str(), 0777);
  testutil::write_file(dir / "svc.pl", service);
  // An account of its own (no other process counts against its limit) may
  // have 4 processes: the supervisor and 3 of its 8 children.
  RunOptions opt;
  opt.user = testutil::User{3999001, 3999001};
  testutil::Process server({"/usr/bin/prlimit", "--nproc=4", bin("corvane"), "-v", "-c", "8",
                            dir / "s", dir / "svc.pl", "serve"},
                           opt);
  const std::string self = bin("corvane");
  const std::string warning = self + ": warning: dropping connection, unable to fork: temporary failure\n";
  ASSERT_TRUE(server.wait_err(warning)) << server.err();
  ASSERT_TRUE(stress::wait_children(server.pid, 3)) << server.err();

  stress::Stat before, after;
  ASSERT_TRUE(stress::stat_of(server.pid, before));
  int64_t start = stress::now_ms();
  stress::Workers workers;
  workers.start(8, [&](int i) { return client(dir / "s", i, workers); });
  // Kill a child every half second: the supervisor must reap it and fork a
  // replacement into the freed slot although its other forks keep failing.
  int kills = 0;
  while (stress::now_ms() - start < secs * 1000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto kids = stress::children(server.pid);
    if (!kids.empty() && kill(kids[0], SIGKILL) == 0) ++kills;
  }
  workers.stop();
  Tally t = workers.join();
  ASSERT_TRUE(stress::stat_of(server.pid, after));
  int64_t wall = stress::now_ms() - start;

  EXPECT_TRUE(stress::wait_children(server.pid, 3)) << stress::children(server.pid).size();
  EXPECT_EQ(stress::zombies(server.pid), 0);
  std::string log = server.err();
  int ends = stress::count_lines(log, self + ": end ");
  int warnings = stress::count_lines(log, self + ": warning: dropping connection, unable to fork: ");
  EXPECT_EQ(ends, kills) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  // One retry a second, plus one after each death: no spinning.
  EXPECT_LE(warnings, (wall / 1000 + 3) + kills + 2) << warnings;
  // CPU time of the supervisor while forks fail: a few ticks at most.
  long hz = sysconf(_SC_CLK_TCK);
  uint64_t cpu_ms = (after.cpu_ticks - before.cpu_ticks) * 1000 / (uint64_t)hz;
  EXPECT_LE(cpu_ms, 100 + (uint64_t)wall / 50) << "supervisor used " << cpu_ms << " ms in " << wall << " ms";
  EXPECT_GT(t.served, 0u);
  EXPECT_EQ(t.wrong, 0u) << t.example;
  EXPECT_EQ(t.nocon, 0u);
  EXPECT_LE(t.cut, (uint64_t)kills);

  int64_t stop = stress::now_ms();
  server.kill(SIGTERM);
  int st = server.wait(2000);
  int64_t took = stress::now_ms() - stop;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << "\n" << server.err().substr(0, 500);
  EXPECT_EQ(stress::group_members(server.pid), 0);
  stress::report("fork failure",
                 std::to_string(wall) + " ms with 3 of 8 children, served " +
                     std::to_string(t.served) + ", fork failures " + std::to_string(warnings) +
                     ", children killed " + std::to_string(kills) + ", reaped " +
                     std::to_string(ends) + ", cut by kills " + std::to_string(t.cut) +
                     ", supervisor CPU " + std::to_string(cpu_ms) + " ms, stop took " +
                     std::to_string(took) + " ms, lost " + std::to_string(t.wrong + t.nocon));
}
