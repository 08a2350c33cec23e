#pragma once
// Fixtures for the library's unit tests: running test code in a forked
// child, strallocs that give their memory back, and scripted transfer
// operations for the buffer tests.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/alloc.hpp"
#include "support/stralloc.hpp"

namespace testutil {

// Running a piece of test code in a forked child: for process-global state
// (the memory pool, the pathrun queue, signal dispositions, privileges) and
// for code that executes another program or exits.
struct ChildResult {
  int status = -1;  ///< raw wait status
  std::string out;  ///< everything the child wrote to descriptor 1
  /// Exit code, or -1 when the child did not exit normally.
  int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

/// Forks; the child runs fn with descriptor 1 on a pipe and exits with fn's
/// result (0 for success).  The parent collects the output and the status.
inline ChildResult in_child(const std::function<int()> &fn) {
  ChildResult r;
  int p[2];
  if (pipe(p) == -1) return r;
  const pid_t pid = fork();
  if (pid == -1) return r;
  if (pid == 0) {
    close(p[0]);
    if (dup2(p[1], 1) == -1) _exit(125);
    close(p[1]);
    _exit(fn());
  }
  close(p[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0 || (n == -1 && errno == EINTR))
    if (n > 0) r.out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  while (waitpid(pid, &r.status, 0) == -1 && errno == EINTR) {
  }
  return r;
}



/// Inside in_child: on failure, names the condition on standard error and makes the child exit 1.
#define CHILD_CHECK(cond)                                                         \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                       \
      return 1;                                                                  \
    }                                                                            \
  } while (0)

// The library never releases a stralloc; a test's local strings do, so that
// the leak checker of the sanitizer build sees only real leaks.
/// A stralloc whose area is released when the test is done with it.
struct owned_stralloc : stralloc {
  ~owned_stralloc() { alloc_free(bytes); }
};

// Scripted transfer operations for buffer tests: a writer that records every
// call, and a reader that serves a fixed input, both able to fail on cue.
// One scripted call: accept (or deliver) at most `count` bytes, or fail with
// `error` (count ignored), or return 0 when `zero` is set.
struct Step {
  uint32_t count = UINT32_MAX;
  int error = 0;
  bool zero = false;
  static Step upto(uint32_t n) { return {n, 0, false}; }
  static Step fail(int e) { return {0, e, false}; }
  static Step nothing() { return {0, 0, true}; }
};

struct Recorder {
  std::vector<uint32_t> asked;  ///< length of every call
  std::vector<int> fds;         ///< descriptor of every call
  std::string data;             ///< bytes accepted, in order
  std::deque<Step> script;      ///< steps for the next calls; then accept everything

  static Recorder *current;
  static int write_op(int fd, char *s, uint32_t n) {
    Recorder &r = *current;
    r.asked.push_back(n);
    r.fds.push_back(fd);
    Step st;
    if (!r.script.empty()) {
      st = r.script.front();
      r.script.pop_front();
    }
    if (st.error) {
      errno = st.error;
      return -1;
    }
    if (st.zero) return 0;
    const uint32_t k = n < st.count ? n : st.count;
    r.data.append(s, k);
    return static_cast<int>(k);
  }
};
inline Recorder *Recorder::current = nullptr;

struct Feeder {
  std::string input;
  size_t pos = 0;
  uint32_t max = UINT32_MAX;    ///< at most this many bytes per read
  std::vector<uint32_t> asked;  ///< length of every call
  std::deque<Step> script;      ///< steps for the next calls; then serve normally

  static Feeder *current;
  static int read_op(int, char *s, uint32_t n) {
    Feeder &f = *current;
    f.asked.push_back(n);
    Step st;
    if (!f.script.empty()) {
      st = f.script.front();
      f.script.pop_front();
    }
    if (st.error) {
      errno = st.error;
      return -1;
    }
    if (st.zero) return 0;
    size_t k = f.input.size() - f.pos;
    if (k > n) k = n;
    if (k > f.max) k = f.max;
    if (k > st.count) k = st.count;
    std::memcpy(s, f.input.data() + f.pos, k);
    f.pos += k;
    return static_cast<int>(k);
  }
};
inline Feeder *Feeder::current = nullptr;

/// Makes r the target of Recorder::write_op while in scope.
struct UseRecorder {
  explicit UseRecorder(Recorder &r) { Recorder::current = &r; }
  ~UseRecorder() { Recorder::current = nullptr; }
};
/// Makes f the source of Feeder::read_op while in scope.
struct UseFeeder {
  explicit UseFeeder(Feeder &f) { Feeder::current = &f; }
  ~UseFeeder() { Feeder::current = nullptr; }
};

/// n bytes of a recognisable pattern.
inline std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

}  // namespace testutil
