// tollgant: runs the program that an exec request asks for, as the
// requested user, when the exec rules allow it.  Started once per
// connection with the connection on descriptors 0 and 1 and the server's
// log on descriptor 2.
#include <pwd.h>
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
#include "support/line.hpp"
#include "support/logsafe.hpp"
#include "support/open.hpp"
#include "support/pathrun.hpp"
#include "support/prot.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

#define FATAL "corvane: fatal: "

static const char *fnrules;
static uint32_t uid;          // target uid; 0: no user switch
static uint32_t gid;          // target gid; 0: no group switch
static uint32_t flagerrout = 1;
static int flagdeny;
static int flagprog;          // prog holds a replacement program
static stralloc prog;
static char strnum[FMT_ULONG + 1];
static stralloc cmd;          // uid '.' argument block
static char **args;
static stralloc logline;

[[noreturn]] static void die_nomem() { strerr_diex(exit_temp, FATAL, "out of memory"); }

/// Dies on a failed request read: bad request or out of memory.
[[noreturn]] static void die_request() {
  if (errno == error_nomem) die_nomem();
  errno = error_proto;
  strerr_diesys(exit_temp, FATAL, "bad ipc request: ");
}

[[noreturn]] static void die_rules() {
  strerr_diesys(exit_temp, FATAL, "unable to read ", fnrules, ": ");
}

// ---- request ----

static void request_read() {
  int64_t r = request_num(buffer_stdin);
  if (r == -1) die_request();
  uid = (uint32_t)r;
  struct passwd *pw = getpwuid(uid);
  strnum[fmt_ulong(strnum, uid)] = 0;
  if (!pw) strerr_diex(exit_temp, FATAL, "unknown uid ", strnum);
  gid = (uint32_t)pw->pw_gid;
  if (!stralloc_copys(&cmd, strnum)) die_nomem();
  if (!stralloc_cats(&cmd, ".")) die_nomem();
  r = request_num(buffer_stdin);
  if (r == -1) die_request();
  if (request_block(buffer_stdin, &cmd, (int32_t)(uint32_t)r, &args) == -1) die_request();
}

// ---- rules ----

/// Queues one NAME=value setting of a rule (s points past the '+').
static void found_setting(char *s) {
  uint32_t k = str_chr(s, '=');
  if (!s[k]) return;
  s[k] = 0;
  if (!pathrun_env(s, s + k + 1)) die_nomem();
  if (!str_diff(s, "IPCUID")) scan_unsigned(s + k + 1, &uid);
  if (!str_diff(s, "IPCGID")) scan_unsigned(s + k + 1, &gid);
  if (!str_diff(s, "IPCERROUT")) scan_unsigned(s + k + 1, &flagerrout);
}

static void found_exec(char *data, uint32_t len) {
  uint32_t next;
  for (uint32_t i = 0; i < len; i += next + 1) {
    next = byte_chr(data + i, len - i, 0);
    if (next == len - i) return;
    switch (data[i]) {
      case '+': found_setting(data + i + 1); break;
      case 'D': flagdeny = 1; break;
      case '=':
        // The value goes away when the lookup returns: keep a copy.
        if (!stralloc_copys(&prog, data + i + 1)) die_nomem();
        if (!stralloc_append(&prog, "")) die_nomem();
        flagprog = 1;
        break;
      default: break;
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
  logcatb(cmd.bytes, byte_chr(cmd.bytes, cmd.length, 0));
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
  if ((x = env_get("IPCUID"))) scan_unsigned(x, &uid);
  if ((x = env_get("IPCGID"))) scan_unsigned(x, &gid);

  int fd = open_read(fnrules);
  if (fd == -1) die_rules();
  // cmd's first string is uid '.' program: the command of the lookup.
  if (rules_exec(found_exec, fd, peeruid, peergid, cmd.bytes) == -1) die_rules();
  close(fd);

  log_request(peeruid, peergid);
  if (flagdeny) _exit(exit_perm);
  if (flagprog) args[0] = prog.bytes;
}

int main(int argc, char **argv) {
  if (argc < 2 || !argv[1]) strerr_diex(exit_perm, "corvane: usage: tollgant rules.cdb ");
  fnrules = argv[1];

  request_read();
  request_check();

  if (gid && prot_gid(gid) == -1) strerr_diesys(exit_temp, FATAL, "unable to set gid: ");
  if (uid && prot_uid(uid) == -1) strerr_diesys(exit_temp, FATAL, "unable to set uid: ");
  if (flagerrout && fd_copy(2, 1) == -1) strerr_diesys(exit_temp, FATAL, "unable to copy fd: ");
  pathrun(args);
  strerr_diesys(exit_temp, FATAL, "unable to run ", args[0], ": ");
}
