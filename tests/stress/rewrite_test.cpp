// corvane while its rules database is rewritten in place as cp does it
// (truncated and written again, not renamed over): the children that read it
// meanwhile drop those connections and live on; none dies of a signal and
// no answer is wrong.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/stress/stress_util.hpp"

using stress::Tally;
using testutil::bin;
using testutil::TempDir;

namespace {

const char *service =
    "sub serve {\n"
    "  my $in = ''; sysread(STDIN, $in, 256);\n"
    "  chomp $in;\n"
    "  syswrite(STDOUT, \"role=$ENV{ROLE} echo=$in\\nEND\\n\");\n"
    "}\n1;\n";

// Two databases of one size that give the running user the same rule, so
// that a rewrite keeps the size and a stat within one tick of the file
// times cannot tell it.
std::string rules_text(char other) {
  return std::to_string(geteuid()) + ":allow,ROLE='member'\n" + other + "000:deny\n:deny\n";
}

Tally client(const std::string &path, int index, const stress::Workers &workers) {
  return stress::token_client(path, index, workers,
                              [](const std::string &token, const std::string &got, Tally &t) {
                                std::string want = "role=member echo=" + token + "\nEND\n";
                                if (got == want)
                                  ++t.served;
                                else if (got.empty())
                                  ++t.refused;  // dropped: the database was being rewritten
                                else if (want.compare(0, got.size(), got) == 0)
                                  ++t.cut;
                                else
                                  t.note_wrong(got);
                              });
}

}  // namespace

TEST(pool_load, DatabaseRewrittenInPlaceKillsNoChild) {
  const int secs = stress::seconds(3);
  TempDir dir;
  testutil::write_file(dir / "svc.pl", service);
  for (char v : {'1', '2'}) {
    auto r = testutil::compile("gatemark", dir / (std::string(1, v) + ".cdb"), rules_text(v));
    ASSERT_EQ(r.code(), 0) << r.err;
  }
  ASSERT_EQ(testutil::read_file(dir / "1.cdb").size(), testutil::read_file(dir / "2.cdb").size());
  ASSERT_EQ(testutil::run({"/bin/cp", dir / "1.cdb", dir / "rules.cdb"}).code(), 0);
  testutil::Process server({bin("corvane"), "-v", "-c", "4", "-x", dir / "rules.cdb", dir / "s",
                            dir / "svc.pl", "serve"});
  ASSERT_TRUE(testutil::wait_path(dir / "s")) << server.err();

  stress::Workers workers;
  workers.start(8, [&](int i) { return client(dir / "s", i, workers); });
  // Rewritten in place as cp does it (truncated at the open, then written),
  // the two versions in turn, with 2 ms between rewrites so that
  // connections get through in between; a cp process each time would be
  // slower under load and hit the readers less often.
  const std::string versions[2] = {testutil::read_file(dir / "2.cdb"),
                                   testutil::read_file(dir / "1.cdb")};
  uint64_t copies = 0;
  for (int64_t end = stress::now_ms() + secs * 1000; stress::now_ms() < end; ++copies) {
    int fd = open((dir / "rules.cdb").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_NE(fd, -1);
    const std::string &v = versions[copies % 2];
    ASSERT_EQ(write(fd, v.data(), v.size()), (ssize_t)v.size());
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  workers.stop();
  Tally t = workers.join();
  std::string log = server.err();

  // A read that faulted leaves its child alive; one that found the file
  // empty or short fails as on any damaged file, and its child exits 111.
  int signalled = 0, exited = 0;
  std::istringstream lines(log);
  const std::string end = bin("corvane") + ": end ";
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, end.size(), end) != 0) continue;
    int status = std::stoi(line.substr(line.rfind(' ') + 1));
    if (status & 0x7f)
      ++signalled;
    else
      ++exited;
  }
  int drops =
      stress::count_lines(log, bin("corvane") + ": warning: dropping connection, unable to read ");
  EXPECT_EQ(signalled, 0) << log.substr(0, 2000);
  EXPECT_EQ(t.wrong, 0u) << t.example;
  EXPECT_EQ(t.nocon, 0u);
  EXPECT_GT(t.served, 0u);
  EXPECT_EQ(t.refused + t.cut, (uint64_t)drops);
  stress::report("rules rewritten in place",
                 std::to_string(secs) + " s, 8 clients, " + std::to_string(copies) +
                     " copies, served " + std::to_string(t.served) + ", dropped " +
                     std::to_string(drops) + " (children that lived on " +
                     std::to_string(drops - exited) + "), killed by a signal " +
                     std::to_string(signalled) + ", wrong " + std::to_string(t.wrong));
}
