// Line reading, and the flush_then_read operation of standard input.
#include "support/line.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/common/unit.hpp"
#include "support/buffer.hpp"

// The test binary is a program that links line.o, so it defines its own
// standard buffers.
BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

using testutil::owned_stralloc;
using testutil::Feeder;
using testutil::pattern;
using testutil::Step;
using testutil::UseFeeder;

namespace {

struct Lines : ::testing::Test {
  Feeder feed;
  UseFeeder use{feed};
  std::vector<char> space;
  buffer b;
  owned_stralloc sa{};
  int match = -1;
  void make(uint32_t size, const std::string &input, uint32_t max = UINT32_MAX) {
    feed.input = input;
    feed.max = max;
    space.assign(size, 0);
    buffer_init(&b, Feeder::read_op, 0, space.data(), size);
  }
  std::string line() const { return std::string(sa.bytes, sa.length); }
};

}  // namespace

TEST_F(Lines, LastLineWithoutSeparator) {
  make(64, "a\nb");
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "a\n");
  EXPECT_EQ(match, 1);
  EXPECT_EQ(sa.bytes[sa.length], 'Z');
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "b");
  EXPECT_EQ(match, 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
    EXPECT_EQ(line(), "");
    EXPECT_EQ(match, 0);
  }
}

TEST_F(Lines, EmptyInput) {
  make(64, "");
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "");
  EXPECT_EQ(match, 0);
  EXPECT_NE(sa.bytes, nullptr);  // allocated even for an empty result
}

TEST_F(Lines, SeveralLinesFromOneRead) {
  make(64, "one\ntwo\n\nthree\n");
  std::vector<std::string> got;
  for (;;) {
    ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
    if (!match) break;
    got.push_back(line());
  }
  EXPECT_EQ(got, (std::vector<std::string>{"one\n", "two\n", "\n", "three\n"}));
  EXPECT_EQ(feed.asked.size(), 2u);  // one read for all lines, one at end of input
}

TEST_F(Lines, LineAcrossRefills) {
  make(4, "hello world\nxy\n", 3);
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "hello world\n");
  EXPECT_EQ(match, 1);
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "xy\n");
  EXPECT_EQ(match, 1);
}

TEST_F(Lines, LineLongerThanSpace) {
  const std::string longline = pattern(1000) + "\n";
  make(16, longline + pattern(40));
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), longline);
  EXPECT_EQ(match, 1);
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), pattern(40));
  EXPECT_EQ(match, 0);
}

TEST_F(Lines, OneByteReads) {
  make(8, "ab\ncd\n", 1);
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "ab\n");
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "cd\n");
  EXPECT_EQ(match, 1);
}

TEST_F(Lines, NulSeparator) {
  make(64, std::string("x=1\0y=2\0", 8));
  ASSERT_EQ(line_fetch(&b, &sa, &match, 0), 0);
  EXPECT_EQ(line(), std::string("x=1\0", 4));
  ASSERT_EQ(line_fetch(&b, &sa, &match, 0), 0);
  EXPECT_EQ(line(), std::string("y=2\0", 4));
  EXPECT_EQ(match, 1);
}

TEST_F(Lines, ReplacesPreviousContents) {
  make(64, "short\n");
  ASSERT_EQ(stralloc_copys(&sa, "a much longer previous line"), 1);
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "short\n");
}

TEST_F(Lines, ReadFailure) {
  make(4, "abcdefgh\n", 4);
  feed.script = {Step::upto(4), Step::fail(EIO)};
  errno = 0;
  EXPECT_EQ(line_fetch(&b, &sa, &match, '\n'), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(line(), "abcd");  // what was gathered stays
}

TEST_F(Lines, InterruptedReadIsRetried) {
  make(64, "x\n");
  feed.script = {Step::fail(EINTR)};
  ASSERT_EQ(line_fetch(&b, &sa, &match, '\n'), 0);
  EXPECT_EQ(line(), "x\n");
}

TEST_F(Lines, SplitLeavesTailInSpace) {
  make(8, "abcdefghij\nrest");
  const char *tail = nullptr;
  uint32_t taillen = 99;
  ASSERT_EQ(line_fetch_split(&b, &sa, &tail, &taillen, '\n'), 0);
  EXPECT_EQ(line(), "abcdefgh");
  ASSERT_EQ(taillen, 3u);
  EXPECT_EQ(std::string(tail, 3), "ij\n");
  EXPECT_GE(tail, space.data());
  EXPECT_LT(tail, space.data() + 8);
  ASSERT_EQ(line_fetch_split(&b, &sa, &tail, &taillen, '\n'), 0);
  EXPECT_EQ(line(), "rest");
  EXPECT_EQ(taillen, 0u);
}

TEST_F(Lines, SplitOfLineInOneRead) {
  make(64, "k=v\n");
  const char *tail = nullptr;
  uint32_t taillen = 0;
  ASSERT_EQ(line_fetch_split(&b, &sa, &tail, &taillen, '\n'), 0);
  EXPECT_EQ(sa.length, 0u);
  EXPECT_EQ(std::string(tail, taillen), "k=v\n");
}

// ---- flush_then_read ----

namespace {

struct StdBuffers : ::testing::Test {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  void SetUp() override {
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(buffer_stdout->pending, 0u);
  }
  void TearDown() override {
    buffer_stdout->pending = 0;
    buffer_stdout->descriptor = 1;
    for (int fd : {in[0], in[1], out[0], out[1]})
      if (fd >= 0) close(fd);
  }
  std::string drain_out() {
    close(out[1]);
    out[1] = -1;
    std::string s;
    char c[256];
    ssize_t n;
    while ((n = read(out[0], c, sizeof c)) > 0) s.append(c, static_cast<size_t>(n));
    return s;
  }
};

}  // namespace

TEST(buffer_stdio, StaticRecords) {
  EXPECT_EQ(buffer_stdout->descriptor, 1);
  EXPECT_EQ(buffer_stdout->size, 8192u);
  EXPECT_EQ(buffer_stdout->operation, &buffer_unixwrite);
  EXPECT_EQ(buffer_stdin->descriptor, 0);
  EXPECT_EQ(buffer_stdin->size, 8192u);
  EXPECT_EQ(buffer_stdin->pending, 0u);
  EXPECT_EQ(buffer_stdin->operation, &flush_then_read);
}

TEST_F(StdBuffers, FlushesPendingOutputBeforeReading) {
  buffer_stdout->descriptor = out[1];
  ASSERT_EQ(buffer_puts(buffer_stdout, "prompt> "), 0);
  ASSERT_EQ(write(in[1], "answer", 6), 6);
  char b[16];
  ASSERT_EQ(flush_then_read(in[0], b, sizeof b), 6);
  EXPECT_EQ(std::string(b, 6), "answer");
  EXPECT_EQ(buffer_stdout->pending, 0u);
  EXPECT_EQ(drain_out(), "prompt> ");
}

TEST_F(StdBuffers, FailingFlushReadsNothing) {
  close(out[0]);
  out[0] = -1;
  buffer_stdout->descriptor = -1;  // writes fail with EBADF
  ASSERT_EQ(buffer_puts(buffer_stdout, "unwritable"), 0);
  ASSERT_EQ(write(in[1], "data", 4), 4);
  char b[16];
  errno = 0;
  EXPECT_EQ(flush_then_read(in[0], b, sizeof b), -1);
  EXPECT_EQ(errno, EBADF);
  // The input was not touched; the dropped output does not fail the next read.
  EXPECT_EQ(buffer_stdout->pending, 0u);
  ASSERT_EQ(flush_then_read(in[0], b, sizeof b), 4);
  EXPECT_EQ(std::string(b, 4), "data");
}

TEST_F(StdBuffers, NothingPendingReadsAtOnce) {
  buffer_stdout->descriptor = -1;  // an empty flush writes nothing, so cannot fail
  ASSERT_EQ(write(in[1], "z", 1), 1);
  char b[4];
  EXPECT_EQ(flush_then_read(in[0], b, sizeof b), 1);
}

TEST_F(StdBuffers, LineReaderAnswersBeforeWaiting) {
  // A program that prints a prompt through buffer_stdout and reads its reply
  // through a flush_then_read buffer: the prompt must be out before the read.
  buffer_stdout->descriptor = out[1];
  char space[64];
  buffer inb;
  buffer_init(&inb, flush_then_read, in[0], space, sizeof space);
  ASSERT_EQ(buffer_puts(buffer_stdout, "name? "), 0);
  ASSERT_EQ(write(in[1], "corvane\n", 8), 8);
  owned_stralloc sa{};
  int match = 0;
  ASSERT_EQ(line_fetch(&inb, &sa, &match, '\n'), 0);
  EXPECT_EQ(std::string(sa.bytes, sa.length), "corvane\n");
  EXPECT_EQ(drain_out(), "name? ");
}
