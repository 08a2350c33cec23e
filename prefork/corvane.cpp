// corvane: serves a UNIX-domain socket with a pool of pre-forked children,
// each calling a subroutine of its own embedded Perl interpreter.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/activate.hpp"
#include "support/ipc.hpp"
#include "prefork/bridge.hpp"
#include "prefork/generation.hpp"
#include "prefork/guard.hpp"
#include "prefork/pool.hpp"
#include "support/sgetopt.hpp"
#include "prefork/state.hpp"
#include "support/buffer.hpp"
#include "support/env.hpp"
#include "support/fmt.hpp"
#include "support/ndelay.hpp"
#include "support/notify.hpp"
#include "support/prot.hpp"
#include "support/sig.hpp"
#include "support/strerr.hpp"

[[noreturn]] static void usage() {
  strerr_diex(exit_perm, self, ": usage: ", self,
              " [ -UXhHoOdDqQvpPLG ] [ -c limit ] [ -C peruid ] [ -t seconds ] [ -x rules.cdb ]"
              " [ -B banner ] [ -g gid ] [ -u uid ] [ -b backlog ] [ -l localname ]"
              " [ -f lockfile ] [ -N fd ] path");
}

[[noreturn]] static void die_sys(const char *a, const char *b = nullptr,
                                 const char *c = nullptr) {
  strerr_diesys(exit_temp, self, fatal, a, b, c);
}

// Wholly decimal digits, at least one, at most max.  Anything else is a
// usage error: a name, a mistyped number or an empty variable must never
// leave the server running as root, a limit off, or a pool of no child.
static uint64_t decimal(const char *s, uint64_t max) {
  uint64_t u;
  if (!scan_decimal(s, max, &u)) usage();
  return u;
}

// A user or group id, or a limit of -C or -t: within 32 bits.
static uint64_t id(const char *s) { return decimal(s, UINT32_MAX); }

// -N: a descriptor above 2, since 0 and 1 are closed at start and 2 is the log.
static int notification_fd(const char *s) {
  uint64_t fd = decimal(s, INT32_MAX);
  if (fd < 3) usage();
  return (int)fd;
}

// -U: the ids from UID and GID, each only when present (and then not empty).
static void ids_from_env() {
  const char *x = env_get("UID");
  if (x) uid = id(x);
  x = env_get("GID");
  if (x) gid = id(x);
}

static void option(int opt) {
  switch (opt) {
    case 'v': verbosity = 2; break;
    case 'Q': verbosity = 1; break;
    case 'q': verbosity = 0; break;
    case 'd': flagdelete = 1; break;
    case 'D': flagdelete = 0; break;
    case 'p': flagpeereid = 1; break;
    case 'P': flagpeereid = 0; break;
    case 'L': flagloadstart = 1; break;
    case 'X': flagallownorules = 1; break;
    case 'G': flaggroups = 1; break;
    case 'U': ids_from_env(); break;
    case 'x': fnrules = subgetoptarg; break;
    case 'u': uid = id(subgetoptarg); break;
    case 'g': gid = id(subgetoptarg); break;
    case 'l': forcelocal = subgetoptarg; break;
    case 'b': backlog = decimal(subgetoptarg, INT32_MAX); break;
    case 'B': banner = subgetoptarg; break;
    case 'c': limit = decimal(subgetoptarg, UINT64_MAX); break;
    case 'C': peruid = id(subgetoptarg); break;
    case 't': timelimit = id(subgetoptarg); break;
    case 'f': lockfile = subgetoptarg; break;
    case 'N': fdnotify = notification_fd(subgetoptarg); break;
    default: usage();
  }
}

// Leads a process group of its own, so that SIGTERM can reach every child.
static void make_group() {
  if (setsid() != -1) return;
  int e = errno;
  if (getpgrp() == getpid()) return;
  errno = e;
  die_sys("unable to create process group: ");
}

// The lock file, opened without following a symbolic link, and only if it
// is a regular file: another user who can write its directory must not
// make the server create or open a file of their choosing.  Close-on-exec,
// as the socket: a program that served code starts must not take the lock
// and stall the pool.  Another type of file fails with EINVAL.
static int open_lock(const char *fn) {
  int fd = open(fn, O_WRONLY | O_NONBLOCK | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat st;
  if (fd == -1 || fstat(fd, &st) == -1) return -1;
  if (S_ISREG(st.st_mode)) return fd;
  errno = EINVAL;
  return -1;
}

static void make_selfpipe() {
  if (pipe(selfpipe) == -1) die_sys("unable to create pipe: ");
  coe(selfpipe[0]);
  coe(selfpipe[1]);
  ndelay_on(selfpipe[0]);
  ndelay_on(selfpipe[1]);
}

// The listening socket a service manager passed, blocking as the
// children's accepts want it; -1 when none was.
static int take_socket() {
  const char *what;
  int s = activate_socket(&what, 1);
  if (s == activate_bad) strerr_diex(exit_temp, self, fatal, what);
  return s;
}

// Creates, binds and listens; the socket file gets every permission bit,
// since access is decided per connection.  The socket is close-on-exec: a
// program that served code starts must not accept for the server.  A socket
// passed by a service manager is used as it is.
static int make_socket(const char *path) {
  int s = take_socket();
  if (s != -1) return s;
  s = ipc_stream();
  if (s == -1 || coe(s) == -1) die_sys("unable to create socket: ");
  mode_t old = umask(0);
  int r = flagdelete ? ipc_bind_reuse(s, path) : ipc_bind(s, path);
  if (r == -1) die_sys("unable to bind: ");
  umask(old);
  int trunc;
  if (ipc_local(s, nullptr, 0, &trunc) == -1) die_sys("unable to get local address: ");
  if (ipc_listen(s, (int)backlog) == -1) die_sys("unable to listen: ");
  ndelay_off(s);
  return s;
}

// Group, then user.  A new user keeps no supplementary group of the
// starting user: without -g the list becomes the current group alone.
static void drop_privileges() {
  uint32_t g = gid ? (uint32_t)gid : (uint32_t)getgid();
  if ((gid || uid) && prot_gid(g) == -1) die_sys("unable to set gid: ");
  if (uid && prot_uid((uint32_t)uid) == -1) die_sys("unable to set uid: ");
}

int main(int argc, char **argv) {
  self = argv[0];
  int opt;
  while ((opt = sgetoptmine(argc, argv, "vqQdDUXx:u:g:l:b:B:c:f:pPLGC:t:N:")) != subgetoptdone)
    option(opt);
  if (!verbosity) buffer_2->descriptor = -1;

  const char *path = subgetoptind < argc ? argv[subgetoptind] : nullptr;
  if (!path || !*path) usage();
  argc -= subgetoptind + 1;
  argv += subgetoptind + 1;
  // Children that load at start need the script and the subroutine now.
  if (flagloadstart) server_words(argv);
  // The socket told of readiness is connected and NOTIFY_SOCKET removed, so
  // that the served code never sees it; the descriptor of -N is kept from
  // the programs that the served code starts.
  notify_setup(self, fdnotify);

  make_group();
  if (lockfile && (fdlock = open_lock(lockfile)) == -1) die_sys("unable to open ", lockfile, ": ");
  if (peruid && guard_init(limit) == -1) die_sys("unable to map memory: ");
  make_selfpipe();
  if (generation_init(limit) == -1) die_sys("unable to set up the pool: ");

  // SIGCHLD stays blocked except while the supervisor waits.
  sig_block(sig_child);
  sig_catch(sig_child, sigchld);
  sig_catch(sig_term, sigterm);
  sig_catch(sig_hangup, sighup);
  sig_catch(sig_pipe, sig_ignorehandler);

  int s = make_socket(path);
  notify_notsocket(self, fdnotify, s);
  drop_privileges();
  close(0);
  close(1);
  printstatus();
  supervise(s, argc, argv);
}
