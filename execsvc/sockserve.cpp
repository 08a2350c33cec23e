// sockserve: a program-running server on a UNIX-domain socket.
//   sockserve [-v] [-c limit] path program [args...]
// Listens on path; for each connection forks a child with the connection
// on descriptors 0 and 1, the log on 2, IPCREMOTEEUID and IPCREMOTEEGID
// set from the peer's kernel credentials, and executes the program.  At
// most limit children run at once: at the limit it stops accepting until
// one ends.  SIGTERM ends the server; running children go on.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ipc.hpp"
#include "support/sgetopt.hpp"
#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/fd.hpp"
#include "support/fmt.hpp"
#include "support/ndelay.hpp"
#include "support/pathrun.hpp"
#include "support/sig.hpp"
#include "support/strerr.hpp"
#include "support/wait.hpp"

static const char *self = "sockserve";
static constexpr const char *fatal = ": fatal: ";
static int verbosity = 1;
static uint64_t limit = 40;
static uint64_t numchildren;
static volatile sig_atomic_t flagchild;
static volatile sig_atomic_t flagexit;

static void on_child(int) { flagchild = 1; }
static void on_term(int) { flagexit = 1; }

[[noreturn]] static void die_usage() {
  strerr_diex(exit_perm, self, ": usage: ", self, " [-v] [-c limit] path program [args...]");
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

// Reaps every child that has ended, logging its exit code and signal.
static void reap() {
  int wstat;
  pid_t pid;
  while ((pid = wait_nohang(&wstat)) > 0) {
    uint64_t code = WIFEXITED(wstat) ? (uint64_t)WEXITSTATUS(wstat) : 0;
    uint64_t sig = WIFSIGNALED(wstat) ? (uint64_t)WTERMSIG(wstat) : 0;
    if (numchildren) --numchildren;
    log_numbers(": end ", (uint64_t)pid, " exit ", code, " signal ", sig);
    log_status();
    buffer_flush(buffer_2);
  }
}

static int listen_on(const char *path) {
  int s = ipc_stream();
  if (s == -1) return -1;
  if (coe(s) == -1) return -1;
  // Any local user may connect: who is served is the program's decision.
  umask(0);
  if (ipc_bind_reuse(s, path) == -1) return -1;
  if (ipc_listen(s, 64) == -1) return -1;
  return s;
}

/// In the child: connection on 0 and 1, peer ids in the environment, program started.
[[noreturn]] static void serve(int conn, uint32_t uid, uint32_t gid, char **prog) {
  char uidnum[FMT_ULONG + 1];
  char gidnum[FMT_ULONG + 1];
  sig_catch(sig_child, sig_defaulthandler);
  sig_catch(sig_term, sig_defaulthandler);
  sig_blocknone();
  if (fd_copy(0, conn) == -1 || fd_copy(1, conn) == -1)
    strerr_diesys(exit_temp, self, fatal, "unable to set up connection: ");
  if (conn > 1) close(conn);
  if (!pathrun_env("IPCREMOTEEUID", number(uidnum, uid))) die_nomem();
  if (!pathrun_env("IPCREMOTEEGID", number(gidnum, gid))) die_nomem();
  pathrun(prog);
  strerr_diesys(exit_temp, self, fatal, "unable to run ", prog[0], ": ");
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
  pid_t pid = fork();
  if (pid == 0) serve(conn, uid, gid, prog);
  close(conn);
  if (pid == -1) {
    if (verbosity) strerr_warnsys(self, ": warning: unable to fork: ");
    return;
  }
  ++numchildren;
  log_numbers(": pid ", (uint64_t)pid, " from uid ", uid, " gid ", gid);
  log_status();
  buffer_flush(buffer_2);
}

static void options(int argc, char **argv) {
  sgetoptprogname = self;
  int opt;
  while ((opt = sgetoptmine(argc, argv, "vc:")) != subgetoptdone) {
    switch (opt) {
      case 'v':
        verbosity = 2;
        break;
      case 'c':
        if (!subgetoptarg[scan_ulong(subgetoptarg, &limit)] && limit) break;
        [[fallthrough]];
      default:
        die_usage();
    }
  }
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
  int s = listen_on(path);
  if (s == -1) strerr_diesys(exit_temp, self, fatal, "unable to listen on ", path, ": ");
  log_status();
  buffer_flush(buffer_2);

  sigset_t none;
  sigemptyset(&none);
  for (;;) {
    if (flagexit) _exit(0);
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
