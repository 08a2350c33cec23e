// The cdb reader and writer: file layout, probe order, and interchange with
// the independent cdb tool.  Reader checks run twice: on the mapped file and
// through the descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

#include "rulesdb/cdb.hpp"
#include "rulesdb/cdbout.hpp"
#include "rulesdb_fixture.hpp"
#include "support/fmt.hpp"

using namespace std::string_literals;
using rulesdb_test::Records;
using testutil::TempDir;

namespace {

std::string u32(uint32_t u) {
  char s[4];
  uint32_store(s, u);
  return std::string(s, 4);
}

// A database laid out by hand: header, then one hash table (for the table
// of `table`) with the given (hash, position) slots, then `tail`.
std::string craft(int table, const std::vector<std::pair<uint32_t, uint32_t>> &slots, const std::string &tail) {
  std::string head;
  uint32_t tablepos = 2048;
  uint32_t end = tablepos + 8 * slots.size();
  for (int i = 0; i < 256; ++i) head += i == table ? u32(tablepos) + u32(slots.size()) : u32(end) + u32(0);
  for (auto [h, pos] : slots) head += u32(h) + u32(pos);
  return head + tail;
}

std::string record(const std::string &k, const std::string &v) { return u32(k.size()) + u32(v.size()) + k + v; }

// An opened database, mapped or read through its descriptor.
struct Reader {
  int fd;
  cdb c;
  Reader(const std::string &path, bool mapped) {
    fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    cdb_init(&c, fd);
    if (!mapped) cdb_free(&c);
    EXPECT_EQ(c.mapping != nullptr, mapped);
  }
  ~Reader() {
    cdb_free(&c);
    close(fd);
  }
  // Data of the next record with the key: "<absent>", "<error:errno>" or the value.
  std::string next(const std::string &key) {
    int r = cdb_findnext(&c, key.data(), key.size());
    if (r == 0) return "<absent>";
    if (r == -1) return "<error:" + std::to_string(errno) + ">";
    std::string v(c.data_len, '\0');
    if (cdb_read(&c, v.data(), c.data_len, c.data_pos) == -1) return "<error:" + std::to_string(errno) + ">";
    return v;
  }
  std::string find(const std::string &key) {
    cdb_findstart(&c);
    return next(key);
  }
};

}  // namespace

TEST(cdb_hash, KnownValues) {
  EXPECT_EQ(cdb_hash("", 0), 5381u);
  EXPECT_EQ(cdb_hash("abc", 3), 193409669u);
  EXPECT_EQ(cdb_hash("\xff", 1), (5381u * 33) ^ 0xffu);
}

TEST(cdb_findnext, RecordsWithTheSameKeyInOrderAdded) {
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "x.cdb", {{"k", "one"}, {"other", "x"}, {"k", "two"}, {"", "empty key"}, {"z", ""}}));
  for (bool mapped : {true, false}) {
    Reader r(d / "x.cdb", mapped);
    EXPECT_EQ(r.find("k"), "one");
    EXPECT_EQ(r.next("k"), "two");
    EXPECT_EQ(r.next("k"), "<absent>");
    EXPECT_EQ(r.find(""), "empty key");
    EXPECT_EQ(r.find("z"), "");
    EXPECT_EQ(r.find("missing"), "<absent>");
  }
}

TEST(cdb_findnext, SameHashDifferentKeyAndWrapAround) {
  // Three records share one hash: a shorter key, a key differing only at
  // byte 35 (past the first 32-byte piece), and the key searched for.  The
  // preferred slot is the last one, so the probe wraps to the first.
  std::string key;
  uint32_t h = 0;
  for (char ch = 'a'; ch <= 'z'; ++ch) {
    key = ch + std::string(39, 'k');
    h = cdb_hash(key.data(), key.size());
    if ((h >> 8) % 3 == 2) break;
  }
  ASSERT_EQ((h >> 8) % 3, 2u);
  std::string other = key;
  other[35] = 'X';
  std::string recs = record(key.substr(1), "short") + record(other, "other") + record(key, "found");
  uint32_t base = 2048 + 3 * 8;
  uint32_t pshort = base, pother = base + 8 + 39 + 5, pkey = pother + 8 + 40 + 5;
  TempDir d;
  testutil::write_file(d / "x.cdb", craft(h & 255, {{h, pother}, {h, pkey}, {h, pshort}}, recs));
  for (bool mapped : {true, false}) {
    Reader r(d / "x.cdb", mapped);
    EXPECT_EQ(r.find(key), "found");
    EXPECT_EQ(r.next(key), "<absent>");
    EXPECT_EQ(r.c.probes, 3u);
  }
}

TEST(cdb_read, EmptyDataAtTheEndOfTheFile) {
  uint32_t h = cdb_hash("e", 1);
  TempDir d;
  std::vector<std::pair<uint32_t, uint32_t>> slots(2);
  slots[(h >> 8) % 2] = {h, 2048 + 16};
  testutil::write_file(d / "x.cdb", craft(h & 255, slots, record("e", "")));
  for (bool mapped : {true, false}) {
    Reader r(d / "x.cdb", mapped);
    EXPECT_EQ(r.find("e"), "");
    EXPECT_EQ(r.c.data_pos, 2048u + 16 + 8 + 1);
    char b;
    EXPECT_EQ(cdb_read(&r.c, &b, 1, r.c.data_pos), -1);
    EXPECT_EQ(errno, EPROTO);
  }
}

TEST(cdbout, EmptyDatabaseIsTheHeaderAlone) {
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "x.cdb", {}));
  EXPECT_EQ(testutil::read_file(d / "x.cdb").size(), 2048u);
  for (bool mapped : {true, false}) {
    Reader r(d / "x.cdb", mapped);
    EXPECT_EQ(r.find(""), "<absent>");
  }
}

TEST(cdbout, SameFileAsTheIndependentTool) {
  // Arbitrary bytes, duplicates and enough records for long probe paths.
  std::mt19937 rng(7);
  Records records;
  for (int i = 0; i < 20000; ++i) {
    std::string k(rng() % 12, '\0'), v(rng() % 20, '\0');
    for (auto &ch : k) ch = (char)(rng() % 256);
    for (auto &ch : v) ch = (char)(rng() % 256);
    records.emplace_back(k, v);
  }
  records.emplace_back("dup", "first");
  records.emplace_back("dup", "second");
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "ours.cdb", records));
  ASSERT_TRUE(rulesdb_test::tool_make(d / "theirs.cdb", records));
  EXPECT_TRUE(testutil::read_file(d / "ours.cdb") == testutil::read_file(d / "theirs.cdb"));
  EXPECT_TRUE(rulesdb_test::dump(d / "ours.cdb") == rulesdb_test::dumped(records));
  // The tool finds both records with the same key, in the order added.
  auto q = testutil::run({rulesdb_test::cdbtool(), "-q", d / "ours.cdb", "dup"});
  EXPECT_EQ(q.out, "firstsecond");
  auto q1 = testutil::run({rulesdb_test::cdbtool(), "-q", "-n", "1", d / "ours.cdb", "dup"});
  EXPECT_EQ(q1.out, "first");
  Reader r(d / "theirs.cdb", true);
  for (size_t i = 0; i < records.size(); i += 97) {
    std::string v = r.find(records[i].first);
    // An earlier record with the same key wins.
    size_t first = 0;
    while (records[first].first != records[i].first) ++first;
    EXPECT_EQ(v, records[first].second) << i;
  }
}

TEST(cdbout, TableOverSeveralBlocksKeepsTheOrderAdded) {
  // More than two blocks of keys of one table, another table's key between
  // them, and a key again in the last block: the table's slots are where
  // the order of adding puts them.
  Records records;
  for (int i = 0; records.size() < 2 * cdbout_block_entries + 10; ++i) {
    std::string k = "k" + std::to_string(i);
    if ((cdb_hash(k.data(), k.size()) & 255) == 7) records.emplace_back(k, std::to_string(i));
    if (i == 5000) records.emplace_back("other", "x");
  }
  records.emplace_back(records[0].first, "again");
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "ours.cdb", records));
  ASSERT_TRUE(rulesdb_test::tool_make(d / "theirs.cdb", records));
  EXPECT_TRUE(testutil::read_file(d / "ours.cdb") == testutil::read_file(d / "theirs.cdb"));
  Reader r(d / "ours.cdb", true);
  EXPECT_EQ(r.find(records[0].first), records[0].second);
  EXPECT_EQ(r.next(records[0].first), "again");
}

TEST(cdbout, FileReachingFourGibibytesIsRefused) {
  static cdbout out;
  int fd = open("/dev/null", O_WRONLY);
  ASSERT_EQ(cdbout_start(&out, fd), 0);
  out.write_pos = 0xFFFFFFFFu - 10;  // as if 4 GiB had nearly been written
  EXPECT_EQ(cdbout_add(&out, "a", 1, "b", 1), 0);
  EXPECT_EQ(out.write_pos, 0xFFFFFFFFu);
  errno = 0;
  EXPECT_EQ(cdbout_add(&out, "", 0, "", 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  // The record added still needs its two slots, which do not fit either.
  errno = 0;
  EXPECT_EQ(cdbout_finish(&out), -1);
  EXPECT_EQ(errno, ENOMEM);
  close(fd);
}
