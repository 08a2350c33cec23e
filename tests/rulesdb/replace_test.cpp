// Atomic replacement: a failed compile never touches the existing
// database, and a successful one swaps it in without disturbing readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "rulesdb/cdb.hpp"
#include "rulesdb_fixture.hpp"
#include "support/error.hpp"

using namespace std::string_literals;
using testutil::TempDir;

namespace {

const std::string oldtext = "1000:deny\n:allow,OLD='yes'\n";

// A directory holding db.cdb compiled from oldtext.
struct OldDatabase {
  TempDir d;
  std::string db = d / "db.cdb";
  std::string bytes;
  OldDatabase() {
    auto r = rulesdb_test::compile("gatemark", d, oldtext);
    EXPECT_EQ(r.code(), 0) << r.err;
    bytes = testutil::read_file(db);
    EXPECT_GT(bytes.size(), 2048u);
  }
};

testutil::RunResult gatemark(const std::string &db, const std::string &tmp, const std::string &text) {
  testutil::RunOptions opt;
  opt.input = text;
  return testutil::run({testutil::bin("gatemark"), db, tmp}, opt);
}

// The value of key in an opened database, or "<absent>" / "<error>".
std::string lookup(cdb *c, const std::string &key) {
  int r = cdb_find(c, key.data(), key.size());
  if (r == 0) return "<absent>";
  if (r == -1) return "<error>";
  std::string v(c->data_len, '\0');
  if (cdb_read(c, v.data(), c->data_len, c->data_pos) == -1) return "<error>";
  return v;
}

}  // namespace

TEST(gatemark, FailuresLeaveTheDatabaseUnchanged) {
  OldDatabase o;
  std::string tmp = o.d / "db.tmp";
  const std::string newtext = "2000:allow\n";

  auto parse = gatemark(o.db, tmp, newtext + "2001:maybe\n");
  EXPECT_EQ(parse.code(), 100);
  EXPECT_EQ(parse.err, "gatemark: fatal: unable to parse this line: 2001:maybe\n");
  EXPECT_EQ(testutil::read_file(o.db), o.bytes);

  // A directory as standard input cannot be read.
  auto input = testutil::run({"/bin/sh", "-c", "exec \"$0\" \"$1\" \"$2\" <\"$3\"", testutil::bin("gatemark"),
                              o.db, tmp, o.d.path});
  EXPECT_EQ(input.code(), 111);
  EXPECT_EQ(input.err, "gatemark: fatal: unable to read input: "s + error_str(EISDIR) + "\n");
  EXPECT_EQ(testutil::read_file(o.db), o.bytes);

  auto create = gatemark(o.db, o.d / "missing/db.tmp", newtext);
  EXPECT_EQ(create.code(), 111);
  EXPECT_EQ(create.err, "gatemark: fatal: unable to create " + o.d / "missing/db.tmp" + ": " +
                            error_str(ENOENT) + "\n");
  EXPECT_EQ(testutil::read_file(o.db), o.bytes);

  // A file size limit of one block makes the writes fail with EFBIG.
  testutil::RunOptions limited;
  limited.input = newtext;
  auto write = testutil::run({"/bin/sh", "-c", "ulimit -f 1; trap '' XFSZ; exec \"$@\"", "sh",
                              testutil::bin("gatemark"), o.db, tmp},
                             limited);
  EXPECT_EQ(write.code(), 111);
  EXPECT_EQ(write.err, "gatemark: fatal: unable to write to " + tmp + ": " + error_str(EFBIG) + "\n");
  EXPECT_EQ(testutil::read_file(o.db), o.bytes);
}

TEST(gatemark, FailedRenameLeavesTheDatabaseUnchanged) {
  OldDatabase o;
  // A directory as the database name.
  std::string dir = o.d / "dir.cdb";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  auto isdir = gatemark(dir, o.d / "db.tmp", "2000:allow\n");
  EXPECT_EQ(isdir.code(), 111);
  EXPECT_EQ(isdir.err, "gatemark: fatal: unable to move " + o.d / "db.tmp" + " to " + dir + ": " +
                           error_str(EISDIR) + "\n");

  // A temporary file on another file system: it stays, written in full.
  std::string shm = "/dev/shm/gatemark-test." + std::to_string(getpid());
  auto xdev = gatemark(o.db, shm, "2000:allow\n");
  EXPECT_EQ(xdev.code(), 111);
  EXPECT_EQ(xdev.err, "gatemark: fatal: unable to move " + shm + " to " + o.db + ": " + error_str(EXDEV) + "\n");
  EXPECT_EQ(rulesdb_test::dump(shm), rulesdb_test::dumped({{"2000", ""}}));
  unlink(shm.c_str());
  EXPECT_EQ(testutil::read_file(o.db), o.bytes);
}

TEST(gatemark, ReplacementKeepsOpenReadersOnTheOldFile) {
  OldDatabase o;
  int fdmapped = open(o.db.c_str(), O_RDONLY);
  int fdread = open(o.db.c_str(), O_RDONLY);
  ASSERT_GE(fdmapped, 0);
  ASSERT_GE(fdread, 0);
  cdb mapped;
  cdb_init(&mapped, fdmapped);
  ASSERT_NE(mapped.mapping, nullptr);
  cdb unmapped;
  cdb_init(&unmapped, fdread);
  cdb_free(&unmapped);  // reads now go through the descriptor

  auto r = gatemark(o.db, o.d / "db.tmp", "1000:allow,NEW='yes'\n");
  ASSERT_EQ(r.code(), 0) << r.err;
  EXPECT_FALSE(testutil::exists(o.d / "db.tmp"));
  EXPECT_EQ(rulesdb_test::dump(o.db), rulesdb_test::dumped({{"1000", "+NEW=yes\0"s}}));

  for (cdb *c : {&mapped, &unmapped}) {
    EXPECT_EQ(lookup(c, "1000"), "D\0"s);
    EXPECT_EQ(lookup(c, ""), "+OLD=yes\0"s);
  }
  cdb_free(&mapped);
  close(fdmapped);
  close(fdread);
}
