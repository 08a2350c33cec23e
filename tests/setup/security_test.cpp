// tollsetup run by root in a directory that another account (nobody) may
// write: nobody swaps the new service directory for something of its own
// while tollsetup is at work, and root must neither write outside the
// directory it made nor fill one of nobody's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
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

uid_t owner_of(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : (uid_t)-1;
}

/// Paths under dir, when dir is a directory of nobody's, that nobody does
/// not own: what root wrote into a directory that it did not make.
std::set<std::string> foreign_in(const std::string &dir) {
  std::set<std::string> out;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != testutil::nobody().uid)
    return out;
  for (const std::string &p : testutil::tree(dir))
    if (owner_of(dir + "/" + p) != testutil::nobody().uid) out.insert(p);
  return out;
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
       "unable to switch to DIR: not the directory just made"},
      {"dir nobody's own and empty, mode 0700 as made",
       [&](const std::string &dir) { return mkdir(dir.c_str(), 0700) == 0; },
       "unable to switch to DIR: not the directory just made"},
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
    EXPECT_EQ(foreign_in(dir), std::set<std::string>{});
    // Nothing of root's changed.
    EXPECT_EQ(mode_of(target), 0700u);
    EXPECT_EQ(names(target), std::set<std::string>{"keep"});
    EXPECT_EQ(read_file(target + "/keep"), "kept\n");
    EXPECT_EQ(mode_of(secret), 0600u);
    EXPECT_EQ(read_file(secret), "root only\n");
  }
}

// The same swap without any slowing, as fast as nobody can make it, for a
// few seconds of runs, each on a fresh name.  Whoever wins the race,
// tollsetup either fills the directory it made or refuses: it never fills
// one of nobody's, nor answers otherwise.
TEST(tollsetup_security, SwapRaceIsNeverWon) {
  if (geteuid() != 0) GTEST_SKIP() << "runs an attacker as nobody: needs root";
  TempDir t;
  const std::string parent = t / "parent";
  ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
  ASSERT_EQ(chown(parent.c_str(), testutil::nobody().uid, testutil::nobody().gid), 0);
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // nobody: for each number read, waits for parent/svcN to appear, moves
    // it aside and puts an empty directory of its own in its place.
    close(go[1]);
    close(done[0]);
    if (!testutil::become(testutil::nobody())) _exit(2);
    uint32_t n;
    while (read(go[0], &n, sizeof n) == sizeof n) {
      const std::string dir = parent + "/svc" + std::to_string(n);
      const std::string moved = parent + "/moved" + std::to_string(n);
      // The rename itself is the wait: one system call between the
      // directory's appearance and its removal.
      bool moved_aside = false;
      for (int spins = 0; !moved_aside && spins < 5000000; ++spins)
        moved_aside = rename(dir.c_str(), moved.c_str()) == 0;
      char swapped = moved_aside && mkdir(dir.c_str(), 0700) == 0;
      if (write(done[1], &swapped, 1) != 1) _exit(3);
    }
    _exit(0);
  }
  close(go[0]);
  close(done[1]);
  std::map<std::string, int> outcomes;  // each answer of tollsetup, DIR for the directory
  int swaps = 0, wins = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (uint32_t n = 0; std::chrono::steady_clock::now() < end; ++n) {
    const std::string dir = parent + "/svc" + std::to_string(n);
    ASSERT_EQ(write(go[1], &n, sizeof n), (ssize_t)sizeof n);
    auto r = testutil::run({testutil::bin("tollsetup"), "daemon", "nobody", dir});
    char swapped = 0;
    ASSERT_EQ(read(done[0], &swapped, 1), 1);
    swaps += swapped;
    std::string answer = std::to_string(r.code()) + (r.err.empty() ? "\n" : " " + r.err);
    if (size_t at = answer.find(dir); at != std::string::npos)
      answer.replace(at, dir.size(), "DIR");
    ++outcomes[answer];
    if (!foreign_in(dir).empty()) ++wins;
  }
  close(go[1]);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string summary;
  for (const auto &[answer, count] : outcomes) summary += std::to_string(count) + " x " + answer;
  EXPECT_EQ(wins, 0) << "nobody's directory filled by root; " << swaps << " swaps\n" << summary;
  // Every answer is the whole directory, or one of the two refusals of a
  // directory that was swapped.
  const std::set<std::string> answers = {
      "0\n",
      "111 tollsetup: fatal: unable to switch to DIR: file does not exist\n",
      "111 tollsetup: fatal: unable to switch to DIR: not the directory just made\n",
  };
  for (const auto &[answer, count] : outcomes) EXPECT_TRUE(answers.count(answer)) << answer;
  std::cout << "race: " << swaps << " swaps; answers:\n" << summary;
}
