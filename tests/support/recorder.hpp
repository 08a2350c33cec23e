#pragma once
// Scripted transfer operations for buffer tests: a writer that records every
// call, and a reader that serves a fixed input, both able to fail on cue.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace supporttest {

// One scripted call: accept (or deliver) at most `count` bytes, or fail with
// `error` (count ignored), or return 0 when `zero` is set.
struct Step {
  uint32_t count = UINT32_MAX;
  int error = 0;
  bool zero = false;
  static Step upto(uint32_t n) { return {n, 0, false}; }
  static Step fail(int e) { return {0, e, false}; }
  static Step nothing() { return {0, 0, true}; }
};

struct Recorder {
  std::vector<uint32_t> asked;  ///< length of every call
  std::vector<int> fds;         ///< descriptor of every call
  std::string data;             ///< bytes accepted, in order
  std::deque<Step> script;      ///< steps for the next calls; then accept everything

  static Recorder *current;
  static int write_op(int fd, char *s, uint32_t n) {
    Recorder &r = *current;
    r.asked.push_back(n);
    r.fds.push_back(fd);
    Step st;
    if (!r.script.empty()) {
      st = r.script.front();
      r.script.pop_front();
    }
    if (st.error) {
      errno = st.error;
      return -1;
    }
    if (st.zero) return 0;
    const uint32_t k = n < st.count ? n : st.count;
    r.data.append(s, k);
    return static_cast<int>(k);
  }
};
inline Recorder *Recorder::current = nullptr;

struct Feeder {
  std::string input;
  size_t pos = 0;
  uint32_t max = UINT32_MAX;    ///< at most this many bytes per read
  std::vector<uint32_t> asked;  ///< length of every call
  std::deque<Step> script;      ///< steps for the next calls; then serve normally

  static Feeder *current;
  static int read_op(int, char *s, uint32_t n) {
    Feeder &f = *current;
    f.asked.push_back(n);
    Step st;
    if (!f.script.empty()) {
      st = f.script.front();
      f.script.pop_front();
    }
    if (st.error) {
      errno = st.error;
      return -1;
    }
    if (st.zero) return 0;
    size_t k = f.input.size() - f.pos;
    if (k > n) k = n;
    if (k > f.max) k = f.max;
    if (k > st.count) k = st.count;
    std::memcpy(s, f.input.data() + f.pos, k);
    f.pos += k;
    return static_cast<int>(k);
  }
};
inline Feeder *Feeder::current = nullptr;

/// Makes r the target of Recorder::write_op while in scope.
struct UseRecorder {
  explicit UseRecorder(Recorder &r) { Recorder::current = &r; }
  ~UseRecorder() { Recorder::current = nullptr; }
};
/// Makes f the source of Feeder::read_op while in scope.
struct UseFeeder {
  explicit UseFeeder(Feeder &f) { Feeder::current = &f; }
  ~UseFeeder() { Feeder::current = nullptr; }
};

/// n bytes of a recognisable pattern.
inline std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

}  // namespace supporttest
