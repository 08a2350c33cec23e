// tollgant against real rules databases and real programs.
#include <gtest/gtest.h>

#include "tests/execsvc/execsvc_util.hpp"

using namespace execsvc_test;
using testutil::bin;
using testutil::run;
using testutil::RunOptions;
using testutil::RunResult;

namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

/// tollgant with a rules database, a peer of uid 1000 and gid 100, and a clean environment.
struct Exec {
  testutil::TempDir dir;
  std::string rules = dir / "rules.cdb";
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "IPCREMOTEEUID=1000", "IPCREMOTEEGID=100"};
  explicit Exec(const Records &records = {}) { make_cdb(rules, records); }
  RunResult operator()(const std::string &uid, const std::vector<std::string> &args,
                       const std::string &data = "") const {
    RunOptions opt;
    opt.input = request(uid, args) + data;
    opt.env = env;
    opt.cwd = dir.path;
    return run({bin("tollgant"), rules}, opt);
  }
};

/// The lines of a text, each without its newline.
std::vector<std::string> lines(const std::string &s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(s.substr(start, nl - start));
  return out;
}

bool has_line(const std::string &text, const std::string &line) {
  auto l = lines(text);
  return std::find(l.begin(), l.end(), line) != l.end();
}

std::string nobody_uid() { return std::to_string(testutil::nobody().uid); }
std::string nobody_gid() { return std::to_string(testutil::nobody().gid); }

}  // namespace

TEST(tollgant, NoRuleRunsAndLogsOk) {
  Exec exec;
  RunResult r = exec("0", {"echo", "hi"});
  EXPECT_EQ(r.out, "hi\n");
  EXPECT_EQ(r.err, "tollgant: ok 1000.100,0.echo\n");
  EXPECT_EQ(r.code(), 0);
}

TEST(logcatb, PeerTextsCleanedAndUnset) {
  Exec exec;
  exec.env = {"PATH=/usr/bin:/bin", "IPCREMOTEEGID=1:2%3 4\t5"};
  RunResult r = exec("0", {"true"});
  EXPECT_EQ(r.err, "tollgant: ok .1?2?3?4?5,0.true\n");
}

TEST(logcatb, ProgramNameCleanedAndCut) {
  Exec exec;
  exec.env.push_back("IPCERROUT=0");
  // 98 bytes of name make 100 with "0.": cut and marked.
  std::string name98(98, 'p');
  RunResult r = exec("0", {name98});
  EXPECT_EQ(lines(r.err).at(0), "tollgant: ok 1000.100,0." + name98 + "...");
  std::string name97(97, 'p');
  r = exec("0", {name97});
  EXPECT_EQ(lines(r.err).at(0), "tollgant: ok 1000.100,0." + name97);
  std::string name150(150, 'q');
  r = exec("0", {name150});
  EXPECT_EQ(lines(r.err).at(0), "tollgant: ok 1000.100,0." + std::string(98, 'q') + "...");
  r = exec("0", {"a:b%c\x7f\xff"});
  EXPECT_EQ(lines(r.err).at(0), "tollgant: ok 1000.100,0.a?b?c??");
  EXPECT_EQ(r.code(), 111);
}

TEST(tollgant, DenyRunsNothing) {
  Exec exec({{",0.sh", value({"D", "+X=1", "=/bin/echo"})}});
  RunResult r = exec("0", {"sh", "-c", "echo ran > ran"}, "data");
  EXPECT_EQ(r.err, "tollgant: deny 1000.100,0.sh\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.code(), 100);
  EXPECT_FALSE(testutil::exists(exec.dir / "ran"));
  // Another program is not covered by the rule.
  r = exec("0", {"echo", "ran"});
  EXPECT_EQ(r.out, "ran\n");
}

TEST(found_exec, FiveKeysInOrder) {
  const std::vector<std::string> keys = {"1000.100,0.env", "1000,0.env", ".100,0.env", ",0.env", ""};
  for (size_t first = 0; first < keys.size(); ++first) {
    Records records;
    for (size_t i = first; i < keys.size(); ++i)
      records.push_back({keys[i], value({"+RULE=" + std::to_string(i), "+ONLY" + std::to_string(i) + "=y"})});
    Exec exec(records);
    RunResult r = exec("0", {"env"});
    EXPECT_TRUE(has_line(r.out, "RULE=" + std::to_string(first))) << r.out;
    // The rule found replaces the less specific ones completely.
    for (size_t i = first + 1; i < keys.size(); ++i)
      EXPECT_FALSE(has_line(r.out, "ONLY" + std::to_string(i) + "=y")) << r.out;
  }
}

TEST(found_exec, ProgramReplacementLogsRequestedName) {
  Exec exec({{",0.nosuch", value({"=/bin/false", "+A=1", "=/bin/echo"})}});
  RunResult r = exec("0", {"nosuch", "arg"});
  EXPECT_EQ(r.out, "arg\n");
  EXPECT_EQ(r.err, "tollgant: ok 1000.100,0.nosuch\n");
  EXPECT_EQ(r.code(), 0);
}

TEST(found_exec, SettingsReachTheProgram) {
  std::string tail = "tail-without-nul";
  Exec exec({{",0.env", value({"+A=1", "+B=x=y", "+C", "+EMPTY=", "?ignored=1", "+IPCUID=0"}) + tail}});
  exec.env.push_back("A=old");
  RunResult r = exec("0", {"env"});
  auto got = lines(r.out);
  EXPECT_EQ(std::count(got.begin(), got.end(), "A=1"), 1);
  EXPECT_FALSE(has_line(r.out, "A=old"));
  EXPECT_TRUE(has_line(r.out, "B=x=y"));
  EXPECT_TRUE(has_line(r.out, "EMPTY="));
  EXPECT_TRUE(has_line(r.out, "IPCUID=0"));
  EXPECT_TRUE(has_line(r.out, "IPCREMOTEEUID=1000"));
  for (const auto &l : got) {
    EXPECT_NE(l.rfind("C", 0), 0u) << l;
    EXPECT_EQ(l.find("ignored"), std::string::npos) << l;
    EXPECT_EQ(l.find("tail"), std::string::npos) << l;
  }
}

TEST(found_exec, PathSettingDoesNotChangeSearch) {
  Exec exec({{"", value({"+PATH=/nonexistent"})}});
  RunResult r = exec("0", {"env"});
  EXPECT_EQ(r.code(), 0);
  EXPECT_TRUE(has_line(r.out, "PATH=/nonexistent")) << r.out;
}

TEST(tollgant, RequestedUidRunsAsThatAccount) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  Exec exec;
  RunResult r = exec(nobody_uid(), {"id", "-u"});
  EXPECT_EQ(r.out, nobody_uid() + "\n");
  r = exec(nobody_uid(), {"id", "-G"});
  EXPECT_EQ(r.out, nobody_gid() + "\n");
  EXPECT_EQ(r.err, "tollgant: ok 1000.100," + nobody_uid() + ".id\n");
}

TEST(tollgant, IdsFromEnvironment) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  Exec exec;
  exec.env.push_back("IPCUID=" + nobody_uid());
  RunResult r = exec("0", {"sh", "-c", "id -u; id -g"});
  EXPECT_EQ(r.out, nobody_uid() + "\n0\n");
  EXPECT_EQ(r.err, "tollgant: ok 1000.100,0.sh\n");
  exec.env.push_back("IPCGID=" + nobody_gid());
  r = exec("0", {"sh", "-c", "id -u; id -g"});
  EXPECT_EQ(r.out, nobody_uid() + "\n" + nobody_gid() + "\n");
  // An empty IPCUID means no switch at all.
  exec.env = {"PATH=/usr/bin:/bin", "IPCUID="};
  r = exec(nobody_uid(), {"id", "-u"});
  EXPECT_EQ(r.out, "0\n");
}

TEST(found_exec, RuleSwitchesToNobody) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run programs as another account";
  Exec exec({{",0.sh", value({"+IPCUID=" + nobody_uid(), "+IPCGID=" + nobody_gid()})},
             {",65534.id", value({"+IPCUID="})},
             {",65534.sh", value({"+IPCUID"})}});
  exec.env.push_back("IPCUID=1");
  RunResult r = exec("0", {"sh", "-c", "id -u; id -g; echo $IPCUID"});
  EXPECT_EQ(r.out, nobody_uid() + "\n" + nobody_gid() + "\n" + nobody_uid() + "\n");
  if (nobody_uid() == "65534") {
    exec.env.pop_back();
    // An empty IPCUID setting: no user switch, though the group still changes.
    r = exec("65534", {"id", "-u"});
    EXPECT_EQ(r.out, "0\n");
    // A setting without '=' changes nothing.
    r = exec("65534", {"sh", "-c", "id -u"});
    EXPECT_EQ(r.out, "65534\n");
  }
}

TEST(tollgant, ErrorOutputToClientOrLog) {
  const std::string fail = "corvane: fatal: unable to run nosuch: file does not exist\n";
  Exec exec;
  RunResult r = exec("0", {"nosuch"});
  EXPECT_EQ(r.out, fail);
  EXPECT_EQ(r.err, "tollgant: ok 1000.100,0.nosuch\n");
  EXPECT_EQ(r.code(), 111);
  r = exec("0", {"sh", "-c", "echo to-stderr >&2"});
  EXPECT_EQ(r.out, "to-stderr\n");

  exec.env.push_back("IPCERROUT=0");
  r = exec("0", {"nosuch"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tollgant: ok 1000.100,0.nosuch\n" + fail);

  // A rule setting overrides the environment, both ways.
  Exec ruled({{",0.nosuch", value({"+IPCERROUT=0"})}, {",0.sh", value({"+IPCERROUT=1"})}});
  r = ruled("0", {"nosuch"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tollgant: ok 1000.100,0.nosuch\n" + fail);
  ruled.env.push_back("IPCERROUT=0");
  r = ruled("0", {"sh", "-c", "echo e >&2"});
  EXPECT_EQ(r.out, "e\n");
}
