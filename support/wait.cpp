#include "wait.hpp"

#include <sys/wait.h>

#include <cerrno>

#include "error.hpp"

pid_t wait_nohang(int *wstat) { return waitpid(-1, wstat, WNOHANG); }

pid_t wait_child(int *wstat, pid_t pid) {
  pid_t r;
  do r = waitpid(pid, wstat, 0);
  while (r == -1 && errno == error_intr);
  return r;
}
