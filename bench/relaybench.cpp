// relaybench [-x extra] MiB up|down pipe|socket filter|relay program [args...]:
// moves MiB mebibytes through one run of program and prints
//   wall-seconds cpu-seconds
// where cpu is the program's user and system time with that of the
// children it reaped (rusage of wait4).
//   up      the data enters on the program's standard input;
//   down    the data leaves on the program's standard output;
//   pipe    the connection side is a pair of pipes;
//   socket  the connection side is one end of a socketpair;
//   filter  the program reads 0 and writes 1 (cat, socat -u);
//   relay   the program relays 0 to 7 and 6 to 1 (pipewright, tollcall).
// A relay's other direction stays idle and open: in up, descriptor 6 ends
// only when all the data has arrived (as a server closes after the last
// byte); in down, standard input is a pipe that never ends.
// With -x, the sink expects extra bytes more (a request written first).
// Exits 111 when the data does not arrive whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t chunk = 128 * 1024;
char block[chunk];

[[noreturn]] void die(const char *what) {
  std::perror(what);
  std::exit(111);
}

// In a helper child: every descriptor but fd closed, so that the ends it
// does not use close when the harness and the program close theirs.
void keep_only(int fd) {
  for (int i = 3; i < 64; ++i)
    if (i != fd) close(i);
}

// A child that writes n bytes to fd, then shuts a socket's writing down.
pid_t generator(int fd, uint64_t n) {
  pid_t pid = fork();
  if (pid) return pid;
  keep_only(fd);
  std::memset(block, 'x', sizeof block);
  while (n) {
    ssize_t w = write(fd, block, n < chunk ? n : chunk);
    if (w <= 0) _exit(111);
    n -= (uint64_t)w;
  }
  shutdown(fd, SHUT_WR);
  _exit(0);
}

// A child that reads n bytes from fd; exit 0 when all came.
pid_t sink(int fd, uint64_t n) {
  pid_t pid = fork();
  if (pid) return pid;
  keep_only(fd);
  while (n) {
    ssize_t r = read(fd, block, n < chunk ? n : chunk);
    if (r <= 0) _exit(111);
    n -= (uint64_t)r;
  }
  _exit(0);
}

void move_fd(int from, int to) {
  if (from == to) return;
  if (dup2(from, to) == -1) die("dup2");
}

// Descriptors the program gets, by number; -1 leaves it closed.
struct plan {
  int fd0 = -1, fd1 = -1, fd6 = -1, fd7 = -1;
};

pid_t start(const plan &p, char **argv) {
  pid_t pid = fork();
  if (pid) return pid;
  int lo[4] = {p.fd0, p.fd1, p.fd6, p.fd7};
  int hi[4];
  // Above every target first, so that no move overwrites a later source.
  for (int i = 0; i < 4; ++i) hi[i] = lo[i] == -1 ? -1 : fcntl(lo[i], F_DUPFD, 20);
  int target[4] = {0, 1, 6, 7};
  for (int i = 0; i < 4; ++i) {
    if (hi[i] == -1)
      close(target[i]);
    else
      move_fd(hi[i], target[i]);
  }
  for (int fd = 8; fd < 64; ++fd) close(fd);
  for (int fd : {3, 4, 5}) close(fd);
  execvp(argv[0], argv);
  _exit(127);
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t extra = 0;
  if (argc > 2 && !std::strcmp(argv[1], "-x")) {
    extra = std::strtoull(argv[2], nullptr, 10);
    argv += 2;
    argc -= 2;
  }
  if (argc < 6) {
    std::fputs("usage: relaybench [-x extra] MiB up|down pipe|socket filter|relay program [args...]\n",
               stderr);
    return 100;
  }
  const uint64_t n = std::strtoull(argv[1], nullptr, 10) << 20;
  const bool up = !std::strcmp(argv[2], "up");
  const bool socket = !std::strcmp(argv[3], "socket");
  const bool relay = !std::strcmp(argv[4], "relay");
  signal(SIGPIPE, SIG_IGN);
  // Every descriptor made here is close-on-exec; start() hands on copies.
  int in[2], out[2], idle[2], conn[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(idle, O_CLOEXEC)) die("pipe");
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, conn)) die("socketpair");
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null == -1) die("/dev/null");

  // far: the harness's end of the connection side (written in down, read in up).
  plan p;
  int feed, drain;
  if (up) {
    p.fd0 = in[0];
    feed = in[1];
    int near = socket ? conn[0] : out[1];
    drain = socket ? conn[1] : out[0];
    if (relay) {
      p.fd7 = near;
      p.fd6 = socket ? conn[0] : idle[0];
      p.fd1 = null;
    } else {
      p.fd1 = near;
    }
  } else {
    p.fd1 = out[1];
    drain = out[0];
    int near = socket ? conn[0] : in[0];
    feed = socket ? conn[1] : in[1];
    if (relay) {
      p.fd6 = near;
      p.fd7 = socket ? conn[0] : null;
      p.fd0 = idle[0];
    } else {
      p.fd0 = near;
    }
  }

  auto t0 = std::chrono::steady_clock::now();
  pid_t prog = start(p, argv + 5);
  pid_t gen = generator(feed, n);
  pid_t snk = sink(drain, n + (up ? extra : 0));
  // Only the children hold the data's descriptors now; the idle pipe's
  // writing end stays here until the data is through.
  for (int fd : {in[0], in[1], out[0], out[1], idle[0], conn[0], null}) close(fd);
  if (!(up && socket)) close(conn[1]);

  int status, sinkstatus = 0, progstatus;
  struct rusage ru;
  if (waitpid(snk, &sinkstatus, 0) == -1) die("waitpid");
  // The last byte is through: the server side closes.
  close(idle[1]);
  if (up && socket) close(conn[1]);
  if (wait4(prog, &progstatus, 0, &ru) == -1) die("wait4");
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  waitpid(gen, &status, 0);
  double cpu = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  std::printf("%.4f %.4f\n", wall, cpu);
  if (!WIFEXITED(sinkstatus) || WEXITSTATUS(sinkstatus)) {
    std::fputs("relaybench: the data did not arrive whole\n", stderr);
    return 111;
  }
  return 0;
}
