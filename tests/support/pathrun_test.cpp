// Program start with queued environment changes, checked with real execve in
// forked children: /usr/bin/env prints the environment it was given.
#include "support/pathrun.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "child.hpp"
#include "support/env.hpp"
#include "tests/common/testutil.hpp"

extern char **environ;

using supporttest::ChildResult;
using supporttest::in_child;
using testutil::TempDir;

namespace {

const char *const env_program = "/usr/bin/env";

// In a child: sets the process environment to env, queues the changes
// (value nullptr: removal), and runs argv0 through pathrun.  The child's exit
// code is errno when pathrun returns.
struct Change {
  const char *name;
  const char *value;
};
ChildResult run_pathrun(std::vector<std::string> env, const std::vector<Change> &changes,
                        const std::string &argv0 = env_program) {
  return in_child([&]() -> int {
    std::vector<char *> e;
    for (auto &s : env) e.push_back(s.data());
    e.push_back(nullptr);
    environ = e.data();
    for (const Change &c : changes)
      if (!pathrun_env(c.name, c.value)) return 99;
    char *argv[] = {const_cast<char *>(argv0.c_str()), nullptr};
    pathrun(argv);
    return errno;
  });
}

// A directory tree of PATH candidates named prog.
struct Candidates {
  TempDir d;
  Candidates() {
    mkdir((d / "missing").c_str(), 0755);
    mkdir((d / "noexec").c_str(), 0755);
    testutil::write_file(d / "noexec/prog", "#!/bin/sh\necho noexec\n", 0644);
    mkdir((d / "isdir").c_str(), 0755);
    mkdir((d / "isdir/prog").c_str(), 0755);
    mkdir((d / "good").c_str(), 0755);
    testutil::write_file(d / "good/prog", "#!/bin/sh\necho \"good:$K\"\n", 0755);
    mkdir((d / "good2").c_str(), 0755);
    testutil::write_file(d / "good2/prog", "#!/bin/sh\necho good2\n", 0755);
    mkdir((d / "badformat").c_str(), 0755);
    testutil::write_file(d / "badformat/prog", std::string("\x01\x02\x03\x04 not a program\n"),
                         0755);
    testutil::write_file(d / "plainfile", "not a directory\n");
  }
  std::string operator/(const std::string &n) const { return d / n; }
};

// In a child: environ holds only PATH (when path is given), the directory is
// cwd (when given), and pathrun_search runs file with the environment K=v.
ChildResult run_search(const char *path, const std::string &file, const std::string &cwd = "") {
  return in_child([&]() -> int {
    std::string p = path ? std::string("PATH=") + path : "";
    char *e[] = {path ? p.data() : nullptr, nullptr};
    environ = e;
    if (!cwd.empty() && chdir(cwd.c_str()) == -1) return 98;
    char k[] = "K=v";
    char *envp[] = {k, nullptr};
    char *argv[] = {const_cast<char *>(file.c_str()), nullptr};
    pathrun_search(file.c_str(), argv, envp);
    return errno;
  });
}

}  // namespace

// ---- environment merging ----

TEST(pathrun, NoChangesPassesEnvironment) {
  auto r = run_pathrun({"A=0", "B=1"}, {});
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "A=0\nB=1\n");
}

TEST(pathrun, RemovalTakesFirstEntryAndMovesLastIntoItsPlace) {
  auto r = run_pathrun({"A=0", "B=1", "A=dup", "C=2"}, {{"A", nullptr}});
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "C=2\nB=1\nA=dup\n");
}

TEST(pathrun, SettingTwiceKeepsLastWhenAbsent) {
  auto r = run_pathrun({"B=1"}, {{"A", "1"}, {"A", "2"}});
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "B=1\nA=2\n");
}

TEST(pathrun, SettingTwiceKeepsLastWhenPresent) {
  auto r = run_pathrun({"A=0", "B=1"}, {{"A", "1"}, {"A", "2"}});
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "B=1\nA=2\n");
}

TEST(pathrun, RemovalCancelsQueuedSetting) {
  auto r = run_pathrun({"B=1"}, {{"A", "1"}, {"A", nullptr}});
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "B=1\n");
}

TEST(pathrun, NameMatchesOnlyBeforeEquals) {
  auto r = run_pathrun({"ABC=3", "A=1", "AB=2", "Z=9"}, {{"AB", nullptr}});
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "ABC=3\nA=1\nZ=9\n");
}

TEST(pathrun, ValuesMayBeEmptyOrHoldEquals) {
  auto r = run_pathrun({"X=old"}, {{"E", ""}, {"X", "a=b"}, {"Y", "1"}, {"Y", nullptr}});
  EXPECT_EQ(r.code(), 0);
  // E= appended; X=old replaced (by E=, the last) and X=a=b appended.
  EXPECT_EQ(r.out, "E=\nX=a=b\n");
}

TEST(pathrun, NullNameQueuesNothing) {
  auto r = in_child([]() -> int {
    char a[] = "A=0";
    char *e[] = {a, nullptr};
    environ = e;
    CHILD_CHECK(pathrun_env(nullptr, "x") == 1);
    CHILD_CHECK(pathrun_env(nullptr, nullptr) == 1);
    char *argv[] = {const_cast<char *>(env_program), nullptr};
    pathrun(argv);
    return 2;
  });
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "A=0\n");
}

TEST(pathrun, ProcessEnvironmentUnchanged) {
  auto r = in_child([]() -> int {
    char a[] = "A=0";
    char *e[] = {a, nullptr};
    environ = e;
    CHILD_CHECK(pathrun_env("A", "1") == 1);
    CHILD_CHECK(pathrun_env("N", "new") == 1);
    CHILD_CHECK(environ == e);
    CHILD_CHECK(env_get("A") != nullptr && std::string(env_get("A")) == "0");
    CHILD_CHECK(env_get("N") == nullptr);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(pathrun, FailureKeepsQueueForNextAttempt) {
  auto r = in_child([]() -> int {
    char a[] = "A=0";
    char *e[] = {a, nullptr};
    environ = e;
    CHILD_CHECK(pathrun_env("Q", "queued") == 1);
    char missing[] = "/nonexistent-dir/prog";
    char *argv1[] = {missing, nullptr};
    errno = 0;
    pathrun(argv1);
    CHILD_CHECK(errno == ENOENT);
    CHILD_CHECK(pathrun_env("R", "later") == 1);
    char *argv2[] = {const_cast<char *>(env_program), nullptr};
    pathrun(argv2);
    return 2;
  });
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "A=0\nQ=queued\nR=later\n");
}

TEST(pathrun, QueuedPathReachesProgramButNotSearch) {
  Candidates c;
  const std::string path = "PATH=" + (c / "good");
  testutil::write_file(c / "good/showpath", "#!/bin/sh\necho \"ran:$PATH\"\n", 0755);
  auto r = run_pathrun({path}, {{"PATH", "/nonexistent"}}, "showpath");
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "ran:/nonexistent\n");
}

// ---- PATH search ----

TEST(pathrun_search, SkipsMissingNonExecutableAndDirectory) {
  Candidates c;
  const std::string path = c / "missing" + ":" + c / "noexec" + ":" + c / "isdir" + ":" +
                           c / "good" + ":" + c / "good2";
  auto r = run_search(path.c_str(), "prog");
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "good:v\n");
}

TEST(pathrun_search, AllMissingGivesNoent) {
  Candidates c;
  const std::string path = c / "missing" + ":" + c / "nonexistent";
  auto r = run_search(path.c_str(), "prog");
  EXPECT_EQ(r.code(), ENOENT);
  EXPECT_EQ(r.out, "");
}

TEST(pathrun_search, AccessErrorOutlivesLaterMissing) {
  Candidates c;
  const std::string path = c / "noexec" + ":" + c / "missing";
  auto r = run_search(path.c_str(), "prog");
  EXPECT_EQ(r.code(), EACCES);
}

TEST(pathrun_search, DirectoryCandidateIsSkipped) {
  Candidates c;
  const std::string path = c / "isdir" + ":" + c / "missing";
  auto r = run_search(path.c_str(), "prog");
  // Linux reports EACCES for a directory; other systems may say EISDIR.
  EXPECT_TRUE(r.code() == EACCES || r.code() == EISDIR) << r.code();
}

TEST(pathrun_search, OtherErrorStopsSearch) {
  Candidates c;
  const std::string path = c / "badformat" + ":" + c / "good";
  auto r = run_search(path.c_str(), "prog");
  EXPECT_EQ(r.code(), ENOEXEC);
  EXPECT_EQ(r.out, "");
  const std::string notdir = c / "plainfile" + ":" + c / "good";
  auto r2 = run_search(notdir.c_str(), "prog");
  EXPECT_EQ(r2.code(), ENOTDIR);
  EXPECT_EQ(r2.out, "");
}

TEST(pathrun_search, NameWithSlashIgnoresPath) {
  Candidates c;
  auto r = run_search((c / "good").c_str(), "missing/prog", c.d.path);
  EXPECT_EQ(r.code(), ENOENT);
  auto r2 = run_search("/nonexistent", "good/prog", c.d.path);
  EXPECT_EQ(r2.code(), 0);
  EXPECT_EQ(r2.out, "good:v\n");
  auto r3 = run_search((c / "good").c_str(), c / "noexec/prog");
  EXPECT_EQ(r3.code(), EACCES);
}

TEST(pathrun_search, EmptyPathTriesCurrentDirectoryOnly) {
  Candidates c;
  auto r = run_search("", "prog", c / "good");
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "good:v\n");
  auto r2 = run_search("", "prog", c / "missing");
  EXPECT_EQ(r2.code(), ENOENT);
}

TEST(pathrun_search, EmptyElementMeansCurrentDirectory) {
  Candidates c;
  // ":good": ./prog first (missing in the top directory), then good/prog.
  auto r = run_search(":good", "prog", c.d.path);
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "good:v\n");
  // ./prog not executable: the search goes on to the next element.
  const std::string path = ":" + c / "good2";
  auto r2 = run_search(path.c_str(), "prog", c / "noexec");
  EXPECT_EQ(r2.code(), 0);
  EXPECT_EQ(r2.out, "good2\n");
  // A trailing empty element is tried last.
  const std::string trailing = c / "missing" + ":";
  auto r3 = run_search(trailing.c_str(), "prog", c / "good");
  EXPECT_EQ(r3.code(), 0);
  EXPECT_EQ(r3.out, "good:v\n");
}

TEST(pathrun_search, DefaultPathWhenUnset) {
  auto r = run_search(nullptr, "env");  // found in /bin or /usr/bin
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "K=v\n");
  auto r2 = run_search(nullptr, "no-such-program-in-default-path");
  EXPECT_EQ(r2.code(), ENOENT);
}
