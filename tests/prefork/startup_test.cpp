// corvane's command line and start-up: scanner and usage lines, socket
// binding, the lock file, and the ids the children run with.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "corvane_fixture.hpp"

using namespace corvane_test;
using testutil::run;

namespace {

const std::string usage_tail =
    " [ -UXhHoOdDqQvpPLG ] [ -c limit ] [ -C peruid ] [ -t seconds ] [ -x rules.cdb ] [ -B banner ]"
    " [ -g gid ] [ -u uid ] [ -b backlog ] [ -l localname ] [ -f lockfile ] [ -N fd ] path\n";

std::string usage() { return corvane() + ": usage: " + corvane() + usage_tail; }

std::string status(int n, int limit) {
  return corvane() + ": status: " + std::to_string(n) + "/" + std::to_string(limit) + "\n";
}

TEST(corvane_usage, IllegalOptionGivesScannerLineThenUsage) {
  auto r = run({corvane(), "-h", "/tmp/x"});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "corvane: illegal option -- h\n" + usage());
  r = run({corvane(), "-vz", "/tmp/x"});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "corvane: illegal option -- z\n" + usage());
}

TEST(corvane_usage, MissingArgumentGivesScannerLineThenUsage) {
  auto r = run({corvane(), "-v", "-c"});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "corvane: option requires an argument -- c\n" + usage());
}

TEST(corvane_usage, MissingOrEmptyPath) {
  auto r = run({corvane()});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, usage());
  r = run({corvane(), "-v", ""});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, usage());
  r = run({corvane(), "-q", ""});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "");
  // A bad option is reported while the options are scanned, before -q
  // silences anything.
  r = run({corvane(), "-q", "-h", "x"});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "corvane: illegal option -- h\n" + usage());
}

TEST(corvane_options, LettersShareAWordAndCountsAreWholeNumbers) {
  TempDir dir;
  {
    Server s(dir, {"-vc5"}, {});
    EXPECT_TRUE(s.wait_err(status(5, 5)));
    EXPECT_EQ(s.err().substr(0, status(0, 5).size()), status(0, 5));
  }
  {
    Server s(dir, {"-v", "-c", "003"}, {});
    EXPECT_TRUE(s.wait_err(status(3, 3)));
  }
  // A limit with trailing text, or without digits, is a usage error; it
  // used to read as its leading digits, or as 0 (a pool of no child).
  for (const char *limit : {"3x", "x"}) {
    auto r = run({corvane(), "-v", "-c", limit, dir / "t"});
    EXPECT_EQ(r.code(), 100);
    EXPECT_EQ(r.err, usage());
  }
}

TEST(corvane_options, DashesEndTheOptions) {
  TempDir dir;
  RunOptions opt;
  opt.cwd = dir.path;
  {
    Process p({corvane(), "-c", "0", "--", "-s"}, opt);
    EXPECT_TRUE(testutil::wait_path(dir / "-s")) << p.err();
  }
  {
    Process p({corvane(), "-c", "0", "-"}, opt);
    EXPECT_TRUE(testutil::wait_path(dir / "-")) << p.err();
  }
}

TEST(corvane_options, WordsAfterThePathAreNotOptions) {
  // "-v" after the path is the script word; the subroutine name is
  // missing, so the child that takes the connection ends with the usage.
  TempDir dir;
  Server s(dir, {"-v", "-c", "1"}, {"-v"});
  EXPECT_EQ(s.client("x"), "");
  std::string line = corvane() + ": usage: " + corvane() + " icpargs file sub args\n";
  EXPECT_TRUE(s.wait_err(line)) << s.err();
  EXPECT_TRUE(s.wait_err(" status " + exit_status(100) + "\n")) << s.err();
}

TEST(ipc_bind, PathFieldHoldsAtMost108Bytes) {
  TempDir dir;
  std::string base = dir / "";
  std::string p108 = base + std::string(108 - base.size(), 'a');
  std::string p109 = base + std::string(109 - base.size(), 'b');
  ASSERT_EQ(p108.size(), 108u);
  auto r = run({corvane(), "-c", "0", p109});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, corvane() + ": fatal: unable to bind: protocol error\n");
  EXPECT_FALSE(testutil::exists(p109));

  std::string svc = script(dir, env_script);
  Process p(command({"-c", "1"}, p108, {svc, "show", "IPCLOCALPATH"}));
  ASSERT_TRUE(wait_listening(p108)) << p.err();
  auto got = testutil::unix_client(p108);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, "IPCLOCALPATH=[" + p108 + "]\n");
}

TEST(ipc_bind_reuse, OldSocketRemovedUnlessDashD) {
  TempDir dir;
  // The socket file a server that went away left behind.
  int old = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::strcpy(sa.sun_path, (dir / "s").c_str());
  ASSERT_EQ(bind(old, (struct sockaddr *)&sa, sizeof sa), 0);
  close(old);
  ASSERT_EQ(chmod((dir / "s").c_str(), 0600), 0);
  auto r = run({corvane(), "-D", "-c", "0", dir / "s"});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, corvane() + ": fatal: unable to bind: address already used\n");

  Process p({corvane(), "-c", "0", dir / "s"});
  for (int i = 0; i < 1000; ++i) {
    struct stat st;
    // Every permission bit: access is decided per connection.
    if (stat((dir / "s").c_str(), &st) == 0 && (st.st_mode & 0777) == 0777) {
      EXPECT_TRUE(S_ISSOCK(st.st_mode));
      return;
    }
    sleep_ms(5);
  }
  ADD_FAILURE() << "no new socket replaced the old one";
}

TEST(corvane_startup, LockFileCreatedPrivateAndFailuresAreFatal) {
  TempDir dir;
  {
    Server s(dir, {"-c", "0", "-f", dir / "lock"}, {});
    struct stat st;
    ASSERT_EQ(stat((dir / "lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  auto r = run({corvane(), "-f", dir / "none/lock", dir / "t"});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, corvane() + ": fatal: unable to open " + (dir / "none/lock") +
                       ": file does not exist\n");
}

// A socket passed by a service manager (systemd-socket-activate starts the
// server at the first connection) is served instead of the path given: the
// connection's IPCLOCALPATH is that socket's path, and the served code sees
// none of the variables that passed it.  What is not one listening
// UNIX-domain stream socket ends the start.
TEST(corvane_startup, TakesTheSocketOfTheServiceManager) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  Process server({"/usr/bin/systemd-socket-activate", "-l", dir / "sock", corvane(), "-c", "1",
                  dir / "unused", svc, "show", "IPCLOCALPATH", "LISTEN_PID", "LISTEN_FDS",
                  "LISTEN_FDNAMES"});
  ASSERT_TRUE(testutil::wait_path(dir / "sock")) << server.err();
  const std::string want = "IPCLOCALPATH=[" + dir / "sock" +
                           "]\nLISTEN_PID absent\nLISTEN_FDS absent\nLISTEN_FDNAMES absent\n";
  auto got = testutil::unix_client(dir / "sock");
  EXPECT_EQ(got.value_or("<no connection>"), want) << server.err();
  EXPECT_EQ(testutil::unix_client(dir / "sock").value_or("<no connection>"), want);
  EXPECT_FALSE(testutil::exists(dir / "unused"));

  RunOptions opt;
  opt.extra_fds = {{3, open("/dev/null", O_RDONLY | O_CLOEXEC)}};
  auto r = run({"/bin/sh", "-c", "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$@\"", "sh", corvane(), dir / "t"},
               opt);
  close(opt.extra_fds[0].second);
  EXPECT_EQ(r.err, corvane() +
                       ": fatal: unable to take the socket from the service manager: descriptor 3 "
                       "is not a socket\n");
  EXPECT_EQ(r.code(), 111);
  // The socket passed cannot also be the descriptor told of readiness.
  testutil::Process both({"/usr/bin/systemd-socket-activate", "-l", dir / "both", corvane(), "-N",
                          "3", dir / "both", svc, "show"});
  ASSERT_TRUE(testutil::wait_path(dir / "both")) << both.err();
  testutil::unix_client(dir / "both");
  EXPECT_TRUE(both.wait_err(corvane() + ": fatal: unable to use the notification descriptor: it is "
                                        "the listening socket\n"))
      << both.err();
}

// The served code shows whether it sees NOTIFY_SOCKET, and how many
// descriptors it has open.
const char *fds_script =
    "sub fds { opendir(my $d, '/proc/self/fd') or die;\n"
    "  my $n = grep { /^\\d+$/ } readdir $d;\n"
    "  print exists $ENV{NOTIFY_SOCKET} ? 'NOTIFY_SOCKET' : 'none', \" $n\\n\" } 1;\n";

// True once every writer of the pipe fd has closed it (at most 5 s).
bool pipe_ends(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  char c;
  return poll(&p, 1, 5000) == 1 && read(fd, &c, 1) == 0;
}

// READY=1 goes to NOTIFY_SOCKET, and one newline to the descriptor of -N,
// once the socket listens and the pool is started; STOPPING=1 on SIGTERM.
// The served code sees neither the variable nor either descriptor: it has
// as many open as under a server told nothing.
TEST(corvane_ready, ToldOnceThePoolIsStarted) {
  TempDir dir;
  std::string svc = script(dir, fds_script);
  const std::string plain = Server(dir, {"-c", "1"}, {svc, "fds"}).client();
  ASSERT_EQ(plain.substr(0, 5), "none ");

  const int reader = testutil::notify_reader(dir / "notify");
  ASSERT_NE(reader, -1);
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  RunOptions opt;
  opt.setenv = {"NOTIFY_SOCKET=" + dir / "notify"};
  opt.extra_fds = {{5, p[1]}};
  Server s(dir, {"-v", "-c", "2", "-N", "5"}, {svc, "fds"}, opt);
  close(p[1]);
  EXPECT_EQ(testutil::read_some(reader, 7), "READY=1");
  EXPECT_NE(s.err().find(status(2, 2)), std::string::npos) << s.err();
  EXPECT_EQ(testutil::read_some(p[0], 1), "\n");
  EXPECT_TRUE(pipe_ends(p[0]));
  EXPECT_EQ(s.client(), plain);

  s.proc->kill(SIGTERM);
  EXPECT_EQ(testutil::read_some(reader, 10), "STOPPING=1");
  const int st = s.proc->wait();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  close(p[0]);
  close(reader);
}

// With -L, readiness waits until a child has loaded the script (here it
// takes half a second and leaves a file beside it at its end), also when a reload
// comes during the load; a script that no child can load is never ready.
TEST(corvane_ready, WithLoadAtStartOnlyOnceAChildHasLoaded) {
  TempDir dir;
  std::string svc = script(dir,
                           "select(undef, undef, undef, 0.5);\n"
                           "open(my $f, '>', __FILE__ . '.loaded') or die; close $f;\n"
                           "sub hi { print \"hi\\n\" } 1;\n");
  std::string bad = script(dir, "die \"no database\\n\";\n", "bad.pl");
  const int reader = testutil::notify_reader(dir / "notify");
  ASSERT_NE(reader, -1);
  for (const bool reload : {false, true}) {
    SCOPED_TRACE(reload ? "reloaded" : "");
    unlink((svc + ".loaded").c_str());
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    RunOptions opt;
    opt.setenv = {"NOTIFY_SOCKET=" + dir / "notify"};
    opt.extra_fds = {{5, p[1]}};
    Server s(dir, {"-v", "-L", "-c", "2", "-N", "5"}, {svc, "hi"}, opt);
    close(p[1]);
    if (reload) s.proc->kill(SIGHUP);
    EXPECT_EQ(testutil::read_some(reader, 7), "READY=1");
    EXPECT_TRUE(testutil::exists(svc + ".loaded"));
    EXPECT_EQ(testutil::read_some(p[0], 1), "\n");
    EXPECT_TRUE(pipe_ends(p[0]));
    EXPECT_EQ(s.client(), "hi\n");
    close(p[0]);
  }
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  RunOptions opt;
  opt.setenv = {"NOTIFY_SOCKET=" + dir / "notify"};
  opt.extra_fds = {{5, p[1]}};
  Process failing(command({"-L", "-c", "2", "-N", "5"}, dir / "bad", {bad, "hi"}), opt);
  close(p[1]);
  const int st = failing.wait(10000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 111) << st << failing.err();
  EXPECT_EQ(testutil::read_some(p[0], 1), "");
  EXPECT_EQ(testutil::read_some(reader, 7, 200), "");
  close(p[0]);
  close(reader);
}

// The service prints the real and effective ids the child runs with.
const char *ids_script = "sub ids { print join(' ', $<, $>, $(, $)), \"\\n\" } 1;\n";

TEST(prot_uid, DropsGroupThenUser) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  TempDir dir;
  std::string svc = script(dir, ids_script);
  Server s(dir, {"-v", "-c", "1", "-P", "-u", "65534", "-g", "65534"}, {svc, "ids"});
  EXPECT_EQ(s.client(), "65534 65534 65534 65534 65534 65534\n");
  // With -P the admission line shows the child's own ids.
  EXPECT_TRUE(s.wait_err(" " + s.path + " :65534,65534\n")) << s.err();
  // The socket was bound before the drop, as root.
  struct stat st;
  ASSERT_EQ(stat(s.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST(prot_uid, DashUTakesOnlyThePresentVariables) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  TempDir dir;
  std::string svc = script(dir, ids_script);
  RunOptions opt;
  opt.unsetenv = {"UID"};
  opt.setenv = {"GID=65534"};
  Server s(dir, {"-c", "1", "-U"}, {svc, "ids"}, opt);
  EXPECT_EQ(s.client(), "0 0 65534 65534 65534 65534\n");
}

TEST(prot_uid, ZeroIdsLeaveRootAlone) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  TempDir dir;
  std::string svc = script(dir, ids_script);
  Server s(dir, {"-c", "1", "-u", "0", "-g", "0"}, {svc, "ids"});
  std::string out = s.client();
  EXPECT_EQ(out.substr(0, 6), "0 0 0 ") << out;
}

}  // namespace
