// The ways of running an example service under a supervisor: the
// daemontools-style run scripts of examples/service and the systemd unit
// examples/corvane-echo.service, each started for real with the programs
// just built in place of the installed ones.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
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

// The settings of one section ("[Service]", "[Socket]") of a unit file,
// each key with its values in order.
std::map<std::string, std::vector<std::string>> unit_section(const std::string &unit,
                                                             const std::string &name) {
  std::map<std::string, std::vector<std::string>> keys;
  std::istringstream in(unit);
  std::string line, section;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') section = line;
    else if (section == name && line.find('=') != std::string::npos)
      keys[line.substr(0, line.find('='))].push_back(line.substr(line.find('=') + 1));
  }
  return keys;
}

std::map<std::string, std::vector<std::string>> service_section(const std::string &unit) {
  return unit_section(unit, "[Service]");
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

// The one value of key in a section of a unit ("" when it is not there once).
std::string setting(const std::map<std::string, std::vector<std::string>> &section,
                    const std::string &key) {
  auto it = section.find(key);
  EXPECT_TRUE(it != section.end() && it->second.size() == 1) << key;
  return it != section.end() && it->second.size() == 1 ? it->second[0] : "";
}

// A path of the units as the tests stage it under t: the programs of this
// build, and /etc/corvane and /run inside t.
std::string local(const TempDir &t, std::string text) {
  text = replace_all(text, installed + "/", testutil::bin_dir() + "/");
  text = replace_all(text, "/etc/corvane/", t / "etc/");
  return replace_all(text, "/run/", t / "run/");
}

// The socket unit examples/<name>.socket and its service unit, done as
// systemd does them but by the real activator systemd-socket-activate: the
// service's ExecStartPre lines in its WorkingDirectory (which the test has
// filled), then the activator listening on the socket unit's ListenStream,
// which starts the ExecStart line at the first connection with the
// service's Environment= and a NOTIFY_SOCKET that the test reads; the
// socket gets the unit's SocketMode.
struct ActivatedUnit {
  std::string socket;
  int reader = -1;
  std::unique_ptr<testutil::Process> server;

  ActivatedUnit(const TempDir &t, const std::string &name) {
    const auto listen = unit_section(read_file(source("examples/" + name + ".socket")), "[Socket]");
    const auto unit = service_section(read_file(source("examples/" + name + ".service")));
    EXPECT_EQ(setting(unit, "Type"), "notify");
    socket = local(t, setting(listen, "ListenStream"));
    mkdir((t / "run").c_str(), 0755);
    testutil::RunOptions in_dir;
    in_dir.cwd = local(t, setting(unit, "WorkingDirectory"));
    auto pre = run({"/bin/sh", "-c", local(t, sh_command(setting(unit, "ExecStartPre")))}, in_dir);
    EXPECT_EQ(pre.code(), 0) << pre.err;

    reader = testutil::notify_reader(t / "notify");
    std::vector<std::string> argv = {"/usr/bin/systemd-socket-activate", "-l", socket, "-E",
                                     "NOTIFY_SOCKET=" + t / "notify"};
    if (unit.count("Environment"))
      for (const auto &e : unit.at("Environment")) argv.insert(argv.end(), {"-E", e});
    const auto start = words(setting(unit, "ExecStart"));
    // The path the server is given is the socket's own.
    EXPECT_NE(std::find(start.begin(), start.end(), setting(listen, "ListenStream")), start.end());
    for (const auto &w : start) argv.push_back(local(t, w));
    server = std::make_unique<testutil::Process>(argv, in_dir);
    EXPECT_TRUE(testutil::wait_path(socket)) << server->err();
    // The activator leaves the socket's mode to the umask; systemd sets the unit's.
    const mode_t mode = (mode_t)std::stoul("0" + setting(listen, "SocketMode"), nullptr, 8);
    EXPECT_EQ(chmod(socket.c_str(), mode), 0);
  }
  ~ActivatedUnit() {
    if (reader != -1) close(reader);
  }
  ActivatedUnit(const ActivatedUnit &) = delete;
  ActivatedUnit &operator=(const ActivatedUnit &) = delete;

  /// The next datagram to NOTIFY_SOCKET, of up to n bytes ("" after 5 s).
  std::string told(size_t n) const { return testutil::read_some(reader, n); }

  /// Stops the server as systemd does; true when it sent STOPPING=1 and exited 0.
  bool stop() {
    server->kill(SIGTERM);
    const bool stopping = told(10) == "STOPPING=1";
    const int status = server->wait(10000);
    return stopping && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

// Stops the s6 service in dir and its s6-supervise when the test ends.
struct S6Stop {
  std::string dir;
  ~S6Stop() { run({"/usr/bin/s6-svc", "-dx", dir}); }
};

}  // namespace

TEST(service_scripts, AreValidShell) {
  for (const char *script :
       {"examples/service/run", "examples/service/log/run", "examples/s6-echo/run"}) {
    auto r = run({"/bin/sh", "-n", source(script)});
    EXPECT_EQ(r.code(), 0) << script << ": " << r.err;
    struct stat st;
    ASSERT_EQ(stat(source(script).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0111, 0111u) << script << " is not executable";
  }
  for (const char *script : {"examples/service/run", "examples/s6-echo/run"})
    EXPECT_NE(read_file(source(script)).find("\ncommand=" + installed + "\n"), std::string::npos)
        << script;
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

TEST(systemd_unit, EveryUnitPassesSystemdVerification) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
  // The units name the installed programs: install this build into an
  // overlay of /usr/local seen only by a mount namespace of our own.  A
  // socket unit is verified with its service unit beside it.
  TempDir t;
  ASSERT_EQ(mkdir((t / "up").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((t / "work").c_str(), 0755), 0);
  const std::string script =
      "mount -t overlay overlay -o lowerdir=/usr/local,upperdir=" + t / "up" + ",workdir=" +
      t / "work" + " /usr/local || exit 77\n"
      "cmake --install \"$1\" >/dev/null || exit 1\n"
      "test -x " + installed + "/corvane || exit 77\n"
      "shift\n"
      "exec systemd-analyze verify --man=no \"$@\"\n";
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private"};
  argv.insert(argv.end(), {"/bin/sh", "-c", script, "sh", std::string(BIN_DIR) + "/.."});
  for (const char *unit : {"corvane-echo.service", "corvane-whoami.socket",
                           "corvane-whoami.service", "corvane-cmd.socket", "corvane-cmd.service"})
    argv.push_back(source("examples/") + unit);
  auto r = run(argv);
  if (r.code() == 77 || (r.code() == 1 && r.err.find("unshare") != std::string::npos))
    GTEST_SKIP() << "cannot install into a private overlay here: " << r.err;
  EXPECT_EQ(r.code(), 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
}

// The greeting service's socket and service units: corvane starts at the
// socket's first connection, serves the socket it is passed as nobody's
// children, tells systemd it is ready, and STOPPING=1 on SIGTERM.
TEST(systemd_unit, GreetingServiceStartsAtItsSocketsFirstConnection) {
  if (!testutil::is_root())
    GTEST_SKIP() << "needs root: the service runs as nobody and greets root";
  TempDir t;
  const std::string etc = t / "etc/whoami";
  ASSERT_EQ(mkdir((t / "etc").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
  testutil::write_file(etc + "/whoami.pl", read_file(source("examples/whoami.pl")));
  testutil::write_file(etc + "/whoami.rules", read_file(source("examples/whoami.rules")));
  ActivatedUnit unit(t, "corvane-whoami");
  EXPECT_EQ(as_root(unit.socket, ""), "welcome back, root\n") << unit.server->err();
  EXPECT_EQ(unit.told(7), "READY=1");
  EXPECT_EQ(as_nobody(unit.socket, ""), "hello, nobody\n");
  for (pid_t child : wait_children(unit.server->pid, "corvane", 4))
    EXPECT_EQ(uid_of(child), (int)testutil::nobody().uid);
  EXPECT_TRUE(unit.stop()) << unit.server->err();
}

// The command execution service's socket and service units: sockserve
// starts at the socket's first connection and runs tollgant, which runs
// what the rules allow.
TEST(systemd_unit, CommandServiceStartsAtItsSocketsFirstConnection) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root: tollgant runs the command as nobody";
  TempDir t;
  const std::string etc = t / "etc/cmd";
  ASSERT_EQ(mkdir((t / "etc").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
  testutil::write_file(etc + "/rules", "0,65534.id:allow\n:deny\n");
  ActivatedUnit unit(t, "corvane-cmd");
  auto as = [&](const std::string &uid) {
    return run(
        {testutil::bin("sockconnect"), unit.socket, testutil::bin("tollcall"), uid, "id", "-un"});
  };
  EXPECT_EQ(as("65534").out, "nobody\n") << unit.server->err();
  EXPECT_EQ(unit.told(7), "READY=1");
  EXPECT_EQ(as("0").out, "");
  EXPECT_TRUE(unit.server->wait_err("tollgant: deny 0.0,0.id\n")) << unit.server->err();
  EXPECT_TRUE(unit.stop()) << unit.server->err();
}

// The s6 service directory: under the real s6-supervise, the service is
// ready ("s6-svwait -U") once corvane has written to the descriptor that
// notification-fd names, and then serves.
TEST(s6_service, EchoServiceIsReadyUnderS6SuperviseAndServes) {
  if (!testutil::is_root())
    GTEST_SKIP() << "needs root: the service runs as nobody and greets root";
  TempDir t;
  const std::string svc = t / "echo";
  ASSERT_EQ(mkdir(svc.c_str(), 0755), 0);
  testutil::write_file(svc + "/run",
                       replace_all(read_file(source("examples/s6-echo/run")),
                                   "\ncommand=" + installed, "\ncommand=" + testutil::bin_dir()),
                       0755);
  testutil::write_file(svc + "/notification-fd",
                       read_file(source("examples/s6-echo/notification-fd")));
  testutil::write_file(svc + "/echo.pl", read_file(source("examples/echo.pl")));
  testutil::write_file(svc + "/echo.rules", read_file(source("examples/echo.rules")));

  testutil::RunOptions opt;
  opt.setenv = {"PATH=/usr/bin:/bin"};
  testutil::Process supervise({"/usr/bin/s6-supervise", svc}, opt);
  S6Stop stop{svc};
  ASSERT_TRUE(testutil::wait_path(svc + "/supervise/status")) << supervise.err();
  auto up = run({"/usr/bin/s6-svwait", "-U", "-t", "10000", svc});
  EXPECT_EQ(up.code(), 0) << up.err << supervise.err();
  auto state = run({"/usr/bin/s6-svstat", "-o", "up,ready", svc});
  EXPECT_EQ(state.out, "true true\n");
  EXPECT_EQ(as_root(svc + "/s", "hi\n"), "root: hi\n");
  EXPECT_EQ(as_nobody(svc + "/s", "hi\n"), "");

  auto down = run({"/usr/bin/s6-svc", "-dx", svc});
  EXPECT_EQ(down.code(), 0) << down.err;
  const int status = supervise.wait(10000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << supervise.err();
}
