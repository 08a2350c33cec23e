#pragma once
// The frame the yardstick servers (baseline, perlfloor) share: a listening
// socket, SIGTERM caught in the parent, and a stop that passes the signal
// on to every child and reaps them.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

inline volatile sig_atomic_t bench_stopping = 0;

inline void bench_stop(int) { bench_stopping = 1; }

/// Binds and listens on path (an old file there is removed), ignores
/// SIGPIPE and catches SIGTERM; the socket, or exits 100 or 111.
inline int bench_listen(const char *path, const char *name) {
  struct sockaddr_un sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof sa.sun_path) std::exit(100);
  std::strcpy(sa.sun_path, path);
  signal(SIGPIPE, SIG_IGN);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  unlink(path);
  if (s == -1 || bind(s, (struct sockaddr *)&sa, sizeof sa) == -1 || listen(s, 128) == -1) {
    std::perror(name);
    std::exit(111);
  }
  struct sigaction sact;
  std::memset(&sact, 0, sizeof sact);
  sact.sa_handler = bench_stop;
  sigaction(SIGTERM, &sact, nullptr);
  return s;
}

/// Waits for SIGTERM, passes it on to the process group and reaps every
/// child; 0.
inline int bench_wait_stop() {
  while (!bench_stopping) pause();
  signal(SIGTERM, SIG_IGN);
  kill(0, SIGTERM);
  while (wait(nullptr) > 0) {
  }
  return 0;
}
