// The supervisor keeps the pool of children; each child accepts and serves
// connections one at a time for as long as it lives.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include "prefork/admit.hpp"
#include "prefork/bridge.hpp"
#include "prefork/generation.hpp"
#include "prefork/guard.hpp"
#include "prefork/pool.hpp"
#include "prefork/state.hpp"
#include "support/fd.hpp"
#include "support/fmt.hpp"
#include "support/iopause.hpp"
#include "support/lock.hpp"
#include "support/notify.hpp"
#include "support/sig.hpp"
#include "support/strerr.hpp"
#include "support/taia.hpp"
#include "support/wait.hpp"

static uint64_t numchildren = 0;
static volatile int flagexit = 0;
static volatile int flagreload = 0;
// Readiness has been told (and the descriptor of -N closed).
static int flagready = 0;
static uint64_t numgeneration = 1;
// The script, as named in the fatal line of children that cannot load it.
static const char *script = "";
static char strnum[FMT_ULONG + 1];
static char strnum2[FMT_ULONG + 1];

static void number(char *s, uint64_t u) { s[fmt_ulong(s, u)] = 0; }

static void trigger() {
  char c = 0;
  if (write(selfpipe[1], &c, 1) == -1) return;
}

void printstatus() {
  if (verbosity < 2) return;
  number(strnum, numchildren);
  number(strnum2, limit);
  strerr_warnx(self, ": status: ", strnum, "/", strnum2);
}

// The handlers keep errno: SIGTERM can arrive between a failing call and
// the message that reports it.
void sigterm(int) {
  int e = errno;
  if (!flagexit) {
    flagexit = 1;
    // Sent here, not from the loop: the supervisor may end in sigchld
    // before its loop looks at the flag again.  send is safe in a handler.
    notify_send("STOPPING=1");
    kill(-getpid(), sig_term);
  }
  trigger();
  errno = e;
}

void sighup(int) {
  int e = errno;
  flagreload = 1;
  trigger();
  errno = e;
}

// Reaps the children that a stop has signalled, for at most a second:
// those still loading may be writing why they failed.
static void reap_stopped() {
  int wstat;
  for (int i = 0; i < 100; ++i) {
    pid_t pid;
    while ((pid = wait_nohang(&wstat)) > 0) {
    }
    if (pid == -1) return;  // none is left
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// The children keep dying before they have loaded the script: the service
// cannot work, and a supervisor above is to see it restart rather than up.
// The line saying so comes after every child's own lines.
[[noreturn]] static void give_up() {
  flagexit = 1;
  kill(-getpid(), sig_term);
  reap_stopped();
  strerr_diex(exit_temp, self, fatal, "children keep failing to load ", script);
}

void sigchld(int) {
  int e = errno;
  int wstat;
  pid_t pid;
  while ((pid = wait_nohang(&wstat)) > 0) {
    if (verbosity >= 2) {
      number(strnum, (uint64_t)pid);
      number(strnum2, (uint64_t)(unsigned)wstat);
      strerr_warnx(self, ": end ", strnum, " status ", strnum2);
    }
    guard_reaped(pid);
    if (numchildren) --numchildren;
    printstatus();
    if (generation_reaped(pid) && !flagexit) give_up();
    if (flagexit && !numchildren) _exit(0);
  }
  trigger();
  errno = e;
}

// Ends the supervisor once it is stopping and no child is left to reap.
static void stop_if_done() {
  if (flagexit && !numchildren) _exit(0);
}

// Waits on the self-pipe with SIGCHLD deliverable, until a handler has run
// or the given number of seconds has passed, then empties the pipe: a
// wake-up left in it would end every later wait at once.  The wake-up of a
// stop is thrown away with the others, so the stop is acted on here,
// whichever wait it ended.  With -L the wait also ends when a child
// reports the script loaded, and the reports are read.
static void pause_pipe(uint32_t seconds) {
  iopause_fd x[2];
  taia stamp, deadline;
  sig_unblock(sig_child);
  x[0].fd = selfpipe[0];
  x[0].events = POLLIN;
  x[1].fd = generation_loadfd();
  x[1].events = POLLIN;
  taia_now(&stamp);
  taia_uint(&deadline, seconds);
  taia_add(&deadline, &stamp, &deadline);
  iopause(x, x[1].fd == -1 ? 1 : 2, &deadline, &stamp);
  sig_block(sig_child);
  char c;
  while (read(selfpipe[0], &c, 1) == 1) {
  }
  generation_readloads();
  stop_if_done();
}

// The lock that lets one child at a time wait in accept.  The children
// share one open file, so the lock has to belong to the process: a record
// lock on the whole file (the file is open for appending, so a write lock
// is allowed).
static int child_accept(int s) {
  int trunc;
  if (!lockfile) return ipc_accept(s, remotepath, sizeof remotepath, &trunc);
  if (lock_exrecord(fdlock) == -1) {
    // A child told to leave while it waits for the lock leaves quietly.
    if (generation_leaving()) return -1;
    strerr_diesys(exit_temp, self, fatal, "unable to lock ", lockfile, ": ");
  }
  int fd = ipc_accept(s, remotepath, sizeof remotepath, &trunc);
  int e = errno;
  lock_unrecord(fdlock);
  errno = e;
  return fd;
}

// -L: the script is loaded before the first accept, and the supervisor
// told.  Descriptors 0 and 1 are /dev/null meanwhile: the main body's
// standard input and output, and taken, so that files it opens keep
// numbers above the two that each connection is moved onto.
static void child_load(char **argv) {
  int fd = open("/dev/null", O_RDWR);
  if (fd == -1 || fd_move(0, fd) == -1 || fd_copy(1, 0) == -1)
    strerr_diesys(exit_temp, self, fatal, "unable to open /dev/null: ");
  server_load(argv);
  generation_loaded();
}

[[noreturn]] static void child(pid_t supervisor, int s, int argc, char **argv) {
  // A child must not outlive its supervisor, whatever the supervisor dies
  // of: the kernel sends SIGTERM when it goes (blocked until the default
  // action is back below), and a supervisor gone before that was set
  // leaves the child with another parent.
  if (prctl(PR_SET_PDEATHSIG, sig_term) == -1 || getppid() != supervisor) _exit(exit_temp);
  sig_catch(sig_child, sig_defaulthandler);
  sig_unblock(sig_child);
  sig_catch(sig_term, sig_defaulthandler);
  sig_catch(sig_pipe, sig_defaulthandler);
  sig_unblock(sig_term);
  // Only the supervisor tells of readiness; a copy of the descriptor left
  // here would also keep its reader from seeing the end.
  notify_close();
  if (!flagready && fdnotify != -1) close(fdnotify);
  generation_child(s);
  if (flagloadstart) child_load(argv);
  // A connection's road: child_accept (here) takes it, the peer's path in
  // remotepath; doit (admit.cpp) keeps the ids, the verdict and the queued
  // variables in its own statics, reads the settings from state.hpp, and
  // on admission hands back the connection's environment; server
  // (bridge.cpp) gives it to the interpreter for the call, and alone
  // changes the process environment, which it puts back before it
  // returns; admit_reset frees the connection's environment and empties
  // the queue, after a refusal too.
  for (;;) {
    // A reload reaches the child only while it holds no connection: it
    // interrupts the wait for one, never a system call of the served code
    // (nor the load of -L).  Told to leave, it leaves now.
    sig_unblock(sig_hangup);
    if (generation_leaving()) _exit(0);
    int fd = child_accept(s);
    sig_block(sig_hangup);
    if (fd == -1) continue;
    char **env = doit(fd);
    if (!env) {
      close(fd);
      admit_reset();
      continue;
    }
    // dup2 replaces descriptor 1 in one call, and like fd_copy leaves it
    // alone when 0 is not open.
    if (fd_move(0, fd) == -1 || dup2(0, 1) == -1)
      strerr_diesys(exit_temp, self, dropping,
                    "unable to set up descriptors: ");
    server(argc, argv, env);
    close(0);
    close(1);
    admit_reset();
    done();
  }
}

// Forks one child.  SIGTERM stays blocked from the last look at flagexit
// until the child has its default action back: a stop signalled in
// between reaches the new child as well, and is not lost on it.  SIGHUP
// likewise until the child has its own handler.
static void spawn_one(int s, int argc, char **argv) {
  sig_block(sig_term);
  sig_block(sig_hangup);
  if (flagexit) {
    sig_unblock(sig_hangup);
    sig_unblock(sig_term);
    return;
  }
  ++numchildren;
  printstatus();
  pid_t supervisor = getpid();
  pid_t pid = fork();
  if (pid == 0) child(supervisor, s, argc, argv);
  if (pid > 0) generation_add(pid);
  sig_unblock(sig_hangup);
  sig_unblock(sig_term);
  if (pid == -1) {
    strerr_warnsys(self, dropping, "unable to fork: ");
    --numchildren;
    printstatus();
    // A fork that keeps failing must not keep dead children unreaped
    // nor spin: wait a second with SIGCHLD deliverable.
    pause_pipe(1);
  }
}

// Tells the service manager (READY=1) and the descriptor of -N, once, that
// connections are served: the pool is started and, with -L, a child has
// loaded the script.  From the loop only, never from a handler.
static void tell_ready() {
  if (flagready || flagexit || (flagloadstart && !generation_anyloaded())) return;
  flagready = 1;
  notify_ready(self, fdnotify);
}

// Forks children until the pool is full; called with SIGCHLD blocked.
static void spawn(int s, int argc, char **argv) {
  // SIGTERM stays blocked from the look at flagexit into sig_pause, which
  // unblocks it atomically: a stop handled in between would leave the
  // supervisor suspended until some later signal, if one ever came.
  // A reload likewise.
  // Until readiness is told, the wait is pause_pipe's, which reads the load
  // reports of -L too.
  sig_block(sig_term);
  sig_block(sig_hangup);
  while (!flagexit && !flagreload && generation_full() && flagready) sig_pause();
  sig_unblock(sig_hangup);
  sig_unblock(sig_term);
  while (!flagexit && !generation_full()) spawn_one(s, argc, argv);
}

// SIGHUP: the children of the current generation are told to leave, and
// spawn forks a new generation in their place at once.
static void reload() {
  if (!flagreload) return;
  flagreload = 0;
  if (flagexit) return;
  number(strnum, ++numgeneration);
  strerr_warnx(self, ": reload: generation ", strnum);
  generation_renew();
}

void supervise(int s, int argc, char **argv) {
  if (argc > 0) script = argv[0];
  for (;;) {
    reload();
    if (!flagexit) spawn(s, argc, argv);
    tell_ready();
    // A stop whose wake-up an earlier wait already emptied from the pipe.
    stop_if_done();
    pause_pipe(3600);
  }
}
