// The service end to end: the socket server starts tollgant per connection,
// the connector starts tollcall or pipewright on the client side.
#include <algorithm>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <netinet/in.h>

#include <regex>

#include "tests/common/testutil.hpp"

using namespace testutil;

namespace {

/// A server on dir/sock, invoked as corvane through a symlink on PATH,
/// running the given program per connection.
struct Service {
  testutil::TempDir dir;
  std::string sock = dir / "sock";
  std::string rules = dir / "rules.cdb";
  std::unique_ptr<testutil::Process> server;

  void start(const std::vector<std::string> &program, const std::vector<std::string> &options = {"-v"}) {
    mkdir((dir / "bin").c_str(), 0755);
    symlink(bin("sockserve").c_str(), (dir / "bin/corvane").c_str());
    RunOptions opt;
    opt.setenv = {"PATH=" + (dir / "bin") + ":" + testutil::bin_dir() + ":/usr/bin:/bin"};
    opt.unsetenv = {"IPCUID", "IPCGID", "IPCERROUT", "IPCREMOTEEUID", "IPCREMOTEEGID"};
    std::vector<std::string> argv = {dir / "bin/corvane"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(sock);
    argv.insert(argv.end(), program.begin(), program.end());
    server = std::make_unique<testutil::Process>(argv, opt);
    // The socket file appears at bind, a moment before the server listens;
    // its first status line comes after the listen.
    ASSERT_TRUE(testutil::wait_path(sock));
    if (std::find(options.begin(), options.end(), "-v") != options.end()) {
      ASSERT_TRUE(server->wait_err(": status: "));
    }
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

// A connection left open until closed: a client that holds its child.
int connect_to(const std::string &path) { return testutil::unix_connect(path); }

// Counts the lines of log that contain text.
int count_lines(const std::string &log, const std::string &text) {
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

// Waits until pid has n children; false after 5 s.
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

// Data of many blocks, every byte value, and a length that is no multiple
// of any buffer size: the service echoes it back and ends, and both
// relays pass every byte in order, each way.
TEST(pipewright, LargeDataBothWaysByteExact) {
  std::string data(300007, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 251);
  const std::string n = std::to_string(data.size());
  for (bool exec : {false, true}) {
    Service svc;
    std::vector<std::string> client = {bin("pipewright")};
    if (exec) {
      svc.start_exec({});
      client = {bin("tollcall"), "0", "head", "-c", n};
    } else {
      svc.start({"head", "-c", n});
    }
    RunOptions opt;
    opt.input = data;
    RunResult r = svc.client(client, opt);
    EXPECT_EQ(r.out.size(), data.size()) << client[0];
    EXPECT_TRUE(r.out == data) << client[0];
    EXPECT_EQ(r.code(), 0) << client[0];
  }
}

// Each answer reaches the user while the relays wait for more: the next
// line is typed only after the answer to the last one has arrived.
TEST(pipewright, AnswersArriveBeforeMoreInput) {
  Service svc;
  svc.start({"sh", "-c", "read a; echo \"1 $a\"; read b; echo \"2 $b\""});
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  RunOptions opt;
  opt.extra_fds = {{0, in[0]}, {1, out[1]}};
  std::vector<std::string> argv = {bin("sockconnect"), svc.sock, bin("pipewright")};
  testutil::Process client(argv, opt);
  close(in[0]);
  close(out[1]);
  ASSERT_EQ(write(in[1], "x\n", 2), 2);
  EXPECT_EQ(testutil::read_some(out[0], 4), "1 x\n");
  ASSERT_EQ(write(in[1], "y\n", 2), 2);
  EXPECT_EQ(testutil::read_some(out[0], 4), "2 y\n");
  // The service has ended: pipewright ends with standard input still open.
  const int status = client.wait(5000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(in[1]);
  close(out[0]);
}

TEST(sockserve, LogsStatusConnectionsAndChildEnds) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the rules and the output name root's ids";
  Service svc;
  svc.start({"sh", "-c", "exit 3"});
  RunResult r = svc.client({bin("pipewright")});
  EXPECT_EQ(r.code(), 0);
  ASSERT_TRUE(svc.server->wait_err(" exit 3 signal 0\ncorvane: status: 0/40\n"));
  // As a supervisor's log shows it, named as invoked, without the directory.
  EXPECT_EQ(std::regex_replace(svc.server->err(), std::regex("(pid|end) [0-9]+"), "$1 P"),
            "corvane: status: 0/40\n"
            "corvane: pid P from uid 0 gid 0\n"
            "corvane: status: 1/40\n"
            "corvane: end P exit 3 signal 0\n"
            "corvane: status: 0/40\n");
  // No zombie is left behind once the child has been reaped.
  EXPECT_EQ(testutil::count_children(svc.server->pid), 0);
}

// SIGTERM ends the server at once with 0; a child still serving a
// connection goes on and finishes it.
TEST(sockserve, SigtermLeavesChildrenToFinish) {
  Service svc;
  svc.start({"sh", "-c", "read line; echo \"got $line\""});
  const int c = connect_to(svc.sock);
  ASSERT_NE(c, -1);
  ASSERT_TRUE(wait_children(svc.server->pid, 1));
  const pid_t child = testutil::children(svc.server->pid).at(0);
  svc.server->kill(SIGTERM);
  int status = svc.server->wait(5000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(::kill(child, 0), 0) << "the child was stopped too";
  ASSERT_EQ(write(c, "hi\n", 3), 3);
  char buf[64];
  ssize_t n = read(c, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "got hi\n");
  close(c);
  // Nothing accepts on the socket any more.
  EXPECT_EQ(connect_to(svc.sock), -1);
}

// A flood of connections never has more than -c children at once: at the
// limit the server stops accepting until a child ends.
TEST(sockserve, FloodNeverExceedsTheLimit) {
  Service svc;
  svc.start({"sh", "-c", "cat >/dev/null"}, {"-v", "-c", "2", "-C", "6"});
  std::vector<int> clients;
  for (int i = 0; i < 6; ++i) {
    clients.push_back(connect_to(svc.sock));
    ASSERT_NE(clients.back(), -1);
  }
  ASSERT_TRUE(wait_children(svc.server->pid, 2));
  usleep(300000);
  EXPECT_EQ(testutil::count_children(svc.server->pid), 2);
  EXPECT_EQ(count_lines(svc.server->err(), ": pid "), 2) << svc.server->err();
  // One ends, one more is let in.
  close(clients[0]);
  ASSERT_TRUE(svc.server->wait_err("corvane: end "));
  usleep(300000);
  EXPECT_EQ(testutil::count_children(svc.server->pid), 2);
  EXPECT_EQ(count_lines(svc.server->err(), ": pid "), 3) << svc.server->err();
  for (size_t i = 1; i < clients.size(); ++i) close(clients[i]);
  ASSERT_TRUE(wait_children(svc.server->pid, 0));
  for (int waited = 0; waited < 5000 && count_lines(svc.server->err(), ": end ") < 6; waited += 10)
    usleep(10000);
  const std::string log = svc.server->err();
  EXPECT_EQ(count_lines(log, ": pid "), 6) << log;
  int most = 0;
  const std::regex status("corvane: status: ([0-9]+)/2\n");
  for (std::sregex_iterator m(log.begin(), log.end(), status), end; m != end; ++m)
    most = std::max(most, std::stoi((*m)[1]));
  EXPECT_EQ(most, 2) << log;
}

TEST(sockserve, UsageErrors) {
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {}, {"/tmp/s"}, {"-c", "0", "/tmp/s", "true"}, {"-c", "x", "/tmp/s", "true"},
           {"-c", "2z", "/tmp/s", "true"}, {"-c"}, {"-c", "18446744073709551617", "/tmp/s", "true"},
           {"-C", "", "/tmp/s", "true"}}) {
    std::vector<std::string> argv = {bin("sockserve")};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run(argv);
    EXPECT_EQ(r.code(), 100) << args.size();
    EXPECT_TRUE(r.err.ends_with("sockserve: usage: sockserve [-vG] [-c limit] [-C perlimit] [-N fd] path program [args...]\n"))
        << r.err;
  }
  RunResult bad = run({bin("sockserve"), "-x", "/tmp/s", "true"});
  EXPECT_EQ(bad.err,
            "sockserve: illegal option -- x\n"
            "sockserve: usage: sockserve [-vG] [-c limit] [-C perlimit] [-N fd] path program [args...]\n");
  RunResult r = run({bin("sockserve"), std::string(109, 'a'), "true"});
  EXPECT_EQ(r.err, "sockserve: fatal: unable to listen on " + std::string(109, 'a') + ": protocol error\n");
  EXPECT_EQ(r.code(), 111);
}

// A rules text compiled by tollmark, served to a client through tollcall.
TEST(service, RulesCompiledByTollmark) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the rules let root run programs as root";
  Service svc;
  RunResult m = compile("tollmark", svc.rules,
                        "# exec rules\n"
                        "0,0.greet:allow='/usr/bin/env',GREETING='hi there'\n"
                        "0,0.sh:deny\n"
                        ":allow,IPCERROUT='0'\n");
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
  RunResult usage = run({bin("sockconnect"), dir / "none"});
  EXPECT_EQ(usage.err, "sockconnect: usage: sockconnect path program [args...]\n");
  EXPECT_EQ(usage.code(), 100);
  RunResult r = run({bin("sockconnect"), dir / "none", bin("pipewright")});
  EXPECT_EQ(r.err, "sockconnect: fatal: unable to connect to " + (dir / "none") + ": file does not exist\n");
  EXPECT_EQ(r.code(), 111);
}

// Each connection's program sees its own peer's ids, once each, whatever
// the ids of the connection before (a longer uid first, then a shorter).
TEST(sockserve, EachConnectionGetsItsPeersIds) {
  Service svc;
  svc.start({"sh", "-c", "echo \"$IPCREMOTEEUID.$IPCREMOTEEGID $(env | grep -c ^IPCREMOTEE)\""});
  testutil::ClientOptions as_nobody;
  if (testutil::is_root()) {
    as_nobody.user = testutil::nobody();
    EXPECT_EQ(testutil::unix_client(svc.sock, as_nobody),
              std::to_string(as_nobody.user->uid) + "." + std::to_string(as_nobody.user->gid) + " 2\n");
  }
  const std::string me = std::to_string(geteuid()) + "." + std::to_string(getegid()) + " 2\n";
  EXPECT_EQ(testutil::unix_client(svc.sock), me);
  EXPECT_EQ(testutil::unix_client(svc.sock), me);
}

// IPCCONNNUM counts the peer's connections, this one included; past -C a
// uid's connection is closed at once, while another uid is still served.
TEST(sockserve, PerUidLimitAndConnectionCount) {
  Service svc;
  svc.start({"sh", "-c", "echo $IPCCONNNUM; cat >/dev/null"}, {"-v", "-c", "4", "-C", "2"});
  const int held = connect_to(svc.sock);
  ASSERT_NE(held, -1);
  EXPECT_EQ(read_some(held, 2), "1\n");
  const int second = connect_to(svc.sock);
  ASSERT_NE(second, -1);
  EXPECT_EQ(read_some(second, 2), "2\n");
  // The third is closed at once: no child, end of input at once.
  const int third = connect_to(svc.sock);
  ASSERT_NE(third, -1);
  EXPECT_EQ(read_some(third, 2, 2000), "");
  const std::string uid = std::to_string(geteuid());
  EXPECT_TRUE(svc.server->wait_err("corvane: warning: dropping connection, limit of 2 reached for uid " +
                                   uid + "\n"))
      << svc.server->err();
  EXPECT_EQ(testutil::count_children(svc.server->pid), 2);
  if (testutil::is_root()) {
    testutil::ClientOptions other;
    other.user = testutil::nobody();
    other.shutdown_write = true;
    other.timeout_ms = 3000;
    EXPECT_EQ(testutil::unix_client(svc.sock, other), "1\n");
  }
  close(third);
  close(second);
  close(held);
}

// The default per-uid limit is a quarter of -c, rounded up.
TEST(sockserve, DefaultPerUidLimitIsAQuarter) {
  Service svc;
  svc.start({"sh", "-c", "echo $IPCCONNNUM; cat >/dev/null"}, {"-v", "-c", "5"});
  std::vector<int> held;
  for (const char *want : {"1\n", "2\n"}) {
    held.push_back(connect_to(svc.sock));
    EXPECT_EQ(read_some(held.back(), 2), want);
  }
  held.push_back(connect_to(svc.sock));
  EXPECT_EQ(read_some(held.back(), 2, 2000), "");
  EXPECT_TRUE(svc.server->wait_err("dropping connection, limit of 2 reached for uid "));
  for (int c : held) close(c);
}

// -G: the peer's supplementary groups reach tollgant, which tries their
// keys after the gid and before ,cmd; without -G a value of the server's own
// environment never reaches the program.
TEST(sockserve, DashGHandsTheGroupsToTollgant) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect with other groups";
  Service with, without;
  const Records records = {{"3999030,0.sh", value({"+WHO=uid"})},
                           {".3999012,0.sh", value({"+WHO=second"})},
                           {".3999011,0.sh", value({"+WHO=first"})},
                           {".3999013,0.sh", value({"D"})},
                           {",0.sh", value({"+WHO=anyone"})}};
  ASSERT_TRUE(make_cdb(with.rules, records));
  ASSERT_TRUE(make_cdb(without.rules, records));
  with.start({"tollgant", with.rules}, {"-v", "-G"});
  // The same variable set in the server's environment is no kernel's word.
  setenv("IPCREMOTEGROUPS", "3999011", 1);
  without.start({"tollgant", without.rules}, {"-v"});
  unsetenv("IPCREMOTEGROUPS");
  const testutil::User nobody = testutil::nobody();
  struct {
    testutil::User peer;
    std::string with, without;
  } cases[] = {
      {{nobody.uid, nobody.gid, {3999012, 3999011}}, "first [3999011,3999012]\n", "anyone [absent]\n"},
      {{3999030, 3999030, {3999011}}, "uid [3999011]\n", "uid [absent]\n"},
      {{nobody.uid, nobody.gid, {3999013, 3999014}}, "", "anyone [absent]\n"},
      {{nobody.uid, nobody.gid, {}}, "anyone []\n", "anyone [absent]\n"},
  };
  for (const auto &c : cases) {
    RunOptions opt;
    opt.user = c.peer;
    const std::vector<std::string> args = {bin("tollcall"), "0", "sh", "-c",
                                           "echo \"$WHO [${IPCREMOTEGROUPS-absent}]\""};
    EXPECT_EQ(with.client(args, opt).out, c.with) << c.with;
    EXPECT_EQ(without.client(args, opt).out, c.without) << c.with;
  }
  EXPECT_TRUE(with.server->wait_err("tollgant: deny " + std::to_string(nobody.uid) + "." +
                                    std::to_string(nobody.gid) + ",0.sh\n"))
      << with.server->err();
}

// A socket passed by a service manager (here systemd-socket-activate, which
// starts the server at the first connection) is used instead of binding:
// the path given is left alone, and the programs run for peers see none of
// the variables that passed it.
TEST(sockserve, TakesTheSocketOfTheServiceManager) {
  TempDir dir;
  testutil::Process server({"/usr/bin/systemd-socket-activate", "-l", dir / "sock", "--fdname=cmd",
                            bin("sockserve"), "-v", dir / "unused", "sh", "-c",
                            "echo ${LISTEN_PID-none} ${LISTEN_FDS-none} ${LISTEN_FDNAMES-none}"});
  ASSERT_TRUE(testutil::wait_path(dir / "sock")) << server.err();
  std::string got;
  ASSERT_TRUE(testutil::talk(dir / "sock", "", got)) << server.err();
  EXPECT_EQ(got, "none none none\n");
  ASSERT_TRUE(testutil::talk(dir / "sock", "", got));
  EXPECT_EQ(got, "none none none\n");
  EXPECT_TRUE(server.wait_err("sockserve: status: 0/40\n")) << server.err();
  EXPECT_FALSE(testutil::exists(dir / "unused"));
}

// Anything but one listening UNIX-domain stream socket on descriptor 3 ends
// the start, saying what was found; LISTEN_PID of another process is not
// for the server, which binds its path as usual.
TEST(sockserve, WhatTheServiceManagerPassedIsChecked) {
  TempDir dir;
  const std::string fatal = "sockserve: fatal: unable to take the socket from the service manager: ";
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const int dgram = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in in = {};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(tcp, (struct sockaddr *)&in, sizeof in), 0);
  ASSERT_EQ(listen(tcp, 1), 0);
  const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct {
    std::string vars;  // set by the shell that becomes the server
    int fd3;           // our descriptor passed as 3; -1: none
    std::string err;
  } cases[] = {
      {"LISTEN_PID=$$ LISTEN_FDS=2", pair[0], fatal + "LISTEN_FDS is 2, not 1\n"},
      {"LISTEN_PID=$$", pair[0], fatal + "LISTEN_FDS is not set\n"},
      {"LISTEN_PID=$$ LISTEN_FDS=1x", pair[0], fatal + "LISTEN_FDS is 1x, not 1\n"},
      {"LISTEN_PID=$$ LISTEN_FDS=1", -1, fatal + "descriptor 3 is not open\n"},
      {"LISTEN_PID=$$ LISTEN_FDS=1", file, fatal + "descriptor 3 is not a socket\n"},
      {"LISTEN_PID=$$ LISTEN_FDS=1", tcp, fatal + "descriptor 3 is not a UNIX-domain socket\n"},
      {"LISTEN_PID=$$ LISTEN_FDS=1", dgram, fatal + "descriptor 3 is not a stream socket\n"},
      {"LISTEN_PID=$$ LISTEN_FDS=1", pair[0], fatal + "descriptor 3 is not listening\n"},
  };
  for (const auto &c : cases) {
    RunOptions opt;
    if (c.fd3 != -1) opt.extra_fds = {{3, c.fd3}};
    RunResult r = run({"/bin/sh", "-c", c.vars + " exec \"$@\"", "sh", bin("sockserve"), dir / "s", "true"},
                      opt);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.code(), 111) << c.err;
  }
  EXPECT_FALSE(testutil::exists(dir / "s"));
  // Two sockets from the real activator.
  testutil::Process two({"/usr/bin/systemd-socket-activate", "-l", dir / "a", "-l", dir / "b",
                         bin("sockserve"), dir / "s", "true"});
  ASSERT_TRUE(testutil::wait_path(dir / "b")) << two.err();
  std::string got;
  testutil::talk(dir / "a", "", got, 2000);
  EXPECT_TRUE(two.wait_err(fatal + "LISTEN_FDS is 2, not 1\n")) << two.err();
  // Another process's variables: the path is bound.
  RunOptions other;
  other.setenv = {"LISTEN_PID=1", "LISTEN_FDS=1"};
  testutil::Process bound({bin("sockserve"), "-v", dir / "s", "true"}, other);
  EXPECT_TRUE(bound.wait_err("sockserve: status: 0/40\n")) << bound.err();
  EXPECT_TRUE(testutil::wait_path(dir / "s"));
  for (int fd : {pair[0], pair[1], dgram, tcp, file}) close(fd);
}

// READY=1 goes to NOTIFY_SOCKET once the socket listens and STOPPING=1 on
// SIGTERM; with -N, one newline on the descriptor, which is then closed.
// Neither reaches the programs run for peers.
TEST(sockserve, TellsTheSupervisorWhenItIsReady) {
  TempDir dir;
  const std::string abstract = "@sockserve-test-" + std::to_string(getpid());
  for (const std::string &name : {dir / "notify", abstract}) {
    SCOPED_TRACE(name);
    const int reader = notify_reader(name);
    ASSERT_NE(reader, -1);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    RunOptions opt;
    opt.setenv = {"NOTIFY_SOCKET=" + name};
    opt.extra_fds = {{5, p[1]}};
    testutil::Process server({bin("sockserve"), "-N", "5", dir / "sock", "sh", "-c",
                              "echo ${NOTIFY_SOCKET-none}; ls /proc/self/fd"},
                             opt);
    close(p[1]);
    EXPECT_EQ(read_some(reader, 7), "READY=1");
    // Ready means listening: a connection is served at once.
    std::string got;
    ASSERT_TRUE(testutil::talk(dir / "sock", "", got, 3000));
    EXPECT_EQ(got, "none\n0\n1\n2\n3\n");
    // The newline, then the end: no copy of the descriptor is left open.
    EXPECT_EQ(read_some(p[0], 1), "\n");
    ASSERT_EQ(fcntl(p[0], F_SETFL, O_NONBLOCK), 0);
    char c;
    EXPECT_EQ(read(p[0], &c, 1), 0);
    server.kill(SIGTERM);
    EXPECT_EQ(read_some(reader, 10), "STOPPING=1");
    EXPECT_EQ(server.wait(), 0);
    close(p[0]);
    close(reader);
    unlink((dir / "sock").c_str());
  }
  // A descriptor that is not open is refused at the start.
  RunResult r = run({bin("sockserve"), "-N", "9", dir / "sock", "true"});
  EXPECT_EQ(r.err, "sockserve: fatal: unable to use the notification descriptor: file descriptor not open\n");
  EXPECT_EQ(r.code(), 111);
  // Nor may it be the log or the socket a service manager passed.
  r = run({bin("sockserve"), "-N", "2", dir / "sock", "true"});
  EXPECT_EQ(r.code(), 100) << r.err;
  testutil::Process act({"/usr/bin/systemd-socket-activate", "-l", dir / "act", bin("sockserve"),
                         "-N", "3", dir / "act", "true"});
  ASSERT_TRUE(testutil::wait_path(dir / "act")) << act.err();
  std::string got;
  testutil::talk(dir / "act", "", got, 2000);
  EXPECT_TRUE(act.wait_err(
      "sockserve: fatal: unable to use the notification descriptor: it is the listening socket\n"))
      << act.err();
}
