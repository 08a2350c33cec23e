#pragma once
// Running a piece of test code in a forked child: for process-global state
// (the memory pool, the pathrun queue, signal dispositions, privileges) and
// for code that executes another program or exits.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

namespace supporttest {

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

}  // namespace supporttest

/// Inside in_child: on failure, names the condition on standard error and makes the child exit 1.
#define CHILD_CHECK(cond)                                                         \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                       \
      return 1;                                                                  \
    }                                                                            \
  } while (0)
