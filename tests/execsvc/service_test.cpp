// The service end to end: the socket server starts tollgant per connection,
// the connector starts tollcall or pipewright on the client side.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/execsvc/execsvc_util.hpp"

using namespace execsvc_test;
using testutil::bin;
using testutil::run;
using testutil::RunOptions;
using testutil::RunResult;

namespace {

/// A server on dir/sock, invoked as corvane through a symlink on PATH,
/// running the given program per connection.
struct Service {
  testutil::TempDir dir;
  std::string sock = dir / "sock";
  std::string rules = dir / "rules.cdb";
  std::unique_ptr<testutil::Process> server;

  void start(const std::vector<std::string> &program) {
    mkdir((dir / "bin").c_str(), 0755);
    symlink(bin("sockserve").c_str(), (dir / "bin/corvane").c_str());
    RunOptions opt;
    opt.setenv = {"PATH=" + (dir / "bin") + ":" + testutil::bin_dir() + ":/usr/bin:/bin"};
    opt.unsetenv = {"IPCUID", "IPCGID", "IPCERROUT", "IPCREMOTEEUID", "IPCREMOTEEGID"};
    std::vector<std::string> argv = {dir / "bin/corvane", "-v", sock};
    argv.insert(argv.end(), program.begin(), program.end());
    server = std::make_unique<testutil::Process>(argv, opt);
    ASSERT_TRUE(testutil::wait_path(sock));
    chmod(sock.c_str(), 0777);
  }
  void start_exec(const std::vector<std::pair<std::string, std::string>> &records) {
    ASSERT_TRUE(make_cdb(rules, records));
    start({"tollgant", rules});
  }
  RunResult client(const std::vector<std::string> &args, RunOptions opt = {}) const {
    std::vector<std::string> argv = {bin("sockconnect"), sock};
    argv.insert(argv.end(), args.begin(), args.end());
    opt.timeout_ms = 10000;
    return run(argv, opt);
  }
};

std::string nobody_uid() { return std::to_string(testutil::nobody().uid); }
std::string nobody_gid() { return std::to_string(testutil::nobody().gid); }

}  // namespace

TEST(service, TollcallEchoHello) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the rules let root run programs as root";
  Service svc;
  svc.start_exec({});
  RunResult r = svc.client({bin("tollcall"), "0", "echo", "hello"});
  EXPECT_EQ(r.out, "hello\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code(), 0);
  EXPECT_TRUE(svc.server->wait_err("tollgant: ok 0.0,0.echo\n"));
}

TEST(service, RuleKeyedByPeerUid) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  Service svc;
  svc.start_exec({{nobody_uid() + ",0.sh", value({"+WHO=nobody"})}, {"", value({"D"})}});
  RunOptions opt;
  opt.user = testutil::nobody();
  RunResult r = svc.client({bin("tollcall"), "0", "sh", "-c", "echo $WHO $IPCREMOTEEUID; id -u"}, opt);
  EXPECT_EQ(r.out, "nobody " + nobody_uid() + "\n0\n");
  EXPECT_EQ(r.code(), 0);
  EXPECT_TRUE(svc.server->wait_err("tollgant: ok " + nobody_uid() + "." + nobody_gid() + ",0.sh\n"));

  // Root falls to the empty key and is denied: the connection just closes.
  r = svc.client({bin("tollcall"), "0", "sh", "-c", "echo ran"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code(), 0);
  EXPECT_TRUE(svc.server->wait_err("tollgant: deny 0.0,0.sh\n"));
}

TEST(service, TollcallRelaysInput) {
  Service svc;
  svc.start_exec({});
  RunOptions opt;
  opt.input = "abc";
  RunResult r = svc.client({bin("tollcall"), "0", "head", "-c", "3"}, opt);
  EXPECT_EQ(r.out, "abc");
  EXPECT_EQ(r.code(), 0);
  // A malformed request is only seen as the connection closing.
  testutil::ClientOptions bad;
  bad.send = "1:0,1:0,";
  auto got = testutil::unix_client(svc.sock, bad);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, "");
  EXPECT_TRUE(svc.server->wait_err("corvane: fatal: bad ipc request: protocol error\n"));
}

// A client that writes its request and its first data at once loses nothing.
TEST(service, RequestAndDataInOneWrite) {
  Service svc;
  svc.start_exec({});
  testutil::ClientOptions copt;
  copt.send = request("0", {"cat"}) + "data\nmore\n";
  auto got = testutil::unix_client(svc.sock, copt);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, "data\nmore\n");
}

TEST(pipewright, RelaysBothWaysUntilServerCloses) {
  Service svc;
  svc.start({"sh", "-c", "read line; echo \"got $line\""});
  // Standard input stays open: the end of the connection ends pipewright.
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  ASSERT_EQ(write(p[1], "hi\n", 3), 3);
  RunOptions opt;
  opt.extra_fds = {{0, p[0]}};
  RunResult r = svc.client({bin("pipewright"), "ignored", "args"}, opt);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(r.out, "got hi\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code(), 0);
}

TEST(pipewright, EmptyInputStillCopiesOutput) {
  Service svc;
  svc.start({"sh", "-c", "echo one; sleep 0.3; echo two"});
  RunResult r = svc.client({bin("pipewright")});
  EXPECT_EQ(r.out, "one\ntwo\n");
  EXPECT_EQ(r.code(), 0);
}

TEST(sockserve, LogsConnectionsAndChildEnds) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the rules and the output name root's ids";
  Service svc;
  svc.start({"true"});
  RunResult r = svc.client({bin("pipewright")});
  EXPECT_EQ(r.code(), 0);
  EXPECT_TRUE(svc.server->wait_err(" from uid 0 gid 0\n"));
  EXPECT_TRUE(svc.server->wait_err(" exit 0 signal 0\n"));
  EXPECT_EQ(svc.server->err().rfind("corvane: pid ", 0), 0u) << svc.server->err();
  // No zombie is left behind once the child has been reaped.
  EXPECT_EQ(testutil::count_children(svc.server->pid), 0);
  svc.server->kill(SIGTERM);
  int status = svc.server->wait(5000);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// A rules text compiled by tollmark, served to a client through tollcall.
TEST(service, RulesCompiledByTollmark) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the rules let root run programs as root";
  Service svc;
  RunOptions mark;
  mark.input =
      "# exec rules\n"
      "0,0.greet:allow='/usr/bin/env',GREETING='hi there'\n"
      "0,0.sh:deny\n"
      ":allow,IPCERROUT='0'\n";
  RunResult m = run({bin("tollmark"), svc.rules, svc.dir / "rules.tmp"}, mark);
  ASSERT_EQ(m.code(), 0) << m.err;
  svc.start({"tollgant", svc.rules});

  RunResult r = svc.client({bin("tollcall"), "0", "greet"});
  EXPECT_NE(r.out.find("\nGREETING=hi there\n"), std::string::npos) << r.out;
  EXPECT_TRUE(svc.server->wait_err("tollgant: ok 0.0,0.greet\n"));
  r = svc.client({bin("tollcall"), "0", "sh", "-c", "echo ran"});
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(svc.server->wait_err("tollgant: deny 0.0,0.sh\n"));
  // The empty key sends the failure to the server's log, not the client.
  r = svc.client({bin("tollcall"), "0", "nosuch"});
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(svc.server->wait_err("corvane: fatal: unable to run nosuch: file does not exist\n"));
}

TEST(sockconnect, FailsOnMissingSocket) {
  testutil::TempDir dir;
  RunResult r = run({bin("sockconnect"), dir / "none", bin("pipewright")});
  EXPECT_EQ(r.err, "sockconnect: fatal: unable to connect to " + (dir / "none") + ": file does not exist\n");
  EXPECT_EQ(r.code(), 111);
}
