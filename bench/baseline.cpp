// baseline path children: the least a pre-forked server can do per
// connection, as a yardstick for the others.  Binds path, forks `children`
// processes that each accept, write "bench ok\n", close, in a loop.  Runs
// until SIGTERM, which it passes on to the children.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char line[] = "bench ok\n";
volatile sig_atomic_t stopping = 0;

void stop(int) { stopping = 1; }

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
  struct sockaddr_un sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof sa.sun_path) return 100;
  std::strcpy(sa.sun_path, argv[1]);
  int children = std::atoi(argv[2]);
  signal(SIGPIPE, SIG_IGN);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  unlink(argv[1]);
  if (s == -1 || bind(s, (struct sockaddr *)&sa, sizeof sa) == -1 || listen(s, 128) == -1) {
    std::perror("baseline");
    return 111;
  }
  struct sigaction sact;
  std::memset(&sact, 0, sizeof sact);
  sact.sa_handler = stop;
  sigaction(SIGTERM, &sact, nullptr);
  for (int i = 0; i < children; ++i)
    if (fork() == 0) child(s);
  while (!stopping) pause();
  signal(SIGTERM, SIG_IGN);
  kill(0, SIGTERM);
  while (wait(nullptr) > 0) {
  }
  return 0;
}
