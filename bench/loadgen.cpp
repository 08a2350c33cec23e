// loadgen [-n count] path clients seconds: drives a UNIX-domain socket
// server with `clients` processes; each one, in a loop until `seconds` have
// passed (or it has made `count` connections), connects, reads one line,
// checks it is "bench ok", and closes.  Prints one line:
//   connections-per-second p50-microseconds p99-microseconds connections errors
// The latency of a connection runs from before connect to the line read.
// With -o file, the latencies (nanoseconds, 64-bit, host order) are also
// appended to file.
// loadgen -s file: the same line for all the latencies in file (the rate
// field is 0).
// loadgen -w path seconds: waits until one connection gets its line; exits
// 0 then, or 111 when `seconds` pass first.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char expected[] = "bench ok\n";
constexpr int clients_max = 1024;

struct sockaddr_un address;

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// One connection: 0 when the expected line came back, -1 otherwise.
int connection() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, (struct sockaddr *)&address, sizeof address) == -1) {
    close(fd);
    return -1;
  }
  char buf[64];
  size_t have = 0;
  while (have < sizeof buf && !std::memchr(buf, '\n', have)) {
    ssize_t r = read(fd, buf + have, sizeof buf - have);
    if (r <= 0) break;
    have += (size_t)r;
  }
  close(fd);
  return have == sizeof expected - 1 && !std::memcmp(buf, expected, have) ? 0 : -1;
}

void write_all(int fd, const void *p, size_t n) {
  const char *s = (const char *)p;
  while (n) {
    ssize_t w = write(fd, s, n);
    if (w <= 0) _exit(111);
    s += w;
    n -= (size_t)w;
  }
}

bool read_all(int fd, void *p, size_t n) {
  char *s = (char *)p;
  while (n) {
    ssize_t r = read(fd, s, n);
    if (r <= 0) return false;
    s += r;
    n -= (size_t)r;
  }
  return true;
}

// A client process: waits for the start (its end of `go` closing), runs
// until the deadline, then sends its error count, its connection count and
// the latencies in nanoseconds down `out`.
[[noreturn]] void client(int go, int out, int64_t seconds, uint64_t count) {
  alarm((unsigned)seconds + 30);
  char c;
  if (read(go, &c, 1) == -1) _exit(111);
  std::vector<int64_t> latency;
  latency.reserve(1 << 16);
  uint64_t errors = 0;
  int64_t deadline = now_ns() + seconds * 1000000000;
  for (int64_t t = now_ns(); t < deadline && latency.size() + errors < count;) {
    if (connection() == -1) {
      ++errors;
      t = now_ns();
      continue;
    }
    int64_t end = now_ns();
    latency.push_back(end - t);
    t = end;
  }
  uint64_t n = latency.size();
  write_all(out, &errors, sizeof errors);
  write_all(out, &n, sizeof n);
  write_all(out, latency.data(), n * sizeof(int64_t));
  _exit(0);
}

int64_t percentile(const std::vector<int64_t> &sorted, double p) {
  if (sorted.empty()) return 0;
  size_t i = (size_t)(p * (double)(sorted.size() - 1) + 0.5);
  return sorted[i];
}

int wait_ready(int64_t seconds) {
  int64_t deadline = now_ns() + seconds * 1000000000;
  while (now_ns() < deadline) {
    if (connection() == 0) return 0;
    usleep(10000);
  }
  std::fputs("loadgen: the server did not answer\n", stderr);
  return 111;
}

int usage() {
  std::fputs("usage: loadgen [-n count] [-o file] path clients seconds | loadgen -s file"
             " | loadgen -w path seconds\n", stderr);
  return 100;
}

void report(std::vector<int64_t> &all, double elapsed, uint64_t errors) {
  std::sort(all.begin(), all.end());
  std::printf("%.0f %.1f %.1f %zu %llu\n", elapsed > 0 ? (double)all.size() / elapsed : 0.0,
              (double)percentile(all, 0.50) / 1e3, (double)percentile(all, 0.99) / 1e3,
              all.size(), (unsigned long long)errors);
}

int summary(const char *file) {
  FILE *f = std::fopen(file, "rb");
  if (!f) return 111;
  std::vector<int64_t> all;
  int64_t x;
  while (std::fread(&x, sizeof x, 1, f) == 1) all.push_back(x);
  std::fclose(f);
  report(all, 0, 0);
  return 0;
}

int save(const char *file, const std::vector<int64_t> &all) {
  FILE *f = std::fopen(file, "ab");
  if (!f) return 111;
  size_t n = std::fwrite(all.data(), sizeof(int64_t), all.size(), f);
  return std::fclose(f) == 0 && n == all.size() ? 0 : 111;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  uint64_t count = UINT64_MAX;
  bool wait = false;
  const char *out = nullptr;
  int opt;
  while ((opt = getopt(argc, argv, "n:o:s:w")) != -1) {
    if (opt == 'n') count = std::strtoull(optarg, nullptr, 10);
    else if (opt == 'o') out = optarg;
    else if (opt == 's') return summary(optarg);
    else if (opt == 'w') wait = true;
    else return usage();
  }
  argc -= optind;
  argv += optind;
  if (argc < (wait ? 2 : 3) || std::strlen(argv[0]) >= sizeof address.sun_path) return usage();
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, argv[0]);
  if (wait) return wait_ready(std::atoll(argv[1]));

  int clients = std::atoi(argv[1]);
  int64_t seconds = std::atoll(argv[2]);
  if (clients < 1 || clients > clients_max || seconds < 1) return usage();
  int go[2];
  if (pipe(go) == -1) return 111;
  std::vector<int> outs;
  std::vector<pid_t> pids;
  for (int i = 0; i < clients; ++i) {
    int out[2];
    if (pipe(out) == -1) return 111;
    pid_t pid = fork();
    if (pid == -1) return 111;
    if (pid == 0) {
      close(go[1]);
      close(out[0]);
      client(go[0], out[1], seconds, count);
    }
    close(out[1]);
    outs.push_back(out[0]);
    pids.push_back(pid);
  }
  close(go[0]);
  int64_t start = now_ns();
  close(go[1]);

  std::vector<int64_t> all;
  uint64_t errors = 0;
  for (int fd : outs) {
    uint64_t e = 0, n = 0;
    if (!read_all(fd, &e, sizeof e) || !read_all(fd, &n, sizeof n)) {
      ++errors;
      continue;
    }
    size_t at = all.size();
    all.resize(at + n);
    if (!read_all(fd, all.data() + at, n * sizeof(int64_t))) {
      all.resize(at);
      ++errors;
    }
    errors += e;
    close(fd);
  }
  double elapsed = (double)(now_ns() - start) / 1e9;
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  if (out && save(out, all)) return 111;
  report(all, elapsed, errors);
  return 0;
}
