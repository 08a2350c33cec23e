// Program start with queued environment changes, checked with real execve in
// forked children: /usr/bin/env prints the environment it was given.
#include "support/pathrun.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/common/unit.hpp"
#include "support/env.hpp"
#include "tests/common/testutil.hpp"

extern char **environ;

using testutil::ChildResult;
using testutil::in_child;
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

// The changes queued, in order, on the environment given: what the program
// started sees (value nullptr: removal).
TEST(pathrun, MergeTable) {
  const struct {
    std::vector<std::string> env;
    std::vector<Change> changes;
    std::string out;
  } rows[] = {
      {{"A=0", "B=1"}, {}, "A=0\nB=1\n"},
      // Removal takes the first entry and moves the last into its place.
      {{"A=0", "B=1", "A=dup", "C=2"}, {{"A", nullptr}}, "C=2\nB=1\nA=dup\n"},
      // Setting twice keeps the last, whether the name was there or not.
      {{"B=1"}, {{"A", "1"}, {"A", "2"}}, "B=1\nA=2\n"},
      {{"A=0", "B=1"}, {{"A", "1"}, {"A", "2"}}, "B=1\nA=2\n"},
      {{"B=1"}, {{"A", "1"}, {"A", nullptr}}, "B=1\n"},  // removal cancels a queued setting
      {{"ABC=3", "A=1", "AB=2", "Z=9"}, {{"AB", nullptr}}, "ABC=3\nA=1\nZ=9\n"},  // name before '='
      // Values may be empty or hold '=': E= appended; X=old replaced (by E=,
      // the last) and X=a=b appended.
      {{"X=old"}, {{"E", ""}, {"X", "a=b"}, {"Y", "1"}, {"Y", nullptr}}, "E=\nX=a=b\n"},
  };
  for (const auto &r : rows) {
    auto got = run_pathrun(r.env, r.changes);
    EXPECT_EQ(got.code(), 0) << r.out;
    EXPECT_EQ(got.out, r.out);
  }
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

// A search for file with PATH (unset when nullptr) from the directory cwd;
// "@" stands for the directory of candidates.  The exit code is errno
// when the search failed.
TEST(pathrun_search, Table) {
  const struct {
    const char *path;
    std::string file, cwd;
    int code;
    std::string out;
    int alt = -1;  ///< another code some systems give
  } rows[] = {
      // Missing, not executable and directory candidates are passed over.
      {"@/missing:@/noexec:@/isdir:@/good:@/good2", "prog", "", 0, "good:v\n"},
      {"@/missing:@/nonexistent", "prog", "", ENOENT, ""},
      {"@/noexec:@/missing", "prog", "", EACCES, ""},  // an access error outlives a later miss
      // Linux reports EACCES for a directory; other systems may say EISDIR.
      {"@/isdir:@/missing", "prog", "", EACCES, "", EISDIR},
      // Other errors stop the search.
      {"@/badformat:@/good", "prog", "", ENOEXEC, ""},
      {"@/plainfile:@/good", "prog", "", ENOTDIR, ""},
      // A name with a slash ignores PATH.
      {"@/good", "missing/prog", "@", ENOENT, ""},
      {"/nonexistent", "good/prog", "@", 0, "good:v\n"},
      {"@/good", "@/noexec/prog", "", EACCES, ""},
      // An empty PATH tries the current directory only.
      {"", "prog", "@/good", 0, "good:v\n"},
      {"", "prog", "@/missing", ENOENT, ""},
      // An empty element means the current directory: first (missing there,
      // then good/prog), not executable there (on to the next), or last.
      {":good", "prog", "@", 0, "good:v\n"},
      {":@/good2", "prog", "@/noexec", 0, "good2\n"},
      {"@/missing:", "prog", "@/good", 0, "good:v\n"},
      // The default PATH when it is unset: env is in /bin or /usr/bin.
      {nullptr, "env", "", 0, "K=v\n"},
      {nullptr, "no-such-program-in-default-path", "", ENOENT, ""},
  };
  Candidates c;
  auto at = [&c](std::string s) {
    for (size_t i = 0; (i = s.find('@', i)) != std::string::npos; i += c.d.path.size())
      s.replace(i, 1, c.d.path);
    return s;
  };
  for (const auto &r : rows) {
    const std::string path = r.path ? at(r.path) : "";
    auto got = run_search(r.path ? path.c_str() : nullptr, at(r.file), at(r.cwd));
    const std::string where = (r.path ? path : "unset") + ", " + r.file;
    EXPECT_TRUE(got.code() == r.code || got.code() == r.alt) << where << ": " << got.code();
    EXPECT_EQ(got.out, r.out) << where;
  }
}
