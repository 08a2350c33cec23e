// Output side of buffer, against a recording operation.
#include "support/buffer.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "recorder.hpp"

using supporttest::pattern;
using supporttest::Recorder;
using supporttest::Step;
using supporttest::UseRecorder;
using V = std::vector<uint32_t>;

namespace {

struct Out : ::testing::Test {
  Recorder rec;
  UseRecorder use{rec};
  std::vector<char> space;
  buffer b;
  void make(uint32_t size) {
    space.assign(size, 0);
    buffer_init(&b, Recorder::write_op, 9, space.data(), size);
  }
};

}  // namespace

TEST(buffer_init, SetsFields) {
  char space[10];
  buffer b;
  b.pending = 5;
  buffer_init(&b, buffer_unixwrite, 4, space, sizeof space);
  EXPECT_EQ(b.space, space);
  EXPECT_EQ(b.pending, 0u);
  EXPECT_EQ(b.size, 10u);
  EXPECT_EQ(b.descriptor, 4);
  EXPECT_EQ(b.operation, &buffer_unixwrite);
}

TEST_F(Out, ExactFillBuffersWithoutWrite) {
  make(256);
  ASSERT_EQ(buffer_put(&b, pattern(200).data(), 200), 0);
  ASSERT_EQ(buffer_put(&b, pattern(56).data(), 56), 0);
  EXPECT_TRUE(rec.asked.empty());
  EXPECT_EQ(b.pending, 256u);
  // One byte more flushes the full space first and buffers the byte.
  ASSERT_EQ(buffer_put(&b, "!", 1), 0);
  EXPECT_EQ(rec.asked, V{256});
  EXPECT_EQ(rec.fds, std::vector<int>{9});
  EXPECT_EQ(b.pending, 1u);
  EXPECT_EQ(rec.data, pattern(200) + pattern(56));
}

TEST_F(Out, LargePutBypassesSpaceInOneWrite) {
  make(256);
  const std::string d = pattern(300);
  ASSERT_EQ(buffer_put(&b, d.data(), 300), 0);
  EXPECT_EQ(rec.asked, V{300});
  EXPECT_EQ(b.pending, 0u);
  EXPECT_EQ(rec.data, d);
}

TEST_F(Out, PendingBytesGoFirst) {
  make(256);
  ASSERT_EQ(buffer_puts(&b, "head:"), 0);
  const std::string d = pattern(300);
  ASSERT_EQ(buffer_put(&b, d.data(), 300), 0);
  EXPECT_EQ(rec.asked, (V{5, 300}));
  EXPECT_EQ(rec.data, "head:" + d);
}

TEST_F(Out, ChunksOf8192KeepTheTail) {
  make(8192);
  const std::string d = pattern(20480);
  ASSERT_EQ(buffer_put(&b, d.data(), 20480), 0);
  EXPECT_EQ(rec.asked, (V{8192, 8192}));
  EXPECT_EQ(b.pending, 4096u);
  ASSERT_EQ(buffer_flush(&b), 0);
  EXPECT_EQ(rec.data, d);
}

TEST_F(Out, ChunkIsSpaceWhenSpaceExceeds8192) {
  make(10000);
  const std::string d = pattern(25000);
  ASSERT_EQ(buffer_put(&b, d.data(), 25000), 0);
  EXPECT_EQ(rec.asked, (V{10000, 10000}));
  EXPECT_EQ(b.pending, 5000u);
  ASSERT_EQ(buffer_flush(&b), 0);
  EXPECT_EQ(rec.data, d);
}

TEST_F(Out, ChunkShrinksToWhatWasWritten) {
  make(256);
  const std::string d = pattern(20000);
  ASSERT_EQ(buffer_put(&b, d.data(), 20000), 0);
  // 8192, 8192, then the remaining 3616 (> 256) in one more direct write.
  EXPECT_EQ(rec.asked, (V{8192, 8192, 3616}));
  EXPECT_EQ(b.pending, 0u);
  EXPECT_EQ(rec.data, d);
}

TEST_F(Out, PartialWritesAreContinued) {
  make(256);
  rec.script = {Step::upto(100), Step::upto(150)};
  const std::string d = pattern(300);
  ASSERT_EQ(buffer_put(&b, d.data(), 300), 0);
  EXPECT_EQ(rec.asked, (V{300, 200, 50}));
  EXPECT_EQ(rec.data, d);
}

TEST_F(Out, InterruptedWriteIsRepeated) {
  make(16);
  ASSERT_EQ(buffer_puts(&b, "0123456789"), 0);
  rec.script = {Step::fail(EINTR), Step::fail(EINTR), Step::upto(4)};
  ASSERT_EQ(buffer_flush(&b), 0);
  EXPECT_EQ(rec.asked, (V{10, 10, 10, 6}));
  EXPECT_EQ(rec.data, "0123456789");
}

TEST_F(Out, FailingFlushDropsPending) {
  make(16);
  ASSERT_EQ(buffer_puts(&b, "lost"), 0);
  rec.script = {Step::fail(EPIPE)};
  errno = 0;
  EXPECT_EQ(buffer_flush(&b), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(b.pending, 0u);
  // Nothing left to write: no further call.
  EXPECT_EQ(buffer_flush(&b), 0);
  EXPECT_EQ(rec.asked.size(), 1u);
}

TEST_F(Out, FailureAfterPartialWriteKeepsWrittenBytes) {
  make(8);
  rec.script = {Step::upto(3), Step::fail(EIO)};
  errno = 0;
  EXPECT_EQ(buffer_put(&b, "abcdefghijklmnop", 16), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(rec.data, "abc");
}

TEST_F(Out, ZeroWriteIsAnErrorNotALoop) {
  make(16);
  ASSERT_EQ(buffer_puts(&b, "stuck"), 0);
  rec.script = {Step::nothing()};
  errno = 0;
  EXPECT_EQ(buffer_flush(&b), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(rec.asked, V{5});
  rec.script = {Step::upto(2), Step::nothing()};
  errno = 0;
  EXPECT_EQ(buffer_putflush(&b, "abcd", 4), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(rec.asked, (V{5, 4, 2}));
}

TEST_F(Out, FlushOfEmptyBufferMakesNoCall) {
  make(16);
  EXPECT_EQ(buffer_flush(&b), 0);
  EXPECT_TRUE(rec.asked.empty());
}

TEST_F(Out, FailingFlushFailsPut) {
  make(4);
  ASSERT_EQ(buffer_puts(&b, "abc"), 0);
  rec.script = {Step::fail(EBADF)};
  errno = 0;
  EXPECT_EQ(buffer_puts(&b, "defgh"), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(rec.asked, V{3});  // the caller's data was not written
}

TEST_F(Out, PutalignWritesWholeSpaces) {
  make(256);
  const std::string d = pattern(300);
  ASSERT_EQ(buffer_putalign(&b, d.data(), 300), 0);
  EXPECT_EQ(rec.asked, V{256});
  EXPECT_EQ(b.pending, 44u);
  ASSERT_EQ(buffer_flush(&b), 0);
  EXPECT_EQ(rec.data, d);
}

TEST_F(Out, PutalignFillsBehindPending) {
  make(256);
  const std::string head = pattern(100);
  const std::string d = pattern(700);
  ASSERT_EQ(buffer_put(&b, head.data(), 100), 0);
  ASSERT_EQ(buffer_putalign(&b, d.data(), 700), 0);
  EXPECT_EQ(rec.asked, (V{256, 256, 256}));
  EXPECT_EQ(b.pending, 32u);
  ASSERT_EQ(buffer_flush(&b), 0);
  EXPECT_EQ(rec.data, head + d);
}

TEST_F(Out, PutalignExactFillDoesNotWrite) {
  make(8);
  ASSERT_EQ(buffer_putalign(&b, "12345678", 8), 0);
  EXPECT_TRUE(rec.asked.empty());
  EXPECT_EQ(b.pending, 8u);
  // A full space takes the next byte only after a flush of the full space.
  ASSERT_EQ(buffer_putsalign(&b, "9"), 0);
  EXPECT_EQ(rec.asked, V{8});
  EXPECT_EQ(b.pending, 1u);
}

TEST_F(Out, PutalignFailure) {
  make(8);
  rec.script = {Step::fail(ENOSPC)};
  errno = 0;
  EXPECT_EQ(buffer_putalign(&b, "0123456789", 10), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(b.pending, 0u);
}

TEST_F(Out, PutflushFlushesThenWritesDirectly) {
  make(256);
  ASSERT_EQ(buffer_puts(&b, "pending "), 0);
  ASSERT_EQ(buffer_putsflush(&b, "direct"), 0);
  EXPECT_EQ(rec.asked, (V{8, 6}));
  EXPECT_EQ(rec.data, "pending direct");
  EXPECT_EQ(b.pending, 0u);
  ASSERT_EQ(buffer_putflush(&b, "", 0), 0);  // nothing to write, no call
  EXPECT_EQ(rec.asked.size(), 2u);
}

TEST_F(Out, PutflushStopsWhenFlushFails) {
  make(256);
  ASSERT_EQ(buffer_puts(&b, "x"), 0);
  rec.script = {Step::fail(EPIPE)};
  EXPECT_EQ(buffer_putflush(&b, "y", 1), -1);
  EXPECT_EQ(rec.asked, V{1});
}

TEST(buffer_unixwrite, WritesToDescriptor) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  char space[4];
  buffer b;
  buffer_init(&b, buffer_unixwrite, p[1], space, sizeof space);
  ASSERT_EQ(buffer_puts(&b, "hello, pipe"), 0);
  ASSERT_EQ(buffer_flush(&b), 0);
  close(p[1]);
  char r[64];
  const ssize_t n = read(p[0], r, sizeof r);
  close(p[0]);
  EXPECT_EQ(std::string(r, static_cast<size_t>(n)), "hello, pipe");
  errno = 0;
  EXPECT_EQ(buffer_unixwrite(p[1], r, 1), -1);
  EXPECT_EQ(errno, EBADF);
}
