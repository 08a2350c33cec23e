// The command execution service as an administrator runs it: the build
// installed (into an overlay of /usr/local that only a private mount
// namespace sees), tollsetup and the rules Makefile run from a normal PATH,
// the service directory under daemontools' svscan and supervise, and
// clients connecting to it.  Once with the suite's own program-running
// server and connector, once with s6's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>

#include "tests/common/testutil.hpp"

using testutil::read_file;
using testutil::cache_value;
using testutil::TempDir;

namespace {

// Run in the private namespace with $1 the build directory and $2 the
// scratch directory.  $3 is empty for the suite's server and connector;
// "s6" makes a directory whose corvane is s6-ipcserver, puts it first in
// env/PATH and connects with s6-ipcclient.
const char *const script = R"sh(
mount -t overlay overlay -o lowerdir=/usr/local,upperdir=$2/up,workdir=$2/work /usr/local || exit 77
cmake --install "$1" >/dev/null || exit 1
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
command -v tollsetup >/dev/null || exit 77
umask 022
cd "$2" || exit 1
tollsetup root nobody "$2/cmd" || exit 1
printf '0,65534.id:allow\n0,4000000.id:allow\n:deny\n' >cmd/rules/data
make -s -C cmd/rules || exit 1
connect=sockconnect
if [ "$3" = s6 ]; then
  mkdir s6 && ln -s /usr/bin/s6-ipcserver s6/corvane || exit 1
  printf '%s' "$2/s6:$(cat cmd/env/PATH)" >cmd/env/PATH.new && mv cmd/env/PATH.new cmd/env/PATH
  connect=s6-ipcclient
fi
mkdir scan && ln -s "$2/cmd" scan/cmd || exit 1
svscan "$2/scan" >/dev/null 2>&1 &
scan=$!
for _ in $(seq 100); do [ -S cmd/s ] && break; sleep 0.1; done
n=1
for uid in 65534 0 4000000; do
  echo "== $uid"
  $connect "$2/cmd/s" tollcall $uid id -un
  # One request after another, as a person makes them: the server has
  # logged this connection's end before the next one comes.
  n=$((n + 1))
  for _ in $(seq 100); do
    [ "$(grep -c ' status: 0/40$' cmd/log/main/current 2>/dev/null)" -ge $n ] && break
    sleep 0.1
  done
done
# Every connection has ended and been logged, then everything stops.
for _ in $(seq 100); do
  [ "$(grep -c ' status: 0/40$' cmd/log/main/current 2>/dev/null)" -ge 4 ] && break
  sleep 0.1
done
# The server first; with svscan gone and the server down nothing holds the
# pipe open, so multilog reads it to the end and exits, and its supervise
# (told to exit) then exits too.
kill $scan
svc -dx cmd
for _ in $(seq 100); do svok cmd || break; sleep 0.1; done
svc -x cmd/log
for _ in $(seq 100); do svok cmd/log || break; sleep 0.1; done
exit 0
)sh";

struct Result {
  std::string out;       // what the clients printed
  std::string server;    // the server's log lines, in order
  std::string programs;  // the other log lines (tollgant's), in order
};

// Lines of the log without their time stamps, those of the server (which
// are written in parallel with its children's) apart from the others.
Result run_service(const std::string &variant, const std::string &server_lines) {
  TempDir t;
  testutil::RunOptions opt;
  opt.timeout_ms = 60000;
  opt.unsetenv = {"MAKELEVEL", "MAKEFLAGS", "MFLAGS", "MAKEOVERRIDES"};
  mkdir((t / "up").c_str(), 0755);
  mkdir((t / "work").c_str(), 0755);
  auto r = testutil::run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh",
                          "-c", script, "sh", std::string(BIN_DIR) + "/..", t.path, variant},
                         opt);
  Result got;
  if (r.code() == 77 || (r.code() == 1 && r.out.empty())) {
    got.out = "skip: " + r.err;
    return got;
  }
  EXPECT_EQ(r.code(), 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  got.out = r.out;
  std::istringstream lines(read_file(t / "cmd/log/main/current"));
  const std::regex stamped("@[0-9a-f]{24} (.*)");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
    std::string text = std::regex_replace(m[1].str(), std::regex("(pid|end) [0-9]+"), "$1 P");
    if (std::regex_search(text, std::regex(server_lines))) got.server += text + "\n";
    else got.programs += text + "\n";
  }
  return got;
}

bool can_run() {
  return geteuid() == 0 && cache_value("CMAKE_INSTALL_PREFIX") == "/usr/local" &&
         cache_value("INSTALL_HOME").starts_with("/usr/local/");
}

const char *const clients_out =
    "== 65534\n"
    "nobody\n"
    "== 0\n"
    "== 4000000\n";

// The executor's lines: allowed, denied, and a uid that names no account.
const char *const tollgant_lines =
    "tollgant: ok 0.0,65534.id\n"
    "tollgant: deny 0.0,0.id\n"
    "corvane: fatal: unknown uid 4000000\n";

}  // namespace

TEST(supervised_service, SockserveAndSockconnect) {
  if (!can_run()) GTEST_SKIP() << "needs root and the build's default installation under /usr/local";
  Result got = run_service("", "^corvane: (status:|pid|end) ");
  if (got.out.starts_with("skip: ")) GTEST_SKIP() << got.out;
  EXPECT_EQ(got.out, clients_out);
  EXPECT_EQ(got.programs, tollgant_lines);
  EXPECT_EQ(got.server,
            "corvane: status: 0/40\n"
            "corvane: pid P from uid 0 gid 0\n"
            "corvane: status: 1/40\n"
            "corvane: end P exit 0 signal 0\n"
            "corvane: status: 0/40\n"
            "corvane: pid P from uid 0 gid 0\n"
            "corvane: status: 1/40\n"
            "corvane: end P exit 100 signal 0\n"
            "corvane: status: 0/40\n"
            "corvane: pid P from uid 0 gid 0\n"
            "corvane: status: 1/40\n"
            "corvane: end P exit 111 signal 0\n"
            "corvane: status: 0/40\n");
}

TEST(supervised_service, S6IpcserverAndIpcclient) {
  if (!can_run()) GTEST_SKIP() << "needs root and the build's default installation under /usr/local";
  if (access("/usr/bin/s6-ipcserver", X_OK) != 0) GTEST_SKIP() << "s6 is not installed";
  Result got = run_service("s6", "^s6-ipcserverd: ");
  if (got.out.starts_with("skip: ")) GTEST_SKIP() << got.out;
  EXPECT_EQ(got.out, clients_out);
  EXPECT_EQ(got.programs, tollgant_lines);
  EXPECT_EQ(got.server,
            "s6-ipcserverd: info: starting\n"
            "s6-ipcserverd: info: status: 0/40\n"
            "s6-ipcserverd: info: allow 0:0 pid P count 1/40\n"
            "s6-ipcserverd: info: status: 1/40\n"
            "s6-ipcserverd: info: end pid P uid 0 exitcode 0\n"
            "s6-ipcserverd: info: status: 0/40\n"
            "s6-ipcserverd: info: allow 0:0 pid P count 1/40\n"
            "s6-ipcserverd: info: status: 1/40\n"
            "s6-ipcserverd: info: end pid P uid 0 exitcode 100\n"
            "s6-ipcserverd: info: status: 0/40\n"
            "s6-ipcserverd: info: allow 0:0 pid P count 1/40\n"
            "s6-ipcserverd: info: status: 1/40\n"
            "s6-ipcserverd: info: end pid P uid 0 exitcode 111\n"
            "s6-ipcserverd: info: status: 0/40\n"
            "s6-ipcserverd: info: received SIGTERM, quitting\n"
            "s6-ipcserverd: info: exiting\n");
}
