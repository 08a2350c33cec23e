// Admission of one connection: banner, connection variables, the rules
// lookup, the admission line, and the environment the served code sees.
#include "prefork/admit.hpp"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "prefork/guard.hpp"
#include "prefork/state.hpp"
#include "rulesdb/rulesmap.hpp"
#include "support/alloc.hpp"
#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/env.hpp"
#include "support/error.hpp"
#include "support/fmt.hpp"
#include "support/logsafe.hpp"
#include "support/open.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

extern char **environ;

char remotepath[IPC_PATHMAX + 1];

// Queued environment entries of this connection: NAME=VALUE sets, NAME removes.
static stralloc envplus;
static char localname[IPC_PATHMAX + 1];
static const char *localpath;
static char remoteeuidstr[FMT_ULONG + 1];
static char remoteegidstr[FMT_ULONG + 1];
static uint32_t remoteeuid;
static stralloc remotegroups;
static char strnum[FMT_ULONG + 1];
static int flagdeny;
static stralloc tmp;
static char bspace[16];
static buffer b;
static char **connenv;
static rulesmap rulesdb;

[[noreturn]] static void drop_nomem() {
  strerr_diex(exit_temp, self, dropping, "out of memory");
}
[[noreturn]] static void drop_eid() {
  strerr_diesys(exit_temp, self, dropping,
                "unable to obtain client eid: ");
}
[[noreturn]] static void drop_groups() {
  strerr_diesys(exit_temp, self, dropping, "unable to obtain client groups: ");
}
[[noreturn]] static void drop_rules() {
  strerr_diesys(exit_temp, self, dropping, "unable to read ",
                fnrules, ": ");
}

static void cats(const char *s) {
  if (!stralloc_cats(&tmp, s)) drop_nomem();
}

// Appends s, cleaned for the log.
static void safecats(const char *s) {
  if (!logsafe_cat(&tmp, s, str_len(s))) drop_nomem();
}

// Queues name=value, or a removal of name when value is null.
static void env(const char *name, const char *value) {
  if (!env_queue(&envplus, name, value)) drop_nomem();
}

// Applies a rule's instructions: a setting is queued, a deny noted.
static void found(char *value, uint32_t len) {
  rules_walk w = {value, len};
  char *body;
  uint32_t n;
  while (char letter = rules_next(&w, &body, &n)) {
    if (letter == rules_deny) flagdeny = 1;
    if (letter != rules_setting) continue;
    char *v = rules_setting_value(body);
    if (v) env(body, v);
  }
}

// The connection's environment: the child's own with the queued entries
// applied.  The array points into envplus, which stays unchanged until
// admit_reset.  The process environment itself is never changed here.
static char **env_set() {
  connenv = env_merge(environ, &envplus);
  if (!connenv) drop_nomem();
  return connenv;
}

void admit_reset() {
  guard_release();
  alloc_free(connenv);
  connenv = nullptr;
  envplus.length = 0;
}

// Writes without raising SIGPIPE: a peer gone before its banner costs its
// own connection, not the child.
static int banner_send(int fd, char *s, uint32_t n) { return (int)send(fd, s, n, MSG_NOSIGNAL); }

// 1, or 0 when the banner could not be written and the connection is dropped.
static int print_banner(int fd) {
  buffer_init(&b, banner_send, fd, bspace, sizeof bspace);
  if (buffer_putsflush(&b, banner) != -1) return 1;
  strerr_warnsys(self, dropping, "unable to print banner: ");
  return 0;
}

static void peer_ids(int fd) {
  uint32_t u, g;
  if (flagpeereid) {
    if (ipc_eid(fd, &u, &g) == -1) drop_eid();
  } else {
    u = (uint32_t)geteuid();
    g = (uint32_t)getegid();
  }
  remoteeuid = u;
  remoteeuidstr[fmt_ulong(remoteeuidstr, u)] = 0;
  remoteegidstr[fmt_ulong(remoteegidstr, g)] = 0;
  env("IPCREMOTEEUID", flagpeereid ? remoteeuidstr : nullptr);
  env("IPCREMOTEEGID", flagpeereid ? remoteegidstr : nullptr);
}

// -G: the peer's supplementary groups as the kernel kept them when it
// connected, for the rules and the served code.  With -P there is no peer
// to speak of: no group keys, no variable.
static void peer_groups(int fd) {
  rulesdb.db.groups = nullptr;
  if (!flaggroups) return;
  if (flagpeereid && ipc_groups(fd, &remotegroups) == -1) drop_groups();
  env("IPCREMOTEGROUPS", flagpeereid ? remotegroups.bytes : nullptr);
  if (flagpeereid) rulesdb.db.groups = remotegroups.bytes;
}

// The database stays mapped between connections while its file is
// unchanged; a missing one is allowed with -X.  1, or 0 when the file was
// cut short while it was read: that connection is dropped, and the next
// one reads the file afresh.
static int apply_rules() {
  flagdeny = 0;
  int r = rulesmap_find(&rulesdb, fnrules, remoteeuidstr, remoteegidstr);
  if (r == 1) found(rulesdb.db.value.bytes, rulesdb.db.value.length);
  if (r != -1) return 1;
  if (errno == error_noent && flagallownorules) return 1;
  if (!rulesdb.faulted) drop_rules();
  strerr_warnsys(self, dropping, "unable to read ", fnrules, ": ");
  return 0;
}

// The peer chose its path: it goes in cleaned, so that it cannot end the
// line and forge another.
static void log_pid() {
  tmp.length = 0;
  safecats(remotepath);
  if (!stralloc_append(&tmp, "")) drop_nomem();
  strerr_warnx(self, ": pid ", strnum, " from ", tmp.bytes);
}

static void log_admission() {
  tmp.length = 0;
  cats("corvane: ");
  safecats(flagdeny ? "deny" : "ok");
  cats(" ");
  safecats(strnum);
  cats(" ");
  safecats(localpath ? localpath : "");
  cats(" ");
  safecats(remotepath);
  cats(":");
  safecats(remoteeuidstr);
  cats(",");
  safecats(remoteegidstr);
  cats("\n");
  buffer_putflush(buffer_2, tmp.bytes, tmp.length);
}

// The warning that a limit drops this connection, in tmp; empty when
// warnings are off.
static void guard_line(const char *why) {
  tmp.length = 0;
  if (!verbosity) return;
  cats(self);
  cats(dropping);
  cats(why);
  cats(": pid ");
  cats(strnum);
  cats(" from ");
  safecats(remotepath);
  cats(":");
  cats(remoteeuidstr);
  cats(",");
  cats(remoteegidstr);
  cats("\n");
}

// The limits of -C and -t on an admitted connection: 1 to serve it, 0 when
// its uid already has its share of the pool.
static int admit_guard() {
  if (!guard_claim(remoteeuid)) {
    guard_line("per-uid limit reached");
    buffer_putflush(buffer_2, tmp.bytes, tmp.length);
    return 0;
  }
  if (!timelimit) return 1;
  guard_line("time limit reached");
  if (guard_start(tmp.bytes, tmp.length) == -1)
    strerr_diesys(exit_temp, self, dropping, "unable to start timer: ");
  return 1;
}

char **doit(int fd) {
  // A child keeps its process id: format it at its first connection.
  if (!*strnum) strnum[fmt_ulong(strnum, (uint64_t)getpid())] = 0;
  if (verbosity >= 2) log_pid();
  if (*banner && !print_banner(fd)) return nullptr;
  // A child's connections all come from one listening socket: the name
  // the first successful look-up found is the name of every later one.
  localpath = forcelocal;
  int trunc;
  if (!localpath && (*localname || ipc_local(fd, localname, sizeof localname, &trunc) == 0))
    localpath = localname;
  env("PROTO", "IPC");
  env("IPCLOCALPATH", localpath);
  env("IPCREMOTEPATH", remotepath);
  peer_ids(fd);
  peer_groups(fd);
  flagdeny = 0;
  if (fnrules && !apply_rules()) return nullptr;
  if (verbosity >= 2) log_admission();
  if (flagdeny || !admit_guard()) return nullptr;
  return env_set();
}

void done() {
  if (verbosity < 2) return;
  tmp.length = 0;
  cats(self);
  cats(": ");
  cats("done ");
  safecats(strnum);
  cats("\n");
  buffer_putflush(buffer_2, tmp.bytes, tmp.length);
}
