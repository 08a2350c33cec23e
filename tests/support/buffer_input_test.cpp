// Input side of buffer, against a scripted read operation.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "recorder.hpp"
#include "support/buffer.hpp"

using supporttest::Feeder;
using supporttest::pattern;
using supporttest::Recorder;
using supporttest::Step;
using supporttest::UseFeeder;
using supporttest::UseRecorder;
using V = std::vector<uint32_t>;

namespace {

struct In : ::testing::Test {
  Feeder feed;
  UseFeeder use{feed};
  std::vector<char> space;
  buffer b;
  void make(uint32_t size, const std::string &input) {
    feed.input = input;
    space.assign(size, 0);
    buffer_init(&b, Feeder::read_op, 0, space.data(), size);
  }
  std::string view() const { return std::string(b.space + b.size, b.pending); }
};

}  // namespace

TEST_F(In, LoadPlacesBytesAtEndOfSpace) {
  make(8192, pattern(100));
  ASSERT_EQ(buffer_load(&b), 100);
  EXPECT_EQ(feed.asked, V{8192});
  EXPECT_EQ(b.pending, 100u);
  EXPECT_EQ(b.size, 8092u);
  EXPECT_EQ(buffer_view(&b), space.data() + 8092);
  EXPECT_EQ(std::string(space.data() + 8092, 100), pattern(100));
  // Bytes already there: no read.
  ASSERT_EQ(buffer_load(&b), 100);
  EXPECT_EQ(feed.asked.size(), 1u);
}

TEST_F(In, LoadFillingTheSpace) {
  make(16, pattern(40));
  ASSERT_EQ(buffer_load(&b), 16);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(view(), pattern(16));
}

TEST_F(In, LoadAtEndOfInputAndOnError) {
  make(16, "");
  EXPECT_EQ(buffer_load(&b), 0);
  EXPECT_EQ(b.pending, 0u);
  EXPECT_EQ(b.size, 16u);
  EXPECT_EQ(buffer_load(&b), 0);  // end of input is not remembered: read again
  EXPECT_EQ(feed.asked, (V{16, 16}));
  feed.script = {Step::fail(EIO)};
  errno = 0;
  EXPECT_EQ(buffer_load(&b), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(b.pending, 0u);
  EXPECT_EQ(b.size, 16u);
}

TEST_F(In, LoadRetriesInterruptedRead) {
  make(16, "abc");
  feed.script = {Step::fail(EINTR), Step::fail(EINTR)};
  ASSERT_EQ(buffer_load(&b), 3);
  EXPECT_EQ(feed.asked, (V{16, 16, 16}));
  EXPECT_EQ(view(), "abc");
}

TEST_F(In, SkipConsumes) {
  make(16, "abcdef");
  ASSERT_EQ(buffer_load(&b), 6);
  buffer_skip(&b, 2);
  EXPECT_EQ(b.pending, 4u);
  EXPECT_EQ(view(), "cdef");
  EXPECT_EQ(b.size + b.pending, 16u);
}

TEST_F(In, TakeByteByByteReadsPerRefill) {
  const std::string d = pattern(20000);
  make(8192, d);
  std::string got;
  char c;
  int r;
  while ((r = buffer_take(&b, &c, 1)) == 1) got += c;
  EXPECT_EQ(r, 0);
  EXPECT_EQ(got, d);
  EXPECT_EQ(feed.asked, (V{8192, 8192, 8192, 8192}));  // three refills and end of input
}

TEST_F(In, TakeLargeReadsDirectly) {
  make(8192, pattern(10000));
  std::vector<char> dest(9000);
  ASSERT_EQ(buffer_take(&b, dest.data(), 9000), 9000);
  EXPECT_EQ(feed.asked, V{9000});
  EXPECT_EQ(b.pending, 0u);
  EXPECT_EQ(b.size, 8192u);
  EXPECT_EQ(std::string(dest.data(), 9000), pattern(9000));
}

TEST_F(In, TakeExactlyCapacityReadsDirectly) {
  make(8192, pattern(8192));
  std::vector<char> dest(8192);
  ASSERT_EQ(buffer_take(&b, dest.data(), 8192), 8192);
  EXPECT_EQ(feed.asked, V{8192});
  EXPECT_EQ(b.pending, 0u);
}

TEST_F(In, TakeCappedAsksForCapacity) {
  make(8192, pattern(30000));
  std::vector<char> dest(20000);
  ASSERT_EQ(buffer_take_capped(&b, dest.data(), 20000), 8192);
  EXPECT_EQ(feed.asked, V{8192});
  EXPECT_EQ(b.pending, 0u);
}

TEST_F(In, TakeFromPendingNeverReads) {
  make(16, "0123456789");
  char d[32];
  ASSERT_EQ(buffer_take(&b, d, 4), 4);
  EXPECT_EQ(std::string(d, 4), "0123");
  ASSERT_EQ(buffer_take(&b, d, 20), 6);  // only what is pending, no read
  EXPECT_EQ(std::string(d, 6), "456789");
  EXPECT_EQ(feed.asked, V{16});
  EXPECT_EQ(buffer_take(&b, d, 4), 0);
  feed.script = {Step::fail(EBADF)};
  EXPECT_EQ(buffer_take(&b, d, 4), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(In, TransferCopiesEverything) {
  const std::string d = pattern(50000);
  make(1000, d);
  feed.max = 333;
  Recorder rec;
  UseRecorder userec(rec);
  char outspace[512];
  buffer out;
  buffer_init(&out, Recorder::write_op, 1, outspace, sizeof outspace);
  ASSERT_EQ(buffer_transfer(&out, &b), 0);
  ASSERT_EQ(buffer_flush(&out), 0);
  EXPECT_EQ(rec.data, d);
}

TEST_F(In, TransferReadFailureIsMinusTwo) {
  make(64, "some bytes");
  feed.script = {Step::upto(4), Step::fail(EIO)};
  Recorder rec;
  UseRecorder userec(rec);
  char outspace[64];
  buffer out;
  buffer_init(&out, Recorder::write_op, 1, outspace, sizeof outspace);
  errno = 0;
  EXPECT_EQ(buffer_transfer(&out, &b), -2);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(out.pending, 4u);
}

TEST_F(In, TransferWriteFailureIsMinusThree) {
  make(64, pattern(200));
  Recorder rec;
  UseRecorder userec(rec);
  rec.script = {Step::fail(EPIPE)};
  char outspace[16];
  buffer out;
  buffer_init(&out, Recorder::write_op, 1, outspace, sizeof outspace);
  errno = 0;
  EXPECT_EQ(buffer_transfer(&out, &b), -3);
  EXPECT_EQ(errno, EPIPE);
}

TEST(buffer_unixread, ReadsDescriptor) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "xyz", 3), 3);
  close(p[1]);
  char space[8];
  buffer b;
  buffer_init(&b, buffer_unixread, p[0], space, sizeof space);
  ASSERT_EQ(buffer_load(&b), 3);
  EXPECT_EQ(std::string(buffer_view(&b), 3), "xyz");
  buffer_skip(&b, 3);
  EXPECT_EQ(buffer_load(&b), 0);
  close(p[0]);
  errno = 0;
  EXPECT_EQ(buffer_unixread(p[0], space, 1), -1);
  EXPECT_EQ(errno, EBADF);
}
