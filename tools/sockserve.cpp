// sockserve: a program-running server on a UNIX-domain socket.
//   sockserve [-v] path program [args...]
// Listens on path; for each connection forks a child with the connection
// on descriptors 0 and 1, the log on 2, IPCREMOTEEUID and IPCREMOTEEGID
// set from the peer's kernel credentials, and executes the program.
// Children are reaped as they end; SIGTERM stops the server.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>

#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/error.hpp"
#include "support/fd.hpp"
#include "support/fmt.hpp"
#include "support/pathrun.hpp"
#include "support/sig.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"
#include "support/wait.hpp"
#include "tools/unixaddr.hpp"

static const char *self = "sockserve";
static int verbose;
static stralloc line;

[[noreturn]] static void die_usage() {
  strerr_diex(exit_perm, self, ": usage: ", self, " [-v] path program [args...]");
}

[[noreturn]] static void die_nomem() { strerr_diex(exit_temp, self, ": fatal: out of memory"); }

static void line_catnum(uint64_t u) {
  char num[FMT_ULONG];
  if (!stralloc_catb(&line, num, fmt_ulong(num, u))) die_nomem();
}

/// Writes "self: what N, what N\n" style log lines from alternating texts and numbers.
static void log_line(const char *what1, uint64_t n1, const char *what2, uint64_t n2,
                     const char *what3, uint64_t n3) {
  if (!verbose) return;
  if (!stralloc_copys(&line, self)) die_nomem();
  if (!stralloc_cats(&line, what1)) die_nomem();
  line_catnum(n1);
  if (!stralloc_cats(&line, what2)) die_nomem();
  line_catnum(n2);
  if (!stralloc_cats(&line, what3)) die_nomem();
  line_catnum(n3);
  if (!stralloc_cats(&line, "\n")) die_nomem();
  buffer_putflush(buffer_2, line.bytes, line.length);
}

static void on_child(int) {}

static void reap() {
  int wstat;
  pid_t pid;
  while ((pid = wait_nohang(&wstat)) > 0) {
    uint64_t code = WIFEXITED(wstat) ? (uint64_t)WEXITSTATUS(wstat) : 0;
    uint64_t sig = WIFSIGNALED(wstat) ? (uint64_t)WTERMSIG(wstat) : 0;
    log_line(": end ", (uint64_t)pid, " exit ", code, " signal ", sig);
  }
}

static int listen_on(const char *path) {
  struct sockaddr_un sa;
  if (unixaddr_make(&sa, path) == -1) return -1;
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s == -1) return -1;
  unlink(path);  // a socket left over from an earlier run
  // Any local user may connect: who is served is the program's decision.
  mode_t oldmask = umask(0);
  int r = bind(s, (struct sockaddr *)&sa, sizeof sa);
  umask(oldmask);
  if (r == -1) return -1;
  if (listen(s, 64) == -1) return -1;
  return s;
}

/// In the child: connection on 0 and 1, peer ids in the environment, program started.
[[noreturn]] static void serve(int conn, const struct ucred *cred, char **prog) {
  char uidnum[FMT_ULONG + 1];
  char gidnum[FMT_ULONG + 1];
  sig_catch(sig_child, sig_defaulthandler);
  sig_blocknone();
  if (fd_copy(0, conn) == -1 || fd_copy(1, conn) == -1)
    strerr_diesys(exit_temp, self, ": fatal: unable to set up connection: ");
  if (conn > 1) close(conn);
  uidnum[fmt_ulong(uidnum, cred->uid)] = 0;
  gidnum[fmt_ulong(gidnum, cred->gid)] = 0;
  if (!pathrun_env("IPCREMOTEEUID", uidnum)) die_nomem();
  if (!pathrun_env("IPCREMOTEEGID", gidnum)) die_nomem();
  pathrun(prog);
  strerr_diesys(exit_temp, self, ": fatal: unable to run ", prog[0], ": ");
}

static void accept_one(int s, char **prog) {
  int conn = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn == -1) return;
  struct ucred cred;
  socklen_t credlen = sizeof cred;
  if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &credlen) == -1) {
    close(conn);
    return;
  }
  pid_t pid = fork();
  if (pid == 0) serve(conn, &cred, prog);
  close(conn);
  if (pid == -1) {
    strerr_warnsys(self, ": warning: unable to fork: ");
    return;
  }
  log_line(": pid ", (uint64_t)pid, " from uid ", cred.uid, " gid ", cred.gid);
}

int main(int argc, char **argv) {
  if (argc > 0) self = argv[0] + str_len(argv[0]);
  while (self > argv[0] && self[-1] != '/') --self;
  int i = 1;
  if (i < argc && !str_diff(argv[i], "-v")) verbose = 1, ++i;
  if (argc - i < 2) die_usage();
  const char *path = argv[i];
  char **prog = argv + i + 1;

  int s = listen_on(path);
  if (s == -1) strerr_diesys(exit_temp, self, ": fatal: unable to listen on ", path, ": ");
  // SIGCHLD is taken only inside ppoll, so no child end is missed.
  sig_block(sig_child);
  sig_catch(sig_child, on_child);
  sigset_t none;
  sigemptyset(&none);
  struct pollfd pfd = {s, POLLIN, 0};
  for (;;) {
    if (ppoll(&pfd, 1, nullptr, &none) == -1) {
      if (errno == error_intr) reap();
      continue;
    }
    if (pfd.revents & POLLIN) accept_one(s, prog);
  }
}
