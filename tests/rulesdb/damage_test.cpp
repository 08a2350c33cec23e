// Damaged databases: cut short, empty, with positions past the end, or
// random bytes.  A lookup must answer (found, absent, or EPROTO) without
// reading outside the file; under the sanitizer build any stray read fails.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "rulesdb/cdb.hpp"
#include "rulesdb/rules.hpp"
#include "rulesdb_fixture.hpp"
#include "support/fmt.hpp"

using namespace std::string_literals;
using testutil::TempDir;

namespace {

// A valid database of a few rules, as the compiler writes it.
std::string valid_db() {
  TempDir d;
  std::string text = ":deny\n.100:allow,G='1'\n1000.100:allow,A='x'\n";
  for (int i = 0; i < 40; ++i) text += std::to_string(2000 + i) + ":allow,N='" + std::to_string(i) + "'\n";
  auto r = rulesdb_test::compile("gatemark", d, text);
  EXPECT_EQ(r.code(), 0) << r.err;
  return testutil::read_file(d / "db.cdb");
}

void put32(std::string &s, size_t at, uint32_t u) {
  if (at + 4 <= s.size()) uint32_store(s.data() + at, u);
}

// The damaged variants: every cut, header entries and slots pointing past
// the end or wrapping around, huge lengths, random flips and random files.
std::vector<std::string> variants(const std::string &db) {
  std::vector<std::string> v;
  for (size_t n = 0; n < db.size(); n += n < 2100 ? 1 : 7) v.push_back(db.substr(0, n));
  uint32_t size = db.size();
  for (int t = 0; t < 256; ++t)
    for (auto [pos, slots] : std::vector<std::pair<uint32_t, uint32_t>>{
             {size - 4, 1}, {size, 2}, {0xFFFFFFF8u, 1}, {2048, 0xFFFFFFFFu}, {2048, 0x20000001u}, {0, 256}}) {
      std::string s = db;
      put32(s, 8 * t, pos);
      put32(s, 8 * t + 4, slots);
      v.push_back(s);
    }
  uint32_t tables;
  uint32_unpack(db.data(), &tables);  // the first table starts after the records
  for (uint32_t at = tables; at + 8 <= size; at += 8)
    for (uint32_t pos : {size - 2, size + 100, 0xFFFFFFFCu, 1u}) {
      std::string s = db;
      put32(s, at + 4, pos);
      v.push_back(s);
    }
  for (uint32_t at = 2048; at < tables; at += 4)
    for (uint32_t len : {0xFFFFFFFFu, size}) {
      std::string s = db;
      put32(s, at, len);
      v.push_back(s);
    }
  std::mt19937 rng(11);
  for (int i = 0; i < 2000; ++i) {
    std::string s = db;
    for (int k = 1 + rng() % 4; k > 0; --k) s[rng() % s.size()] = (char)rng();
    v.push_back(s);
  }
  for (int i = 0; i < 300; ++i) {
    std::string s(rng() % 5000, '\0');
    for (auto &ch : s) ch = (char)rng();
    v.push_back(s);
  }
  return v;
}

// A descriptor on an in-memory file holding bytes.
int memfile(const std::string &bytes) {
  int fd = memfd_create("damaged", 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  return fd;
}

}  // namespace

TEST(rules, DamagedFilesGiveAnAnswerOrProtocolError) {
  alarm(240);  // a lookup that never ends is a failure too
  std::string db = valid_db();
  ASSERT_GT(db.size(), 2048u);
  int answers[3] = {0, 0, 0};
  static rules_db lookup;  // its strings live as long as the program
  for (const std::string &s : variants(db)) {
    int fd = memfile(s);
    for (auto [uid, gid] : std::vector<std::pair<const char *, const char *>>{
             {"1000", "100"}, {"2017", "5"}, {nullptr, nullptr}, {"9", nullptr}}) {
      errno = 0;
      int r = rules(&lookup, fd, uid, gid);
      ASSERT_TRUE(r == 1 || r == 0 || (r == -1 && errno == EPROTO)) << r << " errno " << errno;
      ++answers[r + 1];
    }
    // The same through the descriptor instead of a mapping.
    cdb c;
    cdb_init(&c, fd);
    cdb_free(&c);
    errno = 0;
    int r = cdb_find(&c, "2017", 4);
    ASSERT_TRUE(r == 1 || r == 0 || (r == -1 && errno == EPROTO));
    char buf[64];
    if (r == 1 && c.data_len <= sizeof buf) {
      int rr = cdb_read(&c, buf, c.data_len, c.data_pos);
      ASSERT_TRUE(rr == 0 || errno == EPROTO);
    }
    close(fd);
  }
  alarm(0);
  // Every kind of answer occurred.
  EXPECT_GT(answers[0], 0);
  EXPECT_GT(answers[1], 0);
  EXPECT_GT(answers[2], 0);
}

TEST(gateprobe, DamagedFilesNeverCrashTheCheckers) {
  std::string db = valid_db();
  std::vector<std::string> all = variants(db);
  TempDir d;
  std::mt19937 rng(5);
  for (int i = 0; i < 40; ++i) {
    const std::string &s = i < 4 ? all[i * 700] : all[rng() % all.size()];
    testutil::write_file(d / "bad.cdb", s);
    for (const char *prog : {"gateprobe", "tollprobe"}) {
      auto r = rulesdb_test::probe(prog, d / "bad.cdb", {"IPCREMOTEEUID=2017", "IPCREMOTEEGID=100", "TOLLCALL=x"});
      ASSERT_EQ(r.signal(), 0) << prog << " variant " << i;
      if (r.code() == 111) {
        EXPECT_EQ(r.err, prog + ": fatal: unable to read "s + d / "bad.cdb" + ": protocol error\n");
      } else {
        EXPECT_EQ(r.code(), 0);
        bool verdict = r.out.ends_with("allow connection\n") || r.out.ends_with("deny connection\n");
        EXPECT_TRUE(verdict) << r.out;
      }
    }
  }
}
