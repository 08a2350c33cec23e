// corvane against a hostile local user: the groups its children keep, the
// descriptors that reach programs the served code starts, the log lines a
// peer can shape, and the file it removes at the socket path.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "corvane_fixture.hpp"

using namespace corvane_test;

namespace {

#define NEEDS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody"

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

}  // namespace
