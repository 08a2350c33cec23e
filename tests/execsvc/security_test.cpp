// Attacks on the executor's privilege boundary, made as they would be: a
// program-running socket server starts tollgant as root for each
// connection, and the account nobody connects and sends its request.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <sstream>

#include "execsvc/request.hpp"
#include "tests/common/testutil.hpp"

using namespace testutil;

namespace {


const std::string kBad = "corvane: fatal: bad ipc request: protocol error\n";

std::string nobody_uid() { return std::to_string(testutil::nobody().uid); }

/// sockserve running tollgant as root on dir/sock, which any account may use.
struct Server {
  testutil::TempDir dir;
  std::string sock = dir / "sock";
  std::string rules = dir / "rules.cdb";
  std::unique_ptr<testutil::Process> process;
  std::vector<std::string> options;  ///< of sockserve, before the path

  /// Starts the server with the rules, NAME=VALUE settings for its
  /// environment, and the options (extra descriptors) of its start; wrap
  /// names a program that starts it (setpriv with its arguments).
  void start(const Records &records, const std::vector<std::string> &env = {},
             RunOptions opt = {}, const std::vector<std::string> &wrap = {}) {
    ASSERT_TRUE(make_cdb(rules, records));
    opt.unsetenv = {"IPCUID", "IPCGID", "IPCERROUT", "IPCREMOTEEUID", "IPCREMOTEEGID"};
    opt.setenv = env;
    opt.setenv.push_back("PATH=/usr/bin:/bin");
    std::vector<std::string> argv = wrap;
    argv.insert(argv.end(), {bin("sockserve"), "-v"});
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {sock, bin("tollgant"), rules});
    process = std::make_unique<testutil::Process>(argv, opt);
    ASSERT_TRUE(testutil::wait_path(sock)) << process->err();
  }
  /// What the program sends back to nobody for the raw request.
  std::string call(const std::string &raw) const {
    testutil::ClientOptions copt;
    copt.send = raw;
    copt.user = testutil::nobody();
    // The socket appears when it is bound, a moment before it listens.
    for (int tries = 0; tries < 100; ++tries) {
      if (auto got = unix_client(sock, copt)) return *got;
      usleep(20000);
    }
    return "(no connection)";
  }
  /// Waits for the executor's end line with the given exit code.
  bool ended(int code) const { return process->wait_err(" exit " + std::to_string(code) + " signal 0\n"); }
};

#define SKIP_UNLESS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "switches to nobody: needs root"

/// An account whose primary group is 0, removed again when it goes away.
struct GroupZeroAccount {
  std::string name = "tgant" + std::to_string(getpid() % 100000);
  uid_t uid = 0;
  GroupZeroAccount() {
    auto r = testutil::run({"/usr/sbin/useradd", "-r", "-M", "-N", "-g", "0", "-s", "/usr/sbin/nologin", name});
    const passwd *pw = r.code() == 0 ? getpwnam(name.c_str()) : nullptr;
    if (pw) uid = pw->pw_uid;
  }
  ~GroupZeroAccount() { testutil::run({"/usr/sbin/userdel", name}); }
};

}  // namespace

// An executor that holds supplementary groups (root's often include adm and
// sudo) must not hand them to a program it runs as another user, even when
// the target group is 0 and the group is not switched.
TEST(tollgant_security, UserSwitchDropsSupplementaryGroups) {
  SKIP_UNLESS_ROOT();
  GroupZeroAccount account;
  ASSERT_NE(account.uid, 0u) << "useradd failed";
  std::string uid = std::to_string(account.uid);
  const std::vector<std::string> wrap = {"/usr/bin/setpriv", "--groups", "4,27"};
  Server server;
  server.start({{",0.id", value({"+IPCUID=" + nobody_uid(), "+IPCGID="})},
                {",0.sh", value({"+IPCUID=" + nobody_uid(), "+IPCGID=0"})}},
               {}, {}, wrap);
  // An account of group 0 requested by its uid; then IPCGID empty or 0 in a rule.
  EXPECT_EQ(server.call(request(uid, {"id", "-G"})), "0\n");
  EXPECT_EQ(server.call(request("0", {"id", "-G"})), "0\n");
  EXPECT_EQ(server.call(request("0", {"sh", "-c", "id -G"})), "0\n");
  // Without a user switch the executor's own groups stay, as before.
  Server own;
  own.start({}, {}, {}, wrap);
  EXPECT_EQ(own.call(request("0", {"id", "-G"})), "0 4 27\n");
}

// Read as leading digits, an IPCUID or IPCGID of 'nobody', '-1' or 2^32
// would be 0, that is root.  Such a value refuses the request.
TEST(tollgant_security, IdsThatAreNotNumbersRefuse) {
  SKIP_UNLESS_ROOT();
  struct Case {
    std::vector<std::string> env;
    std::string setting;  // the rule's, for ",0.id"
    std::string log;      // the fatal line
  };
  const std::vector<Case> cases = {
      {{"IPCUID=nobody"}, "", "bad IPCUID: nobody"},
      {{"IPCUID=-1"}, "", "bad IPCUID: -1"},
      {{"IPCUID=4294967296"}, "", "bad IPCUID: 4294967296"},
      {{"IPCUID=" + nobody_uid(), "IPCGID=nogroup"}, "", "bad IPCGID: nogroup"},
      {{}, "+IPCUID=-1", "bad IPCUID: -1"},
      {{}, "+IPCUID= 1", "bad IPCUID: ?1"},
      {{"IPCUID=" + nobody_uid()}, "+IPCGID=1x", "bad IPCGID: 1x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.log);
    Server server;
    Records records;
    if (!c.setting.empty()) records.push_back({",0.id", value({c.setting})});
    server.start(records, c.env);
    EXPECT_EQ(server.call(request("0", {"id", "-u"})), "");
    EXPECT_TRUE(server.ended(100)) << server.process->err();
    EXPECT_TRUE(server.process->wait_err("tollgant: ok " + nobody_uid() + "." +
                                         std::to_string(testutil::nobody().gid) + ",0.id\n"
                                         "corvane: fatal: " + c.log + "\n"))
        << server.process->err();
  }
  // Leading zeros are still digits.
  Server server;
  server.start({}, {"IPCUID=00" + nobody_uid()});
  EXPECT_EQ(server.call(request("0", {"id", "-u"})), nobody_uid() + "\n");
}

// A descriptor the server holds (here a root-only file on descriptor 5)
// must not reach a program run as nobody.
TEST(tollgant_security, NoDescriptorReachesTheProgram) {
  SKIP_UNLESS_ROOT();
  Server server;
  std::string secret = server.dir / "secret";
  testutil::write_file(secret, "root only\n", 0600);
  int fd = open(secret.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  RunOptions opt;
  opt.extra_fds = {{5, fd}, {9, fd}};
  server.start({}, {}, opt);
  close(fd);
  // ls lists its own descriptors: 0 to 2, and 3 on /proc/self/fd itself.
  const std::string steal = "ls /proc/self/fd; for n in 3 4 5 6 7 8 9; do cat <&$n; done 2>/dev/null";
  EXPECT_EQ(server.call(request(nobody_uid(), {"sh", "-c", steal})), "0\n1\n2\n3\n");
}

// The program name is the peer's text: in the "unable to run" line it must
// not start a line of its own in the server's log.
TEST(tollgant_security, ProgramNameCannotForgeLogLines) {
  SKIP_UNLESS_ROOT();
  Server server;
  server.start({}, {"IPCERROUT=0"});
  EXPECT_EQ(server.call(request("0", {"x\ntollgant: ok 0.0,0.reboot\n"})), "");
  EXPECT_TRUE(server.ended(111));
  std::string log = server.process->err();
  EXPECT_NE(log.find("\ncorvane: fatal: unable to run x?tollgant??ok?0.0,0.reboot?: file does not exist\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("\ntollgant: ok 0.0,0.reboot"), std::string::npos) << log;
}

// Digits without end must not keep a root executor reading: a length, uid
// or count of more than ten digits is refused at the eleventh, without
// waiting for more.
TEST(tollgant_security, LongDigitFieldsRefusedAtOnce) {
  const std::vector<std::string> heads = {
      "00000000000",             // length of the uid
      "11:",                     // the uid itself
      "1:0,11:",                 // the count
      "1:0,1:1,00000000000",     // length of the block
  };
  testutil::TempDir dir;
  ASSERT_TRUE(make_cdb(dir / "rules.cdb", {}));
  for (const std::string &head : heads) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], head.data(), head.size()), (ssize_t)head.size());
    RunOptions opt;
    opt.extra_fds = {{0, p[0]}};
    opt.timeout_ms = 5000;
    // The writer stays open: only the digit rule can end the read.
    auto r = testutil::run({bin("tollgant"), dir / "rules.cdb"}, opt);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(r.err, kBad) << head;
    EXPECT_EQ(r.code(), 111) << head;
  }
}

// The request is read in a few reads, each no larger than what is left of
// it, and not one byte past it.
TEST(tollgant_security, RequestReadInFewReads) {
  if (!testutil::exists("/usr/bin/strace")) GTEST_SKIP() << "counts reads with strace";
  testutil::TempDir dir;
  ASSERT_TRUE(make_cdb(dir / "rules.cdb", {}));
  std::string req = request("0", {"true", std::string(3000, 'a'), "b"});
  RunOptions opt;
  opt.input = req + "for the program";
  auto r = testutil::run({"/usr/bin/strace", "-qq", "-o", dir / "trace", "-e", "trace=read", "-e",
                          "signal=none", bin("tollgant"), dir / "rules.cdb"},
                         opt);
  ASSERT_EQ(r.code(), 0) << r.err;
  std::istringstream trace(testutil::read_file(dir / "trace"));
  int reads = 0;
  size_t bytes = 0;
  for (std::string line; std::getline(trace, line);) {
    if (line.rfind("read(0,", 0) != 0) continue;
    ++reads;
    bytes += std::stoul(line.substr(line.rfind('=') + 1));
  }
  EXPECT_LE(reads, 5);
  EXPECT_EQ(bytes, req.size());
}

// A request that does not arrive in time is a bad request.  The executor
// waits REQUEST_TIMEOUT seconds (the stress tests wait for that); here the
// same reader is given one second.
TEST(request_start, DeadlineEndsAnUnfinishedRequest) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  ASSERT_EQ(write(p[1], "1:0,1:", 6), 6);
  char space[64];
  buffer b = BUFFER_INIT(buffer_unixread, p[0], space, sizeof space);
  auto start = std::chrono::steady_clock::now();
  request_start(1);
  EXPECT_EQ(request_num(&b), 0);
  errno = 0;
  EXPECT_EQ(request_num(&b), -1);
  EXPECT_EQ(errno, EPROTO);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(ms.count(), 950);
  EXPECT_LT(ms.count(), 3000);
  close(p[0]);
  close(p[1]);
}

// The server clears the file-creation mask to make its socket, and only for
// that: a program that nobody has run, here as root, creates its files with
// the mask the server was started with, not writable by everyone.
TEST(sockserve_security, ProgramsGetTheMaskOfTheServersStart) {
  SKIP_UNLESS_ROOT();
  Server server;
  server.start({}, {}, {}, {"/bin/sh", "-c", "umask 027; exec \"$@\"", "sh"});
  const std::string file = server.dir / "made";
  EXPECT_EQ(server.call(request("0", {"sh", "-c", "umask; mkdir " + file + "; stat -c %a " + file})),
            "0027\n750\n");
  struct stat st;
  ASSERT_EQ(stat(server.sock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
}

// One account cannot take every slot: with -c 4, nobody, denied by every
// rule, opens 40 connections and sends nothing, each of which would hold an
// executor until its request deadline (60 s).  It keeps a quarter of the
// slots; its other connections are closed at once with a line naming its
// uid, and root's request is served within a second.
TEST(sockserve_security, OneAccountCannotFillTheServer) {
  SKIP_UNLESS_ROOT();
  Server server;
  server.options = {"-c", "4"};
  server.start({{"0,0.echo", value({})}, {"", value({"D"})}});
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  const pid_t attacker = fork();
  ASSERT_NE(attacker, -1);
  if (attacker == 0) {
    if (!testutil::become(testutil::nobody())) _exit(1);
    for (int i = 0; i < 40; ++i) testutil::unix_connect(server.sock);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  testutil::ClientOptions copt;
  copt.send = request("0", {"echo", "served"});
  copt.timeout_ms = 5000;
  const auto start = std::chrono::steady_clock::now();
  auto got = unix_client(server.sock, copt);
  const auto waited = std::chrono::steady_clock::now() - start;
  kill(attacker, SIGKILL);
  waitpid(attacker, nullptr, 0);
  EXPECT_EQ(got.value_or("(no connection)"), "served\n");
  EXPECT_LT(waited, std::chrono::seconds(1));
  EXPECT_TRUE(server.process->wait_err("sockserve: warning: dropping connection, limit of 1 reached for uid " +
                                       nobody_uid() + "\n"))
      << server.process->err();
}
