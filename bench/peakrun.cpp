// peakrun infile program args...: runs the program with standard input from
// infile and prints its wall-clock seconds, its processor seconds (user and
// system) and its peak resident size in KiB.
// Exits 111 when the program fails.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fputs("usage: peakrun infile program [args...]\n", stderr);
    return 100;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(argv[1], O_RDONLY);
    if (fd == -1 || dup2(fd, 0) == -1) _exit(126);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status;
  struct rusage ru;
  if (pid == -1 || wait4(pid, &status, 0, &ru) == -1) return 111;
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  std::printf("%.4f %.4f %ld\n", s, cpu, ru.ru_maxrss);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 111;
}
