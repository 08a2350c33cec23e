// The command execution service under load: a program-running socket
// server starts tollgant per connection; 32 clients (root and nobody) send
// requests through tollcall that the exec rules allow, refuse, or allow
// under another account.  Every request must run or be refused as the
// rules say, and the server's log must account for each one.
#include <gtest/gtest.h>
#include <signal.h>

#include "execsvc/request.hpp"
#include "tests/stress/stress_util.hpp"

using stress::Tally;
using testutil::bin;
using testutil::RunOptions;
using testutil::TempDir;

namespace {

std::string nobody_uid() { return std::to_string(testutil::nobody().uid); }

std::string rules_text() {
  std::string n = nobody_uid();
  return "0,0.greet:allow='/bin/sh',WHO='root'\n" +
         n + ",0.greet:allow='/bin/sh',WHO='guest'\n" +
         "," + n + ".whoami:allow='/usr/bin/id'\n"
         ",0.secret:deny\n"
         ":deny\n";
}

struct Request {
  std::vector<std::string> args;  ///< tollcall's arguments
  std::string input;
  std::string want;               ///< output; empty for a refusal
};

// The requests a client sends in turn, and what the rules make of them.
std::vector<Request> requests(bool guest, const std::string &token) {
  std::string who = guest ? "guest " + nobody_uid() : "root 0";
  return {
      {{"0", "greet", "-c", "read x; echo $WHO $IPCREMOTEEUID $x"}, token + "\n",
       who + " " + token + "\n"},
      {{nobody_uid(), "whoami", "-u"}, "", nobody_uid() + "\n"},
      {{"0", "secret"}, "", ""},
      {{"0", "cat", "/etc/passwd"}, "", ""},
  };
}

Tally client(const std::string &sock, int index, const stress::Workers &workers) {
  bool guest = index % 2;
  if (guest && !testutil::become(testutil::nobody())) _exit(2);
  Tally t;
  // Each client makes every kind of request at least once, however slowly
  // the machine runs, so that some are served and some refused.
  for (uint64_t n = 0; workers.running() || n < 4; ++n) {
    std::string token = "c" + std::to_string(index) + "-" + std::to_string(n);
    Request rq = requests(guest, token)[n % 4];
    std::vector<std::string> argv = {bin("sockconnect"), sock, bin("tollcall")};
    argv.insert(argv.end(), rq.args.begin(), rq.args.end());
    RunOptions opt;
    opt.input = rq.input;
    auto r = testutil::run(argv, opt);
    if (r.code() != 0 || !r.err.empty()) {
      ++t.nocon;
      t.note_wrong("exit " + std::to_string(r.status) + ": " + r.err);
    } else if (r.out != rq.want) {
      t.note_wrong(rq.args[1] + ": got [" + r.out + "] want [" + rq.want + "]");
    } else if (rq.want.empty()) {
      ++t.refused;
    } else {
      ++t.served;
    }
  }
  return t;
}

}  // namespace

TEST(exec_load, EveryRequestRunsOrIsRefusedAsTheRulesSay) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: half of the clients connect as nobody";
  const int secs = stress::seconds(4);
  TempDir dir;
  RunOptions copt;
  copt.input = rules_text();
  auto c = testutil::run({bin("tollmark"), dir / "rules.cdb", dir / "rules.tmp"}, copt);
  ASSERT_EQ(c.code(), 0) << c.err;
  RunOptions sopt;
  sopt.unsetenv = {"IPCUID", "IPCGID", "IPCERROUT", "IPCREMOTEEUID", "IPCREMOTEEGID"};
  testutil::Process server({bin("sockserve"), "-v", "-C", "32", dir / "sock", bin("tollgant"), dir / "rules.cdb"},
                           sopt);
  ASSERT_TRUE(testutil::wait_path(dir / "sock")) << server.err();

  stress::Workers workers;
  workers.start(32, [&](int i) { return client(dir / "sock", i, workers); });
  std::this_thread::sleep_for(std::chrono::seconds(secs));
  workers.stop();
  Tally t = workers.join();
  // The last executors may still be ending: wait until each request that
  // was logged has its end line too.
  std::string log;
  int ok = 0, deny = 0, ends = 0;
  for (int64_t end = stress::now_ms() + 5000; stress::now_ms() < end;) {
    log = server.err();
    ok = stress::count_lines(log, "tollgant: ok ");
    deny = stress::count_lines(log, "tollgant: deny ");
    ends = stress::count_lines(log, "sockserve: end ");
    if (ends >= ok + deny && (uint64_t)(ok + deny) >= t.served + t.refused) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server.kill(SIGTERM);

  int exit0 = 0, exit100 = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 15, "sockserve: end ") != 0) continue;
    if (line.find(" exit 0 signal 0") != std::string::npos) ++exit0;
    if (line.find(" exit 100 signal 0") != std::string::npos) ++exit100;
  }
  EXPECT_EQ(t.wrong, 0u) << t.example;
  EXPECT_EQ(t.nocon, 0u);
  EXPECT_GT(t.served, 0u);
  EXPECT_GT(t.refused, 0u);
  // One log line per request, as the client saw it; every executor ended
  // by running its program (exit 0) or refusing (exit 100), nothing else.
  EXPECT_EQ((uint64_t)ok, t.served);
  EXPECT_EQ((uint64_t)deny, t.refused);
  EXPECT_EQ(ends, ok + deny);
  EXPECT_EQ(exit0, ok);
  EXPECT_EQ(exit100, deny);
  EXPECT_EQ(log.find("fatal"), std::string::npos) << log.substr(0, 2000);
  stress::report("exec service",
                 std::to_string(secs) + " s, 32 tollcall clients, ran " + std::to_string(t.served) +
                     ", refused by rule " + std::to_string(t.refused) + ", log lines ok " +
                     std::to_string(ok) + " deny " + std::to_string(deny) + ", lost " +
                     std::to_string(t.wrong + t.nocon));
}

// A request that never ends holds a root executor REQUEST_TIMEOUT seconds,
// no longer: twenty unfinished requests from nobody, held open, all end as
// bad requests within a few seconds of that.  The wait is a full minute, so only the
// full stress run (STRESS_SECONDS set) makes it.
TEST(exec_deadline, UnfinishedRequestsEndAfterTheDeadline) {
  if (!std::getenv("STRESS_SECONDS")) GTEST_SKIP() << "waits a minute: run by make stress";
  if (geteuid() != 0) GTEST_SKIP() << "connects as nobody: needs root";
  TempDir dir;
  RunOptions copt;
  copt.input = ":deny\n";
  ASSERT_EQ(testutil::run({bin("tollmark"), dir / "rules.cdb", dir / "rules.tmp"}, copt).code(), 0);
  testutil::Process server({bin("sockserve"), "-v", dir / "sock", bin("tollgant"), dir / "rules.cdb"});
  ASSERT_TRUE(testutil::wait_path(dir / "sock")) << server.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const int held = 20;
  int64_t start = stress::now_ms();
  pid_t holder = fork();
  if (holder == 0) {
    if (!testutil::become(testutil::nobody())) _exit(2);
    for (int i = 0; i < held; ++i) {
      int s = socket(AF_UNIX, SOCK_STREAM, 0);
      struct sockaddr_un sa {};
      sa.sun_family = AF_UNIX;
      std::string path = dir / "sock";
      std::memcpy(sa.sun_path, path.data(), path.size());
      if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) _exit(1);
      if (write(s, "1:0,1:1,", 8) != 8) _exit(1);
    }
    pause();
    _exit(0);
  }
  ASSERT_GT(holder, 0);
  const std::string bad = "corvane: fatal: bad ipc request: protocol error";
  int ended = 0;
  int64_t last = 0;
  while (stress::now_ms() - start < (REQUEST_TIMEOUT + 15) * 1000) {
    int n = stress::count_lines(server.err(), bad);
    if (n > ended) ended = n, last = stress::now_ms() - start;
    if (ended == held) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(ended, held) << server.err();
  EXPECT_GE(last, REQUEST_TIMEOUT * 1000 - 1000);
  EXPECT_LE(last, REQUEST_TIMEOUT * 1000 + 5000);
  stress::report("exec deadline", std::to_string(ended) + " unfinished requests ended after " +
                                      std::to_string(last) + " ms");
}
