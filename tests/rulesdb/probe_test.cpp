// gateprobe and tollprobe: exact reports for the keys a peer would match,
// on databases from our compilers and from the independent cdb tool.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "rulesdb_fixture.hpp"
#include "support/error.hpp"

using namespace std::string_literals;
using rulesdb_test::probe;
using testutil::TempDir;

namespace {

// Compiles text with prog into dir and returns the database path.
std::string db_of(const TempDir &d, const std::string &prog, const std::string &text) {
  auto r = rulesdb_test::compile(prog, d, text);
  EXPECT_EQ(r.code(), 0) << r.err;
  return d / "db.cdb";
}

// Output of a checker that is expected to succeed.
std::string report(const std::string &prog, const std::string &db, const std::vector<std::string> &env) {
  auto r = probe(prog, db, env);
  EXPECT_EQ(r.code(), 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

const std::vector<std::string> peer = {"IPCREMOTEEUID=1000", "IPCREMOTEEGID=100"};

}  // namespace

TEST(gateprobe, ReportsTheRuleFound) {
  TempDir d;
  std::string db = db_of(d, "gatemark", "1000.100:allow,A='x',B='y=z'\n1001:deny,A='x'\n:deny\n");
  EXPECT_EQ(report("gateprobe", db, peer),
            "rule 1000.100:\nset environment variable A=x\nset environment variable B=y=z\nallow connection\n");
  EXPECT_EQ(report("gateprobe", db, {"IPCREMOTEEUID=1001", "IPCREMOTEEGID=100"}),
            "rule 1001:\ndeny connection\n");
  EXPECT_EQ(report("gateprobe", db, {"IPCREMOTEEUID=5"}), "rule :\ndeny connection\n");
  EXPECT_EQ(report("gateprobe", db, {}), "rule :\ndeny connection\n");

  TempDir e;
  std::string none = db_of(e, "gatemark", "1000:deny\n");
  EXPECT_EQ(report("gateprobe", none, {"IPCREMOTEEGID=1000"}), "default:\nallow connection\n");
  EXPECT_EQ(report("gateprobe", none, {}), "default:\nallow connection\n");
}

TEST(gateprobe, PassesOverProgramsAndUnknownInstructions) {
  TempDir d;
  // A program instruction (written by tollmark) and a trailing byte without NUL.
  std::string db = d / "x.cdb";
  ASSERT_TRUE(rulesdb_test::tool_make(db, {{"7", "=/bin/sh\0?odd\0+A=1\0tail"s}}));
  EXPECT_EQ(report("gateprobe", db, {"IPCREMOTEEUID=7"}),
            "rule 7:\nset environment variable A=1\nallow connection\n");
  EXPECT_EQ(report("tollprobe", db, {"IPCREMOTEEUID=7", "TOLLCALL=x"}), "default:\nallow connection\n");
}

TEST(tollprobe, ReportsTheRuleFound) {
  TempDir d;
  std::string db = db_of(d, "tollmark",
                         "1000,0.reboot:allow='/sbin/reboot',A='x'\n"
                         "1000,5.backup:deny,A='x'\n"
                         ".100,0.halt:allow\n"
                         ",0.ls:allow=''\n"
                         ":deny\n");
  std::vector<std::string> env = peer;
  env.push_back("TOLLCALL=reboot");
  EXPECT_EQ(report("tollprobe", db, env),
            "rule 1000,0.reboot:\nexecute /sbin/reboot\nset environment variable A=x\nallow connection\n");
  EXPECT_EQ(report("tollprobe", db, {"IPCREMOTEEUID=1000", "IPCUID=5", "TOLLCALL=backup"}),
            "rule 1000,5.backup:\ndeny connection\n");
  EXPECT_EQ(report("tollprobe", db, {"IPCREMOTEEGID=100", "TOLLCALL=halt"}), "rule .100,0.halt:\nallow connection\n");
  EXPECT_EQ(report("tollprobe", db, {"TOLLCALL=ls"}), "rule ,0.ls:\nexecute \nallow connection\n");
  EXPECT_EQ(report("tollprobe", db, {"IPCUID=5", "TOLLCALL=reboot"}), "rule :\ndeny connection\n");

  TempDir e;
  std::string none = db_of(e, "tollmark", "1000,0.reboot:deny\n");
  EXPECT_EQ(report("tollprobe", none, {"TOLLCALL=reboot"}), "default:\nallow connection\n");
}

// With IPCREMOTEGROUPS the checkers try the group keys too and show each
// key they try, so that the way to the rule found can be seen.
TEST(gateprobe, GroupKeysShownOneByOne) {
  TempDir d;
  std::string db = db_of(d, "gatemark", "1000:allow,A='uid'\n.4:allow,A='four'\n.27:deny\n:deny\n");
  const std::string head = "try 5.100\ntry 5\ntry .100\n";
  struct {
    std::vector<std::string> env;
    std::string want;
  } cases[] = {
      {{"IPCREMOTEEUID=5", "IPCREMOTEEGID=100", "IPCREMOTEGROUPS=4,27"},
       head + "try .4\nrule .4:\nset environment variable A=four\nallow connection\n"},
      {{"IPCREMOTEEUID=5", "IPCREMOTEEGID=100", "IPCREMOTEGROUPS=27"},
       head + "try .27\nrule .27:\ndeny connection\n"},
      {{"IPCREMOTEEUID=1000", "IPCREMOTEEGID=100", "IPCREMOTEGROUPS=4"},
       "try 1000.100\ntry 1000\nrule 1000:\nset environment variable A=uid\nallow connection\n"},
      {{"IPCREMOTEEUID=5", "IPCREMOTEEGID=100", "IPCREMOTEGROUPS="},
       head + "try \nrule :\ndeny connection\n"},
      {{"IPCREMOTEEUID=5", "IPCREMOTEEGID=100"}, "rule :\ndeny connection\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(report("gateprobe", db, c.env), c.want) << c.env.back();

  TempDir e;
  std::string exec = db_of(e, "tollmark", ".4,0.halt:allow='/sbin/halt'\n,0.halt:deny\n");
  EXPECT_EQ(report("tollprobe", exec, {"IPCREMOTEEGID=100", "IPCREMOTEGROUPS=4", "TOLLCALL=halt"}),
            "try .100,0.halt\ntry .4,0.halt\nrule .4,0.halt:\nexecute /sbin/halt\nallow connection\n");
  EXPECT_EQ(report("tollprobe", exec, {"IPCREMOTEGROUPS=5", "TOLLCALL=halt"}),
            "try .5,0.halt\ntry ,0.halt\nrule ,0.halt:\ndeny connection\n");
  EXPECT_EQ(report("tollprobe", exec, {"IPCREMOTEEGID=4", "TOLLCALL=halt"}),
            "rule .4,0.halt:\nexecute /sbin/halt\nallow connection\n");
}

TEST(gateprobe, UsageAndFatalMessages) {
  TempDir d;
  auto u2 = testutil::run({testutil::bin("gateprobe")});
  EXPECT_EQ(u2.code(), 100);
  EXPECT_EQ(u2.err, "gateprobe: usage: gateprobe rules.cdb\n");
  auto u3 = testutil::run({testutil::bin("tollprobe")});
  EXPECT_EQ(u3.code(), 100);
  EXPECT_EQ(u3.err, "tollprobe: usage: tollprobe rules.cdb\n");

  for (const char *prog : {"gateprobe", "tollprobe"}) {
    auto missing = probe(prog, d / "missing.cdb", {"TOLLCALL=x"});
    EXPECT_EQ(missing.code(), 111);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, prog + ": fatal: unable to read "s + d / "missing.cdb" + ": " + error_str(ENOENT) + "\n");
    testutil::write_file(d / "empty.cdb", "");
    auto empty = probe(prog, d / "empty.cdb", {"TOLLCALL=x"});
    EXPECT_EQ(empty.code(), 111);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, prog + ": fatal: unable to read "s + d / "empty.cdb" + ": protocol error\n");
  }
  // TOLLCALL is checked before the database is opened.
  auto notset = probe("tollprobe", d / "missing.cdb", peer);
  EXPECT_EQ(notset.code(), 111);
  EXPECT_EQ(notset.err, "tollprobe: fatal: TOLLCALL not set\n");
}

TEST(gateprobe, UnwritableReportIsAFailure) {
  TempDir d;
  std::string db = db_of(d, "gatemark", ":allow,A='x'\n");
  for (const char *prog : {"gateprobe", "tollprobe"}) {
    testutil::RunOptions opt;
    opt.setenv = {"TOLLCALL=x"};
    auto r = testutil::run({"/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full", testutil::bin(prog), db}, opt);
    EXPECT_EQ(r.code(), 111);
    EXPECT_EQ(r.err, prog + ": fatal: unable to write output: "s + error_str(ENOSPC) + "\n");
  }
}

TEST(gateprobe, SameReportsOnTheToolsDatabase) {
  // The same records built by our compiler and by the independent tool.
  const std::string text = "1000.100:allow,A='x'\n1000:deny\n.100:allow,G='1'\n:allow,E=''\n";
  TempDir d;
  std::string ours = db_of(d, "gatemark", text);
  std::string theirs = d / "tool.cdb";
  ASSERT_TRUE(rulesdb_test::tool_make(theirs, {{"1000.100", "+A=x\0"s}, {"1000", "D\0"s},
                                               {".100", "+G=1\0"s}, {"", "+E=\0"s}}));
  EXPECT_EQ(testutil::read_file(ours), testutil::read_file(theirs));
  for (const auto &env : std::vector<std::vector<std::string>>{
           peer, {"IPCREMOTEEUID=1000", "IPCREMOTEEGID=7"}, {"IPCREMOTEEUID=9", "IPCREMOTEEGID=100"}, {}}) {
    auto a = report("gateprobe", ours, env);
    EXPECT_EQ(a, report("gateprobe", theirs, env));
    EXPECT_NE(a, "");
  }
}
