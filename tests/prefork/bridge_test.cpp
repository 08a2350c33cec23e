// The embedded interpreter: %ENV per connection, state kept by a child,
// clean connections, compiled modules, and interpreter failures.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "corvane_fixture.hpp"

using namespace corvane_test;

namespace {

TEST(server, EnvQuotingSurvivesBackslashesAndQuotes) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the rules and the output name root's ids";
  TempDir dir;
  std::string svc = script(dir, env_script);
  std::string db = rules(dir, "0:allow,X=|a'b\\c|,Y=\"',\\\\'\"\n");
  Server s(dir, {"-c", "1", "-x", db}, {svc, "show", "X", "Y"});
  EXPECT_EQ(s.client(), "X=[a'b\\c]\nY=[',\\\\']\n");
}

TEST(server, EnvSetByTheScriptIsGoneAtTheNextConnection) {
  TempDir dir;
  std::string svc = script(dir,
                           "sub f { print exists $ENV{LEAK} ? \"leak\\n\" : \"clean\\n\";\n"
                           "  $ENV{LEAK} = 'x'; $ENV{PROTO} = 'changed'; }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "clean\n");
  EXPECT_EQ(s.client(), "clean\n");
}

TEST(server, ArgumentsAndGlobalsOfOneChild) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  TempDir dir;
  std::string svc = script(dir,
                           "our $n = 0; our $body = 0; $body++;\n"
                           "sub count { $n++; print \"$body $n @_\\n\" }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "count", "a b", "c"});
  EXPECT_EQ(s.client(), "1 1 a b c\n");
  EXPECT_EQ(s.client(), "1 2 a b c\n");
  EXPECT_EQ(s.client_as_nobody(), "1 3 a b c\n");
}

TEST(server, ConnectionsDoNotLeakIntoEachOther) {
  // One child: output left in the interpreter's buffer, unread input and
  // the end-of-input state of one connection must not reach the next.
  TempDir dir;
  std::string svc = script(dir,
                           "sub talk { my $l = <STDIN>;\n"
                           "  print defined $l ? \"got $l\" : \"got end\\n\"; }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "talk"});
  EXPECT_EQ(s.client("one\nextra\n"), "got one\n");
  EXPECT_EQ(s.client("two\n"), "got two\n");
  EXPECT_EQ(s.client(""), "got end\n");
  EXPECT_EQ(s.client("four\n"), "got four\n");
}

TEST(server, OutputStaysWithItsConnection) {
  // Output printed without a newline and never flushed by the script.
  TempDir dir;
  std::string svc = script(dir, "our $n = 0; sub f { $n++; print \"reply $n\" }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "reply 1");
  EXPECT_EQ(s.client(), "reply 2");
}

TEST(server, ClosedStdoutIsOpenAgainForTheNextConnection) {
  TempDir dir;
  std::string svc = script(dir, "sub f { print \"hi\\n\"; close STDOUT; close STDIN; }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "hi\n");
  EXPECT_EQ(s.client(), "hi\n");
}

TEST(xs_init, ScriptsLoadCompiledModules) {
  TempDir dir;
  std::string svc = script(dir,
                           "use POSIX ();\nuse Socket ();\n"
                           "sub f { print POSIX::floor(2.5), ' ', Socket::AF_UNIX(), \"\\n\" }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "2 1\n");
}

TEST(server, ParseFailureEndsEachChild) {
  TempDir dir;
  std::string svc = script(dir, "sub f { print 'x' \n");
  Server s(dir, {"-v", "-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "");
  EXPECT_TRUE(s.wait_err(corvane() + ": fatal: perl_parse failed\n")) << s.err();
  EXPECT_TRUE(s.wait_err(" status " + exit_status(111) + "\n" + corvane() + ": status: 0/1\n" +
                         corvane() + ": status: 1/1\n"))
      << s.err();
  // The replacement fails the same way at its first connection.
  EXPECT_EQ(s.client(), "");
  ASSERT_TRUE(wait_children(s.proc->pid, 1));
  std::string err = s.err();
  size_t first = err.find("perl_parse failed");
  EXPECT_NE(err.find("perl_parse failed", first + 1), std::string::npos) << err;
}

TEST(server, RunFailureEndsTheChild) {
  TempDir dir;
  std::string svc = script(dir, "exit 3;\nsub f { print 'x' }\n");
  Server s(dir, {"-v", "-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "");
  EXPECT_TRUE(s.wait_err(corvane() + ": fatal: perl_run failed\n")) << s.err();
}

TEST(server, MissingSubroutineNameIsAUsageError) {
  TempDir dir;
  std::string svc = script(dir, "sub f { print 'x' }\n1;\n");
  Server s(dir, {"-v", "-c", "1"}, {svc});
  EXPECT_EQ(s.client(), "");
  EXPECT_TRUE(s.wait_err(corvane() + ": usage: " + corvane() + " icpargs file sub args\n"))
      << s.err();
  EXPECT_TRUE(s.wait_err(" status " + exit_status(100) + "\n")) << s.err();
  // Only the connection's child ends: the others serve no one and live on.
  EXPECT_EQ(s.err().find("perl_parse"), std::string::npos);
}

}  // namespace

namespace {

// One connection made from this process: sends nothing, reads to the end.
std::string quick_client(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), path.size());
  std::string got;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0) {
    shutdown(fd, SHUT_WR);
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return got;
}

// Private dirty memory of pid in kB.
long private_dirty(pid_t pid) {
  std::istringstream in(testutil::read_file("/proc/" + std::to_string(pid) + "/smaps_rollup"));
  std::string word;
  long kb = -1;
  while (in >> word)
    if (word == "Private_Dirty:") in >> kb;
  return kb;
}

TEST(server, OneChildServesManyConnectionsInConstantMemory) {
  TempDir dir;
  std::string svc = script(dir, "sub f { print scalar(keys %ENV), \"\\n\" }\n1;\n");
  RunOptions opt;
  // Under the address sanitizer, freed blocks would otherwise wait in its
  // quarantine and count as growth.
  opt.setenv.push_back("ASAN_OPTIONS=quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
  for (int i = 0; i < 40; ++i)
    opt.setenv.push_back("FILLER" + std::to_string(i) + "=" + std::string(40, 'v'));
  Server s(dir, {"-c", "1"}, {svc, "f"}, opt);
  ASSERT_TRUE(wait_children(s.proc->pid, 1));
  pid_t child = children(s.proc->pid)[0];
  for (int i = 0; i < 300; ++i) ASSERT_NE(quick_client(s.path), "");
  long before = private_dirty(child);
  for (int i = 0; i < 1500; ++i) ASSERT_NE(quick_client(s.path), "");
  long after = private_dirty(child);
  ASSERT_GT(before, 0);
  // 1500 connections with 40 variables of 50 bytes: a leak of the
  // environment strings alone would be about 3 MB.
  EXPECT_LT(after - before, 200) << before << " kB, then " << after << " kB";
  // And no process was made for any of them: the same child served all.
  EXPECT_EQ(children(s.proc->pid), std::vector<pid_t>{child});
}

}  // namespace
