// Reports of the rules checkers.  The report callback ends the process as
// soon as the verdict is known, so a lookup that finds a rule never returns.
#include "rulesdb/rulesreport.hpp"

#include <unistd.h>

#include <cstdint>

#include "rulesdb/rules.hpp"
#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/open.hpp"
#include "support/strerr.hpp"

namespace {

const char *fatal;
int flagexec;

// A report that cannot be written is a failure, not a verdict.
void out(const char *s, uint32_t n) {
  if (buffer_put(buffer_stdout, s, n) == -1)
    strerr_diesys(exit_temp, fatal, "unable to write output: ");
}

void outs(const char *s) { out(s, str_len(s)); }

[[noreturn]] void verdict(const char *s) {
  outs(s);
  if (buffer_flush(buffer_stdout) == -1) strerr_diesys(exit_temp, fatal, "unable to write output: ");
  _exit(0);
}

// One instruction of n bytes (its NUL not counted).
void instruction(const char *s, uint32_t n) {
  if (!n) return;
  if (s[0] == 'D') verdict("deny connection\n");
  if (s[0] == '+') {
    outs("set environment variable ");
    out(s + 1, n - 1);
    out("\n", 1);
  } else if (s[0] == '=' && flagexec) {
    outs("execute ");
    out(s + 1, n - 1);
    out("\n", 1);
  }
}

void found(char *value, uint32_t len) {
  outs("rule ");
  out(rules_name.bytes, rules_name.length);
  out(":\n", 2);
  // Bytes after the last NUL are no instruction.
  for (uint32_t i = 0;;) {
    uint32_t n = byte_chr(value + i, len - i, 0);
    if (n == len - i) break;
    instruction(value + i, n);
    i += n + 1;
  }
  verdict("allow connection\n");
}

}  // namespace

void rulesreport_lookup(const char *fatalprefix, const char *fn, const char *uid, const char *gid,
                        const char *cmd) {
  fatal = fatalprefix;
  flagexec = cmd != nullptr;
  int fd = open_read(fn);
  int r = -1;
  if (fd != -1) r = cmd ? rules_exec(found, fd, uid, gid, cmd) : rules(found, fd, uid, gid);
  if (r == -1) strerr_diesys(exit_temp, fatal, "unable to read ", fn, ": ");
  outs("default:\n");
  verdict("allow connection\n");
}
