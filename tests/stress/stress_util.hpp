#pragma once
// Helpers for the load and fault tests: how long to run, client processes
// that hammer a socket and report what they saw, and process facts read
// from /proc (children, zombies, process groups, CPU time).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/testutil.hpp"

namespace stress {

using testutil::children;
using testutil::talk;
using testutil::wait_children;

/// Seconds each load runs: STRESS_SECONDS from the environment, else short.
inline int seconds(int short_default);

/// What one client process saw.  Plain numbers so it can cross a pipe.
struct Tally {
  uint64_t served = 0;   ///< complete, correct answers
  uint64_t refused = 0;  ///< answers that show a refusal
  uint64_t cut = 0;      ///< answers cut short (the serving process died)
  uint64_t wrong = 0;    ///< answers that are neither of the above
  uint64_t nocon = 0;    ///< connections that could not be made
  char example[256] = {0};  ///< the first wrong answer, for the report

  void add(const Tally &t);
  /// Notes a wrong answer, keeping the first as an example.
  void note_wrong(const std::string &what);
};

/// Client processes forked from this (single-threaded) process.  Each runs
/// body(index) and hands its Tally back through a pipe.
struct Workers {
  std::vector<pid_t> pids;
  std::vector<int> fds;
  std::atomic<int> *flag = nullptr;  ///< shared with the workers: 1 = stop
  Workers();
  /// Tells every worker to finish its current connection and report.
  void stop() { flag->store(1); }
  /// False once stop() was called (in the workers too).
  bool running() const { return flag->load() == 0; }
  /// Forks n workers; worker i calls body(i).
  void start(int n, const std::function<Tally(int)> &body);
  /// Waits for every worker and sums what they report.
  Tally join();
  ~Workers();
};

/// One client's loop, in a worker: connects until the workers stop, sending
/// a fresh token and a newline each time, and lets sort file each answer
/// (token, what came back) in the tally; waits 10 ms after a failed connect.
inline Tally token_client(
    const std::string &path, int index, const Workers &workers,
    const std::function<void(const std::string &, const std::string &, Tally &)> &sort);

/// Monotonic time in milliseconds.
inline int64_t now_ms();

/// Fields of /proc/pid/stat.
struct Stat {
  char state = 0;
  pid_t ppid = 0;
  pid_t pgrp = 0;
  uint64_t cpu_ticks = 0;  ///< user plus system time
};
/// Reads /proc/pid/stat; false when the process is gone.
inline bool stat_of(pid_t pid, Stat &st);
/// Children of pid that are zombies.
inline int zombies(pid_t pid);
/// Processes in process group pgrp.
inline int group_members(pid_t pgrp);

/// Lines of text that start with prefix.
inline int count_lines(const std::string &text, const std::string &prefix);

/// Prints one result line of a stress run, for the report.
inline void report(const std::string &name, const std::string &numbers);

// ---- implementations (header only: the test binary is made of *_test.cpp)

inline int seconds(int short_default) {
  const char *s = std::getenv("STRESS_SECONDS");
  int n = s ? std::atoi(s) : 0;
  return n > 0 ? n : short_default;
}

inline void Tally::add(const Tally &t) {
  served += t.served;
  refused += t.refused;
  cut += t.cut;
  wrong += t.wrong;
  nocon += t.nocon;
  if (!example[0] && t.example[0]) std::memcpy(example, t.example, sizeof example);
}

inline void Tally::note_wrong(const std::string &what) {
  ++wrong;
  if (example[0]) return;
  std::string shown = what.substr(0, sizeof example - 1);
  std::memcpy(example, shown.data(), shown.size());
  example[shown.size()] = 0;
}

inline Workers::Workers() {
  void *p = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) std::abort();
  flag = new (p) std::atomic<int>(0);
}

inline void Workers::start(int n, const std::function<Tally(int)> &body) {
  std::cout.flush();
  for (int i = 0; i < n; ++i) {
    int p[2];
    if (pipe(p) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return;
    }
    pid_t pid = fork();
    if (pid == 0) {
      close(p[0]);
      Tally t = body(i);
      ssize_t w = write(p[1], &t, sizeof t);
      _exit(w == (ssize_t)sizeof t ? 0 : 1);
    }
    close(p[1]);
    if (pid == -1) {
      close(p[0]);
      ADD_FAILURE() << "fork: " << std::strerror(errno);
      return;
    }
    pids.push_back(pid);
    fds.push_back(p[0]);
  }
}

inline Tally Workers::join() {
  Tally sum;
  for (size_t i = 0; i < pids.size(); ++i) {
    Tally t;
    size_t got = 0;
    while (got < sizeof t) {
      ssize_t r = read(fds[i], reinterpret_cast<char *>(&t) + got, sizeof t - got);
      if (r <= 0) break;
      got += (size_t)r;
    }
    close(fds[i]);
    int st;
    waitpid(pids[i], &st, 0);
    if (got == sizeof t) sum.add(t);
    else ADD_FAILURE() << "worker " << i << " reported nothing, status " << st;
  }
  pids.clear();
  fds.clear();
  return sum;
}

inline Workers::~Workers() {
  stop();
  for (pid_t p : pids) kill(p, SIGKILL);
  for (size_t i = 0; i < pids.size(); ++i) {
    close(fds[i]);
    waitpid(pids[i], nullptr, 0);
  }
  munmap(flag, sizeof *flag);
}

inline Tally token_client(
    const std::string &path, int index, const Workers &workers,
    const std::function<void(const std::string &, const std::string &, Tally &)> &sort) {
  Tally t;
  std::string got;
  for (uint64_t n = 0; workers.running(); ++n) {
    std::string token = "c" + std::to_string(index) + "-" + std::to_string(n);
    if (!talk(path, token + "\n", got)) {
      ++t.nocon;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    sort(token, got, t);
  }
  return t;
}

inline int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline bool stat_of(pid_t pid, Stat &st) {
  std::string text = testutil::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return false;
  std::istringstream in(text.substr(close_paren + 2));
  std::vector<std::string> f;
  std::string word;
  while (in >> word) f.push_back(word);
  if (f.size() < 13) return false;
  // f[0] is field 3 of the file: state, ppid, pgrp, ... utime (14), stime (15).
  st.state = f[0][0];
  st.ppid = std::atoi(f[1].c_str());
  st.pgrp = std::atoi(f[2].c_str());
  st.cpu_ticks = std::strtoull(f[11].c_str(), nullptr, 10) + std::strtoull(f[12].c_str(), nullptr, 10);
  return true;
}

// Every process on the system, by its /proc entry.
inline std::vector<pid_t> all_pids() {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  if (!d) return out;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9') out.push_back(std::atoi(e->d_name));
  closedir(d);
  return out;
}

inline int zombies(pid_t pid) {
  int n = 0;
  Stat st;
  for (pid_t p : children(pid))
    if (stat_of(p, st) && st.state == 'Z') ++n;
  return n;
}

inline int group_members(pid_t pgrp) {
  int n = 0;
  Stat st;
  for (pid_t p : all_pids())
    if (stat_of(p, st) && st.pgrp == pgrp) ++n;
  return n;
}

inline int count_lines(const std::string &text, const std::string &prefix) {
  int n = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

inline void report(const std::string &name, const std::string &numbers) {
  std::cout << "stress: " << name << ": " << numbers << std::endl;
}

}  // namespace stress
