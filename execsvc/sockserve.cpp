// sockserve: a program-running server on a UNIX-domain socket.
//   sockserve [-vG] [-c limit] [-C perlimit] [-N fd] path program [args...]
// Listens on path (or takes the socket a service manager passed); for each
// connection forks a child with the connection on descriptors 0 and 1, the
// log on 2, IPCREMOTEEUID and IPCREMOTEEGID set from the peer's kernel
// credentials, IPCCONNNUM to the peer's count of connections, and executes
// the program.  At most limit children run at once: at the limit it stops
// accepting until one ends; a uid that already has perlimit of them has its
// further connections closed at once.  SIGTERM ends the server; running
// children go on.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/activate.hpp"
#include "support/alloc.hpp"
#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/env.hpp"
#include "support/fd.hpp"
#include "support/fmt.hpp"
#include "support/ipc.hpp"
#include "support/ndelay.hpp"
#include "support/notify.hpp"
#include "support/pathrun.hpp"
#include "support/sgetopt.hpp"
#include "support/sig.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"
#include "support/wait.hpp"

extern char **environ;

static const char *self = "sockserve";
static constexpr const char *fatal = ": fatal: ";
static constexpr const char *dropping = ": warning: dropping connection, ";
static int verbosity = 1;  // 2 with -v: status and per-child lines too
static uint64_t limit = 40;
static uint64_t perlimit;  // 0 until the options are read: then a quarter of limit
static int flaggroups;
static int fdnotify = -1;
static uint64_t numchildren;
static volatile sig_atomic_t flagchild;
static volatile sig_atomic_t flagexit;

// The running children and the uid each one serves: numchildren entries.
struct child {
  pid_t pid;
  uint32_t uid;
};
static stralloc table;
static stralloc groups;  // of the connection being accepted, with -G

static void on_child(int) { flagchild = 1; }
static void on_term(int) { flagexit = 1; }

[[noreturn]] static void die_usage() {
  strerr_diex(exit_perm, self, ": usage: ", self,
              " [-vG] [-c limit] [-C perlimit] [-N fd] path program [args...]");
}

[[noreturn]] static void die_nomem() { strerr_diex(exit_temp, self, fatal, "out of memory"); }

static char *number(char *s, uint64_t u) {
  s[fmt_ulong(s, u)] = 0;
  return s;
}

// The log lines of one event are queued on buffer_2 and written with one
// flush, so that a child's own lines never come between them.
static void log_puts(const char *x) { buffer_puts(buffer_2, x); }

static void log_number(uint64_t u) {
  char n[FMT_ULONG + 1];
  log_puts(number(n, u));
}

static void log_status() {
  if (verbosity < 2) return;
  log_puts(self);
  log_puts(": status: ");
  log_number(numchildren);
  log_puts("/");
  log_number(limit);
  log_puts("\n");
}

// "name: what1 n1 what2 n2 what3 n3"
static void log_numbers(const char *what1, uint64_t n1, const char *what2, uint64_t n2,
                        const char *what3, uint64_t n3) {
  if (verbosity < 2) return;
  log_puts(self);
  log_puts(what1);
  log_number(n1);
  log_puts(what2);
  log_number(n2);
  log_puts(what3);
  log_number(n3);
  log_puts("\n");
}

static child *children() { return (child *)table.bytes; }

// Number of running children that serve uid.
static uint64_t count_uid(uint32_t uid) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < numchildren; ++i) n += children()[i].uid == uid;
  return n;
}

// Takes pid out of the table: the last entry moves into its place.
static void forget(pid_t pid) {
  for (uint64_t i = 0; i < numchildren; ++i)
    if (children()[i].pid == pid) {
      children()[i] = children()[--numchildren];
      return;
    }
}

// Reaps every child that has ended, logging its exit code and signal.
static void reap() {
  int wstat;
  pid_t pid;
  while ((pid = wait_nohang(&wstat)) > 0) {
    uint64_t code = WIFEXITED(wstat) ? (uint64_t)WEXITSTATUS(wstat) : 0;
    uint64_t sig = WIFSIGNALED(wstat) ? (uint64_t)WTERMSIG(wstat) : 0;
    forget(pid);
    log_numbers(": end ", (uint64_t)pid, " exit ", code, " signal ", sig);
    log_status();
    buffer_flush(buffer_2);
  }
}

// The socket a service manager passed, made non-blocking; -1 when none was.
static int take_socket() {
  const char *what;
  int s = activate_socket(&what, 0);
  if (s == activate_bad) strerr_diex(exit_temp, self, fatal, what);
  return s;
}

static int listen_on(const char *path) {
  int s = ipc_stream();
  if (s == -1) return -1;
  if (coe(s) == -1) return -1;
  // Any local user may connect: who is served is the program's decision.
  // The mask is cleared for the bind alone: children get the one of the
  // server's start.
  mode_t old = umask(0);
  int r = ipc_bind_reuse(s, path);
  umask(old);
  if (r == -1) return -1;
  if (ipc_listen(s, 64) == -1) return -1;
  return s;
}

// ---- starting the program ----
// Each connection's program is started from a vfork child, so that the
// server's memory is not copied for a process that only sets up its
// descriptors and executes.  The child shares that memory until it
// executes or exits: the program's candidate paths (found once) and the
// connection's environment are made ready before, so that it changes
// nothing there but, when it fails, the diagnostics buffer, which its
// message leaves empty as it found it.
static stralloc paths;     // the program's candidate paths, NUL-terminated
static stralloc settings;  // the connection's settings, queued for env_merge

/// The connection's environment: the server's with the peer's ids, its
/// count of connections and, with -G, its groups; null when out of memory.
static char **connection_env(uint32_t uid, uint32_t gid, uint64_t num) {
  char n[FMT_ULONG + 1];
  settings.length = 0;
  if (!env_queue(&settings, "IPCREMOTEEUID", number(n, uid))) return nullptr;
  if (!env_queue(&settings, "IPCREMOTEEGID", number(n, gid))) return nullptr;
  if (!env_queue(&settings, "IPCCONNNUM", number(n, num))) return nullptr;
  if (flaggroups && !env_queue(&settings, "IPCREMOTEGROUPS", groups.bytes)) return nullptr;
  return env_merge(environ, &settings);
}

/// In the vfork child: connection on 0 and 1, the default handlers, no
/// signal blocked, and the program started with environment env.
[[noreturn]] static void serve(int conn, char **prog, char **env) {
  sig_catch(sig_child, sig_defaulthandler);
  sig_catch(sig_term, sig_defaulthandler);
  sig_blocknone();
  if (fd_copy(0, conn) == -1 || fd_copy(1, conn) == -1)
    strerr_diesys(exit_temp, self, fatal, "unable to set up connection: ");
  if (conn > 1) close(conn);
  pathrun_try(&paths, prog, env);
  strerr_diesys(exit_temp, self, fatal, "unable to run ", prog[0], ": ");
}

// 1 when a connection from uid may have a child; else logged, and 0.
static int admit(int conn, uint32_t uid, uint64_t num) {
  char n[FMT_ULONG + 1];
  char u[FMT_ULONG + 1];
  if (num > perlimit) {
    // At its limit a uid's connection is closed at once: it never waits
    // for a slot that another user's connection could have.
    strerr_warnx(self, dropping, "limit of ", number(n, perlimit), " reached for uid ",
                 number(u, uid));
    return 0;
  }
  if (flaggroups && ipc_groups(conn, &groups) == -1) {
    strerr_warnsys(self, dropping, "unable to obtain client groups: ");
    return 0;
  }
  uint64_t size = (numchildren + 1) * sizeof(child);
  if (size > UINT32_MAX || !stralloc_ready(&table, (uint32_t)size)) {
    strerr_warnx(self, dropping, "out of memory");
    return 0;
  }
  return 1;
}

// Accepts one connection, if one is waiting, and forks its child.
static void new_connection(int s, char **prog) {
  int trunc;
  int conn = ipc_accept(s, nullptr, 0, &trunc);
  if (conn == -1) return;
  uint32_t uid, gid;
  if (ipc_eid(conn, &uid, &gid) == -1) {
    close(conn);
    return;
  }
  uint64_t num = count_uid(uid) + 1;
  if (!admit(conn, uid, num)) {
    close(conn);
    return;
  }
  char **env = connection_env(uid, gid, num);
  if (!env) {
    strerr_warnx(self, dropping, "out of memory");
    close(conn);
    return;
  }
  // SIGCHLD and SIGTERM stay blocked here: no handler of the server runs
  // in the child, which sets the defaults before it lets them in.
  pid_t pid = vfork();
  if (pid == 0) serve(conn, prog, env);
  alloc_free(env);
  close(conn);
  if (pid == -1) {
    strerr_warnsys(self, ": warning: unable to fork: ");
    return;
  }
  children()[numchildren++] = {pid, uid};
  log_numbers(": pid ", (uint64_t)pid, " from uid ", uid, " gid ", gid);
  log_status();
  buffer_flush(buffer_2);
}

static void options(int argc, char **argv) {
  sgetoptprogname = self;
  int opt;
  uint64_t u;
  while ((opt = sgetoptmine(argc, argv, "vc:C:GN:")) != subgetoptdone) {
    switch (opt) {
      case 'v':
        verbosity = 2;
        break;
      case 'G':
        flaggroups = 1;
        break;
      case 'c':
        if (scan_decimal(subgetoptarg, UINT64_MAX, &limit) && limit) break;
        die_usage();
      case 'C':
        if (scan_decimal(subgetoptarg, UINT64_MAX, &perlimit) && perlimit) break;
        die_usage();
      case 'N':
        // Above 2: 0 and 1 are the children's, 2 is the log.
        if (scan_decimal(subgetoptarg, INT32_MAX, &u) && u >= 3) {
          fdnotify = (int)u;
          break;
        }
        [[fallthrough]];
      default:
        die_usage();
    }
  }
  if (!perlimit) perlimit = limit / 4 + (limit % 4 != 0);
}

// What the service manager set for this process only, taken out of the
// environment that children inherit; IPCREMOTEGROUPS comes from the kernel
// or not at all.
static void start_environment() {
  env_unset("IPCREMOTEGROUPS");
  notify_setup(self, fdnotify);
}

int main(int argc, char **argv) {
  if (argc > 0) self = argv[0] + str_len(argv[0]);
  while (argc > 0 && self > argv[0] && self[-1] != '/') --self;
  options(argc, argv);
  if (argc - subgetoptind < 2) die_usage();
  const char *path = argv[subgetoptind];
  char **prog = argv + subgetoptind + 1;

  // SIGCHLD and SIGTERM are taken only inside ppoll, so none is missed
  // between looking at the flags and waiting.
  sig_block(sig_child);
  sig_block(sig_term);
  sig_catch(sig_child, on_child);
  sig_catch(sig_term, on_term);
  start_environment();
  if (!pathrun_paths(&paths, prog[0])) die_nomem();
  int s = take_socket();
  if (s == -1) s = listen_on(path);
  if (s == -1) strerr_diesys(exit_temp, self, fatal, "unable to listen on ", path, ": ");
  notify_notsocket(self, fdnotify, s);
  log_status();
  buffer_flush(buffer_2);
  // Connections are served from here on.
  notify_ready(self, fdnotify);

  sigset_t none;
  sigemptyset(&none);
  for (;;) {
    if (flagexit) {
      notify_send("STOPPING=1");
      _exit(0);
    }
    if (flagchild) {
      flagchild = 0;
      reap();
    }
    // At the limit the socket is left out of the wait: connections queue
    // in the kernel until a child ends.
    struct pollfd pfd = {numchildren < limit ? s : -1, POLLIN, 0};
    if (ppoll(&pfd, 1, nullptr, &none) == -1) continue;
    if (pfd.revents & POLLIN) new_connection(s, prog);
  }
}
