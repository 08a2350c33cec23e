// execbench count program [args...]: runs the program count times, one
// after the other, each with standard input and output on /dev/null, and
// prints
//   wall-seconds cpu-seconds failures
// where cpu is the user and system time of the runs and of every process
// they reaped (rusage of the children), so a client's whole chain counts.
// A run that does not exit 0 counts as a failure.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double seconds(const struct timeval &tv) { return (double)tv.tv_sec + (double)tv.tv_usec / 1e6; }

double children_cpu() {
  struct rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  return seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fputs("usage: execbench count program [args...]\n", stderr);
    return 100;
  }
  const long count = std::atol(argv[1]);
  int null = open("/dev/null", O_RDWR);
  if (null == -1) return 111;
  long failures = 0;
  const double cpu0 = children_cpu();
  const auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid == -1) return 111;
    if (pid == 0) {
      dup2(null, 0);
      dup2(null, 1);
      if (null > 2) close(null);
      execvp(argv[2], argv + 2);
      _exit(127);
    }
    int status;
    if (waitpid(pid, &status, 0) == -1) return 111;
    if (!WIFEXITED(status) || WEXITSTATUS(status)) ++failures;
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.4f %.4f %ld\n", wall, children_cpu() - cpu0, failures);
  return 0;
}
