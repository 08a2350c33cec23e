// baseline path children: the least a pre-forked server can do per
// connection, as a yardstick for the others.  Binds path, forks `children`
// processes that each accept, write "bench ok\n", close, in a loop.  Runs
// until SIGTERM, which it passes on to the children.
#include <unistd.h>

#include <cstdlib>

#include "bench/prefork.hpp"

namespace {

const char line[] = "bench ok\n";

[[noreturn]] void child(int s) {
  signal(SIGTERM, SIG_DFL);
  for (;;) {
    int fd = accept(s, nullptr, nullptr);
    if (fd == -1) continue;
    if (write(fd, line, sizeof line - 1) == -1) {
    }
    close(fd);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fputs("usage: baseline path children\n", stderr);
    return 100;
  }
  int s = bench_listen(argv[1], "baseline");
  int children = std::atoi(argv[2]);
  for (int i = 0; i < children; ++i)
    if (fork() == 0) child(s);
  return bench_wait_stop();
}
