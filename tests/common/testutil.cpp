#include "testutil.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace testutil {

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The environment for a child: ours or the given one, then the changes.
std::vector<std::string> child_env(const RunOptions &opt) {
  std::vector<std::string> env;
  if (opt.env) {
    env = *opt.env;
  } else {
    for (char **e = environ; *e; ++e) env.emplace_back(*e);
  }
  auto drop = [&env](const std::string &name) {
    std::erase_if(env, [&name](const std::string &s) { return s.compare(0, name.size() + 1, name + "=") == 0; });
  };
  for (const auto &name : opt.unsetenv) drop(name);
  for (const auto &kv : opt.setenv) {
    drop(kv.substr(0, kv.find('=')));
    env.push_back(kv);
  }
  return env;
}

std::vector<char *> cvec(std::vector<std::string> &v) {
  std::vector<char *> out;
  for (auto &s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// In a forked child: descriptors, account, directory, then exec.  Never returns.
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const RunOptions &opt, int in, int out,
                             int err) {
  std::vector<std::pair<int, int>> fds = {{0, in}, {1, out}, {2, err}};
  fds.insert(fds.end(), opt.extra_fds.begin(), opt.extra_fds.end());
  // Move every source above the targets first, so that no dup2 clobbers a later source.
  for (auto &p : fds) {
    if (p.second < 0) continue;
    int moved = fcntl(p.second, F_DUPFD, 100);
    if (moved < 0) _exit(126);
    p.second = moved;
  }
  for (const auto &p : fds) {
    if (p.second < 0) {
      close(p.first);
    } else if (dup2(p.second, p.first) < 0) {
      _exit(126);
    }
  }
  for (const auto &p : fds)
    if (p.second >= 0) close(p.second);
  // Whatever else this process has open (the test's own files, pipes and
  // sockets) stays out of the program: only the descriptors asked for pass.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) _exit(126);
  for (const auto &p : fds)
    if (p.second >= 0 && p.first > 2 && fcntl(p.first, F_SETFD, 0) != 0) _exit(126);
  if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(126);
  if (opt.user && !become(*opt.user)) _exit(126);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_env(opt);
  auto cargs = cvec(args);
  auto cenv = cvec(env);
  signal(SIGPIPE, SIG_DFL);
  execve(cargs[0], cargs.data(), cenv.data());
  _exit(127);
}

void write_all(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    done += static_cast<size_t>(w);
  }
}

}  // namespace

namespace {

// The staging directory and the process that made it (a forked child that
// exits must not remove it).
std::string stage_root;
pid_t stage_owner = -1;

void stage_remove() {
  std::error_code ec;
  if (getpid() == stage_owner) std::filesystem::remove_all(stage_root, ec);
}

// Copies a file, readable by all (and executable by all if it is by its
// owner), whatever the modes in the checkout.
void stage_file(const std::filesystem::path &from, const std::filesystem::path &to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  struct stat st;
  if (stat(from.c_str(), &st) == 0) chmod(to.c_str(), (st.st_mode & S_IXUSR) ? 0755 : 0644);
}

// Creates the staging directory (0755) with the built programs in bin/
// (the test binaries that share their directory stay out).
std::string stage_programs() {
  char tmpl[] = "/tmp/corvane-stage.XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  stage_root = tmpl;
  stage_owner = getpid();
  std::atexit(stage_remove);
  chmod(tmpl, 0755);
  const std::filesystem::path dir = stage_root + "/bin";
  mkdir(dir.c_str(), 0755);
  chmod(dir.c_str(), 0755);
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(BIN_DIR, ec)) {
    const std::string name = entry.path().filename();
    if (entry.is_regular_file() && !name.ends_with("_tests")) stage_file(entry.path(), dir / name);
  }
  return dir.string();
}

}  // namespace

std::string bin_dir() {
  static const std::string dir = stage_programs();
  return dir;
}
std::string bin(const std::string &name) { return bin_dir() + "/" + name; }
std::string source(const std::string &rel) { return std::string(SOURCE_DIR) + "/" + rel; }

bool is_root() { return geteuid() == 0; }

TempDir::TempDir() {
  char tmpl[] = "/tmp/corvane-test.XXXXXX";
  char *p = mkdtemp(tmpl);
  if (p) {
    path = p;
    chmod(p, 0755);
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::string TempDir::operator/(const std::string &name) const { return path + "/" + name; }

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &data, mode_t mode) {
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
  }
  chmod(path.c_str(), mode);
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool become(const User &u) {
  return setgroups(u.groups.size(), u.groups.data()) == 0 && setgid(u.gid) == 0 &&
         setuid(u.uid) == 0;
}

User nobody() {
  struct passwd *pw = getpwnam("nobody");
  if (!pw) return {65534, 65534};
  return {pw->pw_uid, pw->pw_gid};
}

int RunResult::code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int RunResult::signal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

RunResult run(const std::vector<std::string> &argv, const RunOptions &opt) {
  RunResult r;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return r;
  pid_t pid = fork();
  if (pid < 0) return r;
  // In a process group of its own, so that a timeout ends its children too.
  if (pid == 0) {
    setpgid(0, 0);
    exec_child(argv, opt, in[0], out[1], err[1]);
  }
  setpgid(pid, pid);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed the input from a thread so that a program that writes before it
  // reads cannot deadlock against us.
  std::thread feeder([fd = in[1], &opt] {
    ::signal(SIGPIPE, SIG_IGN);
    write_all(fd, opt.input);
    close(fd);
  });
  auto start = Clock::now();
  struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_count = 2;
  bool killed = false;
  while (open_count > 0) {
    long left = opt.timeout_ms - ms_since(start);
    if (left <= 0 && !killed) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(p, 2, left > 0 ? static_cast<int>(left) : 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(p[i].fd);
        p[i].fd = -1;
        --open_count;
      }
    }
  }
  while (waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
  }
  feeder.join();
  return r;
}

Process::Process(const std::vector<std::string> &argv, const RunOptions &opt) {
  char tmpl[] = "/tmp/corvane-err.XXXXXX";
  int errfd = mkostemp(tmpl, O_CLOEXEC);
  if (errfd < 0) return;
  errfile = tmpl;
  int in[2];
  if (pipe2(in, O_CLOEXEC)) return;
  pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    exec_child(argv, opt, in[0], null, errfd);
  }
  close(in[0]);
  ::signal(SIGPIPE, SIG_IGN);
  write_all(in[1], opt.input);
  close(in[1]);
  close(errfd);
}

Process::~Process() {
  if (pid > 0) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    wait(2000);
  }
  if (!errfile.empty()) unlink(errfile.c_str());
}

std::string Process::err() const { return read_file(errfile); }

bool Process::wait_err(const std::string &text, int timeout_ms) const {
  auto start = Clock::now();
  while (err().find(text) == std::string::npos) {
    if (ms_since(start) > timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Process::kill(int sig) const {
  if (pid > 0) ::kill(pid, sig);
}

int Process::wait(int timeout_ms) {
  if (pid <= 0) return -1;
  auto start = Clock::now();
  for (;;) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      pid = -1;
      return status;
    }
    if (r < 0 || ms_since(start) > timeout_ms) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

namespace {

// True if a socket bound to path is listening, by /proc/net/unix: a server's
// socket file appears at its bind, a moment before it listens, and a client
// connecting in between is refused.
bool listening(const std::string &path) {
  std::ifstream in("/proc/net/unix");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string num, refs, proto, flags, type, state, inode;
    fields >> num >> refs >> proto >> flags >> type >> state >> inode;
    std::string name;
    std::getline(fields >> std::ws, name);
    // A socket bound by a relative name shows that name.
    bool same = name == path || (!name.empty() && name[0] != '/' && path.ends_with("/" + name));
    if (same && flags == "00010000") return true;
  }
  return false;
}

}  // namespace

std::set<std::string> tree(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
    names.insert(e.path().lexically_relative(dir).string());
  return names;
}

std::string cache_value(const std::string &key) {
  std::string cache = read_file(std::string(BIN_DIR) + "/../CMakeCache.txt");
  size_t at = cache.find("\n" + key + ":");
  if (at == std::string::npos) return "";
  size_t eq = cache.find('=', at);
  return cache.substr(eq + 1, cache.find('\n', eq) - eq - 1);
}

bool wait_path(const std::string &path, int timeout_ms) {
  auto start = Clock::now();
  struct stat st;
  for (;;) {
    if (lstat(path.c_str(), &st) == 0 && (!S_ISSOCK(st.st_mode) || listening(path))) return true;
    if (ms_since(start) > timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

namespace {

// Connects, sends, reads to the end; the result goes to fd out as bytes,
// preceded by one status byte ('+' connected, '-' failed).
void client_body(const std::string &path, const ClientOptions &opt, int out) {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  if (!opt.bind_path.empty()) {
    std::memcpy(sa.sun_path, opt.bind_path.data(), std::min(opt.bind_path.size(), sizeof sa.sun_path));
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
      write_all(out, "-");
      return;
    }
    std::memset(sa.sun_path, 0, sizeof sa.sun_path);
  }
  std::memcpy(sa.sun_path, path.data(), std::min(path.size(), sizeof sa.sun_path));
  if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
    write_all(out, "-");
    return;
  }
  write_all(out, "+");
  ::signal(SIGPIPE, SIG_IGN);
  write_all(s, opt.send);
  if (opt.shutdown_write) shutdown(s, SHUT_WR);
  struct timeval tv = {opt.timeout_ms / 1000, (opt.timeout_ms % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[4096];
  for (;;) {
    ssize_t n = read(s, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    write_all(out, std::string(buf, static_cast<size_t>(n)));
  }
  close(s);
}

}  // namespace

int unix_connect(const std::string &path) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), std::min(path.size(), sizeof sa.sun_path - 1));
  if (s != -1 && connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == -1) {
    close(s);
    return -1;
  }
  return s;
}

int notify_reader(const std::string &name) {
  const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  name.copy(sa.sun_path, sizeof sa.sun_path - 1);
  socklen_t len = sizeof sa;
  if (name[0] == '@') {
    sa.sun_path[0] = 0;
    len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
  }
  if (s != -1 && bind(s, reinterpret_cast<struct sockaddr *>(&sa), len) == -1) {
    close(s);
    return -1;
  }
  return s;
}

std::optional<std::string> unix_client(const std::string &path, const ClientOptions &opt) {
  int p[2];
  if (pipe2(p, O_CLOEXEC)) return std::nullopt;
  pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    close(p[0]);
    if (opt.user && !become(*opt.user)) _exit(1);
    client_body(path, opt, p[1]);
    _exit(0);
  }
  close(p[1]);
  std::string got;
  char buf[4096];
  for (;;) {
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got.empty() || got[0] != '+') return std::nullopt;
  return got.substr(1);
}

int count_children(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = read_file(entry.path().string() + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(close_paren + 2));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == pid) ++n;
  }
  return n;
}

std::vector<pid_t> children(pid_t pid) {
  std::string p = std::to_string(pid);
  std::istringstream in(read_file("/proc/" + p + "/task/" + p + "/children"));
  std::vector<pid_t> out;
  pid_t c;
  while (in >> c) out.push_back(c);
  return out;
}

bool wait_children(pid_t pid, size_t n, int ms) {
  auto start = Clock::now();
  for (;;) {
    std::vector<pid_t> kids = children(pid);
    bool zombie = false;
    for (pid_t k : kids) {
      std::string stat = read_file("/proc/" + std::to_string(k) + "/stat");
      size_t close_paren = stat.rfind(')');
      zombie = zombie || (close_paren != std::string::npos && stat.compare(close_paren, 3, ") Z") == 0);
    }
    if (kids.size() == n && !zombie) return true;
    if (ms_since(start) > ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool talk(const std::string &path, const std::string &send, std::string &got, int timeout_ms) {
  got.clear();
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s == -1) return false;
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), std::min(path.size(), sizeof sa.sun_path - 1));
  if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
    close(s);
    return false;
  }
  // A refused connection may be closed before we write: no SIGPIPE.
  if (!send.empty()) (void)::send(s, send.data(), send.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  got = read_some(s, std::string::npos, timeout_ms);
  close(s);
  return true;
}

std::string read_some(int fd, size_t n, int timeout_ms) {
  std::string got;
  char buf[4096];
  while (got.size() < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

SocketPair::SocketPair() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) ours = sv[0], theirs = sv[1];
}
SocketPair::~SocketPair() {
  if (ours >= 0) close(ours);
  close_theirs();
}
void SocketPair::close_theirs() {
  if (theirs >= 0) close(theirs);
  theirs = -1;
}

std::string cdb_text(const Records &records) {
  std::string s;
  for (const auto &[k, v] : records)
    s += "+" + std::to_string(k.size()) + "," + std::to_string(v.size()) + ":" + k + "->" + v + "\n";
  return s + "\n";
}

bool make_cdb(const std::string &path, const Records &records) {
  RunOptions opt;
  opt.input = cdb_text(records);
  return run({"/usr/bin/cdb", "-c", path}, opt).code() == 0;
}

RunResult compile(const std::string &prog, const std::string &db, const std::string &text,
                  const std::string &tmp) {
  RunOptions opt;
  opt.input = text;
  return run({bin(prog), db, tmp.empty() ? db + ".tmp" : tmp}, opt);
}

std::string ns(const std::string &s) { return std::to_string(s.size()) + ":" + s + ","; }

std::string request(const std::string &uid, const std::vector<std::string> &args) {
  return ns(uid) + ns(std::to_string(args.size())) + ns(value(args));
}

std::string value(const std::vector<std::string> &instructions) {
  std::string v;
  for (const auto &i : instructions) v += i + std::string(1, '\0');
  return v;
}

}  // namespace testutil
