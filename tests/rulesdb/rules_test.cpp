// The rules lookup: which key of a peer wins, for every subset of keys
// present, and how failures come back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "rulesdb/rules.hpp"
#include "rulesdb/rulesmap.hpp"
#include "rulesdb_fixture.hpp"
#include "support/fmt.hpp"

using namespace std::string_literals;
using rulesdb_test::Records;
using testutil::TempDir;

namespace {

rules_db db;

// Runs a lookup on a database made of records; "<none>" for 0, "<error:errno>"
// for -1, else the value found (its key is left in db.key).
std::string lookup(const Records &records, const char *uid, const char *gid, const char *cmd) {
  TempDir d;
  EXPECT_TRUE(rulesdb_test::write_db(d / "r.cdb", records));
  int fd = open((d / "r.cdb").c_str(), O_RDONLY);
  // cmd is target "." program, the command of the exec keys.
  std::string c = cmd ? cmd : "";
  size_t dot = c.find('.');
  int r = cmd ? rules_exec(&db, fd, uid, gid, c.substr(0, dot).c_str(), c.substr(dot + 1).c_str())
              : rules(&db, fd, uid, gid);
  int e = errno;
  close(fd);
  if (r == 0) return "<none>";
  if (r == -1) return "<error:" + std::to_string(e) + ">";
  EXPECT_EQ(r, 1);
  return std::string(db.value.bytes, db.value.length);
}

// For every subset of keys (each record's value is its key with a "v"),
// the first key present in order is the one found.
void expect_order(const std::vector<std::string> &order, const char *uid, const char *gid,
                  const char *cmd) {
  for (unsigned mask = 0; mask < (1u << order.size()); ++mask) {
    Records records;
    // Added in reverse so that the order of adding cannot decide.
    for (size_t i = order.size(); i-- > 0;)
      if (mask & (1u << i)) records.emplace_back(order[i], "v" + order[i]);
    std::string want = "<none>";
    for (size_t i = 0; i < order.size(); ++i)
      if (mask & (1u << i)) {
        want = "v" + order[i];
        break;
      }
    EXPECT_EQ(lookup(records, uid, gid, cmd), want) << "mask " << mask;
    if (want != "<none>") {
      EXPECT_EQ(std::string(db.key.bytes, db.key.length), want.substr(1));
    }
  }
}

}  // namespace

TEST(rules, FourConnectionKeysInOrder) {
  expect_order({"1000.100", "1000", ".100", ""}, "1000", "100", nullptr);
}

TEST(rules_exec, FiveExecKeysInOrder) {
  expect_order({"1000.100,0.reboot", "1000,0.reboot", ".100,0.reboot", ",0.reboot", ""}, "1000", "100",
               "0.reboot");
}

// The peer's groups come after its gid and before the empty key or ,cmd, in
// the order listed; the gid itself is not tried a second time.
TEST(rules, GroupKeysAfterTheGidKey) {
  db.groups = "4,27,100";
  expect_order({"1000.100", "1000", ".100", ".4", ".27", ""}, "1000", "100", nullptr);
  expect_order({"1000.100,0.reboot", "1000,0.reboot", ".100,0.reboot", ".4,0.reboot", ".27,0.reboot",
                ",0.reboot", ""},
               "1000", "100", "0.reboot");
  db.groups = nullptr;
}

TEST(rules, EveryKeyTriedIsListed) {
  // Kept, as the lookup's own strings are, for the life of the program.
  static stralloc tried;
  tried.length = 0;
  db.tried = &tried;
  db.groups = "4,,100,27";
  EXPECT_EQ(lookup({{".27", "g"}}, "1000", "100", nullptr), "g");
  EXPECT_EQ(std::string(tried.bytes, tried.length), "1000.100\0" "1000\0" ".100\0" ".4\0" ".27\0"s);
  tried.length = 0;
  EXPECT_EQ(lookup({{"", "e"}}, nullptr, nullptr, "0.x"), "e");
  EXPECT_EQ(std::string(tried.bytes, tried.length), ".4,0.x\0" ".100,0.x\0" ".27,0.x\0" ",0.x\0" "\0"s);
  db.groups = "";
  tried.length = 0;
  EXPECT_EQ(lookup({}, "1", "2", nullptr), "<none>");
  EXPECT_EQ(std::string(tried.bytes, tried.length), "1.2\0" "1\0" ".2\0" "\0"s);
  db.groups = nullptr;
  db.tried = nullptr;
}

TEST(rules, MissingPartsLeaveKeysOut) {
  Records all = {{"1000.100", "both"}, {"1000", "uid"}, {".100", "gid"}, {"", "empty"}};
  EXPECT_EQ(lookup(all, nullptr, "100", nullptr), "gid");
  EXPECT_EQ(lookup(all, "1000", nullptr, nullptr), "uid");
  EXPECT_EQ(lookup(all, nullptr, nullptr, nullptr), "empty");
  EXPECT_EQ(lookup({{"1000.100", "both"}, {".100", "gid"}}, "1000", nullptr, nullptr), "<none>");
  Records exec = {{"1000,0.x", "uid"}, {".100,0.x", "gid"}, {",0.x", "cmd"}};
  EXPECT_EQ(lookup(exec, nullptr, "100", "0.x"), "gid");
  EXPECT_EQ(lookup(exec, nullptr, nullptr, "0.x"), "cmd");
  EXPECT_EQ(lookup({{"1000.100,0.x", "both"}}, "1000", nullptr, "0.x"), "<none>");
}

TEST(rules, EmptyPartsArePresent) {
  EXPECT_EQ(lookup({{".", "dot"}, {"", "empty"}}, "", "", nullptr), "dot");
  EXPECT_EQ(lookup({{"", "empty"}}, "", "", nullptr), "empty");
  EXPECT_EQ(lookup({{".,0.x", "dot"}, {",0.x", "cmd"}}, "", "", "0.x"), "dot");
}

TEST(rules, EmptyValueEndsTheSearch) {
  EXPECT_EQ(lookup({{"1000", ""}, {"", "D\0"s}}, "1000", "100", nullptr), "");
}

TEST(rules, DamagedDatabaseIsAFailure) {
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "r.cdb", {{"1000", "+A=1\0"s}, {"", "D\0"s}}));
  std::string bytes = testutil::read_file(d / "r.cdb");
  // Cut short: the tables are gone.
  testutil::write_file(d / "cut.cdb", bytes.substr(0, 2048 + 10));
  // The record of key 1000 claims 4 GiB of data: no allocation is tried.
  std::string huge = bytes;
  uint32_store(huge.data() + 2048 + 4, 0xFFFFFFF0u);
  testutil::write_file(d / "huge.cdb", huge);
  testutil::write_file(d / "empty.cdb", "");
  for (const char *name : {"cut.cdb", "huge.cdb", "empty.cdb"}) {
    int fd = open((d / name).c_str(), O_RDONLY);
    errno = 0;
    EXPECT_EQ(rules(&db, fd, "1000", "100"), -1) << name;
    EXPECT_EQ(errno, EPROTO) << name;
    close(fd);
  }
}

TEST(rules, MappingIsReleasedAfterEachLookup) {
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "r.cdb", {{"", "v"}}));
  int fd = open((d / "r.cdb").c_str(), O_RDONLY);
  EXPECT_EQ(rules(&db, fd, "1", "2"), 1);
  EXPECT_EQ(testutil::read_file("/proc/self/maps").find(d / "r.cdb"), std::string::npos);
  EXPECT_EQ(rules_exec(&db, fd, "1", "2", "0", "x"), 1);
  EXPECT_EQ(testutil::read_file("/proc/self/maps").find(d / "r.cdb"), std::string::npos);
  close(fd);
}

// Each caller owns its lookup: a second lookup, in another database, leaves
// the key and value that the first one found as they were.
TEST(rules, TwoLookupsKeepTheirOwnResults) {
  TempDir d;
  ASSERT_TRUE(rulesdb_test::write_db(d / "a.cdb", {{"1000", "+A=1\0"s}}));
  ASSERT_TRUE(rulesdb_test::write_db(d / "b.cdb", {{",0.x", "D\0"s}}));
  int a = open((d / "a.cdb").c_str(), O_RDONLY);
  int b = open((d / "b.cdb").c_str(), O_RDONLY);
  static rules_db first, second;  // their strings live as long as the program
  ASSERT_EQ(rules(&first, a, "1000", "100"), 1);
  ASSERT_EQ(rules_exec(&second, b, "1000", "100", "0", "x"), 1);
  EXPECT_EQ(std::string(first.key.bytes, first.key.length), "1000");
  EXPECT_EQ(std::string(first.value.bytes, first.value.length), "+A=1\0"s);
  EXPECT_EQ(std::string(second.key.bytes, second.key.length), ",0.x");
  EXPECT_EQ(std::string(second.value.bytes, second.value.length), "D\0"s);
  close(a);
  close(b);
}

// A file cut short under a kept mapping (as cp rewrites it in place, within
// one tick of the file times, so that a stat cannot tell): the read past
// its new end faults, the lookup fails as on damage, the mapping is
// dropped, and the next lookup maps the file afresh.  The record is made to
// believe the file unchanged, as the stat would in that tick.
TEST(rulesmap_find, FileCutShortUnderTheMappingFailsOneLookup) {
  TempDir d;
  const std::string path = d / "r.cdb";
  ASSERT_TRUE(rulesdb_test::write_db(path, {{"1000", "+A=1\0"s}}));
  static rulesmap m;  // its buffers stay reachable, as a server's do
  ASSERT_EQ(rulesmap_find(&m, path.c_str(), "1000", "100"), 1);
  ASSERT_NE(m.mapping, nullptr);
  const std::string bytes = testutil::read_file(path);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  ASSERT_EQ(stat(path.c_str(), &m.st), 0);
  errno = 0;
  EXPECT_EQ(rulesmap_find(&m, path.c_str(), "1000", "100"), -1);
  EXPECT_EQ(errno, EPROTO);
  EXPECT_EQ(m.faulted, 1);
  EXPECT_EQ(m.mapping, nullptr);
  EXPECT_EQ(testutil::read_file("/proc/self/maps").find(path), std::string::npos);
  // Out of the handler, SIGBUS is not left blocked: a later fault is caught too.
  sigset_t mask;
  ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &mask), 0);
  EXPECT_FALSE(sigismember(&mask, SIGBUS));
  testutil::write_file(path, bytes);
  EXPECT_EQ(rulesmap_find(&m, path.c_str(), "1000", "100"), 1);
  EXPECT_EQ(m.faulted, 0);
  EXPECT_EQ(std::string(m.db.value.bytes, m.db.value.length), "+A=1\0"s);
}

// Outside a lookup, SIGBUS keeps the action it had before the lookups:
// the default ends the process, a handler of the program's own runs, after
// one lookup or many.
static volatile sig_atomic_t own_handler_ran;
TEST(rulesmap_find, OtherSigbusKeepsItsAction) {
  TempDir d;
  const std::string path = d / "r.cdb";
  ASSERT_TRUE(rulesdb_test::write_db(path, {{"1000", "+A=1\0"s}}));
  for (bool own : {false, true}) {
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      // Set either way: a sanitizer build has a SIGBUS handler of its own.
      signal(SIGBUS, own ? +[](int) { own_handler_ran = 1; } : SIG_DFL);
      static rulesmap m;
      for (int i = 0; i < 3; ++i)
        if (rulesmap_find(&m, path.c_str(), "1000", "100") != 1) _exit(2);
      raise(SIGBUS);
      _exit(own_handler_ran ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (own)
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    else
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
  }
}

// Each instruction as the consumers take it: its letter, its body and "|".
TEST(rules_next, InstructionsEndWithTheLastNul) {
  struct {
    std::string value, want;
  } rows[] = {
      {"", ""},                            // the empty value
      {"D\0+A=1\0"s, "D|+A=1|"},
      {"=/bin/x\0+A=\0"s, "=/bin/x|+A=|"},
      {"+A=1\0+B=2"s, "+A=1|"},            // bytes after the last NUL
      {"D"s, ""},                          // no NUL at all
      {"\0\0D\0\0"s, "D|"},                // a NUL alone has no letter
  };
  for (const auto &row : rows) {
    std::string value = row.value;
    rules_walk w = {value.data(), (uint32_t)value.size()};
    std::string got;
    char *body;
    uint32_t n;
    while (char letter = rules_next(&w, &body, &n)) {
      EXPECT_EQ(body[n], '\0');
      got += letter + std::string(body, n) + "|";
    }
    EXPECT_EQ(got, row.want) << row.want;
  }
}

TEST(rules_setting_value, SplitsAtTheFirstEquals) {
  char setting[] = "A=b=c";
  char bare[] = "A";
  char noname[] = "=x";
  EXPECT_STREQ(rules_setting_value(setting), "b=c");
  EXPECT_STREQ(setting, "A");
  EXPECT_EQ(rules_setting_value(bare), nullptr);
  EXPECT_STREQ(rules_setting_value(noname), "x");
  EXPECT_STREQ(noname, "");
}
