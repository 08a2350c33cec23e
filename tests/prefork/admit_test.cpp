// Admission of connections: the log lines, the variables the subroutine
// sees, what rules do, and how the environment is put back afterwards.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <set>

#include "corvane_fixture.hpp"
#include "prefork/admit.hpp"
#include "prefork/state.hpp"

extern char **environ;

using namespace corvane_test;
using namespace std::string_literals;

namespace {

const std::vector<std::string> connection_names = {
    "PROTO", "IPCLOCALPATH", "IPCREMOTEPATH", "IPCREMOTEEUID", "IPCREMOTEEGID"};

std::vector<std::string> show(const std::string &svc, std::vector<std::string> names) {
  names.insert(names.begin(), {svc, "show"});
  return names;
}

std::string variables(const std::string &local, const std::string &remote, const std::string &uid,
                      const std::string &gid) {
  return "PROTO=[IPC]\nIPCLOCALPATH=[" + local + "]\nIPCREMOTEPATH=[" + remote +
         "]\nIPCREMOTEEUID=[" + uid + "]\nIPCREMOTEEGID=[" + gid + "]\n";
}

TEST(doit, LogLinesOfOneConnection) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  Server s(dir, {"-v", "-c", "1"}, show(svc, {"PROTO"}));
  ASSERT_EQ(s.client(), "PROTO=[IPC]\n");
  std::string pid = last_pid(s.err());
  ASSERT_FALSE(pid.empty()) << s.err();
  std::string lines = corvane() + ": pid " + pid + " from \n" + "corvane: ok " + pid + " " +
                      s.path + " :" + my_uid() + "," + my_gid() + "\n" + corvane() + ": done " +
                      pid + "\n";
  ASSERT_TRUE(s.wait_err(lines)) << s.err();
}

TEST(doit, ConnectionVariablesOfEachPeer) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  Server s(dir, {"-c", "1"}, show(svc, connection_names));
  EXPECT_EQ(s.client(), variables(s.path, "", my_uid(), my_gid()));
  ClientOptions bound;
  bound.bind_path = dir / "client";
  EXPECT_EQ(s.client("", bound), variables(s.path, dir / "client", my_uid(), my_gid()));
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  EXPECT_EQ(s.client_as_nobody(), variables(s.path, "", "65534", "65534"));
}

TEST(safecats, PeerPathCleanedAndCutAfter100Bytes) {
  TempDir dir;
  const std::string ids = ":" + my_uid() + "," + my_gid() + "\n";
  std::string svc = script(dir, env_script);
  Server s(dir, {"-v", "-c", "1"}, show(svc, {"IPCREMOTEPATH"}));
  std::string head = dir / "a:b%c d";
  std::string path = head + std::string(100 - head.size(), 'x');
  ClientOptions opt;
  opt.bind_path = path;
  EXPECT_EQ(s.client("", opt), "IPCREMOTEPATH=[" + path + "]\n");
  std::string pid = last_pid(s.err());
  std::string shown = dir / "a?b?c?d" + std::string(100 - head.size(), 'x') + "...";
  // Both the pid line and the admission line show it cleaned.
  EXPECT_TRUE(s.wait_err(corvane() + ": pid " + pid + " from " + shown + "\n")) << s.err();
  EXPECT_TRUE(s.wait_err("corvane: ok " + pid + " " + s.path + " " + shown + ids))
      << s.err();

  opt.bind_path = dir / "short";
  s.client("", opt);
  EXPECT_TRUE(s.wait_err(" " + s.path + " " + (dir / "short") + ids)) << s.err();
}

TEST(doit, DashLReplacesTheLocalPath) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  Server s(dir, {"-v", "-c", "1", "-l", "front door"}, show(svc, {"IPCLOCALPATH"}));
  EXPECT_EQ(s.client(), "IPCLOCALPATH=[front door]\n");
  EXPECT_TRUE(s.wait_err(" front?door :" + my_uid() + "," + my_gid() + "\n")) << s.err();
}

TEST(doit, DashPRemovesPeerIdsAndLooksUpTheChildsOwn) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  TempDir dir;
  std::string svc = script(dir, env_script);
  std::string db = rules(dir, "0:allow,WHO='the server itself'\n");
  RunOptions opt;
  opt.setenv = {"IPCREMOTEEUID=7", "IPCREMOTEEGID=8"};
  Server s(dir, {"-v", "-c", "1", "-P", "-x", db},
           show(svc, {"IPCREMOTEEUID", "IPCREMOTEEGID", "WHO"}), opt);
  EXPECT_EQ(s.client_as_nobody(),
            "IPCREMOTEEUID absent\nIPCREMOTEEGID absent\nWHO=[the server itself]\n");
  EXPECT_TRUE(s.wait_err(" " + s.path + " :0,0\n")) << s.err();
}

TEST(found, SettingsOfTheFirstMatchingRule) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  std::string db = rules(dir, my_uid() + "." + my_gid() +
                                  ":allow,FOO='a=b',EMPTY='',PROTO='other'\n" + my_uid() +
                                  ":allow,FOO='not this one'\n"
                                  ":allow,FOO='anyone'\n");
  Server s(dir, {"-c", "1", "-x", db}, show(svc, {"PROTO", "FOO", "EMPTY"}));
  EXPECT_EQ(s.client(), "PROTO=[other]\nFOO=[a=b]\nEMPTY=[]\n");
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  EXPECT_EQ(s.client_as_nobody(), "PROTO=[IPC]\nFOO=[anyone]\nEMPTY absent\n");
}

TEST(found, InstructionsAppliedInOrderAndOthersPassedOver) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  std::string value = "+NOEQ\0+BAR=x\0Xjunk\0\0+BAR=y\0+LAST=1\0+TAIL=z"s;
  std::string db = raw_rules(dir, {{my_uid(), value}});
  RunOptions opt;
  opt.setenv = {"NOEQ=inherited"};
  Server s(dir, {"-c", "1", "-x", db}, show(svc, {"NOEQ", "BAR", "LAST", "TAIL"}), opt);
  EXPECT_EQ(s.client(), "NOEQ=[inherited]\nBAR=[y]\nLAST=[1]\nTAIL absent\n");
}

TEST(found, DenyRefusesAfterTheBannerAndLeavesNothingBehind) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  std::string db = rules(dir, my_uid() + ":deny,FOO='x'\n:allow\n");
  Server s(dir, {"-v", "-c", "1", "-B", "welcome\n", "-x", db}, show(svc, {"FOO"}));
  EXPECT_EQ(s.client(), "welcome\n");
  std::string pid = last_pid(s.err());
  EXPECT_TRUE(s.wait_err("corvane: deny " + pid + " " + s.path + " :" + my_uid() + "," +
                         my_gid() + "\n"))
      << s.err();
  rules(dir, ":allow\n");
  EXPECT_EQ(s.client(), "welcome\nFOO absent\n");
  ASSERT_TRUE(s.wait_err(corvane() + ": done " + pid + "\n"));
  // One done line: the refused connection has none.
  std::string err = s.err();
  EXPECT_EQ(err.find(": done "), err.rfind(": done "));
}

// -G: the supplementary groups that the kernel recorded for the peer at
// connect time give keys after its gid, lowest group first, and
// IPCREMOTEGROUPS; without -G the same peers get today's verdicts.
TEST(doit, DashGLooksUpTheSupplementaryGroups) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect with other groups";
  TempDir dir;
  std::string svc = script(dir, env_script);
  std::string db = rules(dir,
                         "3999030:allow,WHO='uid rule'\n"
                         ".3999012:allow,WHO='second group'\n"
                         ".3999011:allow,WHO='first group'\n"
                         ".3999013:deny\n"
                         ":allow,WHO='anyone'\n");
  const testutil::User nobody = testutil::nobody();
  struct {
    testutil::User peer;
    std::string with, without;
  } cases[] = {
      {{nobody.uid, nobody.gid, {3999012, 3999011}},
       "IPCREMOTEGROUPS=[3999011,3999012]\nWHO=[first group]\n", "WHO=[anyone]\n"},
      {{nobody.uid, nobody.gid, {3999012}}, "IPCREMOTEGROUPS=[3999012]\nWHO=[second group]\n",
       "WHO=[anyone]\n"},
      {{3999030, 3999030, {3999011}}, "IPCREMOTEGROUPS=[3999011]\nWHO=[uid rule]\n",
       "WHO=[uid rule]\n"},
      {{nobody.uid, nobody.gid, {3999013}}, "", "WHO=[anyone]\n"},
      {{nobody.uid, nobody.gid, {}}, "IPCREMOTEGROUPS=[]\nWHO=[anyone]\n", "WHO=[anyone]\n"},
  };
  Server with(dir, {"-v", "-G", "-c", "1", "-x", db}, show(svc, {"IPCREMOTEGROUPS", "WHO"}));
  Server without(dir, {"-c", "1", "-x", db}, show(svc, {"WHO"}));
  for (const auto &c : cases) {
    ClientOptions opt;
    opt.user = c.peer;
    EXPECT_EQ(with.client("", opt), c.with) << c.with;
    EXPECT_EQ(without.client("", opt), c.without) << c.with;
  }
  // The one refusal is the member of the denied group.
  const std::string log = with.err();
  const size_t deny = log.find("corvane: deny ");
  ASSERT_NE(deny, std::string::npos) << log;
  EXPECT_EQ(deny, log.rfind("corvane: deny ")) << log;
}

TEST(admit_reset, RuleSettingsDoNotReachTheNextConnection) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  const std::string text = my_uid() + ":allow,FOO='mine only'\n:allow\n";
  std::string db = rules(dir, text);
  Server s(dir, {"-c", "1", "-x", db}, show(svc, {"FOO"}));
  EXPECT_EQ(s.client(), "FOO=[mine only]\n");
  // The same peer, once its rule no longer sets FOO.
  rules(dir, ":allow\n");
  EXPECT_EQ(s.client(), "FOO absent\n");
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  rules(dir, text);
  EXPECT_EQ(s.client(), "FOO=[mine only]\n");
  EXPECT_EQ(s.client_as_nobody(), "FOO absent\n");
  EXPECT_EQ(s.client(), "FOO=[mine only]\n");
}

// Admission driven directly over a socketpair, without an interpreter: the
// connection's environment comes back from doit, and the process
// environment is never changed.
TEST(doit, HandsBackTheEnvironmentAndLeavesTheProcesssAlone) {
  TempDir dir;
  std::string db = rules(dir, my_uid() + ":allow,FOO='a=b',PROTO='other'\n:deny\n");
  fnrules = db.c_str();
  testutil::SocketPair pair;
  ASSERT_EQ(setenv("FOO", "inherited", 1), 0);
  char **before = environ;
  char **env = doit(pair.theirs);
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(environ, before);
  EXPECT_STREQ(getenv("FOO"), "inherited");
  std::set<std::string> got;
  for (char **e = env; *e; ++e)
    if (!strncmp(*e, "FOO=", 4) || !strncmp(*e, "PROTO=", 6) || !strncmp(*e, "IPC", 3))
      got.insert(*e);
  // A socketpair has no path: the local path reads back empty.
  EXPECT_EQ(got, (std::set<std::string>{"FOO=a=b", "PROTO=other", "IPCLOCALPATH=", "IPCREMOTEPATH=",
                                        "IPCREMOTEEUID=" + my_uid(), "IPCREMOTEEGID=" + my_gid()}));
  admit_reset();
  EXPECT_EQ(environ, before);
  // The same peer under a rule that denies it.
  rules(dir, my_uid() + ":deny\n");
  EXPECT_EQ(doit(pair.theirs), nullptr);
  admit_reset();
  EXPECT_STREQ(getenv("FOO"), "inherited");
  unsetenv("FOO");
  fnrules = nullptr;
}

TEST(doit, MissingDatabaseDropsUnlessDashX) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  {
    Server s(dir, {"-v", "-c", "1", "-x", dir / "none.cdb"}, show(svc, {"PROTO"}));
    EXPECT_EQ(s.client(), "");
    std::string line = corvane() + ": warning: dropping connection, unable to read " +
                       (dir / "none.cdb") + ": file does not exist\n";
    EXPECT_TRUE(s.wait_err(line)) << s.err();
    EXPECT_TRUE(s.wait_err(" status " + exit_status(111) + "\n")) << s.err();
  }
  {
    Server s(dir, {"-c", "1", "-X", "-x", dir / "none.cdb"}, show(svc, {"PROTO"}));
    EXPECT_EQ(s.client(), "PROTO=[IPC]\n");
  }
  {
    // -X covers only a database that does not exist.
    testutil::write_file(dir / "file", "");
    Server s(dir, {"-c", "1", "-X", "-x", dir / "file/none.cdb"}, show(svc, {"PROTO"}));
    EXPECT_EQ(s.client(), "");
    EXPECT_TRUE(s.wait_err("unable to read " + (dir / "file/none.cdb") + ": ")) << s.err();
  }
}

// Writes text over file at offset without changing its inode (no rename).
void write_in_place(const std::string &file, const std::string &text, bool truncate, off_t at = 0) {
  int fd = open(file.c_str(), O_WRONLY | (truncate ? O_TRUNC : 0));
  ASSERT_NE(fd, -1);
  EXPECT_EQ(pwrite(fd, text.data(), text.size(), at), static_cast<ssize_t>(text.size()));
  close(fd);
}

// One child keeps serving while its database changes under it: each change
// is seen by the next connection, whatever way the file was changed.
TEST(doit, DatabaseChangesTakeEffectAtTheNextConnection) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  const std::string me = my_uid();
  std::string db = rules(dir, me + ":allow,FOO='one'\n");
  Server s(dir, {"-v", "-c", "1", "-x", db}, show(svc, {"FOO"}));
  EXPECT_EQ(s.client(), "FOO=[one]\n");
  // Replaced by rename, as the compiler does.
  rules(dir, me + ":allow,FOO='two'\n");
  EXPECT_EQ(s.client(), "FOO=[two]\n");
  rules(dir, me + ":deny\n");
  EXPECT_EQ(s.client(), "");
  // Rewritten in place: another size, then the same size and inode.
  rules(dir, me + ":allow,FOO='three'\n", "other.cdb");
  write_in_place(db, testutil::read_file(dir / "other.cdb"), true);
  EXPECT_EQ(s.client(), "FOO=[three]\n");
  rules(dir, me + ":allow,FOO='fours'\n", "other.cdb");
  std::string same = testutil::read_file(dir / "other.cdb");
  ASSERT_EQ(same.size(), testutil::read_file(db).size());
  write_in_place(db, same, false);
  EXPECT_EQ(s.client(), "FOO=[fours]\n");
  // Removed, then back under the same name.
  ASSERT_EQ(unlink(db.c_str()), 0);
  EXPECT_EQ(s.client(), "");
  EXPECT_TRUE(s.wait_err(": warning: dropping connection, unable to read " + db +
                         ": file does not exist\n"))
      << s.err();
  rules(dir, me + ":allow,FOO='five'\n");
  EXPECT_EQ(s.client(), "FOO=[five]\n");
  // Damaged in place, keeping its size: the lookup fails as it always did.
  std::string pid = last_pid(s.err());
  write_in_place(db, std::string(2048, '\xff'), false);
  EXPECT_EQ(s.client(), "");
  EXPECT_TRUE(s.wait_err(corvane() + ": warning: dropping connection, unable to read " + db +
                         ": protocol error\n"))
      << s.err();
  EXPECT_TRUE(s.wait_err(": end " + pid + " status " + exit_status(111) + "\n")) << s.err();
}

TEST(doit, DatabaseRemovedUnderAChildWithDashX) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  // Rules for every peer, so that any user can run the test.
  std::string db = rules(dir, ":allow,FOO='one'\n");
  Server s(dir, {"-v", "-c", "1", "-X", "-x", db}, show(svc, {"FOO", "PROTO"}));
  EXPECT_EQ(s.client(), "FOO=[one]\nPROTO=[IPC]\n");
  std::string pid = last_pid(s.err());
  ASSERT_EQ(unlink(db.c_str()), 0);
  EXPECT_EQ(s.client(), "FOO absent\nPROTO=[IPC]\n");
  rules(dir, ":allow,FOO='two'\n");
  EXPECT_EQ(s.client(), "FOO=[two]\nPROTO=[IPC]\n");
  // The same child served all three.
  EXPECT_EQ(last_pid(s.err()), pid);
  EXPECT_EQ(s.err().find("dropping"), std::string::npos) << s.err();
}

// Connects to path and closes at once.
void connect_and_close(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), path.size());
  EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
  close(fd);
}

TEST(doit, BannerToAClosedPeerDropsOnlyThatConnection) {
  TempDir dir;
  std::string svc = script(dir, env_script);
  // Holding the lock file keeps the child away from accept until the
  // client has gone.
  testutil::write_file(dir / "lock", "");
  int fd = open((dir / "lock").c_str(), O_WRONLY);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(fd, F_SETLK, &fl), 0);
  Server s(dir, {"-v", "-c", "1", "-f", dir / "lock", "-B", "hello"}, show(svc, {"PROTO"}));
  ASSERT_TRUE(s.wait_err(": status: 1/1\n"));
  connect_and_close(s.path);
  fl.l_type = F_UNLCK;
  fcntl(fd, F_SETLK, &fl);
  close(fd);
  EXPECT_TRUE(s.wait_err(corvane() + ": warning: dropping connection, unable to print banner: "
                                     "broken pipe\n"))
      << s.err();
  // The same child serves the next client.
  std::string pid = last_pid(s.err());
  EXPECT_EQ(s.client(), "helloPROTO=[IPC]\n");
  EXPECT_EQ(last_pid(s.err()), pid);
  EXPECT_EQ(s.err().find(": end "), std::string::npos) << s.err();
}

}  // namespace
