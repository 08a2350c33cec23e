// tollgant: runs the program that an exec request asks for, as the
// requested user, when the exec rules allow it.  Started once per
// connection with the connection on descriptors 0 and 1 and the server's
// log on descriptor 2.
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>

#include "execsvc/request.hpp"
#include "rulesdb/rules.hpp"
#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/env.hpp"
#include "support/error.hpp"
#include "support/fd.hpp"
#include "support/fmt.hpp"
#include "support/logsafe.hpp"
#include "support/open.hpp"
#include "support/pathrun.hpp"
#include "support/prot.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

static constexpr const char *fatal = "corvane: fatal: ";

static const char *fnrules;
static uint32_t uid;          // target uid; 0: no user switch
static uint32_t gid;          // target gid; 0: no group switch
static uint32_t flagerrout = 1;
static int flagdeny;
static int flagprog;          // prog holds a replacement program
static stralloc prog;
static char strnum[FMT_ULONG + 1];  // target uid
static stralloc block;        // the request's argument block
static char **args;
static stralloc command;      // of the log line: target uid '.' program
static stralloc logline;
static const char *badname;   // the first IPCUID or IPCGID that is not an id
static stralloc badvalue;     // its value, cleaned for the log
static stralloc runname;      // the program's name, cleaned for the log

[[noreturn]] static void die_nomem() { strerr_diex(exit_temp, fatal, "out of memory"); }

/// Dies on a failed request read: bad request or out of memory.
[[noreturn]] static void die_request() {
  if (errno == error_nomem) die_nomem();
  errno = error_proto;
  strerr_diesys(exit_temp, fatal, "bad ipc request: ");
}

[[noreturn]] static void die_rules() {
  strerr_diesys(exit_temp, fatal, "unable to read ", fnrules, ": ");
}

// ---- request ----

static void request_read() {
  int64_t r = request_num(buffer_stdin);
  if (r == -1) die_request();
  uid = (uint32_t)r;
  struct passwd *pw = getpwuid(uid);
  strnum[fmt_ulong(strnum, uid)] = 0;
  if (!pw) strerr_diex(exit_temp, fatal, "unknown uid ", strnum);
  gid = (uint32_t)pw->pw_gid;
  r = request_num(buffer_stdin);
  if (r == -1) die_request();
  if (request_block(buffer_stdin, &block, (int32_t)(uint32_t)r, &args) == -1) die_request();
}

// ---- rules ----

/// Reads the IPCUID or IPCGID value s into *id: empty is 0 (no switch), else
/// it must be decimal digits within 32 bits.  Any other value is noted, and
/// refuses the request: read as leading digits, 'nobody' or '-1' would be 0,
/// and the program would run as root.
static void id_scan(const char *name, const char *s, uint32_t *id) {
  uint64_t u = 0;
  uint32_t i = 0;
  for (; s[i] >= '0' && s[i] <= '9' && u <= UINT32_MAX; ++i) u = u * 10 + (uint64_t)(s[i] - '0');
  if (!s[i] && u <= UINT32_MAX) {
    *id = (uint32_t)u;
    return;
  }
  if (badname) return;
  badname = name;
  if (!logsafe_cat(&badvalue, s, str_len(s))) die_nomem();
  if (!stralloc_append(&badvalue, "")) die_nomem();
}

/// Queues one NAME=value setting of a rule (body: the setting's bytes after its letter).
static void found_setting(char *body) {
  char *value = rules_setting_value(body);
  if (!value) return;
  if (!pathrun_env(body, value)) die_nomem();
  if (!str_diff(body, "IPCUID")) id_scan("IPCUID", value, &uid);
  if (!str_diff(body, "IPCGID")) id_scan("IPCGID", value, &gid);
  if (!str_diff(body, "IPCERROUT")) scan_unsigned(value, &flagerrout);
}

static void found_exec(char *value, uint32_t len) {
  rules_walk w = {value, len};
  char *body;
  uint32_t n;
  while (char letter = rules_next(&w, &body, &n)) {
    if (letter == rules_setting) found_setting(body);
    if (letter == rules_deny) flagdeny = 1;
    if (letter == rules_program) {
      // The value is the lookup record's, local to request_check: keep a copy.
      if (!stralloc_copyb(&prog, body, n + 1)) die_nomem();
      flagprog = 1;
    }
  }
}

// Appends the n bytes at s, cleaned for the log.
static void logcatb(const char *s, uint32_t n) {
  if (!logsafe_cat(&logline, s, n)) die_nomem();
}

static void logcats(const char *s) { logcatb(s, str_len(s)); }

static void log_request(const char *peeruid, const char *peergid) {
  if (!stralloc_copys(&logline, "tollgant: ")) die_nomem();
  logcats(flagdeny ? "deny" : "ok");
  if (!stralloc_cats(&logline, " ")) die_nomem();
  logcats(peeruid);
  if (!stralloc_cats(&logline, ".")) die_nomem();
  logcats(peergid);
  if (!stralloc_cats(&logline, ",")) die_nomem();
  // The command of the lookup, cleaned and cut as one text.
  if (!rules_command(&command, strnum, args[0])) die_nomem();
  logcatb(command.bytes, command.length);
  if (!stralloc_cats(&logline, "\n")) die_nomem();
  buffer_putflush(buffer_2, logline.bytes, logline.length);
}

static void request_check() {
  const char *peeruid = env_get("IPCREMOTEEUID");
  const char *peergid = env_get("IPCREMOTEEGID");
  const char *x;
  if (!peeruid) peeruid = "";
  if (!peergid) peergid = "";
  if ((x = env_get("IPCERROUT"))) scan_unsigned(x, &flagerrout);
  if ((x = env_get("IPCUID"))) id_scan("IPCUID", x, &uid);
  if ((x = env_get("IPCGID"))) id_scan("IPCGID", x, &gid);

  int fd = open_read(fnrules);
  if (fd == -1) die_rules();
  rules_db db{};
  // The group keys only when the server read the peer's groups.
  db.groups = env_get("IPCREMOTEGROUPS");
  int r = rules_exec(&db, fd, peeruid, peergid, strnum, args[0]);
  if (r == -1) die_rules();
  if (r == 1) found_exec(db.value.bytes, db.value.length);
  close(fd);

  log_request(peeruid, peergid);
  if (flagdeny) _exit(exit_perm);
  if (badname) strerr_diex(exit_perm, fatal, "bad ", badname, ": ", badvalue.bytes);
  if (flagprog) args[0] = prog.bytes;
}

// ---- program start ----

/// Switches group, then user.  Whenever the user changes, the supplementary
/// groups go too: the program keeps one group, the target gid or, without a
/// group switch, its own.
static void ids_switch() {
  if ((gid || uid) && prot_gid(gid ? gid : (uint32_t)getgid()) == -1)
    strerr_diesys(exit_temp, fatal, "unable to set gid: ");
  if (uid && prot_uid(uid) == -1) strerr_diesys(exit_temp, fatal, "unable to set uid: ");
}

/// Closes every descriptor above 2: whatever the server left open (its log
/// files, its own sockets) is not for a program that runs as another user.
static void close_above_2() {
  if (close_range(3, ~0U, 0) == 0) return;
  struct rlimit r;
  int max = 65536;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur != RLIM_INFINITY && r.rlim_cur < (rlim_t)max)
    max = (int)r.rlim_cur;
  for (int fd = 3; fd < max; ++fd) close(fd);
}

/// After a failed start: the program's name may be the peer's, so it is
/// written cleaned, like the log line.
[[noreturn]] static void die_run() {
  int e = errno;
  if (!logsafe_cat(&runname, args[0], str_len(args[0]))) die_nomem();
  if (!stralloc_append(&runname, "")) die_nomem();
  errno = e;
  strerr_diesys(exit_temp, fatal, "unable to run ", runname.bytes, ": ");
}

int main(int argc, char **argv) {
  if (argc < 2 || !argv[1]) strerr_diex(exit_perm, "corvane: usage: tollgant rules.cdb ");
  fnrules = argv[1];

  request_start(REQUEST_TIMEOUT);
  request_read();
  request_check();

  ids_switch();
  if (flagerrout && fd_copy(2, 1) == -1) strerr_diesys(exit_temp, fatal, "unable to copy fd: ");
  close_above_2();
  pathrun(args);
  die_run();
}
