// The exec request on the wire: what tollcall writes and how tollgant reads it.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <thread>

#include "tests/common/testutil.hpp"

using namespace testutil;

namespace {

const std::string kBad = "corvane: fatal: bad ipc request: protocol error\n";

/// Runs tollcall with descriptors 6 and 7 on a socketpair; returns what it
/// wrote there (until n bytes came or it went quiet) and its exit status.
std::pair<std::string, int> tollcall_request(const std::vector<std::string> &args, size_t n) {
  SocketPair sp;
  RunOptions opt;
  opt.extra_fds = {{6, sp.theirs}, {7, sp.theirs}};
  std::vector<std::string> argv = {bin("tollcall")};
  argv.insert(argv.end(), args.begin(), args.end());
  testutil::Process p(argv, opt);
  sp.close_theirs();
  std::string got = read_some(sp.ours, n, 3000);
  // Nothing more may follow the request: standard input is empty.
  std::string more = read_some(sp.ours, 1, 200);
  close(sp.ours);
  sp.ours = -1;
  int status = p.wait(5000);
  return {got + more, status};
}

struct Gant {
  testutil::TempDir dir;
  std::string rules = dir / "rules.cdb";
  Gant() { make_cdb(rules, {}); }
  RunResult operator()(const std::string &input) const {
    RunOptions opt;
    opt.input = input;
    opt.setenv = {"IPCREMOTEEUID=7", "IPCREMOTEEGID=8"};
    opt.unsetenv = {"IPCUID", "IPCGID", "IPCERROUT"};
    return run({bin("tollgant"), rules}, opt);
  }
};

}  // namespace

TEST(request_write, TwentyByteExample) {
  auto [got, status] = tollcall_request({"1000", "id", "-u"}, 20);
  EXPECT_EQ(got, std::string("4:1000,1:2,6:id\0-u\0,", 20));
  EXPECT_EQ(status, 0);
}

// Large and zero-padded uids are sent as numbers; names and typos send
// nothing (a usage error, never a request for uid 0: the catalogue has
// their messages).
TEST(request_write, OddUids) {
  for (const char *bad : {"abc", "12x"}) EXPECT_EQ(tollcall_request({bad, "p"}, 12).first, "") << bad;
  EXPECT_EQ(tollcall_request({"4294967296", "p"}, 22).first,
            std::string("10:4294967296,1:1,2:p\0,", 23));
  EXPECT_EQ(tollcall_request({"007", "p"}, 12).first, std::string("1:7,1:1,2:p\0,", 13));
}

TEST(request_write, EmptyProgramIsOneNul) {
  EXPECT_EQ(tollcall_request({"0", ""}, 12).first, std::string("1:0,1:1,1:\0,", 12));
}

TEST(request_write, LongRequestArrivesWhole) {
  std::string arg(2000, 'a');
  std::string want = request("5", {"echo", arg, ""});
  EXPECT_EQ(tollcall_request({"5", "echo", arg, ""}, want.size()).first, want);
}

TEST(tollcall, UsageWritesNothing) {
  SocketPair sp;
  RunOptions opt;
  opt.extra_fds = {{6, sp.theirs}, {7, sp.theirs}};
  RunResult r = run({bin("tollcall"), "1000"}, opt);
  EXPECT_EQ(r.code(), 100);
  EXPECT_EQ(r.err, "tollcall: usage: tollcall uid program\n");
  sp.close_theirs();
  EXPECT_EQ(read_some(sp.ours, 1, 500), "");
}

TEST(request_read, ExampleIsRead) {
  Gant gant;
  RunResult r = gant(request("0", {"echo", "a b", "", "c"}));
  EXPECT_EQ(r.out, "a b  c\n");
  EXPECT_EQ(r.err, "tollgant: ok 7.8,0.echo\n");
  EXPECT_EQ(r.code(), 0);
}

TEST(request_read, MalformedRequests) {
  Gant gant;
  const std::string nul(1, '\0');
  const std::vector<std::string> bad = {
      "",                                           // nothing at all
      "1:0",                                        // ends inside the uid
      "1:0;1:1,2:p" + nul + ",",                    // wrong uid terminator
      "x:0,",                                       // non-digit length
      "1:a,1:1,2:p" + nul + ",",                    // non-digit uid
      "1:0,1:0,2:p" + nul + ",",                    // count 0
      "1:0,1:1,0:,",                                // empty block
      "1:0,1:1,2:p" + nul + ";",                    // wrong block terminator
      "1:0,1:1,2:pq,",                              // block not ending in NUL
      "1:0,1:1,3:p" + nul + nul + ",",              // two strings for count 1
      "1:0,1:2,2:p" + nul + ",",                    // one string for count 2
      "1:0,10:2147483648,2:p" + nul + ",",          // count negative in 32 bits
      "1:0,1:1,5:p" + nul,                          // block cut short
      "1:0,1:1,2:p" + nul,                          // final ',' missing
      "10000000000:0,",                             // eleven significant digits
      "00000000001:0,",                             // eleven digits, leading zeros included
      "11:00000000000,1:1,2:p" + nul + ",",         // a uid of eleven digits
      "1:0,11:00000000001,2:p" + nul + ",",         // a count of eleven digits
      "1:0,1:1,00000000002:p" + nul + ",",          // a block length of eleven digits
  };
  for (const auto &in : bad) {
    RunResult r = gant(in);
    EXPECT_EQ(r.err, kBad) << testing::PrintToString(in);
    EXPECT_EQ(r.code(), 111) << testing::PrintToString(in);
    EXPECT_EQ(r.out, "") << testing::PrintToString(in);
  }
}

TEST(request_read, LengthFieldForms) {
  Gant gant;
  const std::string tail = "1:1,5:echo" + std::string(1, '\0') + ",";
  // An empty length field, leading zeros up to ten digits in all, and ten
  // significant digits (4294967297 counts as 1) are all accepted.
  EXPECT_EQ(gant(":," + tail).err, "tollgant: ok 7.8,0.echo\n");
  EXPECT_EQ(gant("0000000001:0," + tail).err, "tollgant: ok 7.8,0.echo\n");
  EXPECT_EQ(gant("10:0000000000," + tail).err, "tollgant: ok 7.8,0.echo\n");
  EXPECT_EQ(gant("4294967297:0," + tail).err, "tollgant: ok 7.8,0.echo\n");
  EXPECT_EQ(gant("3:000," + tail).err, "tollgant: ok 7.8,0.echo\n");
  // A uid of 2^32 wraps to 0.
  EXPECT_EQ(gant("10:4294967296," + tail).err, "tollgant: ok 7.8,0.echo\n");
  RunResult r = gant("1:0,1:2,6:echo" + std::string(1, '\0') + std::string(1, '\0') + ",");
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "\n");
}

TEST(request_read, UnknownUidStopsBeforeTheRest) {
  Gant gant;
  RunResult r = gant("10:4294967295,");
  EXPECT_EQ(r.err, "corvane: fatal: unknown uid 4294967295\n");
  EXPECT_EQ(r.code(), 111);
}

TEST(tollgant, UsageAndMissingRules) {
  RunResult r = run({bin("tollgant")});
  EXPECT_EQ(r.err, "corvane: usage: tollgant rules.cdb \n");
  EXPECT_EQ(r.code(), 100);
  testutil::TempDir dir;
  RunOptions opt;
  opt.input = request("0", {"echo", "x"});
  r = run({bin("tollgant"), dir / "none.cdb"}, opt);
  EXPECT_EQ(r.err, "corvane: fatal: unable to read " + (dir / "none.cdb") + ": file does not exist\n");
  EXPECT_EQ(r.code(), 111);
  EXPECT_EQ(r.out, "");
}

// Bytes that follow the request in the same write belong to the program.
TEST(request_read, DataBehindRequestReachesProgram) {
  Gant gant;
  std::string data = "first line\nsecond\n";
  RunResult r = gant(request("0", {"cat"}) + data);
  EXPECT_EQ(r.out, data);
  EXPECT_EQ(r.code(), 0);
  // Also behind a block larger than the input buffer.
  std::string big(20000, 'x');
  r = gant(request("0", {"sh", "-c", "cat; echo ${#0}", big}) + data);
  EXPECT_EQ(r.out, data + "20000\n");
}

// A request that arrives in small pieces is gathered whole.
TEST(request_read, BlockInPieces) {
  Gant gant;
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  std::string arg(3000, 'y');
  std::string req = request("0", {"sh", "-c", "echo ${#0}; cat", arg}) + "tail";
  std::thread writer([&] {
    for (size_t i = 0; i < req.size(); i += 700) {
      ssize_t w = write(p[1], req.data() + i, std::min<size_t>(700, req.size() - i));
      (void)w;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(p[1]);
  });
  RunOptions opt;
  opt.extra_fds = {{0, p[0]}};
  opt.unsetenv = {"IPCUID", "IPCGID", "IPCERROUT"};
  RunResult r = run({bin("tollgant"), gant.rules}, opt);
  writer.join();
  close(p[0]);
  EXPECT_EQ(r.out, "3000\ntail");
  EXPECT_EQ(r.code(), 0);
}

// A block length beyond what any program could be given is refused at
// once, without waiting for (or making room for) the block.
TEST(request_read, HugeBlockRefusedAtOnce) {
  Gant gant;
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  std::string head = "1:0,1:1,3000000000:";
  ASSERT_EQ(write(p[1], head.data(), head.size()), (ssize_t)head.size());
  RunOptions opt;
  opt.extra_fds = {{0, p[0]}};
  opt.timeout_ms = 5000;
  long argmax = sysconf(_SC_ARG_MAX);
  RunResult r = run({bin("tollgant"), gant.rules}, opt);
  EXPECT_EQ(r.err, kBad);
  EXPECT_EQ(r.code(), 111);
  // Just above the limit is refused the same way, with the writer still open.
  int q[2];
  ASSERT_EQ(pipe2(q, O_CLOEXEC), 0);
  head = "1:0,1:1," + std::to_string(argmax + 1) + ":";
  ASSERT_EQ(write(q[1], head.data(), head.size()), (ssize_t)head.size());
  opt.extra_fds = {{0, q[0]}};
  r = run({bin("tollgant"), gant.rules}, opt);
  EXPECT_EQ(r.err, kBad);
  EXPECT_EQ(r.code(), 111);
  close(p[0]), close(p[1]), close(q[0]), close(q[1]);
}
