// The supervisor and its pool: status and end lines, replacement of dead
// children, the stop on SIGTERM, and the lock around accept.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>

#include "corvane_fixture.hpp"

using namespace corvane_test;

namespace {

std::string status(int n, int limit) {
  return corvane() + ": status: " + std::to_string(n) + "/" + std::to_string(limit) + "\n";
}
std::string end(pid_t pid, const std::string &st) {
  return corvane() + ": end " + std::to_string(pid) + " status " + st + "\n";
}

TEST(spawn, FillsThePoolThenWaits) {
  TempDir dir;
  Server s(dir, {"-v", "-c", "2"}, {});
  ASSERT_TRUE(s.wait_err(status(2, 2)));
  ASSERT_TRUE(wait_children(s.proc->pid, 2));
  sleep_ms(200);
  EXPECT_EQ(s.err(), status(0, 2) + status(1, 2) + status(2, 2));
}

TEST(sigchld, KilledChildIsReapedAndReplaced) {
  TempDir dir;
  Server s(dir, {"-v", "-c", "2"}, {});
  ASSERT_TRUE(wait_children(s.proc->pid, 2));
  ASSERT_TRUE(s.wait_err(status(2, 2)));
  pid_t victim = children(s.proc->pid)[0];
  kill(victim, SIGKILL);
  std::string before = status(0, 2) + status(1, 2) + status(2, 2);
  ASSERT_TRUE(s.wait_err(before + end(victim, "9") + status(1, 2) + status(2, 2))) << s.err();
  ASSERT_TRUE(wait_children(s.proc->pid, 2));
  for (pid_t c : children(s.proc->pid)) EXPECT_NE(c, victim);
}

TEST(sigterm, StopsEveryChildAndExitsZero) {
  TempDir dir;
  Server s(dir, {"-v", "-c", "2"}, {});
  ASSERT_TRUE(wait_children(s.proc->pid, 2));
  ASSERT_TRUE(s.wait_err(status(2, 2)));
  auto kids = children(s.proc->pid);
  s.proc->kill(SIGTERM);
  int st = s.proc->wait();
  ASSERT_TRUE(WIFEXITED(st)) << st;
  EXPECT_EQ(WEXITSTATUS(st), 0);
  std::string err = s.err();
  std::string start = status(0, 2) + status(1, 2) + status(2, 2);
  ASSERT_EQ(err.substr(0, start.size()), start);
  std::string rest = err.substr(start.size());
  // Two end lines with status 15, each followed by the shrinking count.
  std::string first = rest.substr(0, rest.find('\n') + 1);
  pid_t one = first.find(end(kids[0], "15")) == 0 ? kids[0] : kids[1];
  pid_t two = one == kids[0] ? kids[1] : kids[0];
  EXPECT_EQ(rest, end(one, "15") + status(1, 2) + end(two, "15") + status(0, 2));
  EXPECT_TRUE(testutil::exists(s.path));
  for (pid_t k : kids) EXPECT_NE(kill(k, 0), 0);
}

TEST(sigterm, StopWhileChildrenAreBeingForked) {
  // SIGTERM lands while the pool is still filling: every child, however
  // young, must die of it, and the server must exit.
  TempDir dir;
  for (int round = 0; round < 10; ++round) {
    Process p(command({"-v", "-c", "20"}, dir / ("s" + std::to_string(round)), {}));
    ASSERT_TRUE(p.wait_err(status(3, 20))) << p.err();
    p.kill(SIGTERM);
    int st = p.wait(5000);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "round " << round << ": " << st;
  }
}

TEST(spawn, ForkFailureIsReportedRetriedAndStillStoppable) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run corvane as an account of its own";
  // As an account that no other process uses, with a limit of one process
  // (the supervisor alone: no fork succeeds) and of two (one child), the
  // pool of three cannot fill.  The stop must come at once either way: the
  // supervisor spends its time in the pause after each failed fork, where
  // the wake-up of the SIGTERM is emptied from the pipe.
  for (int alive : {0, 1}) {
    SCOPED_TRACE(std::to_string(alive) + " children alive");
    TempDir dir;
    chmod(dir.path.c_str(), 0777);
    RunOptions opt;
    opt.user = testutil::User{3999002, 3999002};
    std::vector<std::string> argv = {"/usr/bin/prlimit", "--nproc=" + std::to_string(alive + 1)};
    for (const auto &word : command({"-v", "-c", "3"}, dir / "s", {})) argv.push_back(word);
    Process p(argv, opt);
    std::string warning = corvane() + ": warning: dropping connection, unable to fork: ";
    ASSERT_TRUE(p.wait_err(warning + "temporary failure\n")) << p.err();
    ASSERT_TRUE(wait_children(p.pid, alive)) << p.err();
    // The slot is given back, and the fork tried again a little later.
    sleep_ms(1500);
    std::string err = p.err();
    EXPECT_NE(err.find(warning, err.find(warning) + 1), std::string::npos) << err;
    p.kill(SIGTERM);
    int st = p.wait(1000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << "\n" << p.err();
  }
}

// True once pid is gone or a zombie that no one reaps.
bool gone(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 5) {
    std::string stat = testutil::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0) return true;
    sleep_ms(5);
  }
  return false;
}

TEST(supervisor, ChildrenEndWhenItDiesOfAnySignal) {
  // Whatever ends the supervisor, no child is left accepting on the socket
  // (a supervisor above would start a second pool beside it); the socket
  // no longer answers.  (SIGHUP, once a signal like these, now reloads.)
  for (int sig : {SIGKILL, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    TempDir dir;
    std::string svc = script(dir, "sub hi { print \"hi\\n\" } 1;\n");
    Server s(dir, {"-c", "3"}, {svc, "hi"});
    ASSERT_TRUE(wait_children(s.proc->pid, 3));
    ASSERT_EQ(s.client(), "hi\n");
    auto kids = children(s.proc->pid);
    s.proc->kill(sig);
    int st = s.proc->wait();
    ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << st;
    for (pid_t k : kids) EXPECT_TRUE(gone(k, 2000)) << k;
    EXPECT_EQ(s.client(), "<no connection>");
  }
}

TEST(sigterm, ZeroLimitExitsAtOnce) {
  TempDir dir;
  Server s(dir, {"-v", "-c", "0"}, {});
  ASSERT_TRUE(s.wait_err(status(0, 0)));
  s.proc->kill(SIGTERM);
  int st = s.proc->wait(2000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_EQ(s.err(), status(0, 0));
}

TEST(sigterm, StopOnTheWayIntoTheWaitForRoom) {
  // With a limit of 0 the pool is always full, and the supervisor waits
  // for room in sigsuspend.  A SIGTERM handled after its last look at the
  // stop flag and before the suspension must still end that wait; each
  // sigsuspend is slowed down so that the signal lands there.
  TempDir dir;
  RunOptions opt;
  opt.setenv = {std::string("LD_PRELOAD=") + SLOW_SIGSUSPEND, "ASAN_OPTIONS=verify_asan_link_order=0"};
  Server s(dir, {"-v", "-c", "0"}, {}, opt);
  ASSERT_TRUE(s.wait_err(status(0, 0)));
  sleep_ms(100);
  s.proc->kill(SIGTERM);
  int st = s.proc->wait(2000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

// The system call a process is blocked in, from /proc (43 accept, 72 fcntl).
long syscall_of(pid_t pid) {
  std::string text = testutil::read_file("/proc/" + std::to_string(pid) + "/syscall");
  // "running" or nothing while the process is not blocked.
  if (text.empty() || text[0] < '0' || text[0] > '9') return -1;
  return std::strtol(text.c_str(), nullptr, 10);
}

// Counts the children blocked in accept, once they have all settled.
int children_in_accept(pid_t server, size_t n) {
  for (int tries = 0; tries < 400; ++tries) {
    auto kids = children(server);
    int accepting = 0, locking = 0;
    for (pid_t k : kids) {
      long sc = syscall_of(k);
      if (sc == 43 || sc == 288) ++accepting;
      if (sc == 72) ++locking;
    }
    if (kids.size() == n && accepting + locking == (int)n) return accepting;
    sleep_ms(5);
  }
  return -1;
}

TEST(lock, OneChildAtATimeWaitsInAccept) {
  TempDir dir;
  std::string svc = script(dir, "sub hi { print \"hi\\n\" } 1;\n");
  Server s(dir, {"-c", "3", "-f", dir / "lock"}, {svc, "hi"});
  ASSERT_TRUE(wait_children(s.proc->pid, 3));
  EXPECT_EQ(children_in_accept(s.proc->pid, 3), 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(s.client(), "hi\n");
  EXPECT_EQ(children_in_accept(s.proc->pid, 3), 1);
}

TEST(lock, WithoutLockFileEveryChildWaitsInAccept) {
  TempDir dir;
  Server s(dir, {"-c", "3"}, {});
  ASSERT_TRUE(wait_children(s.proc->pid, 3));
  EXPECT_EQ(children_in_accept(s.proc->pid, 3), 3);
}

}  // namespace

namespace {

// A service that answers in two steps: its version at once, then the line
// it reads, so that a connection can be held open halfway.  It reads with
// sysread, which Perl does not retry: a reload must not interrupt it.
std::string versioned(int v) {
  const std::string n = "'v" + std::to_string(v);
  return "$| = 1;\n"
         "sub f { print " + n + " start', \"\\n\";\n"
         "  my $got = sysread(STDIN, my $l, 100);\n"
         "  print " + n + " end ', defined $got ? $l : \"error $!\\n\" }\n1;\n";
}

TEST(sighup, SlowConnectionKeepsTheOldCodeAndLaterOnesGetTheNew) {
  for (bool load : {false, true}) {
    SCOPED_TRACE(load ? "-L" : "without -L");
    TempDir dir;
    std::string svc = script(dir, versioned(1));
    std::vector<std::string> options = {"-v", "-c", "2"};
    if (load) options.push_back("-L");
    Server s(dir, options, {svc, "f"});
    ASSERT_TRUE(wait_children(s.proc->pid, 2));
    auto old = children(s.proc->pid);

    // A connection served by the old code, halfway through.
    int slow = connect_to(s.path);
    ASSERT_NE(slow, -1);
    ASSERT_EQ(testutil::read_some(slow, 9), "v1 start\n");
    ASSERT_TRUE(s.wait_err(" :" + my_uid() + "," + my_gid() + "\n")) << s.err();
    pid_t busy = std::stoi(last_pid(s.err()));
    pid_t idle = busy == old[0] ? old[1] : old[0];

    script(dir, versioned(2));
    s.proc->kill(SIGHUP);
    ASSERT_TRUE(s.wait_err(corvane() + ": reload: generation 2\n")) << s.err();
    // The idle child leaves at once; the new generation answers with the
    // new code, even while the old child still serves.
    ASSERT_TRUE(s.wait_err(end(idle, "0"))) << s.err();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.client("n\n"), "v2 start\nv2 end n\n");

    ASSERT_EQ(write(slow, "s\n", 2), 2);
    shutdown(slow, SHUT_WR);
    EXPECT_EQ(testutil::read_some(slow, std::string::npos), "v1 end s\n");
    close(slow);
    ASSERT_TRUE(s.wait_err(end(busy, "0"))) << s.err();

    // The same supervisor, with a pool of two new children.
    ASSERT_TRUE(wait_children(s.proc->pid, 2));
    for (pid_t k : children(s.proc->pid)) EXPECT_TRUE(k != old[0] && k != old[1]) << k;
    s.proc->kill(SIGTERM);
    int st = s.proc->wait();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  }
}

TEST(sighup, ConnectionsDuringReloadsAreAllServed) {
  // Reloads one after another while clients keep connecting: every
  // connection is answered in full, and every old child leaves with 0.
  TempDir dir;
  std::string svc = script(dir, "sub f { my $l = <STDIN>; print \"got $l\" }\n1;\n");
  for (auto options : std::vector<std::vector<std::string>>{
           {}, {"-L"}, {"-f", dir / "lock"}, {"-L", "-f", dir / "lock"}}) {
    SCOPED_TRACE(options.empty() ? "" : options[0] + " " + options.back());
    options.insert(options.end(), {"-v", "-c", "3"});
    Server s(dir, options, {svc, "f"});
    ASSERT_TRUE(wait_children(s.proc->pid, 3));
    std::atomic<bool> stop{false};
    std::thread hup([&] {
      for (int i = 0; i < 8 && !stop; ++i) {
        sleep_ms(40);
        s.proc->kill(SIGHUP);
      }
    });
    for (int i = 0; i < 60; ++i) ASSERT_EQ(s.client("x\n"), "got x\n") << i << "\n" << s.err();
    stop = true;
    hup.join();
    s.proc->kill(SIGTERM);
    ASSERT_NE(s.proc->wait(), -1);
    std::string err = s.err();
    EXPECT_NE(err.find(": reload: generation 2\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("fatal"), std::string::npos) << err;
    EXPECT_EQ(err.find("warning"), std::string::npos) << err;
    // Children end with 0 (left after a reload) or 15 (the final stop).
    std::regex other("status (?!0\n|15\n)[0-9]+\n");
    EXPECT_FALSE(std::regex_search(err, other)) << err;
  }
}

TEST(sighup, LoadedChildrenThatDieAreReplacedNotCountedAsFailures) {
  // With -L only a child that dies before it has loaded the script counts
  // against the pool; these die after, each right after serving.
  TempDir dir;
  std::string svc = script(dir, "sub hi { print \"hi\\n\" } 1;\n");
  Server s(dir, {"-v", "-L", "-c", "2"}, {svc, "hi"});
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(s.client(), "hi\n") << s.err();
    pid_t served = std::stoi(last_pid(s.err()));
    kill(served, SIGKILL);
    ASSERT_TRUE(s.wait_err(end(served, "9"))) << s.err();
  }
  EXPECT_EQ(s.client(), "hi\n");
  EXPECT_EQ(kill(s.proc->pid, 0), 0);
  EXPECT_EQ(s.err().find("fatal"), std::string::npos) << s.err();
}

}  // namespace
