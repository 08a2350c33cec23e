// Warnings of gatemark and tollmark: lines that compile but cannot do what
// they look like are named, one line each, and the database is exactly the
// one the text gave without warnings (compared byte for byte with the one
// the independent cdb tool builds from the expected records).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rulesdb_fixture.hpp"

using namespace std::string_literals;
using rulesdb_test::compile;
using testutil::Records;
using testutil::TempDir;

namespace {

struct WarnRow {
  std::string line;
  std::string warning;  ///< after "prog: warning: line N: "; empty for none
  Records records;
};

const std::string deny = "D\0"s;

// Compiles the rows' lines as one text: each warning names its line, the
// text ends with the warnings in last, the exit code is 0.
void expect_warnings(const std::string &prog, const std::vector<WarnRow> &rows,
                     const std::string &last) {
  std::string text, err;
  Records records;
  for (size_t i = 0; i < rows.size(); ++i) {
    text += rows[i].line + "\n";
    if (!rows[i].warning.empty())
      err += prog + ": warning: line " + std::to_string(i + 1) + ": " + rows[i].warning + "\n";
    records.insert(records.end(), rows[i].records.begin(), rows[i].records.end());
  }
  TempDir d;
  auto r = compile(prog, d, text);
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.err, err + last);
  ASSERT_TRUE(rulesdb_test::tool_make(d / "want.cdb", records));
  EXPECT_TRUE(testutil::read_file(d / "db.cdb") == testutil::read_file(d / "want.cdb"))
      << rulesdb_test::dump(d / "db.cdb");
}

}  // namespace

TEST(gatemark, WarnsAboutLinesThatCannotWork) {
  const std::string nocolon = "no ':' in this line, passed over: ";
  const std::string never = "key never matches: ";
  const std::string badname = "setting name empty or with white space: ";
  expect_warnings("gatemark",
                  {
                      {"# comment", "", {}},
                      {"", "", {}},
                      {" \t ", "", {}},
                      {"\r", "", {}},
                      {"5201 allow", nocolon + "5201 allow", {}},
                      {";deny", nocolon + ";deny", {}},
                      {"  # indented", nocolon + "  # indented", {}},
                      {"5201 :deny", never + "5201 :deny", {{"5201 ", deny}}},
                      {" 5201:deny", never + " 5201:deny", {{" 5201", deny}}},
                      {"alice:allow", never + "alice:allow", {{"alice", ""}}},
                      {".ops:allow", never + ".ops:allow", {{".ops", ""}}},
                      {"0100:allow", never + "0100:allow", {{"0100", ""}}},
                      {"4294967296:allow", never + "4294967296:allow", {{"4294967296", ""}}},
                      {"1000.:allow", never + "1000.:allow", {{"1000.", ""}}},
                      {".:allow", never + ".:allow", {{".", ""}}},
                      {"1.2.3:allow", never + "1.2.3:allow", {{"1.2.3", ""}}},
                      {"1000,0.x:allow", never + "1000,0.x:allow", {{"1000,0.x", ""}}},
                      {"100-102.100:deny", never + "100-102.100:deny", {{"100-102.100", deny}}},
                      {"1000-:deny", "range with a bound missing: 1000-:deny", {}},
                      {"-2:deny", "range with a bound missing: -2:deny", {{"0", deny}, {"1", deny}, {"2", deny}}},
                      {"102-100:deny", "empty range, adds nothing: 102-100:deny", {}},
                      {"5201:allow, TIER='x'", badname + "5201:allow, TIER='x'", {{"5201", "+ TIER=x\0"s}}},
                      {"5201:allow,='x'", badname + "5201:allow,='x'", {{"5201", "+=x\0"s}}},
                      {"5201:allow,A='x',B\tC='y'", badname + "5201:allow,A='x',B?C='y'",
                       {{"5201", "+A=x\0+B\tC=y\0"s}}},
                      // One warning per line, the key's first.
                      {"bob:allow, X='1'", never + "bob:allow, X='1'", {{"bob", "+ X=1\0"s}}},
                      {"0:allow", "", {{"0", ""}}},
                      {"4294967295.4294967295:deny", "", {{"4294967295.4294967295", deny}}},
                      {".100:allow,A=' spaced value '", "", {{".100", "+A= spaced value \0"s}}},
                      {"1000-1002:deny", "", {{"1000", deny}, {"1001", deny}, {"1002", deny}}},
                      {"007-7:allow", "", {{"7", ""}}},
                      {":allow", "", {{"", ""}}},
                  },
                  "");
}

TEST(tollmark, WarnsAboutLinesThatCannotWork) {
  const std::string never = "key never matches: ";
  expect_warnings(
      "tollmark",
      {
          {"1000,0.reboot:allow", "", {{"1000,0.reboot", ""}}},
          {"1000.100,0.reboot:allow='/sbin/reboot'", "", {{"1000.100,0.reboot", "=/sbin/reboot\0"s}}},
          {".100,0.x:deny", "", {{".100,0.x", deny}}},
          {",0.x:allow=' /bin/x',A='1'", "", {{",0.x", "= /bin/x\0+A=1\0"s}}},
          {"100-101,0.x:allow", "", {{"100,0.x", ""}, {"101,0.x", ""}}},
          {"1000,0.:allow", "", {{"1000,0.", ""}}},
          {";deny", "no ':' in this line, passed over: ;deny", {}},
          {"1000:allow", never + "1000:allow", {{"1000", ""}}},
          {"1000,reboot:allow", never + "1000,reboot:allow", {{"1000,reboot", ""}}},
          {"1000,root.reboot:allow", never + "1000,root.reboot:allow", {{"1000,root.reboot", ""}}},
          {"1000,00.x:allow", never + "1000,00.x:allow", {{"1000,00.x", ""}}},
          {"alice,0.x:allow", never + "alice,0.x:allow", {{"alice,0.x", ""}}},
          {"1000-,0.x:deny", "range with a bound missing: 1000-,0.x:deny", {}},
          {"2-1,0.x:deny", "empty range, adds nothing: 2-1,0.x:deny", {}},
          {",0.x:allow, HOME='/'", "setting name empty or with white space: ,0.x:allow, HOME='/'",
           {{",0.x", "+ HOME=/\0"s}}},
      },
      "tollmark: warning: no catch-all rule (empty key): unmatched requests are allowed\n");
}

TEST(tollmark, CatchAllRuleSilencesItsWarning) {
  for (const char *prog : {"gatemark", "tollmark"}) {
    TempDir d;
    auto r = compile(prog, d, ",0.x:allow\n:deny");
    EXPECT_EQ(r.code(), 0);
    EXPECT_EQ(r.err, prog == "gatemark"s ? "gatemark: warning: line 1: key never matches: ,0.x:allow\n" : "");
  }
  TempDir d;
  auto r = compile("tollmark", d, "");
  EXPECT_EQ(r.err, "tollmark: warning: no catch-all rule (empty key): unmatched requests are allowed\n");
}
