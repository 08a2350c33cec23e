// The peer's supplementary groups as the kernel recorded them at connect.
#include "support/ipc.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/common/testutil.hpp"

namespace {

// The groups as ipc_groups writes them: ascending, each once.
std::string listed(std::vector<gid_t> g) {
  std::sort(g.begin(), g.end());
  g.erase(std::unique(g.begin(), g.end()), g.end());
  std::string s;
  for (gid_t x : g) s += (s.empty() ? "" : ",") + std::to_string(x);
  return s;
}

// ipc_groups in a child with the groups g, on a socketpair it makes: the
// kernel records the maker's credentials for both ends.
std::string groups_of_child(const std::vector<gid_t> &g) {
  int p[2];
  if (pipe2(p, O_CLOEXEC)) return "<pipe>";
  pid_t pid = fork();
  if (pid == 0) {
    int sv[2];
    stralloc sa{};
    if (setgroups(g.size(), g.data()) || socketpair(AF_UNIX, SOCK_STREAM, 0, sv) ||
        ipc_groups(sv[0], &sa))
      _exit(1);
    _exit(write(p[1], sa.bytes, sa.length) == (ssize_t)sa.length ? 0 : 1);
  }
  close(p[1]);
  std::string out = testutil::read_some(p[0], 1 << 20);
  close(p[0]);
  int status;
  waitpid(pid, &status, 0);
  return status == 0 ? out : "<failed>";
}

}  // namespace

TEST(ipc_groups, OwnGroupsOverASocketpair) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  std::vector<gid_t> own(getgroups(0, nullptr));
  ASSERT_EQ(getgroups(own.size(), own.data()), (int)own.size());
  static stralloc sa;
  ASSERT_EQ(ipc_groups(sv[0], &sa), 0);
  EXPECT_EQ(std::string(sa.bytes), listed(own));
  EXPECT_EQ(sa.length, listed(own).size());
  close(sv[0]);
  close(sv[1]);
}

// Sorted, each once, and longer lists than the first buffer holds.
TEST(ipc_groups, SortedOnceAndAnyLength) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to set supplementary groups";
  std::vector<gid_t> many;
  for (gid_t g = 0; g < 300; ++g) many.push_back(4000000 - g * 7);
  EXPECT_EQ(groups_of_child({30, 4, 4, 1000}), "4,30,1000");
  EXPECT_EQ(groups_of_child({}), "");
  EXPECT_EQ(groups_of_child(many), listed(many));
}
