// The embedded interpreter: %ENV per connection, state kept by a child,
// clean connections, compiled modules, and interpreter failures.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

// What the subroutine sees in %ENV and what a program it starts inherits,
// for entries that the assignment has to take apart: one without '=', one
// starting with '=', two with one name (the later wins), quotes and
// backslashes.
TEST(server, EnvOfOddEntriesInPerlAndInTheProgramsItStarts) {
  TempDir dir;
  std::string svc = script(dir,
                           "$| = 1;\n"
                           "sub f { print \"[$_]=[$ENV{$_}]\\n\" for sort keys %ENV;\n"
                           "  print \"--\\n\"; system('/usr/bin/env'); }\n1;\n");
  RunOptions opt;
  opt.env = std::vector<std::string>{"PATH=/usr/bin:/bin", "NOEQ",        "=lead", "DUP=first",
                                     "DUP=second",         "Q=x'y\\z\\'", "E="};
  Server s(dir, {"-c", "1"}, {svc, "f"}, opt);
  std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
  std::string want = "[]=[lead]\n[DUP]=[second]\n[E]=[]\n[IPCLOCALPATH]=[" + s.path +
                     "]\n[IPCREMOTEEGID]=[" + gid + "]\n[IPCREMOTEEUID]=[" + uid +
                     "]\n[IPCREMOTEPATH]=[]\n[NOEQ]=[]\n[PATH]=[/usr/bin:/bin]\n[PROTO]=[IPC]\n"
                     "[Q]=[x'y\\z\\']\n--\n"
                     "PATH=/usr/bin:/bin\nNOEQ=\n=lead\nDUP=second\nQ=x'y\\z\\'\nE=\n"
                     "PROTO=IPC\nIPCLOCALPATH=" + s.path + "\nIPCREMOTEPATH=\nIPCREMOTEEUID=" +
                     uid + "\nIPCREMOTEEGID=" + gid + "\n";
  EXPECT_EQ(s.client(), want);
  EXPECT_EQ(s.client(), want);
}

// Each connection's %ENV assignment behaves as one string eval: $@ is empty
// when the subroutine starts, and the script's own string evals are
// numbered with one number taken per connection.
TEST(server, EnvAssignmentIsOneEvalPerConnection) {
  TempDir dir;
  std::string svc = script(dir, "sub f { print \"[$@] \", eval('__FILE__'), \"\\n\"; $@ = 'left' }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "f"});
  EXPECT_EQ(s.client(), "[] (eval 2)\n");
  EXPECT_EQ(s.client(), "[] (eval 4)\n");
}

// An error raised while %ENV is assigned (here by a tied %ENV) is Perl's to
// report, as from the string eval it used to be: the die handler sees it
// inside an eval and then outside, and the message names the eval.
TEST(server, ErrorInTheEnvAssignmentIsReportedByPerl) {
  TempDir dir;
  std::string svc = script(dir,
                           "use Carp ();\n"
                           "package T; require Tie::Hash; our @ISA = ('Tie::StdHash');\n"
                           "sub STORE { Carp::croak(\"no $_[1]\") if $_[1] eq 'PROTO';\n"
                           "  $_[0]{$_[1]} = $_[2] }\n"
                           "package main;\n"
                           "$SIG{__DIE__} = sub { print STDERR \"handler $^S: $_[0]\" };\n"
                           "sub f { print eval('__FILE__'), \"\\n\"; tie %ENV, 'T' }\n1;\n");
  Server s(dir, {"-c", "1"}, {svc, "f"});
  std::string first = s.client();
  ASSERT_EQ(first.substr(0, 6), "(eval ") << first;
  std::string next = "(eval " + std::to_string(std::stoi(first.substr(6)) + 1) + ")";
  EXPECT_EQ(s.client(), "");
  std::string msg = "no PROTO at " + next + " line 1.\n";
  EXPECT_TRUE(s.wait_err("handler 1: " + msg + "handler 0: " + msg + msg)) << s.err();
}

// Whatever a script does to %ENV between two connections, the next one
// sees exactly its own environment in %ENV and in the programs it starts,
// and what the script kept of an earlier %ENV keeps the earlier values.
// Each row is done by the script after it has printed what it sees; two
// quiet connections follow each row.  Every client binds a path of its own,
// so that IPCREMOTEPATH differs from one connection to the next.
TEST(server, EnvIsTheConnectionsWhateverTheScriptDidToIt) {
  const std::vector<std::string> rows = {
      "$ENV{IPCREMOTEPATH} = 'changed'",
      "$ENV{NEW} = 'x'",
      "delete $ENV{PROTO}",
      "delete $ENV{PROTO}; $ENV{PROTO} = 'IPC'",
      "$ENV{\"K$_\"} = 1 for 1 .. 100; delete $ENV{\"K$_\"} for 1 .. 100",
      "$ENV{PATH} = $ENV{PATH}",
      "$held = \\$ENV{IPCREMOTEPATH}",
      "undef $held",
      "@kept = map { \\$_ } values %ENV",
      "@kept = ()",
      "{ local $ENV{PATH} = 'l'; local $ENV{ZZ} = 'z'; }",
      "{ local %ENV = (Q => 1); }",
      "my ($k) = each %ENV",
      "my $x = $ENV{IPCREMOTEEUID} + 0",
      "utf8::upgrade($ENV{PATH})",
      "Internals::SvREADONLY($ENV{PATH}, 1)",
      "bless \\$ENV{PATH}, 'Foo'",
      "*ENV = *OTHER; *ENV = *SAVED",
      "tie %ENV, 'T'; %ENV = (A => 1)",
      "untie %ENV",
  };
  std::string acts;
  for (const auto &r : rows) acts += "q{" + r + "}, '', '',\n";
  TempDir dir;
  std::string svc = script(
      dir, "our ($held, @kept, $n); our @act = (" + acts + ");\n*SAVED = *ENV;\n" +
               "package T; require Tie::Hash; our @ISA = ('Tie::StdHash'); package main;\n"
               "sub f { $| = 1; print map({ \"$_=$ENV{$_}\\n\" } sort keys %ENV), \"--\\n\";\n"
               "  system('/usr/bin/env');\n"
               "  print 'held=', (defined $held ? $$held : '-'), ' kept=', join(',', sort map { $$_ } @kept), \"\\n\";\n"
               "  my $a = $act[$n++]; eval $a if length $a; print STDERR $@ if $@; }\n1;\n");
  RunOptions opt;
  opt.env = std::vector<std::string>{"PATH=/usr/bin:/bin"};
  Server s(dir, {"-c", "1"}, {svc, "f"}, opt);
  std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
  auto perl_env = [&](const std::string &peer) {
    return "IPCLOCALPATH=" + s.path + "\nIPCREMOTEEGID=" + gid + "\nIPCREMOTEEUID=" + uid +
           "\nIPCREMOTEPATH=" + peer + "\nPATH=/usr/bin:/bin\nPROTO=IPC\n";
  };
  auto c_env = [&](const std::string &peer) {
    return "PATH=/usr/bin:/bin\nPROTO=IPC\nIPCLOCALPATH=" + s.path + "\nIPCREMOTEPATH=" + peer +
           "\nIPCREMOTEEUID=" + uid + "\nIPCREMOTEEGID=" + gid + "\n";
  };
  std::string held = "-", kept;
  for (size_t i = 0; i < 3 * rows.size(); ++i) {
    ClientOptions co;
    co.bind_path = dir / ("c" + std::to_string(i));
    std::string peer = co.bind_path;
    std::string want = perl_env(peer) + "--\n" + c_env(peer) + "held=" + held + " kept=" + kept + "\n";
    ASSERT_EQ(s.client("", co), want) << "connection " << i << " after: " << rows[(i - 1) / 3];
    const std::string &row = i % 3 ? std::string() : rows[i / 3];
    if (row.rfind("$held =", 0) == 0) held = peer;
    if (row == "undef $held") held = "-";
    if (row.rfind("@kept = map", 0) == 0) {
      std::vector<std::string> v = {s.path, gid, uid, peer, "/usr/bin:/bin", "IPC"};
      std::sort(v.begin(), v.end());
      kept.clear();
      for (const auto &x : v) kept += (kept.empty() ? "" : ",") + x;
    }
    if (row == "@kept = ()") kept.clear();
  }
  EXPECT_EQ(s.err(), "");
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

namespace {

TEST(server_load, RunsTheScriptBeforeAnyConnection) {
  // The main body runs in each child as it starts, with /dev/null as its
  // standard input and output: what it prints reaches no connection, the
  // end of input it met is not the first connection's, and a file it
  // opens keeps its descriptor when connections come.
  TempDir dir;
  testutil::write_file(dir / "data", "line one\nline two\n");
  std::string svc = script(dir,
                           "print STDERR \"loaded $$\\n\";\n"
                           "print \"from the main body\\n\";\n"
                           "my $in = <STDIN>;\n"
                           "open(my $fh, '<', '" +
                               dir / "data" +
                               "') or die;\n"
                               "sub f { seek($fh, 0, 0); my $l = <$fh>; my $got = <STDIN>;\n"
                               "  print \"data $l\", 'got ', $got // \"end\\n\" }\n1;\n");
  Server s(dir, {"-L", "-c", "2"}, {svc, "f"});
  ASSERT_TRUE(wait_children(s.proc->pid, 2));
  for (pid_t k : children(s.proc->pid))
    EXPECT_TRUE(s.wait_err("loaded " + std::to_string(k) + "\n")) << s.err();
  EXPECT_EQ(s.err().find("corvane: ok"), std::string::npos);
  for (const char *line : {"x\n", "y\n", "z\n"})
    EXPECT_EQ(s.client(line), std::string("data line one\ngot ") + line);
}

TEST(server_load, ChildrenThatCannotLoadEndTheServer) {
  TempDir dir;
  std::string svc = script(dir, "sub f { print 'x' \n");
  const std::string fatal = corvane() + ": fatal: children keep failing to load " + svc + "\n";
  // A whole first round fails: the supervisor gives up after a few
  // rather than replace them for ever.
  RunOptions opt;
  opt.timeout_ms = 10000;
  auto r = testutil::run(command({"-L", "-c", "4"}, dir / "s1", {svc, "f"}), opt);
  // The supervisor's line comes last, once; a child stopped on the way may
  // have left its own lines cut short before it.
  EXPECT_EQ(r.code(), 111);
  EXPECT_NE(r.err.find("perl_parse failed\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(fatal), r.err.size() - fatal.size()) << r.err;

  // Broken under a running pool, the script is found out by a reload.
  script(dir, "sub f { print \"ok\\n\" }\n1;\n");
  Server s(dir, {"-L", "-c", "2"}, {svc, "f"});
  EXPECT_EQ(s.client(), "ok\n");
  script(dir, "sub f { print 'x' \n");
  s.proc->kill(SIGHUP);
  int st = s.proc->wait();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 111) << st;
  EXPECT_TRUE(s.err().ends_with(fatal)) << s.err();
}

}  // namespace
