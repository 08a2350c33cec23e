// Admission of one connection: banner, connection variables, the rules
// lookup, the admission line, and the environment the served code sees.
#include "prefork/admit.hpp"

#include <errno.h>
#include <unistd.h>

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
  alloc_free(connenv);
  connenv = nullptr;
  envplus.length = 0;
}

static void print_banner(int fd) {
  buffer_init(&b, buffer_unixwrite, fd, bspace, sizeof bspace);
  if (buffer_putsflush(&b, banner) == -1)
    strerr_diesys(exit_temp, self, dropping,
                  "unable to print banner: ");
}

static void peer_ids(int fd) {
  uint32_t u, g;
  if (flagpeereid) {
    if (ipc_eid(fd, &u, &g) == -1) drop_eid();
  } else {
    u = (uint32_t)geteuid();
    g = (uint32_t)getegid();
  }
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
// unchanged; a missing one is allowed with -X.
static void apply_rules() {
  flagdeny = 0;
  int r = rulesmap_find(&rulesdb, fnrules, remoteeuidstr, remoteegidstr);
  if (r == 1) found(rulesdb.db.value.bytes, rulesdb.db.value.length);
  if (r != -1) return;
  if (errno == error_noent && flagallownorules) return;
  drop_rules();
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

char **doit(int fd) {
  // A child keeps its process id: format it at its first connection.
  if (!*strnum) strnum[fmt_ulong(strnum, (uint64_t)getpid())] = 0;
  if (verbosity >= 2) log_pid();
  if (*banner) print_banner(fd);
  localpath = forcelocal;
  int trunc;
  if (!localpath && ipc_local(fd, localname, sizeof localname, &trunc) == 0)
    localpath = localname;
  env("PROTO", "IPC");
  env("IPCLOCALPATH", localpath);
  env("IPCREMOTEPATH", remotepath);
  peer_ids(fd);
  peer_groups(fd);
  flagdeny = 0;
  if (fnrules) apply_rules();
  if (verbosity >= 2) log_admission();
  if (flagdeny) return nullptr;
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
