// gatemark and tollmark as their users meet them: rules texts in, records
// out (read back with the independent cdb tool), messages and exit codes.
#include <gtest/gtest.h>

#include <string>

#include "rulesdb_fixture.hpp"

using namespace std::string_literals;
using rulesdb_test::compile;
using rulesdb_test::dump;
using rulesdb_test::dumped;
using testutil::TempDir;

namespace {

// Compiles text with prog and returns the dump, expecting success and
// these warnings.
std::string compiled(const std::string &prog, const std::string &text,
                     const std::string &warnings = "") {
  TempDir d;
  auto r = compile(prog, d, text);
  EXPECT_EQ(r.code(), 0) << r.err;
  EXPECT_EQ(r.err, warnings);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(testutil::exists(d / "db.tmp"));
  return dump(d / "db.cdb");
}

// Each line alone must be refused with the parse message showing shown,
// and must leave no database behind.
void expect_unparsable(const std::string &prog, const std::string &line, const std::string &shown) {
  TempDir d;
  auto r = compile(prog, d, ":allow\n" + line + "2:allow\n");
  EXPECT_EQ(r.code(), 100) << line;
  EXPECT_EQ(r.err, prog + ": fatal: unable to parse this line: " + shown + "\n");
  EXPECT_FALSE(testutil::exists(d / "db.cdb")) << line;
}

}  // namespace

TEST(gatemark, GrammarGivesExactRecords) {
  std::string text =
      "# a comment:allow\n"
      "\n"
      "hello\n"
      "   \t \n"
      "1000.100:allow\n"
      "1000:deny\n"
      ":allow,FOO='bar'\n"
      "1001:allow,A='x',B=|y z|,C=\"\",D=:a=b,c:\n"
      "1002:deny,A='x'  \t \n"
      " key with spaces :allow\n"
      "1003:allow,Q=\"it's\r\"\n"
      "100-102:deny\n"
      "102-100:deny\n"
      "-2:allow\n"
      "100-102.100:deny\n"
      "1000:allow,SECOND='line'\n"
      "last:allow";
  const std::string w = "gatemark: warning: line ";
  EXPECT_EQ(compiled("gatemark", text,
                     w + "3: no ':' in this line, passed over: hello\n" +
                         w + "10: key never matches:  key with spaces :allow\n" +
                         w + "13: empty range, adds nothing: 102-100:deny\n" +
                         w + "14: range with a bound missing: -2:allow\n" +
                         w + "15: key never matches: 100-102.100:deny\n" +
                         w + "17: key never matches: last:allow\n"),
            dumped({{"1000.100", ""},
                    {"1000", "D\0"s},
                    {"", "+FOO=bar\0"s},
                    {"1001", "+A=x\0+B=y z\0+C=\0+D=a=b,c\0"s},
                    {"1002", "D\0+A=x\0"s},
                    {" key with spaces ", ""},
                    {"1003", "+Q=it's\r\0"s},
                    {"100", "D\0"s},
                    {"101", "D\0"s},
                    {"102", "D\0"s},
                    {"0", ""},
                    {"1", ""},
                    {"2", ""},
                    {"100-102.100", "D\0"s},
                    {"1000", "+SECOND=line\0"s},
                    {"last", ""}}));
}

TEST(gatemark, EmptyInputGivesDatabaseWithoutRecords) {
  TempDir d;
  auto r = compile("gatemark", d, "");
  ASSERT_EQ(r.code(), 0) << r.err;
  std::string db = testutil::read_file(d / "db.cdb");
  ASSERT_EQ(db.size(), 2048u);
  std::string entry = "\x00\x08\x00\x00\x00\x00\x00\x00"s;
  for (int i = 0; i < 256; ++i) EXPECT_EQ(db.substr(8 * i, 8), entry) << i;
  EXPECT_EQ(dump(d / "db.cdb"), "\n");
}

TEST(gatemark, UnparsableLines) {
  for (const char *line : {"1000:allowed", "1000:deny all", "1000: allow", "1000:Allow", "1000:all",
                           "1000:allow\r", "1000:allow,A=", "1000:allow,A='x", "1000:allow,A",
                           "1000:allow A='x'", "1000:allow='/bin/sh'", "10a-12:deny", "1-2x:deny",
                           "99999999999999999999-1:deny"})
    expect_unparsable("gatemark", line + "\n"s, line);
  // The message shows the line without its trailing blanks.
  expect_unparsable("gatemark", "1000:allow,A='x \t \n", "1000:allow,A='x");
}

TEST(tollmark, GrammarGivesExactRecords) {
  std::string text =
      "1000,0.reboot:allow\n"
      "1000,0.backup:allow='/usr/local/bin/backup',HOME='/root'\n"
      ",0.shutdown:deny\n"
      ":deny\n"
      "1000,0.x:allow=''\n"
      "1000,0.y:allow,A='1'\n"
      "1000,0.z:allow=|a 'b' c|,A='1',B=\"2\"\n"
      "100-101,0.x:allow\n"
      ".100,0.x:allow\n"
      "5-5:allow=\"/bin/true\"\n";
  EXPECT_EQ(compiled("tollmark", text,
                     "tollmark: warning: line 10: key never matches: 5-5:allow=\"/bin/true\"\n"),
            dumped({{"1000,0.reboot", ""},
                    {"1000,0.backup", "=/usr/local/bin/backup\0+HOME=/root\0"s},
                    {",0.shutdown", "D\0"s},
                    {"", "D\0"s},
                    {"1000,0.x", "=\0"s},
                    {"1000,0.y", "+A=1\0"s},
                    {"1000,0.z", "=a 'b' c\0+A=1\0+B=2\0"s},
                    {"100,0.x", ""},
                    {"101,0.x", ""},
                    {".100,0.x", ""},
                    {"5", "=/bin/true\0"s}}));
}

TEST(tollmark, UnparsableLines) {
  for (const char *line : {"1000,0.x:allow=", "1000,0.x:allow='abc", "1000,0.x:allow=x",
                           "1000,0.x:deny='abc'", "1000,0.x:allow='a'b", "1000,0.x:allow='a',B",
                           "1a-2,0.x:allow"})
    expect_unparsable("tollmark", line + "\n"s, line);
}

TEST(gatemark, UsageLines) {
  for (const char *prog : {"gatemark", "tollmark"}) {
    std::string usage = prog + ": usage: "s + prog + " rules.cdb rules.tmp\n";
    auto r0 = testutil::run({testutil::bin(prog)});
    EXPECT_EQ(r0.code(), 100);
    EXPECT_EQ(r0.err, usage);
    auto r1 = testutil::run({testutil::bin(prog), "only.cdb"});
    EXPECT_EQ(r1.code(), 100);
    EXPECT_EQ(r1.err, usage);
    EXPECT_FALSE(testutil::exists("only.cdb"));
  }
}

TEST(gatemark, LinesLongerThanTheInputBuffer) {
  // Lines of every length around the 8192-byte input buffer, so that
  // refills split them at every kind of place.
  std::string text;
  rulesdb_test::Records want;
  for (int i = 0; i < 40; ++i) {
    std::string v(8150 + 3 * i, (char)('a' + i % 26));
    text += std::to_string(i) + ":allow,V='" + v + "'\n";
    want.emplace_back(std::to_string(i), "+V=" + v + "\0"s);
  }
  std::string big(20000, 'z');
  text += "big:deny,B=|" + big + "|";
  want.emplace_back("big", "D\0+B="s + big + "\0"s);
  std::string warning =
      "gatemark: warning: line 41: key never matches: big:deny,B=|" + big.substr(0, 88) + "...\n";
  EXPECT_TRUE(compiled("gatemark", text, warning) == dumped(want));
}
