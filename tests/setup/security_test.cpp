// tollsetup run by root in a directory that another account (nobody) may
// write: nobody swaps the new service directory for something of its own
// while tollsetup is at work, and root must not write outside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "tests/common/testutil.hpp"

using testutil::read_file;
using testutil::TempDir;

namespace {

const char *strace = "/usr/bin/strace";

std::set<std::string> names(const std::string &dir) {
  std::set<std::string> out;
  for (const auto &e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename());
  return out;
}

mode_t mode_of(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

/// Forks nobody, who waits for dir to appear, moves it aside and runs swap.
/// The pid, to be waited for: exit 0 when the swap was made.
pid_t attacker(const std::string &dir, const std::function<bool()> &swap) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  testutil::User nobody = testutil::nobody();
  if (!testutil::become(nobody)) _exit(2);
  for (int waited = 0; !testutil::exists(dir); ++waited) {
    if (waited > 5000) _exit(3);
    usleep(1000);
  }
  if (rename(dir.c_str(), (dir + ".moved").c_str()) != 0) _exit(4);
  _exit(swap() ? 0 : 5);
}

}  // namespace

// The race is made certain: strace holds tollsetup for a second in the
// return from its first mkdir, the one that makes the service directory,
// and nobody swaps the directory in that second.
TEST(tollsetup_security, SwappedDirectoryIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "runs an attacker as nobody: needs root";
  if (!testutil::exists(strace)) GTEST_SKIP() << "holds tollsetup with strace";
  TempDir t;
  std::string parent = t / "parent";
  ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
  ASSERT_EQ(chown(parent.c_str(), testutil::nobody().uid, testutil::nobody().gid), 0);
  // root's own: a directory and a file nobody may not touch, made afresh for each case.
  std::string target = t / "target";
  std::string secret = t / "secret";

  struct Case {
    const char *what;
    std::function<bool(const std::string &dir)> swap;
    std::string message;  // after "tollsetup: fatal: "
  };
  const std::vector<Case> cases = {
      {"dir a link to root's directory",
       [&](const std::string &dir) { return symlink(target.c_str(), dir.c_str()) == 0; },
       "unable to switch to DIR: not a directory"},
      {"dir nobody's own, its run a link to root's file",
       [&](const std::string &dir) {
         return mkdir(dir.c_str(), 0755) == 0 && symlink(secret.c_str(), (dir + "/run").c_str()) == 0;
       },
       "unable to create DIR/run: file already exists"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string dir = parent + "/svc";
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(dir + ".moved");
    std::filesystem::remove_all(target);
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    testutil::write_file(target + "/keep", "kept\n", 0600);
    testutil::write_file(secret, "root only\n", 0600);
    pid_t pid = attacker(dir, [&] { return c.swap(dir); });
    auto r = testutil::run({strace, "-qq", "-o", "/dev/null", "-e", "trace=mkdir", "-e",
                            "inject=mkdir:delay_exit=1000000:when=1", testutil::bin("tollsetup"),
                            "daemon", "nobody", dir});
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the swap failed: " << status;
    std::string message = c.message;
    message.replace(message.find("DIR"), 3, dir);
    EXPECT_EQ(r.err, "tollsetup: fatal: " + message + "\n");
    EXPECT_EQ(r.code(), 111);
    // Nothing of root's changed.
    EXPECT_EQ(mode_of(target), 0700u);
    EXPECT_EQ(names(target), std::set<std::string>{"keep"});
    EXPECT_EQ(read_file(target + "/keep"), "kept\n");
    EXPECT_EQ(mode_of(secret), 0600u);
    EXPECT_EQ(read_file(secret), "root only\n");
  }
}
