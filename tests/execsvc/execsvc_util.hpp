#pragma once
// Helpers shared by the command execution service tests.
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/common/testutil.hpp"

namespace execsvc_test {

/// One netstring.
inline std::string ns(const std::string &s) { return std::to_string(s.size()) + ":" + s + ","; }

/// The exec request for uid and the arguments (program first).
inline std::string request(const std::string &uid, const std::vector<std::string> &args) {
  std::string block;
  for (const auto &a : args) block += a + std::string(1, '\0');
  return ns(uid) + ns(std::to_string(args.size())) + ns(block);
}

/// A rule value from its instructions, each followed by a NUL.
inline std::string value(const std::vector<std::string> &instructions) {
  std::string v;
  for (const auto &i : instructions) v += i + std::string(1, '\0');
  return v;
}

/// Writes a cdb file at path holding the (key, value) records.
inline bool make_cdb(const std::string &path,
                     const std::vector<std::pair<std::string, std::string>> &records) {
  std::string in;
  for (const auto &[k, v] : records)
    in += "+" + std::to_string(k.size()) + "," + std::to_string(v.size()) + ":" + k + "->" + v + "\n";
  in += "\n";
  testutil::RunOptions opt;
  opt.input = in;
  return testutil::run({"/usr/bin/cdb", "-c", path}, opt).code() == 0;
}

/// Reads from fd until n bytes came, end of input, or timeout_ms of silence.
inline std::string read_some(int fd, size_t n, int timeout_ms = 5000) {
  std::string got;
  char buf[4096];
  while (got.size() < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

/// A socketpair whose ends do not leak into programs started by the tests.
struct SocketPair {
  int ours = -1;
  int theirs = -1;
  SocketPair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) ours = sv[0], theirs = sv[1];
  }
  ~SocketPair() {
    if (ours >= 0) close(ours);
    if (theirs >= 0) close(theirs);
  }
  void close_theirs() {
    if (theirs >= 0) close(theirs);
    theirs = -1;
  }
};

}  // namespace execsvc_test
