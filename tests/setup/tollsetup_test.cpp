// tollsetup as its users meet it: the real binary, real accounts, real
// directories; exact texts, modes, owners, messages and exit codes.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/common/testutil.hpp"

using testutil::read_file;
using testutil::cache_value;
using testutil::tree;
using testutil::run;
using testutil::TempDir;

namespace {

const std::string usage = "tollsetup: usage: tollsetup user loguser dir\n";

struct Entry {
  bool is_dir = false;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

Entry entry(const std::string &path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return {S_ISDIR(st.st_mode), st.st_mode & 07777, st.st_uid, st.st_gid};
}

passwd account(const char *name) {
  const passwd *pw = getpwnam(name);
  EXPECT_NE(pw, nullptr) << name;
  return pw ? *pw : passwd{};
}

testutil::RunOptions as_user(testutil::User user) {
  testutil::RunOptions opt;
  opt.user = user;
  return opt;
}

std::string run_script(const std::string &dir, const std::string &user, const std::string &home) {
  return "#!/bin/sh\n"
         "exec 2>&1\n"
         "exec envdir " + dir + "/env sh -c '\n"
         "exec envuidgid " + user + " corvane -v " + dir + "/s \\\n" +
         home + "/command/tollgant \\\n" +
         dir + "/rules/data.cdb\n"
         "'\n";
}

// env/PATH: the installation's ipc/ (the program-running server alone)
// first, then its command/ and a normal PATH.
std::string service_path(const std::string &home) {
  return home + "/ipc:" + home + "/command:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
}

// Runs tollsetup with the given umask in force.
testutil::RunResult tollsetup_umask(mode_t mask, const std::vector<std::string> &args) {
  mode_t old = umask(mask);
  std::vector<std::string> argv = {testutil::bin("tollsetup")};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = run(argv);
  umask(old);
  return r;
}

// The whole directory made for user daemon and log user nobody by root.
void expect_service_dir(const std::string &dir) {
  passwd log = account("nobody");
  EXPECT_EQ(tree(dir), (std::set<std::string>{"log", "log/main", "log/status", "log/run", "run",
                                              "env", "env/IPCERROUT", "env/PATH", "rules",
                                              "rules/data", "rules/Makefile"}));
  struct Want {
    const char *path;
    bool is_dir;
    mode_t mode;
    bool log_owned;
  };
  const Want wants[] = {
      {"", true, 03755, false},          {"log", true, 02755, false},
      {"log/main", true, 02755, true},   {"log/status", false, 0644, true},
      {"log/run", false, 0755, false},   {"run", false, 0755, false},
      {"env", true, 02755, false},       {"env/IPCERROUT", false, 0644, false},
      {"env/PATH", false, 0644, false},
      {"rules", true, 02755, false},     {"rules/data", false, 0644, false},
      {"rules/Makefile", false, 0644, false},
  };
  for (const Want &w : wants) {
    Entry e = entry(dir + "/" + w.path);
    EXPECT_EQ(e.is_dir, w.is_dir) << w.path;
    EXPECT_EQ(e.mode, w.mode) << w.path << std::oct << " mode " << e.mode;
    EXPECT_EQ(e.uid, w.log_owned ? log.pw_uid : 0u) << w.path;
    EXPECT_EQ(e.gid, w.log_owned ? log.pw_gid : 0u) << w.path;
  }
  EXPECT_EQ(read_file(dir + "/log/status"), "");
  EXPECT_EQ(read_file(dir + "/log/run"), "#!/bin/sh\nexec setuidgid nobody multilog t ./main\n");
  EXPECT_EQ(read_file(dir + "/env/IPCERROUT"), "1");
  EXPECT_EQ(read_file(dir + "/env/PATH"), service_path(cache_value("INSTALL_HOME")));
  EXPECT_EQ(read_file(dir + "/rules/data"), ":deny\n");
  EXPECT_EQ(read_file(dir + "/rules/Makefile"), "data.cdb: data\n\ttollmark data.cdb data.tmp <data\n");
  EXPECT_TRUE(tree(dir + "/log/main").empty());
}

}  // namespace

TEST(tollsetup, WholeDirectoryUnderEitherUmask) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to give the directories to daemon and nobody";
  for (mode_t mask : {mode_t{022}, mode_t{077}}) {
    TempDir t;
    std::string dir = t / "svc";
    auto r = tollsetup_umask(mask, {"daemon", "nobody", dir});
    EXPECT_EQ(r.code(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    SCOPED_TRACE(mask);
    expect_service_dir(dir);
    EXPECT_EQ(read_file(dir + "/run"), run_script(dir, "daemon", cache_value("INSTALL_HOME")));
  }
}

TEST(tollsetup, ArgumentsWrittenAsTyped) {
  // A doubled slash and a trailing slash are kept, not normalised.
  TempDir t;
  std::string dir = t.path + "//svc/";
  auto r = run({testutil::bin("tollsetup"), "daemon", "nobody", dir});
  ASSERT_EQ(r.code(), 0) << r.err;
  EXPECT_EQ(read_file(t / "svc/run"), run_script(dir, "daemon", cache_value("INSTALL_HOME")));
}

TEST(tollsetup, TestCopyNamesTheBuildTree) {
  TempDir t;
  std::string dir = t / "svc";
  auto r = run({testutil::bin("tollsetup_testhome"), "daemon", "nobody", dir});
  ASSERT_EQ(r.code(), 0) << r.err;
  std::string home = cache_value("corvane_suite_BINARY_DIR") + "/testhome";
  EXPECT_EQ(read_file(dir + "/run"), run_script(dir, "daemon", home));
  EXPECT_EQ(read_file(dir + "/env/PATH"), service_path(home));
  EXPECT_TRUE(testutil::exists(home + "/command/tollgant"));
}

TEST(tollsetup, UsageErrorsCreateNothing) {
  TempDir t;
  const std::vector<std::vector<std::string>> cases = {
      {}, {"daemon"}, {"daemon", "nobody"}, {"daemon", "nobody", "relative/dir"},
      {"daemon", "nobody", ""},
  };
  for (const auto &args : cases) {
    std::vector<std::string> argv = {testutil::bin("tollsetup")};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::RunOptions opt;
    opt.cwd = t.path;
    auto r = run(argv, opt);
    EXPECT_EQ(r.code(), 100) << args.size();
    EXPECT_EQ(r.err, usage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(tree(t.path).empty());
}

TEST(tollsetup, UnknownLogAccountCreatesNothing) {
  TempDir t;
  auto r = run({testutil::bin("tollsetup"), "daemon", "no-such-account", t / "svc"});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, "tollsetup: fatal: unknown account no-such-account\n");
  EXPECT_FALSE(testutil::exists(t / "svc"));
}

TEST(tollsetup, UnknownUserLeavesLogDirectory) {
  TempDir t;
  std::string dir = t / "svc";
  auto r = run({testutil::bin("tollsetup"), "no-such-account", "nobody", dir});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, "tollsetup: fatal: unknown account no-such-account\n");
  EXPECT_EQ(tree(dir), (std::set<std::string>{"log", "log/main", "log/status", "log/run"}));
  EXPECT_EQ(entry(dir).mode, 03755u);
  EXPECT_EQ(entry(dir + "/log/main").mode, 02755u);
  EXPECT_EQ(entry(dir + "/log/run").mode, 0755u);
  EXPECT_EQ(read_file(dir + "/log/run"), "#!/bin/sh\nexec setuidgid nobody multilog t ./main\n");
}

TEST(tollsetup, ExistingDirectoryUntouched) {
  TempDir t;
  std::string dir = t / "svc";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0710), 0);
  testutil::write_file(dir + "/keep", "old", 0600);
  auto r = run({testutil::bin("tollsetup"), "daemon", "nobody", dir});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, "tollsetup: fatal: unable to create " + dir + ": file already exists\n");
  EXPECT_EQ(entry(dir).mode, 0710u);
  EXPECT_EQ(tree(dir), std::set<std::string>{"keep"});
  EXPECT_EQ(read_file(dir + "/keep"), "old");
}

TEST(tollsetup, MissingParentDirectory) {
  TempDir t;
  std::string dir = t / "absent/svc";
  auto r = run({testutil::bin("tollsetup"), "daemon", "nobody", dir});
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, "tollsetup: fatal: unable to create " + dir + ": file does not exist\n");
}

TEST(tollsetup, UnprivilegedInvoker) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run tollsetup as nobody";
  // nobody cannot create in a directory of root's, ...
  TempDir t;
  testutil::User nobody = testutil::nobody();
  auto r = run({testutil::bin("tollsetup"), "daemon", "nobody", t / "svc"}, as_user(nobody));
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, "tollsetup: fatal: unable to create " + (t / "svc") + ": access denied\n");
  EXPECT_FALSE(testutil::exists(t / "svc"));

  // ... owns what it makes in its own directory, ...
  std::string home = t / "home";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(chown(home.c_str(), nobody.uid, nobody.gid), 0);
  r = run({testutil::bin("tollsetup"), "daemon", "nobody", home + "/svc"}, as_user(nobody));
  EXPECT_EQ(r.code(), 0) << r.err;
  for (const char *p : {"", "/log", "/log/main", "/log/status", "/run", "/env/IPCERROUT",
                        "/env/PATH", "/rules/Makefile"}) {
    Entry e = entry(home + "/svc" + p);
    EXPECT_EQ(e.uid, nobody.uid) << p;
  }
  EXPECT_EQ(entry(home + "/svc").mode, 03755u);

  // ... and cannot give the log to another account: the failure names the
  // path and stops there.
  std::string dir = home + "/svc2";
  r = run({testutil::bin("tollsetup"), "nobody", "daemon", dir}, as_user(nobody));
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.err, "tollsetup: fatal: unable to create " + dir + "/log/main: permission denied\n");
  EXPECT_EQ(tree(dir), (std::set<std::string>{"log", "log/main"}));
  // Made with 0700; the set-group-id bit comes from log.
  EXPECT_EQ(entry(dir + "/log/main").mode, 02700u);
}

TEST(tollsetup, RefusesNamesThatWouldBreakTheScripts) {
  TempDir t;
  for (const std::string name : {"svc dir", "svc'x", "a;b", "a$b", "a\nb", "a\\b", "a`b"}) {
    std::string dir = t / name;
    auto r = run({testutil::bin("tollsetup"), "daemon", "nobody", dir});
    EXPECT_EQ(r.code(), 100) << name;
    EXPECT_EQ(r.err, "tollsetup: fatal: unsafe character for a script in " + dir + "\n");
  }
  auto r = run({testutil::bin("tollsetup"), "daemon", "no body", t / "svc"});
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "tollsetup: fatal: unsafe character for a script in no body\n");
  EXPECT_TRUE(tree(t.path).empty());
  // Ordinary punctuation and names in UTF-8 are fine.
  r = run({testutil::bin("tollsetup"), "daemon", "nobody", t / "svc-1.x_y+z@h=%,:\xc3\xa9"});
  EXPECT_EQ(r.code(), 0) << r.err;
}
