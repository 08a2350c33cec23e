#pragma once
// Shared fixtures for the tests: temporary directories, files, a runner for
// the real programs in build/bin, background processes, socket clients,
// rules databases and exec requests.
#include <sys/types.h>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

/// Path of a built program, copied at the first call into a directory
/// under /tmp that every account may enter (0755) and that the test process
/// removes when it exits: whatever a test runs as another account must
/// run from there, since the checkout may lie in a private (0700) home
/// directory.
std::string bin(const std::string &name);
/// The directory of the copies that bin names.
std::string bin_dir();
/// Path of a file in the source tree: SOURCE_DIR "/" rel.
std::string source(const std::string &rel);
/// True when the tests run as root (and so may switch accounts).
bool is_root();

/// A fresh directory under /tmp (mode 0755, so other users can enter it),
/// removed with everything in it when the object goes away.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  /// path + "/" + name
  std::string operator/(const std::string &name) const;
};

/// Whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string &path);
/// Writes data to path (created or truncated) and sets its mode.
void write_file(const std::string &path, const std::string &data, mode_t mode = 0644);
/// Every path under dir, relative to it.
std::set<std::string> tree(const std::string &dir);
/// A value of the build's CMake cache, such as INSTALL_HOME ("" when absent).
std::string cache_value(const std::string &key);
/// True if the path exists (lstat).
bool exists(const std::string &path);

/// An account to run as.
struct User {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups = {};  ///< supplementary groups; none when empty
};
/// The account `nobody` (and its primary group).
User nobody();
/// Switches this process to the account for good, with its supplementary
/// groups (none unless listed); false when a step failed.
bool become(const User &u);

struct RunOptions {
  std::string input;                              ///< written to standard input, then closed
  std::optional<std::vector<std::string>> env;    ///< full environment; unset inherits ours
  std::vector<std::string> setenv;                ///< NAME=VALUE entries added to the environment
  std::vector<std::string> unsetenv;              ///< names removed from the environment
  std::optional<User> user;                       ///< switch to this account before exec
  std::string cwd;                                ///< directory to run in
  int timeout_ms = 20000;                         ///< SIGKILL after this long
  std::vector<std::pair<int, int>> extra_fds;     ///< (child fd, our fd) pairs dup'ed in
};

struct RunResult {
  int status = -1;       ///< raw wait status
  std::string out;       ///< standard output
  std::string err;       ///< standard error
  /// Exit code, or -1 when the program did not exit normally.
  int code() const;
  /// Signal that ended the program, or 0.
  int signal() const;
};

/// Runs argv (argv[0] is a path) to completion, capturing both outputs.
RunResult run(const std::vector<std::string> &argv, const RunOptions &opt = {});

/// A program running in the background in a process group of its own,
/// its standard error collected in a file.  The destructor kills its group.
struct Process {
  pid_t pid = -1;
  std::string errfile;
  Process(const std::vector<std::string> &argv, const RunOptions &opt = {});
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  /// Everything written to standard error so far.
  std::string err() const;
  /// Waits until standard error contains text; false after timeout_ms.
  bool wait_err(const std::string &text, int timeout_ms = 5000) const;
  /// Sends sig to the process.
  void kill(int sig) const;
  /// Waits for the process; its raw status, or -1 after timeout_ms.
  int wait(int timeout_ms = 5000);
};

/// Waits until path exists and, when it is a socket, a server listens on it;
/// false after timeout_ms.
bool wait_path(const std::string &path, int timeout_ms = 5000);

struct ClientOptions {
  std::string send;                 ///< written after connecting
  bool shutdown_write = true;       ///< shut down the writing side after sending
  std::optional<User> user;         ///< connect from a child running as this account
  std::string bind_path;            ///< bind the client socket to this path first
  int timeout_ms = 10000;
};

/// Connects to the UNIX socket at path, sends opt.send, and reads until the
/// server closes.  Returns what was read, or nullopt when the connect failed.
std::optional<std::string> unix_client(const std::string &path, const ClientOptions &opt = {});

/// A connection from this process to the UNIX socket at path, close-on-exec,
/// left open for the caller; -1 when the connect failed.
int unix_connect(const std::string &path);

/// One connection from this process: sends data, shuts down writing, reads
/// until the server closes or is silent for timeout_ms.  False when the
/// connection could not be made.
bool talk(const std::string &path, const std::string &send, std::string &got,
          int timeout_ms = 10000);

/// A datagram socket bound to name (a path, or "@" and an abstract name), as
/// a service manager's notification socket; -1 when it cannot be made.
int notify_reader(const std::string &name);

/// Reads from fd until n bytes came, end of input, or timeout_ms of silence.
std::string read_some(int fd, size_t n, int timeout_ms = 5000);

/// A socketpair whose ends do not leak into programs started by the tests.
struct SocketPair {
  int ours = -1;
  int theirs = -1;
  SocketPair();
  ~SocketPair();
  SocketPair(const SocketPair &) = delete;
  SocketPair &operator=(const SocketPair &) = delete;
  void close_theirs();
};

/// (key, value) records of a cdb file.
using Records = std::vector<std::pair<std::string, std::string>>;
/// The records in the cdb tool's text form ("+klen,dlen:key->data\n" per
/// record, then "\n"), as it reads them with -c and writes them with -d.
std::string cdb_text(const Records &records);
/// Writes a cdb file at path holding the records, with the cdb tool.
bool make_cdb(const std::string &path, const Records &records);
/// Runs a rules compiler (gatemark or tollmark) on text into db, through
/// tmp (db + ".tmp" when empty).
RunResult compile(const std::string &prog, const std::string &db, const std::string &text,
                  const std::string &tmp = "");

/// One netstring.
std::string ns(const std::string &s);
/// The exec request for uid and the arguments (program first).
std::string request(const std::string &uid, const std::vector<std::string> &args);
/// A rule value from its instructions, each followed by a NUL.
std::string value(const std::vector<std::string> &instructions);

/// Number of entries in /proc whose parent is pid.
int count_children(pid_t pid);
/// Process ids of the children of pid (from /proc/pid/task/pid/children).
std::vector<pid_t> children(pid_t pid);
/// Waits until pid has n children, none of them a zombie; false after ms.
bool wait_children(pid_t pid, size_t n, int ms = 5000);

}  // namespace testutil
