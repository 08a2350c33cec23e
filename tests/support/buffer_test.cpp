// buffer, both sides, against scripted transfer operations: each row runs
// a sequence of calls and then checks the calls the operation saw, what
// is left pending and the bytes that went through.
#include "support/buffer.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "tests/common/unit.hpp"

using testutil::Feeder;
using testutil::pattern;
using testutil::Recorder;
using testutil::Step;
using testutil::UseFeeder;
using testutil::UseRecorder;
using V = std::vector<uint32_t>;

namespace {

// One step of a row: a call with its expected result and errno (0: not
// checked), a new script for the scripted operation, or a check of the
// calls made so far and of the pending bytes.
struct Op {
  enum Kind { PUT, PUTS, PUTALIGN, PUTSALIGN, PUTFLUSH, PUTSFLUSH, FLUSH, LOAD, SKIP, TAKE, CAPPED,
              TAKE_BYTES, TRANSFER, SCRIPT, CHECK } kind;
  std::string data;
  int ret = 0;
  int err = 0;
  std::deque<Step> script = {};
  uint32_t n = 0;  ///< bytes to skip or take; calls made, for CHECK
  uint32_t pending = 0;
};

Op put(const std::string &s, int ret = 0, int err = 0) { return {Op::PUT, s, ret, err}; }
Op putstr(const std::string &s, int ret = 0, int err = 0) { return {Op::PUTS, s, ret, err}; }
Op putalign(const std::string &s, int ret = 0, int err = 0) { return {Op::PUTALIGN, s, ret, err}; }
Op putflush(const std::string &s, int ret = 0, int err = 0) { return {Op::PUTFLUSH, s, ret, err}; }
Op flush(int ret = 0, int err = 0) { return {Op::FLUSH, "", ret, err}; }
Op load(int ret, int err = 0) { return {Op::LOAD, "", ret, err}; }
Op take(uint32_t n, int ret, int err = 0) { return {Op::TAKE, "", ret, err, {}, n}; }
Op script(std::deque<Step> s) { return {Op::SCRIPT, "", 0, 0, std::move(s)}; }
Op check(uint32_t calls, uint32_t pending) { return {Op::CHECK, "", 0, 0, {}, calls, pending}; }

struct Row {
  const char *name;
  uint32_t size;
  std::vector<Op> ops;
  std::optional<V> asked;  ///< lengths of the operation's calls
  std::optional<uint32_t> pending;
  std::optional<std::string> data;  ///< output: bytes written; input: bytes taken
  std::string input = "";
  uint32_t max = UINT32_MAX;  ///< input: at most this many bytes per read
  uint32_t outsize = 512;     ///< input: space of the buffer transferred to
};

// Runs the row's calls on b, with the recorder (output) or the feeder
// (input) scripted; taken collects the bytes taken out of an input buffer.
void run_ops(const Row &r, buffer &b, std::deque<Step> &sc, Recorder &rec, std::string &taken,
             const std::vector<uint32_t> &calls) {
  std::vector<char> outspace(r.outsize);
  buffer out;
  buffer_init(&out, Recorder::write_op, 1, outspace.data(), r.outsize);
  for (size_t i = 0; i < r.ops.size(); ++i) {
    const Op &op = r.ops[i];
    const std::string d = op.data;
    std::vector<char> dest(op.n);
    int got = 0;
    errno = 0;
    switch (op.kind) {
      case Op::PUT: got = buffer_put(&b, d.data(), d.size()); break;
      case Op::PUTS: got = buffer_puts(&b, d.c_str()); break;
      case Op::PUTALIGN: got = buffer_putalign(&b, d.data(), d.size()); break;
      case Op::PUTSALIGN: got = buffer_putsalign(&b, d.c_str()); break;
      case Op::PUTFLUSH: got = buffer_putflush(&b, d.data(), d.size()); break;
      case Op::PUTSFLUSH: got = buffer_putsflush(&b, d.c_str()); break;
      case Op::FLUSH: got = buffer_flush(&b); break;
      case Op::LOAD: got = buffer_load(&b); break;
      case Op::SKIP:
        taken.append(buffer_view(&b), op.n);
        buffer_skip(&b, op.n);
        break;
      case Op::TAKE:
      case Op::CAPPED:
        got = op.kind == Op::TAKE ? buffer_take(&b, dest.data(), op.n)
                                  : buffer_take_capped(&b, dest.data(), op.n);
        if (got > 0) taken.append(dest.data(), static_cast<size_t>(got));
        break;
      case Op::TAKE_BYTES: {  // one byte at a time, to the end
        char c;
        while ((got = buffer_take(&b, &c, 1)) == 1) taken += c;
        break;
      }
      case Op::TRANSFER:
        got = buffer_transfer(&out, &b);
        if (got == 0) got = buffer_flush(&out);
        if (op.n) {
          EXPECT_EQ(out.pending, op.pending) << r.name << ", step " << i;
        }
        break;
      case Op::SCRIPT: sc = op.script; break;
      case Op::CHECK:
        EXPECT_EQ(calls.size(), op.n) << r.name << ", step " << i;
        EXPECT_EQ(b.pending, op.pending) << r.name << ", step " << i;
        break;
    }
    EXPECT_EQ(got, op.ret) << r.name << ", step " << i;
    if (op.err) {
      EXPECT_EQ(errno, op.err) << r.name << ", step " << i;
    }
  }
  if (r.data && !r.input.empty() && taken.empty()) taken = rec.data;
}

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

// The output side: writes of at most max(space, 8192) bytes, data beyond
// the space written directly, failures passed on and the pending bytes
// dropped, a write of nothing an error (EIO) rather than a loop.
TEST(buffer_put, Table) {
  const std::string p200 = pattern(200), p56 = pattern(56), p100 = pattern(100);
  const std::string p300 = pattern(300), p700 = pattern(700), p20000 = pattern(20000);
  const std::string p20480 = pattern(20480), p25000 = pattern(25000);
  const std::vector<Row> rows = {
      // One byte past an exact fill flushes the full space first.
      {"exact fill buffers", 256, {put(p200), put(p56), check(0, 256), put("!")}, V{256}, 1, p200 + p56},
      {"large put bypasses the space", 256, {put(p300)}, V{300}, 0, p300},
      {"pending bytes go first", 256, {putstr("head:"), put(p300)}, V{5, 300}, {}, "head:" + p300},
      {"chunks of 8192 keep the tail", 8192, {put(p20480), check(2, 4096), flush()}, V{8192, 8192, 4096},
       0, p20480},
      {"chunk is the space above 8192", 10000, {put(p25000), check(2, 5000), flush()},
       V{10000, 10000, 5000}, 0, p25000},
      // 8192, 8192, then the remaining 3616 (> 256) in one more direct write.
      {"chunk shrinks to what was written", 256, {put(p20000)}, V{8192, 8192, 3616}, 0, p20000},
      {"partial writes are continued", 256, {script({Step::upto(100), Step::upto(150)}), put(p300)},
       V{300, 200, 50}, {}, p300},
      {"interrupted write is repeated", 16,
       {putstr("0123456789"), script({Step::fail(EINTR), Step::fail(EINTR), Step::upto(4)}), flush()},
       V{10, 10, 10, 6}, {}, "0123456789"},
      // Nothing left to write after the failure: no further call.
      {"failing flush drops pending", 16,
       {putstr("lost"), script({Step::fail(EPIPE)}), flush(-1, EPIPE), check(1, 0), flush()}, V{4}, 0, {}},
      {"failure after partial write keeps written bytes", 8,
       {script({Step::upto(3), Step::fail(EIO)}), put("abcdefghijklmnop", -1, EIO)}, {}, {}, "abc"},
      {"zero write is an error, not a loop", 16,
       {putstr("stuck"), script({Step::nothing()}), flush(-1, EIO), check(1, 0),
        script({Step::upto(2), Step::nothing()}), putflush("abcd", -1, EIO)},
       V{5, 4, 2}, {}, {}},
      {"flush of empty buffer makes no call", 16, {flush()}, V{}, {}, {}},
      // The caller's data was not written.
      {"failing flush fails put", 4, {putstr("abc"), script({Step::fail(EBADF)}), putstr("defgh", -1, EBADF)},
       V{3}, {}, {}},
      {"putalign writes whole spaces", 256, {putalign(p300), check(1, 44), flush()}, V{256, 44}, 0, p300},
      {"putalign fills behind pending", 256, {put(p100), putalign(p700), check(3, 32), flush()},
       V{256, 256, 256, 32}, 0, p100 + p700},
      // A full space takes the next byte only after a flush of the full space.
      {"putalign exact fill does not write", 8,
       {putalign("12345678"), check(0, 8), {Op::PUTSALIGN, "9"}}, V{8}, 1, {}},
      {"putalign failure", 8, {script({Step::fail(ENOSPC)}), putalign("0123456789", -1, ENOSPC)}, {}, 0,
       {}},
      // An empty putflush has nothing to write: no call.
      {"putflush flushes, then writes directly", 256,
       {putstr("pending "), {Op::PUTSFLUSH, "direct"}, putflush("")}, V{8, 6}, 0, "pending direct"},
      {"putflush stops when flush fails", 256, {putstr("x"), script({Step::fail(EPIPE)}), putflush("y", -1)},
       V{1}, {}, {}},
  };
  for (const Row &r : rows) {
    Recorder rec;
    UseRecorder use(rec);
    std::vector<char> space(r.size);
    buffer b;
    buffer_init(&b, Recorder::write_op, 9, space.data(), r.size);
    std::string taken;
    run_ops(r, b, rec.script, rec, taken, rec.asked);
    if (r.asked) {
      EXPECT_EQ(rec.asked, *r.asked) << r.name;
    }
    for (int fd : rec.fds) {
      EXPECT_EQ(fd, 9) << r.name;
    }
    if (r.pending) {
      EXPECT_EQ(b.pending, *r.pending) << r.name;
    }
    if (r.data) {
      EXPECT_EQ(rec.data, *r.data) << r.name;
    }
  }
}

// The input side: bytes read to the end of the space, reads of what does
// not fit made directly, end of input not remembered, buffer_transfer's
// read failure -2 and write failure -3.
TEST(buffer_take, Table) {
  const std::string p9000 = pattern(9000), p20000 = pattern(20000), p50000 = pattern(50000);
  const std::vector<Row> rows = {
      // Bytes already there: the second load makes no read.
      {"load places bytes at the end of the space", 8192, {load(100), check(1, 100), load(100)}, V{8192},
       100, {}, pattern(100)},
      {"load filling the space", 16, {load(16)}, {}, 16, {}, pattern(40)},
      // End of input is not remembered: the second load reads again.
      {"load at end of input and on error", 16,
       {load(0), check(1, 0), load(0), script({Step::fail(EIO)}), load(-1, EIO)}, V{16, 16, 16}, 0, {},
       ""},
      {"load retries interrupted read", 16,
       {script({Step::fail(EINTR), Step::fail(EINTR)}), load(3)}, V{16, 16, 16}, 3, {}, "abc"},
      {"skip consumes", 16, {load(6), {Op::SKIP, "", 0, 0, {}, 2}}, {}, 4, "ab", "abcdef"},
      // Three refills and end of input.
      {"take byte by byte reads per refill", 8192, {{Op::TAKE_BYTES, ""}}, V{8192, 8192, 8192, 8192}, 0,
       p20000, p20000},
      {"take large reads directly", 8192, {take(9000, 9000)}, V{9000}, 0, p9000, pattern(10000)},
      {"take exactly the capacity reads directly", 8192, {take(8192, 8192)}, V{8192}, 0, {},
       pattern(8192)},
      {"take capped asks for the capacity", 8192, {{Op::CAPPED, "", 8192, 0, {}, 20000}}, V{8192}, 0, {},
       pattern(30000)},
      // The second take gets only what is pending, with no read.
      {"take from pending never reads", 16,
       {take(4, 4), take(20, 6), check(1, 0), take(4, 0), script({Step::fail(EBADF)}), take(4, -1, EBADF)},
       V{16, 16, 16}, {}, "0123456789", "0123456789"},
      {"transfer copies everything", 1000, {{Op::TRANSFER, ""}}, {}, {}, p50000, p50000, 333},
      {"transfer read failure is -2", 64,
       {script({Step::upto(4), Step::fail(EIO)}), {Op::TRANSFER, "", -2, EIO, {}, 1, 4}}, {}, {}, {},
       "some bytes", UINT32_MAX, 64},
  };
  for (const Row &r : rows) {
    Feeder feed;
    UseFeeder use(feed);
    Recorder rec;
    UseRecorder userec(rec);
    feed.input = r.input;
    feed.max = r.max;
    std::vector<char> space(r.size);
    buffer b;
    buffer_init(&b, Feeder::read_op, 0, space.data(), r.size);
    std::string taken;
    run_ops(r, b, feed.script, rec, taken, feed.asked);
    if (r.asked) {
      EXPECT_EQ(feed.asked, *r.asked) << r.name;
    }
    if (r.pending) {
      EXPECT_EQ(b.pending, *r.pending) << r.name;
    }
    if (r.data) {
      EXPECT_EQ(taken, *r.data) << r.name;
    }
    // What is pending lies at the end of the space.
    EXPECT_EQ(b.size + b.pending, r.size) << r.name;
    EXPECT_EQ(buffer_view(&b), space.data() + b.size) << r.name;
    EXPECT_EQ(std::string(buffer_view(&b), b.pending), r.input.substr(taken.size(), b.pending)) << r.name;
  }
}

TEST(buffer_transfer, WriteFailureIsMinusThree) {
  Feeder feed;
  UseFeeder use(feed);
  feed.input = pattern(200);
  Recorder rec;
  UseRecorder userec(rec);
  rec.script = {Step::fail(EPIPE)};
  char inspace[64], outspace[16];
  buffer in, out;
  buffer_init(&in, Feeder::read_op, 0, inspace, sizeof inspace);
  buffer_init(&out, Recorder::write_op, 1, outspace, sizeof outspace);
  errno = 0;
  EXPECT_EQ(buffer_transfer(&out, &in), -3);
  EXPECT_EQ(errno, EPIPE);
}

// Both sides on a real descriptor, and the failure once it is closed.
TEST(buffer_unix, ReadAndWriteDescriptors) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  char space[4];
  buffer b;
  buffer_init(&b, buffer_unixwrite, p[1], space, sizeof space);
  ASSERT_EQ(buffer_puts(&b, "hello, pipe"), 0);
  ASSERT_EQ(buffer_flush(&b), 0);
  close(p[1]);
  char r[64];
  buffer in;
  buffer_init(&in, buffer_unixread, p[0], r, sizeof r);
  ASSERT_EQ(buffer_load(&in), 11);
  EXPECT_EQ(std::string(buffer_view(&in), 11), "hello, pipe");
  buffer_skip(&in, 11);
  EXPECT_EQ(buffer_load(&in), 0);
  close(p[0]);
  errno = 0;
  EXPECT_EQ(buffer_unixwrite(p[1], r, 1), -1);
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_EQ(buffer_unixread(p[0], r, 1), -1);
  EXPECT_EQ(errno, EBADF);
}
