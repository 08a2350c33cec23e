// The report of the rules checkers, written while the lookup hands over the
// rule found.
#include "rulesdb/rulesreport.hpp"

#include <errno.h>
#include <unistd.h>

#include <cstdint>

#include "rulesdb/rules.hpp"
#include "support/byte.hpp"
#include "support/open.hpp"

static buffer *report;
static int flagexec;
static int flagdeny;
static int flagfailed;  // a write failed: the report is not continued
static int failerrno;   // the errno of that write

static void fail() {
  flagfailed = 1;
  failerrno = errno;
}

static void out(const char *s, uint32_t n) {
  if (!flagfailed && buffer_put(report, s, n) == -1) fail();
}

static void outs(const char *s) { out(s, str_len(s)); }

// Prints the instructions up to a deny, which ends the report.
static void found(char *value, uint32_t len) {
  outs("rule ");
  out(rules_name.bytes, rules_name.length);
  out(":\n", 2);
  rules_walk w = {value, len};
  char *body;
  uint32_t n;
  while (char letter = rules_next(&w, &body, &n)) {
    if (letter == rules_deny) {
      flagdeny = 1;
      return;
    }
    if (letter == rules_setting) {
      outs("set environment variable ");
      out(body, n);
      out("\n", 1);
    } else if (letter == rules_program && flagexec) {
      outs("execute ");
      out(body, n);
      out("\n", 1);
    }
  }
}

int rulesreport_write(buffer *b, const char *fn, const char *uid, const char *gid,
                      const char *target, const char *program) {
  report = b;
  flagexec = program != nullptr;
  flagdeny = 0;
  flagfailed = 0;
  int fd = open_read(fn);
  if (fd == -1) return rulesreport_unreadable;
  int r = program ? rules_exec(found, fd, uid, gid, target, program) : rules(found, fd, uid, gid);
  int e = errno;
  close(fd);
  errno = e;
  if (r == -1) return rulesreport_unreadable;
  if (r == 0) outs("default:\n");
  outs(flagdeny ? "deny connection\n" : "allow connection\n");
  if (!flagfailed && buffer_flush(report) == -1) fail();
  if (!flagfailed) return 0;
  errno = failerrno;
  return rulesreport_unwritable;
}
