// corvane against a hostile local user: the groups its children keep, the
// descriptors and the environment that reach programs the served code
// starts, the log lines a peer can shape, the file it removes at the socket
// path, the lock file another user plants, peers that hold the pool or
// close at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "corvane_fixture.hpp"

using namespace corvane_test;

namespace {

#define NEEDS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody"

int connect_to(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), path.size());
  if (fd != -1 && connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0) return fd;
  if (fd != -1) close(fd);
  return -1;
}

// Another account holding the pool: a process, as nobody, that connects n
// times, sends nothing, and after ms milliseconds reports how many of its
// connections the server still holds open.  It holds them until it goes.
struct Holder {
  pid_t pid = -1;
  int report = -1;
  Holder(const std::string &path, int n, int ms) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      if (!testutil::become(testutil::nobody())) _exit(2);
      std::vector<pollfd> fds;
      for (int i = 0; i < n; ++i) fds.push_back({connect_to(path), POLLIN, 0});
      sleep_ms(ms);
      char held = 0;
      for (pollfd &f : fds) held += f.fd != -1 && poll(&f, 1, 0) == 0;
      if (write(p[1], &held, 1) != 1) _exit(3);
      pause();
      _exit(0);
    }
    close(p[1]);
    report = p[0];
  }
  int held() {
    char c = -1;
    return read(report, &c, 1) == 1 ? c : -1;
  }
  ~Holder() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    if (report != -1) close(report);
  }
};

// Holds its connection until the peer sends a line.
const char *holdable = "sub serve { my $line = <STDIN>; print \"served\\n\" } 1;\n";

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits until the server has admitted n connections of nobody.
bool admitted(const Server &s, int n) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (count(s.err(), " :65534,65534\n") >= n) return true;
    sleep_ms(10);
  }
  return false;
}

// How long another user's request takes to be served, in milliseconds, and
// what it got.
int64_t timed_request(const std::string &path, std::string &got, int timeout_ms) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(testutil::talk(path, "go\n", got, timeout_ms));
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

TEST(corvane_security, UserSwitchWithoutGroupKeepsNoSupplementaryGroup) {
  NEEDS_ROOT();
  TempDir dir;
  std::string svc = script(dir, "sub groups { print \"$)\\n\" } 1;\n");
  std::string path = dir / "s";
  // Started, as from an administrator's shell, with groups beside root's.
  Process p({"/usr/bin/perl", "-e", "$) = '0 0 4 27'; exec @ARGV or die", corvane(), "-c", "1", "-u",
             "65534", path, svc, "groups"});
  ASSERT_TRUE(wait_listening(path)) << p.err();
  auto got = testutil::unix_client(path);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, "0 0\n");
}

TEST(corvane_security, ProgramsOfTheServedCodeInheritNeitherSocketNorLock) {
  NEEDS_ROOT();
  TempDir dir;
  // Lists the descriptors above 2 it was started with (its own directory
  // handle on /proc aside).
  script(dir,
         "opendir(my $d, '/proc/self/fd') or die;\n"
         "my @open;\n"
         "for my $fd (sort readdir $d) {\n"
         "  next unless $fd =~ /^\\d+$/ && $fd > 2;\n"
         "  my $to = readlink(\"/proc/self/fd/$fd\");\n"
         "  push @open, \"$fd=$to\" if defined $to && $to !~ m{^/proc/};\n"
         "}\n"
         "print join(' ', @open), \"\\n\";\n",
         "fds.pl");
  std::string svc = script(dir, "sub serve { system('/usr/bin/perl', '" + (dir / "fds.pl") + "') } 1;\n");
  Server s(dir, {"-c", "1", "-u", "65534", "-g", "65534", "-f", dir / "lock"}, {svc, "serve"});
  std::string open = s.client_as_nobody();
  ASSERT_EQ(open.back(), '\n') << open;
  EXPECT_EQ(open.find("socket:"), std::string::npos) << open;
  EXPECT_EQ(open.find(dir / "lock"), std::string::npos) << open;
}

TEST(corvane_security, PeerPathCannotForgeALogLine) {
  NEEDS_ROOT();
  TempDir dir;
  std::string svc = script(dir, "sub serve { print \"hi\\n\" } 1;\n");
  std::string db = rules(dir, "65534:deny\n:allow\n");
  Server s(dir, {"-v", "-c", "1", "-x", db}, {svc, "serve"});
  std::string own = dir / "nobody";
  ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
  ASSERT_EQ(chown(own.c_str(), testutil::nobody().uid, testutil::nobody().gid), 0);
  // A denied peer binds its socket to a name holding a whole admission line.
  ClientOptions opt;
  opt.user = testutil::nobody();
  opt.bind_path = own + "/\ncorvane: ok 1 - :0,0";
  EXPECT_EQ(s.client("", opt), "");
  ASSERT_TRUE(s.wait_err("corvane: deny ")) << s.err();
  std::string log = s.err();
  EXPECT_NE(log.find(" from " + own + "/?corvane??ok?1?-??0,0\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("\ncorvane: ok"), std::string::npos) << log;
}

TEST(corvane_security, OnlyASocketIsRemovedFromTheSocketPath) {
  TempDir dir;
  testutil::write_file(dir / "s", "precious");
  RunOptions opt;
  opt.timeout_ms = 3000;
  auto r = testutil::run({corvane(), "-c", "0", dir / "s"}, opt);
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, corvane() + ": fatal: unable to bind: address already used\n");
  EXPECT_EQ(testutil::read_file(dir / "s"), "precious");
}

// One user with idle connections on every child stops the service for
// everyone, unless a limit is set: that is what -C and -t are for.
TEST(corvane_security, WithoutLimitsOneUserHoldsEveryChild) {
  NEEDS_ROOT();
  TempDir dir;
  std::string svc = script(dir, holdable);
  Server s(dir, {"-v", "-c", "2"}, {svc, "serve"});
  Holder attacker(s.path, 2, 1500);
  ASSERT_TRUE(admitted(s, 2)) << s.err();
  std::string got;
  timed_request(s.path, got, 1000);
  EXPECT_EQ(got, "");
  EXPECT_EQ(attacker.held(), 2);
  EXPECT_EQ(s.err().find("limit reached"), std::string::npos) << s.err();
}

TEST(corvane_security, DashCKeepsOneUserToItsShareOfThePool) {
  NEEDS_ROOT();
  TempDir dir;
  std::string svc = script(dir, holdable);
  Server s(dir, {"-c", "3", "-C", "1"}, {svc, "serve"});
  Holder attacker(s.path, 3, 1500);
  EXPECT_EQ(attacker.held(), 1);
  std::string got;
  EXPECT_LT(timed_request(s.path, got, 5000), 1000);
  EXPECT_EQ(got, "served\n");
  std::string err = s.err();
  EXPECT_EQ(count(err, ": warning: dropping connection, per-uid limit reached: pid "), 2) << err;
  EXPECT_EQ(count(err, " from :65534,65534\n"), 2) << err;
}

TEST(corvane_security, DashTEndsTheChildrenOfIdleConnections) {
  NEEDS_ROOT();
  TempDir dir;
  std::string svc = script(dir, holdable);
  Server s(dir, {"-v", "-c", "2", "-t", "1"}, {svc, "serve"});
  Holder attacker(s.path, 2, 2500);
  ASSERT_TRUE(admitted(s, 2)) << s.err();
  std::string got;
  EXPECT_LT(timed_request(s.path, got, 5000), 2500);
  EXPECT_EQ(got, "served\n");
  EXPECT_EQ(attacker.held(), 0);
  std::string err = s.err();
  // Each line names the child, which then ends with 111 and is replaced.
  const std::string line = ": warning: dropping connection, time limit reached: pid ";
  EXPECT_EQ(count(err, line), 2) << err;
  for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at)) {
    at += line.size();
    std::string pid = err.substr(at, err.find(' ', at) - at);
    EXPECT_EQ(err.substr(at + pid.size(), 19), " from :65534,65534\n") << err;
    EXPECT_TRUE(s.wait_err(": end " + pid + " status " + exit_status(111) + "\n")) << err;
  }
}

TEST(corvane_security, LockFileLinkPlantedByAnotherUserIsRefused) {
  NEEDS_ROOT();
  TempDir dir;
  // The lock file's directory is another account's, who links the lock
  // file's name to a file of their choosing.
  std::string run = dir / "run";
  ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
  ASSERT_EQ(chown(run.c_str(), testutil::nobody().uid, testutil::nobody().gid), 0);
  RunOptions as_nobody;
  as_nobody.user = testutil::nobody();
  ASSERT_EQ(testutil::run({"/bin/ln", "-s", dir / "chosen", run + "/lock"}, as_nobody).code(), 0);
  RunOptions opt;
  opt.timeout_ms = 3000;
  auto r = testutil::run({corvane(), "-c", "0", "-f", run + "/lock", dir / "s"}, opt);
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, corvane() + ": fatal: unable to open " + run + "/lock: symbolic link loop\n");
  EXPECT_FALSE(testutil::exists(dir / "chosen"));
}

TEST(corvane_security, PeersThatCloseAtOnceKillNoChildThroughTheBanner) {
  NEEDS_ROOT();
  TempDir dir;
  std::string svc = script(dir, "sub serve { print \"served\\n\" } 1;\n");
  std::string db = rules(dir, "65534:deny\n:allow\n");
  Server s(dir, {"-v", "-c", "2", "-B", "hello\n", "-x", db}, {svc, "serve"});
  // A denied user connects and closes, again and again.
  pid_t pid = fork();
  if (pid == 0) {
    if (!testutil::become(testutil::nobody())) _exit(2);
    for (int i = 0; i < 300; ++i) {
      int fd = connect_to(s.path);
      if (fd == -1) _exit(3);
      close(fd);
    }
    _exit(0);
  }
  int st = -1;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_EQ(st, 0);
  EXPECT_EQ(s.client(), "hello\nserved\n");
  EXPECT_EQ(s.err().find(": end "), std::string::npos) << s.err();
}

// A script that replaces the *ENV glob during root's connection must not
// hand root's environment to the programs it starts for the next peer.
// In the suite of the bridge's tests, so that both builds run it.
TEST(server, ReplacedEnvGlobKeepsNoPeersEnvironmentForPrograms) {
  NEEDS_ROOT();
  std::string uid = std::to_string(testutil::nobody().uid);
  std::string gid = std::to_string(testutil::nobody().gid);
  for (std::string act : {"*ENV = {%ENV}", "*ENV = *OTHER", "undef *ENV"}) {
    TempDir dir;
    std::string svc = script(dir,
                             "sub f { $| = 1; system('/usr/bin/env');\n"
                             "  if ($ENV{IPCREMOTEEUID} eq '0') { " +
                                 act + " } }\n1;\n");
    std::string db = rules(dir, "0:allow,SECRET=/root's/\n:allow\n");
    RunOptions opt;
    opt.env = std::vector<std::string>{"PATH=/usr/bin:/bin"};
    Server s(dir, {"-c", "1", "-x", db}, {svc, "f"}, opt);
    std::string root = s.client();
    EXPECT_NE(root.find("\nSECRET=root's\n"), std::string::npos) << act << ": " << root;
    EXPECT_EQ(s.client_as_nobody(), "PATH=/usr/bin:/bin\nPROTO=IPC\nIPCLOCALPATH=" + s.path +
                                        "\nIPCREMOTEPATH=\nIPCREMOTEEUID=" + uid +
                                        "\nIPCREMOTEEGID=" + gid + "\n")
        << act;
    EXPECT_EQ(s.err(), "") << act;
  }
}

}  // namespace
