// The report of the rules checkers: the rule the lookup found, its
// instructions and the verdict.
#include "rulesdb/rulesreport.hpp"

#include <errno.h>
#include <unistd.h>

#include <cstdint>

#include "rulesdb/rules.hpp"
#include "support/byte.hpp"
#include "support/open.hpp"

// The report being written: a failed write stops it, and its errno is kept.
struct report {
  buffer *b;
  int failed = 0;
  int failerrno = 0;
};

static void report_fail(report *r) {
  r->failed = 1;
  r->failerrno = errno;
}

static void out(report *r, const char *s, uint32_t n) {
  if (!r->failed && buffer_put(r->b, s, n) == -1) report_fail(r);
}

static void outs(report *r, const char *s) { out(r, s, str_len(s)); }

// Prints the rule found and its instructions up to a deny, which ends the
// report; 1 when the rule denies.
static int report_rule(report *r, const rules_db *db, int flagexec) {
  outs(r, "rule ");
  out(r, db->key.bytes, db->key.length);
  out(r, ":\n", 2);
  rules_walk w = {db->value.bytes, db->value.length};
  char *body;
  uint32_t n;
  while (char letter = rules_next(&w, &body, &n)) {
    if (letter == rules_deny) return 1;
    if (letter == rules_setting) {
      outs(r, "set environment variable ");
      out(r, body, n);
      out(r, "\n", 1);
    } else if (letter == rules_program && flagexec) {
      outs(r, "execute ");
      out(r, body, n);
      out(r, "\n", 1);
    }
  }
  return 0;
}

// One line "try KEY" for each key in tried, each ended by a NUL.
static void report_tried(report *r, const stralloc *tried) {
  for (uint32_t i = 0; i < tried->length;) {
    uint32_t n = byte_chr(tried->bytes + i, tried->length - i, 0);
    outs(r, "try ");
    out(r, tried->bytes + i, n);
    out(r, "\n", 1);
    i += n + 1;
  }
}

int rulesreport_write(buffer *b, const char *fn, const char *uid, const char *gid,
                      const char *groups, const char *target, const char *program) {
  report rep = {b};
  // The lookup's record lives as long as the program, as its strings do.
  static rules_db db;
  static stralloc tried;
  db.groups = groups;
  if (groups) db.tried = &tried;
  int fd = open_read(fn);
  if (fd == -1) return rulesreport_unreadable;
  int r = program ? rules_exec(&db, fd, uid, gid, target, program) : rules(&db, fd, uid, gid);
  int e = errno;
  close(fd);
  errno = e;
  if (r == -1) return rulesreport_unreadable;
  report_tried(&rep, &tried);
  int flagdeny = 0;
  if (r == 1)
    flagdeny = report_rule(&rep, &db, program != nullptr);
  else
    outs(&rep, "default:\n");
  outs(&rep, flagdeny ? "deny connection\n" : "allow connection\n");
  if (!rep.failed && buffer_flush(b) == -1) report_fail(&rep);
  if (!rep.failed) return 0;
  errno = rep.failerrno;
  return rulesreport_unwritable;
}
