// The ways of running an example service under a supervisor: the
// daemontools-style run scripts of examples/service and the systemd unit
// examples/corvane-echo.service, each started for real with the programs
// just built in place of the installed ones.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/testutil.hpp"
#include "tests/prefork/corvane_fixture.hpp"

using testutil::read_file;
using testutil::run;
using testutil::source;
using testutil::TempDir;

namespace {

// Where the examples expect the installed programs (the default INSTALL_HOME).
const std::string installed = "/usr/local/corvane/command";

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// One field of /proc/<pid>/status ("Uid", "PPid", ...), "" when absent.
std::string proc_status(pid_t pid, const std::string &field) {
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with(field + ":")) return line.substr(field.size() + 1);
  return "";
}

// Processes whose parent is pid and whose command name is comm.
std::vector<pid_t> children_named(pid_t pid, const std::string &comm) {
  std::vector<pid_t> found;
  DIR *d = opendir("/proc");
  if (!d) return found;
  while (dirent *e = readdir(d)) {
    const pid_t p = atoi(e->d_name);
    if (p <= 0) continue;
    if (atoi(proc_status(p, "PPid").c_str()) != pid) continue;
    std::string name = read_file("/proc/" + std::to_string(p) + "/comm");
    if (name == comm + "\n") found.push_back(p);
  }
  closedir(d);
  return found;
}

// The children named comm of pid, once there are n of them (at most 5 s).
std::vector<pid_t> wait_children(pid_t pid, const std::string &comm, size_t n) {
  std::vector<pid_t> found;
  for (int waited = 0; waited < 5000; waited += 20) {
    found = children_named(pid, comm);
    if (found.size() >= n) break;
    usleep(20000);
  }
  return found;
}

// Real uid of a process, as the first number of its Uid line.
int uid_of(pid_t pid) { return atoi(proc_status(pid, "Uid").c_str()); }

// The [Service] settings of a unit file, each key with its values in order.
std::map<std::string, std::vector<std::string>> service_section(const std::string &unit) {
  std::map<std::string, std::vector<std::string>> keys;
  std::istringstream in(unit);
  std::string line, section;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') section = line;
    else if (section == "[Service]" && line.find('=') != std::string::npos)
      keys[line.substr(0, line.find('='))].push_back(line.substr(line.find('=') + 1));
  }
  return keys;
}

std::vector<std::string> words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The command of an ExecStartPre or ExecReload line /bin/sh -c '...'.
std::string sh_command(const std::string &line) {
  const std::string head = "/bin/sh -c '";
  EXPECT_TRUE(line.starts_with(head) && line.ends_with("'")) << line;
  if (!line.starts_with(head) || line.size() < head.size() + 1) return "";
  return line.substr(head.size(), line.size() - head.size() - 1);
}

std::string as_nobody(const std::string &path, const std::string &send) {
  testutil::ClientOptions opt;
  opt.user = testutil::nobody();
  opt.send = send;
  auto got = testutil::unix_client(path, opt);
  return got ? *got : "<no connection>";
}

std::string as_root(const std::string &path, const std::string &send) {
  testutil::ClientOptions opt;
  opt.send = send;
  auto got = testutil::unix_client(path, opt);
  return got ? *got : "<no connection>";
}

}  // namespace

TEST(service_scripts, AreValidShell) {
  for (const char *script : {"examples/service/run", "examples/service/log/run"}) {
    auto r = run({"/bin/sh", "-n", source(script)});
    EXPECT_EQ(r.code(), 0) << script << ": " << r.err;
    struct stat st;
    ASSERT_EQ(stat(source(script).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0111, 0111u) << script << " is not executable";
  }
  EXPECT_NE(read_file(source("examples/service/run")).find("\ncommand=" + installed + "\n"),
            std::string::npos);
}

TEST(service_scripts, RunTheEchoServiceAsNobodyAndLogThroughMultilog) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the service runs as nobody and greets root";
  TempDir t;
  const std::string svc = t / "echo";
  ASSERT_EQ(mkdir(svc.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((svc + "/log").c_str(), 0755), 0);
  // The service directory as its comment describes it, with the programs
  // of this build in place of the installed ones.
  testutil::write_file(svc + "/run",
                       replace_all(read_file(source("examples/service/run")), "\ncommand=" + installed,
                                   "\ncommand=" + testutil::bin_dir()),
                       0755);
  testutil::write_file(svc + "/log/run", read_file(source("examples/service/log/run")), 0755);
  testutil::write_file(svc + "/echo.pl", read_file(source("examples/echo.pl")));
  testutil::write_file(svc + "/echo.rules", read_file(source("examples/echo.rules")));

  // As svscan runs them: each in its directory, run's output into log/run.
  testutil::RunOptions opt;
  opt.cwd = svc;
  opt.setenv = {"PATH=/usr/bin:/bin"};
  testutil::Process service({"/bin/sh", "-c", "./run | (cd log && exec ./run)"}, opt);
  ASSERT_TRUE(corvane_test::wait_listening(svc + "/s")) << service.err();
  EXPECT_TRUE(testutil::exists(svc + "/rules.cdb"));

  EXPECT_EQ(as_root(svc + "/s", "hi\n"), "root: hi\n");
  EXPECT_EQ(as_nobody(svc + "/s", "hi\n"), "");

  // The run script became corvane; its children run as nobody.
  std::vector<pid_t> server;
  for (pid_t sh : children_named(service.pid, "sh")) {
    auto found = children_named(sh, "corvane");
    server.insert(server.end(), found.begin(), found.end());
  }
  auto direct = children_named(service.pid, "corvane");
  server.insert(server.end(), direct.begin(), direct.end());
  ASSERT_EQ(server.size(), 1u) << "no corvane under the run script";
  auto pool = wait_children(server[0], "corvane", 10);
  EXPECT_EQ(pool.size(), 10u);
  for (pid_t child : pool) EXPECT_EQ(uid_of(child), (int)testutil::nobody().uid);

  // A supervisor stops the service with SIGTERM; multilog then sees the end
  // of its input and the pipeline ends.
  ASSERT_EQ(::kill(server[0], SIGTERM), 0);
  EXPECT_NE(service.wait(10000), -1) << service.err();

  const std::string current = svc + "/log/main/current";
  struct stat st;
  ASSERT_EQ(stat(current.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, testutil::nobody().uid);
  const std::string log = read_file(current);
  EXPECT_TRUE(std::regex_search(log, std::regex("\n@[0-9a-f]{24} corvane: ok [0-9]+ " + svc +
                                                "/s :0,0\n")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\n@[0-9a-f]{24} corvane: deny [0-9]+ " + svc +
                                                "/s :65534,65534\n")))
      << log;
}

TEST(systemd_unit, StartsReloadsAndStopsTheEchoService) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: the service runs as nobody and greets root";
  const auto unit = service_section(read_file(source("examples/corvane-echo.service")));
  ASSERT_EQ(unit.count("ExecStart"), 1u);
  ASSERT_EQ(unit.at("ExecStart").size(), 1u);
  ASSERT_EQ(unit.count("WorkingDirectory"), 1u);
  EXPECT_EQ(unit.at("WorkingDirectory")[0], "/etc/corvane/echo");
  EXPECT_EQ(unit.at("RuntimeDirectory")[0], "corvane-echo");
  EXPECT_EQ(unit.at("KillMode")[0], "mixed");
  const auto start = words(unit.at("ExecStart")[0]);
  ASSERT_FALSE(start.empty());
  EXPECT_EQ(start[0], installed + "/corvane");

  // The unit's directories, made here; the unit's command lines with the
  // programs of this build and these directories.
  TempDir t;
  const std::string etc = t / "etc", runtime = t / "run";
  ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(runtime.c_str(), 0755), 0);
  testutil::write_file(etc + "/echo.pl", read_file(source("examples/echo.pl")));
  testutil::write_file(etc + "/echo.rules", read_file(source("examples/echo.rules")));
  auto local = [&](std::string text) {
    text = replace_all(text, installed + "/", testutil::bin_dir() + "/");
    text = replace_all(text, "/etc/corvane/echo", etc);
    return replace_all(text, "/run/corvane-echo", runtime);
  };
  testutil::RunOptions in_etc;
  in_etc.cwd = etc;

  ASSERT_EQ(unit.at("ExecStartPre").size(), 1u);
  auto pre = run({"/bin/sh", "-c", local(sh_command(unit.at("ExecStartPre")[0]))}, in_etc);
  ASSERT_EQ(pre.code(), 0) << pre.err;

  std::vector<std::string> argv;
  for (const auto &w : start) argv.push_back(local(w));
  testutil::Process server(argv, in_etc);
  const std::string socket = runtime + "/s";
  ASSERT_TRUE(corvane_test::wait_listening(socket)) << server.err();
  EXPECT_EQ(as_root(socket, "hi\n"), "root: hi\n");
  EXPECT_EQ(as_nobody(socket, "hi\n"), "");
  // -u 65534 -g 65534: the children run as nobody.
  auto pool = wait_children(server.pid, "corvane", 10);
  EXPECT_EQ(pool.size(), 10u);
  for (pid_t child : pool) EXPECT_EQ(uid_of(child), 65534);

  // Reload: new rules take effect at the next connection.
  testutil::write_file(etc + "/echo.rules",
                       "65534:allow,ECHO_PREFIX='nobody: '\n" + read_file(etc + "/echo.rules"));
  ASSERT_EQ(unit.at("ExecReload").size(), 1u);
  auto reload = run({"/bin/sh", "-c", local(sh_command(unit.at("ExecReload")[0]))}, in_etc);
  ASSERT_EQ(reload.code(), 0) << reload.err;
  EXPECT_EQ(as_nobody(socket, "hi\n"), "nobody: hi\n");

  // Stop: SIGTERM to the main process, which exits 0.
  server.kill(SIGTERM);
  int status = server.wait(10000);
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(systemd_unit, PassesSystemdVerification) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
  // The unit names the installed programs: install this build into an
  // overlay of /usr/local seen only by a mount namespace of our own.
  TempDir t;
  ASSERT_EQ(mkdir((t / "up").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((t / "work").c_str(), 0755), 0);
  const std::string script =
      "mount -t overlay overlay -o lowerdir=/usr/local,upperdir=" + t / "up" + ",workdir=" +
      t / "work" + " /usr/local || exit 77\n"
      "cmake --install \"$1\" >/dev/null || exit 1\n"
      "test -x " + installed + "/corvane || exit 77\n"
      "exec systemd-analyze verify --man=no \"$2\"\n";
  auto r = run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script,
                "sh", std::string(BIN_DIR) + "/..", source("examples/corvane-echo.service")});
  if (r.code() == 77 || (r.code() == 1 && r.err.find("unshare") != std::string::npos))
    GTEST_SKIP() << "cannot install into a private overlay here: " << r.err;
  EXPECT_EQ(r.code(), 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
}
