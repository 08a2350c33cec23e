#pragma once
// Helpers shared by the corvane tests: a server in the background on a
// socket in a temporary directory, small Perl services, rules databases,
// and the log lines the server writes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/testutil.hpp"

namespace corvane_test {

using testutil::children;
using testutil::ClientOptions;
using testutil::Process;
using testutil::RunOptions;
using testutil::TempDir;
using testutil::wait_children;

/// The program under test; also what it calls itself in its messages.
/// CORVANE_TEST_PROGRAM names another build of it (the one whose bridge
/// always assigns %ENV in full); it is taken out of the environment, so
/// that the servers started do not pass it on.
inline std::string corvane() {
  static const std::string name = [] {
    const char *p = getenv("CORVANE_TEST_PROGRAM");
    std::string n = p && *p ? p : "corvane";
    unsetenv("CORVANE_TEST_PROGRAM");
    return n;
  }();
  return testutil::bin(name);
}

/// The effective ids of the tests, in decimal: the peer's ids of a client
/// that does not switch accounts.
inline std::string my_uid() { return std::to_string(geteuid()); }
inline std::string my_gid() { return std::to_string(getegid()); }

/// Prints the named variables, one per line: NAME=[value] or NAME absent.
inline const char *env_script =
    "sub show { for my $n (@_) {\n"
    "  print $n, (exists $ENV{$n} ? \"=[$ENV{$n}]\" : ' absent'), \"\\n\" } }\n"
    "1;\n";

/// Writes a Perl service into dir and returns its path.
inline std::string script(const TempDir &dir, const std::string &text,
                          const std::string &name = "svc.pl") {
  testutil::write_file(dir / name, text);
  return dir / name;
}

/// Compiles a connection-rules text with gatemark into dir/name.
inline std::string rules(const TempDir &dir, const std::string &text,
                         const std::string &name = "rules.cdb") {
  auto r = testutil::compile("gatemark", dir / name, text);
  EXPECT_EQ(r.code(), 0) << r.err;
  return dir / name;
}

/// A cdb file with raw (key, value) records, written by the cdb tool.
inline std::string raw_rules(const TempDir &dir, const testutil::Records &records,
                             const std::string &name = "raw.cdb") {
  EXPECT_TRUE(testutil::make_cdb(dir / name, records));
  return dir / name;
}

/// corvane with the options, the socket path, then the words.
inline std::vector<std::string> command(const std::vector<std::string> &options,
                                        const std::string &path,
                                        const std::vector<std::string> &words) {
  std::vector<std::string> argv{corvane()};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(path);
  argv.insert(argv.end(), words.begin(), words.end());
  return argv;
}

/// Waits until a socket at path listens (the file exists from bind on,
/// before listen): its row in /proc/net/unix has the accepting flag.
inline bool wait_listening(const std::string &path, int ms = 5000) {
  for (int waited = 0; waited < ms; waited += 5) {
    std::istringstream table(testutil::read_file("/proc/net/unix"));
    std::string row;
    while (std::getline(table, row)) {
      std::istringstream fields(row);
      std::string num, refs, proto, flags, type, state, inode, name;
      fields >> num >> refs >> proto >> flags >> type >> state >> inode;
      std::getline(fields >> std::ws, name);
      if (name == path && flags == "00010000") return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

/// A server in the background on a socket of its own in dir (its group is
/// killed at the end).  Each server gets a new name: a socket of an earlier
/// server may still be listening while its processes go away.
struct Server {
  std::string path;
  std::unique_ptr<Process> proc;
  Server(const TempDir &dir, const std::vector<std::string> &options,
         const std::vector<std::string> &words, const RunOptions &opt = {}) {
    static int count = 0;
    path = dir / ("s" + std::to_string(++count));
    proc = std::make_unique<Process>(command(options, path, words), opt);
    EXPECT_TRUE(wait_listening(path)) << proc->err();
  }
  std::string err() const { return proc->err(); }
  bool wait_err(const std::string &text, int ms = 5000) const { return proc->wait_err(text, ms); }
  /// Connects and returns what the server sent ("<no connection>" when refused).
  std::string client(const std::string &send = "", ClientOptions opt = {}) const {
    opt.send = send;
    auto got = testutil::unix_client(path, opt);
    return got ? *got : "<no connection>";
  }
  std::string client_as_nobody(const std::string &send = "") const {
    ClientOptions opt;
    opt.user = testutil::nobody();
    return client(send, opt);
  }
};

/// The pid N of the last line "self: pid N from ..." in err, or "".
inline std::string last_pid(const std::string &err) {
  std::string key = corvane() + ": pid ";
  size_t at = err.rfind(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return err.substr(at, err.find(' ', at) - at);
}

/// A connection to the socket at path, kept open for the caller; -1 when
/// it could not be made.
inline int connect_to(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), std::min(path.size(), sizeof sa.sun_path - 1));
  if (fd != -1 && connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0) return fd;
  if (fd != -1) close(fd);
  return -1;
}

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

/// The raw wait status as decimal text, as the end line shows it.
inline std::string exit_status(int code) { return std::to_string(code * 256); }

}  // namespace corvane_test
