// A command execution service run as a user runs it: tollsetup creates the
// directory, make compiles its rules, the run script and the log run script
// start the server and multilog, and clients run programs through the
// connector and tollcall.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>

#include "tests/common/testutil.hpp"

using testutil::bin;
using testutil::read_file;
using testutil::run;
using testutil::TempDir;

namespace {

const std::string nobody_uid = std::to_string(testutil::nobody().uid);

// root may run echo as root, id as nobody, and greet, which is printenv.
const std::string rules_text =
    "0.0,0.echo:allow\n"
    "0," + nobody_uid + ".id:allow\n"
    "0,0.greet:allow='/usr/bin/printenv',GREETING='hello there'\n"
    "0,0.no-such-program:allow\n"
    ":deny\n";

testutil::RunOptions with_path(const std::string &path) {
  testutil::RunOptions opt;
  opt.setenv = {"PATH=" + path};
  return opt;
}

// Runs a program on the service through the connector and tollcall.
testutil::RunResult call(const std::string &dir, const std::vector<std::string> &request,
                         const std::string &input = "") {
  std::vector<std::string> argv = {bin("sockconnect"), dir + "/s", bin("tollcall")};
  argv.insert(argv.end(), request.begin(), request.end());
  testutil::RunOptions opt;
  opt.input = input;
  return run(argv, opt);
}

// True once no process of group pgid is left.
bool group_gone(pid_t pgid, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (::kill(-pgid, 0) == -1 && errno == ESRCH) return true;
    usleep(10000);
  }
  return false;
}

}  // namespace

TEST(service, RunsProgramsByTheRulesAndLogs) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run the service as daemon and its log as nobody";
  for (const char *program : {"sockserve", "sockconnect", "tollcall", "tollgant", "tollmark"})
    ASSERT_TRUE(testutil::exists(bin(program))) << program << " is not built";
  TempDir t;
  const std::string dir = t / "svc";

  // Set up as root for the account daemon, logging as nobody.
  auto r = run({bin("tollsetup_testhome"), "daemon", "nobody", dir});
  ASSERT_EQ(r.code(), 0) << r.err;

  // Compile the rules with the Makefile that tollsetup wrote.
  testutil::write_file(dir + "/rules/data", rules_text);
  r = run({"/usr/bin/make", "-s", "-C", dir + "/rules"},
          with_path(testutil::bin_dir() + ":/usr/bin:/bin"));
  ASSERT_EQ(r.code(), 0) << r.out << r.err;
  ASSERT_TRUE(testutil::exists(dir + "/rules/data.cdb"));
  EXPECT_FALSE(testutil::exists(dir + "/rules/data.tmp"));

  // The run script names the server corvane: env/PATH finds it in the
  // installation's ipc/ (testhome's here), where it is sockserve.
  // Both scripts as a supervisor runs them: run's output piped into log/run,
  // each started in its own directory.
  testutil::RunOptions opt = with_path("/usr/bin:/bin");
  opt.cwd = dir;
  testutil::Process service({"/bin/sh", "-c", "sh ./run | (cd log && exec sh ./run)"}, opt);
  ASSERT_GT(service.pid, 0);
  ASSERT_TRUE(testutil::wait_path(dir + "/s")) << service.err();

  // Allowed: echo as root; the input is relayed too.
  r = call(dir, {"0", "echo", "hello,", "world"}, "ignored input\n");
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "hello, world\n");
  EXPECT_EQ(r.err, "");

  // Allowed: id as nobody; the executor switched to that account.
  r = call(dir, {nobody_uid, "id", "-u"});
  EXPECT_EQ(r.out, nobody_uid + "\n");
  r = call(dir, {nobody_uid, "id", "-g"});
  EXPECT_EQ(r.out, std::to_string(testutil::nobody().gid) + "\n");

  // Allowed with the program replaced and a setting added.
  r = call(dir, {"0", "greet", "GREETING"});
  EXPECT_EQ(r.out, "hello there\n");

  // env/IPCERROUT is 1, so the executor's error output reaches the client.
  r = call(dir, {"0", "no-such-program"});
  EXPECT_EQ(r.out, "corvane: fatal: unable to run no-such-program: file does not exist\n");

  // Denied: the default rule; the connection just closes.
  r = call(dir, {"0", "cat"}, "secret\n");
  EXPECT_EQ(r.code(), 0);
  EXPECT_EQ(r.out, "");
  r = call(dir, {"0", "id", "-u"});  // id is allowed only as nobody
  EXPECT_EQ(r.out, "");

  // Stop everything: the server ends, multilog sees the end of its input.
  const pid_t group = service.pid;
  ASSERT_EQ(::kill(-group, SIGTERM), 0);
  EXPECT_NE(service.wait(5000), -1);
  EXPECT_TRUE(group_gone(group, 5000));

  // multilog, running as nobody, wrote time-stamped lines into log/main.
  const std::string current = dir + "/log/main/current";
  struct stat st;
  ASSERT_EQ(stat(current.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, testutil::nobody().uid);
  const std::string log = read_file(current);
  std::istringstream lines(log);
  std::string line;
  std::string tollgant_lines;
  const std::regex stamped("@[0-9a-f]{24} (.*)");
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
    if (m[1].str().starts_with("tollgant: ")) tollgant_lines += m[1].str() + "\n";
  }
  EXPECT_EQ(tollgant_lines,
            "tollgant: ok 0.0,0.echo\n"
            "tollgant: ok 0.0," + nobody_uid + ".id\n"
            "tollgant: ok 0.0," + nobody_uid + ".id\n"
            "tollgant: ok 0.0,0.greet\n"
            "tollgant: ok 0.0,0.no-such-program\n"
            "tollgant: deny 0.0,0.cat\n"
            "tollgant: deny 0.0,0.id\n");
  EXPECT_NE(log.find(" corvane: pid "), std::string::npos) << log;
}
