// Descriptor, open, non-blocking and lock wrappers.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/common/unit.hpp"
#include "support/fd.hpp"
#include "support/lock.hpp"
#include "support/ndelay.hpp"
#include "support/open.hpp"
#include "tests/common/testutil.hpp"

using testutil::in_child;
using testutil::TempDir;

namespace {
bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }
int free_fd() {
  int fd = 200;
  while (is_open(fd)) ++fd;
  return fd;
}
}  // namespace

TEST(fd_copy, SameDescriptorDoesNothing) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(fd_copy(p[0], p[0]), 0);
  EXPECT_TRUE(is_open(p[0]));
  EXPECT_EQ(fd_copy(free_fd(), free_fd()), 0);  // even when it is not open
  close(p[0]);
  close(p[1]);
}

TEST(fd_copy, BadSourceLeavesTargetOpen) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int bad = free_fd();
  errno = 0;
  EXPECT_EQ(fd_copy(p[1], bad), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(is_open(p[1]));
  EXPECT_EQ(write(p[1], "x", 1), 1);
  close(p[0]);
  close(p[1]);
}

TEST(fd_copy, TargetBecomesCopy) {
  int p[2], q[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(pipe(q), 0);
  // q[1] is open and gets replaced by a copy of p[1].
  ASSERT_EQ(fd_copy(q[1], p[1]), 0);
  ASSERT_EQ(write(q[1], "hi", 2), 2);
  char b[2];
  ASSERT_EQ(read(p[0], b, 2), 2);
  EXPECT_EQ(std::string(b, 2), "hi");
  EXPECT_EQ(fcntl(q[1], F_GETFD) & FD_CLOEXEC, 0);
  close(p[0]);
  close(p[1]);
  close(q[0]);
  close(q[1]);
}

TEST(fd_move, ClosesSource) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int to = free_fd();
  ASSERT_EQ(fd_move(to, p[1]), 0);
  EXPECT_FALSE(is_open(p[1]));
  ASSERT_EQ(write(to, "z", 1), 1);
  char c;
  ASSERT_EQ(read(p[0], &c, 1), 1);
  EXPECT_EQ(c, 'z');
  EXPECT_EQ(fd_move(to, to), 0);
  EXPECT_TRUE(is_open(to));
  close(to);
  close(p[0]);
}

TEST(fd_move, BadSourceFails) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(fd_move(p[1], free_fd()), -1);
  EXPECT_TRUE(is_open(p[1]));
  close(p[0]);
  close(p[1]);
}

TEST(ndelay, OnOffAndCoe) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_NE(ndelay_on(p[0]), -1);
  EXPECT_NE(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
  char c;
  errno = 0;
  EXPECT_EQ(read(p[0], &c, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_NE(ndelay_off(p[0]), -1);
  EXPECT_EQ(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(fcntl(p[0], F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_NE(coe(p[0]), -1);
  EXPECT_NE(fcntl(p[0], F_GETFD) & FD_CLOEXEC, 0);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(ndelay_on(p[0]), -1);
  EXPECT_EQ(ndelay_off(p[0]), -1);
  EXPECT_EQ(coe(p[0]), -1);
}

TEST(open_read, NonBlockingReadOnly) {
  TempDir d;
  testutil::write_file(d / "f", "data");
  const int fd = open_read((d / "f").c_str());
  ASSERT_GE(fd, 0);
  const int fl = fcntl(fd, F_GETFL);
  EXPECT_EQ(fl & O_ACCMODE, O_RDONLY);
  EXPECT_NE(fl & O_NONBLOCK, 0);
  close(fd);
  errno = 0;
  EXPECT_EQ(open_read((d / "missing").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(open_append, CreatesWithMode0600AndAppends) {
  TempDir d;
  const mode_t old = umask(022);
  const std::string fn = d / "log";
  int fd = open_append(fn.c_str());
  ASSERT_GE(fd, 0);
  const int fl = fcntl(fd, F_GETFL);
  EXPECT_EQ(fl & O_ACCMODE, O_WRONLY);
  EXPECT_NE(fl & O_NONBLOCK, 0);
  EXPECT_NE(fl & O_APPEND, 0);
  ASSERT_EQ(write(fd, "one\n", 4), 4);
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(fn.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  fd = open_append(fn.c_str());
  ASSERT_EQ(write(fd, "two\n", 4), 4);
  close(fd);
  EXPECT_EQ(testutil::read_file(fn), "one\ntwo\n");
  umask(old);
}

TEST(open_truncate, CreatesWithMode0644AndTruncates) {
  TempDir d;
  const mode_t old = umask(022);
  const std::string fn = d / "out";
  testutil::write_file(fn, "old contents", 0600);
  int fd = open_truncate(fn.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  ASSERT_EQ(write(fd, "new", 3), 3);
  close(fd);
  EXPECT_EQ(testutil::read_file(fn), "new");
  fd = open_truncate((d / "fresh").c_str());
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat st;
  ASSERT_EQ(stat((d / "fresh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  umask(old);
}

TEST(lock_ex, ExcludesOtherOpenFile) {
  TempDir d;
  const std::string fn = d / "lock";
  const int fd = open_append(fn.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lock_ex(fd), 0);
  auto held = in_child([&fn] {
    const int other = open(fn.c_str(), O_RDONLY);
    CHILD_CHECK(other >= 0);
    CHILD_CHECK(flock(other, LOCK_EX | LOCK_NB) == -1);
    CHILD_CHECK(errno == EWOULDBLOCK);
    return 0;
  });
  EXPECT_EQ(held.code(), 0);
  ASSERT_EQ(lock_un(fd), 0);
  auto released = in_child([&fn] {
    const int other = open(fn.c_str(), O_RDONLY);
    CHILD_CHECK(flock(other, LOCK_EX | LOCK_NB) == 0);
    return 0;
  });
  EXPECT_EQ(released.code(), 0);
  close(fd);
  EXPECT_EQ(lock_ex(fd), -1);
  EXPECT_EQ(lock_un(fd), -1);
}
