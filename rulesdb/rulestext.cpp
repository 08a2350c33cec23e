// Rules texts: parsing one line into a key and a value of instructions,
// expanding uid ranges into records, and the compiler run that writes a new
// database under a temporary name and renames it into place.
#include "rulesdb/rulestext.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "support/buffer.hpp"
#include "support/error.hpp"
#include "support/fmt.hpp"
#include "support/logsafe.hpp"
#include "support/strerr.hpp"

namespace {

// Index of the first c in the n bytes at s, or n.  The compilers scan every
// byte of their input, so this uses the C library's fast scan.
uint32_t find(const char *s, uint32_t n, char c) {
  const void *p = n ? std::memchr(s, (unsigned char)c, n) : nullptr;
  return p ? (uint32_t)((const char *)p - s) : n;
}

// stralloc_catb without the end marker, with the C library's fast copy.
int cat(stralloc *sa, const char *s, uint32_t n) {
  if (sa->capacity - sa->length < n && !stralloc_readyplus(sa, n)) return 0;
  if (n) std::memcpy(sa->bytes + sa->length, s, n);
  sa->length += n;
  return 1;
}

// Unparsed remainder of a line.
struct rest {
  const char *s;
  uint32_t n;
};

void rest_skip(rest *r, uint32_t k) {
  r->s += k;
  r->n -= k;
}

// At a quote byte q: appends the bytes up to the next q and a NUL to value,
// and skips past the closing q.
int rulestext_quoted(rest *r, stralloc *value) {
  if (!r->n) return rulestext_unparsable;
  uint32_t close = 1 + find(r->s + 1, r->n - 1, r->s[0]);
  if (close == r->n) return rulestext_unparsable;
  if (!cat(value, r->s + 1, close - 1)) return rulestext_nomem;
  if (!cat(value, "", 1)) return rulestext_nomem;
  rest_skip(r, close + 1);
  return 0;
}

// "deny" or "allow" (with an optional program for exec rules).
int rulestext_verdict(rest *r, int kind, stralloc *value) {
  if (r->n >= 4 && !std::memcmp(r->s, "deny", 4)) {
    rest_skip(r, 4);
    return cat(value, "D", 2) ? 0 : rulestext_nomem;
  }
  if (r->n < 5 || std::memcmp(r->s, "allow", 5)) return rulestext_unparsable;
  rest_skip(r, 5);
  if (kind != rulestext_exec || !r->n || r->s[0] != '=') return 0;
  if (!cat(value, "=", 1)) return rulestext_nomem;
  rest_skip(r, 1);
  return rulestext_quoted(r, value);
}

// Zero or more "," NAME "=" q VALUE q, each becoming "+" NAME "=" VALUE NUL.
int rulestext_settings(rest *r, stralloc *value) {
  while (r->n) {
    if (r->s[0] != ',') return rulestext_unparsable;
    uint32_t eq = find(r->s, r->n, '=');
    if (eq == r->n) return rulestext_unparsable;
    if (!cat(value, "+", 1)) return rulestext_nomem;
    if (!cat(value, r->s + 1, eq)) return rulestext_nomem;
    rest_skip(r, eq + 1);
    int e = rulestext_quoted(r, value);
    if (e) return e;
  }
  return 0;
}

// A range bound: decimal digits only, empty meaning 0.  A bound too large
// for 64 bits is refused rather than wrapped around.
int rulestext_bound(const char *s, uint32_t n, uint64_t *u) {
  *u = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t d = (unsigned char)s[i] - (unsigned char)'0';
    if (d > 9) return 0;
    if (*u > (UINT64_MAX - d) / 10) return 0;
    *u = *u * 10 + d;
  }
  return 1;
}

stralloc rangekey;

// Adds one record per uid from low to high; the key's tail (from its first
// "," on) follows each number.
int rulestext_range(cdbout *c, uint64_t low, uint64_t high, const char *tail, uint32_t taillen,
                    const stralloc *value) {
  if (low > high) return 0;
  for (uint64_t u = low;; ++u) {
    char num[FMT_ULONG];
    rangekey.length = 0;
    if (!cat(&rangekey, num, fmt_ulong(num, u))) return rulestext_nomem;
    if (!cat(&rangekey, tail, taillen)) return rulestext_nomem;
    if (cdbout_add(c, rangekey.bytes, rangekey.length, value->bytes, value->length) == -1) return -1;
    if (u == high) return 0;
  }
}

}  // namespace

int rulestext_parse(const char *line, uint32_t *len, int kind, stralloc *key, stralloc *value) {
  if (!*len || line[0] == '\n' || line[0] == '#') return 0;
  while (*len) {
    char ch = line[*len - 1];
    if (ch != ' ' && ch != '\t' && ch != '\n') break;
    --*len;
  }
  uint32_t colon = find(line, *len, ':');
  if (colon == *len) return 0;
  // A NUL would end an instruction early and start another: in a value it
  // could smuggle a deny, a program or a setting into the record.
  if (find(line, *len, 0) < *len) return rulestext_unparsable;
  key->length = 0;
  value->length = 0;
  if (!cat(key, line, colon)) return rulestext_nomem;
  rest r = {line + colon + 1, *len - colon - 1};
  int e = rulestext_verdict(&r, kind, value);
  if (!e) e = rulestext_settings(&r, value);
  return e ? e : 1;
}

int rulestext_add(cdbout *c, const stralloc *key, const stralloc *value) {
  uint32_t head = find(key->bytes, key->length, ',');
  uint32_t dash = find(key->bytes, head, '-');
  if (dash == head || find(key->bytes, head, '.') < head)
    return cdbout_add(c, key->bytes, key->length, value->bytes, value->length);
  uint64_t low;
  uint64_t high;
  if (!rulestext_bound(key->bytes, dash, &low)) return rulestext_unparsable;
  if (!rulestext_bound(key->bytes + dash + 1, head - dash - 1, &high)) return rulestext_unparsable;
  return rulestext_range(c, low, high, key->bytes + head, key->length - head, value);
}

// ---- the compiler run ----

namespace {

const char *fatal;
const char *fn;
const char *fntmp;
cdbout out;
stralloc line;
stralloc key;
stralloc value;

[[noreturn]] void die_nomem() { strerr_diex(exit_temp, fatal, "out of memory"); }
[[noreturn]] void die_write() { strerr_diesys(exit_temp, fatal, "unable to write to ", fntmp, ": "); }

// Shows the line as it is; a line holding a NUL, which would cut the
// message short, is shown cleaned as a log line is.
[[noreturn]] void die_parse(const char *s, uint32_t n) {
  stralloc shown;
  int ok = find(s, n, 0) < n ? logsafe_cat(&shown, s, n) : stralloc_copyb(&shown, s, n);
  if (!ok || !stralloc_catb(&shown, "", 1)) die_nomem();
  strerr_diex(exit_perm, fatal, "unable to parse this line: ", shown.bytes);
}

void compile_line(const char *s, uint32_t n, int kind) {
  int r = rulestext_parse(s, &n, kind, &key, &value);
  if (r == 1) r = rulestext_add(&out, &key, &value);
  if (r == -1) die_write();
  if (r == rulestext_unparsable) die_parse(s, n);
  if (r == rulestext_nomem) die_nomem();
}

// Reads and compiles every line, gathered in `line` with one scan of the
// buffered bytes per refill (a line may span several refills).
void compile_input(int kind) {
  for (;;) {
    int n = buffer_load(buffer_stdin);
    if (n == -1) strerr_diesys(exit_temp, fatal, "unable to read input: ");
    if (n == 0) {
      if (line.length) compile_line(line.bytes, line.length, kind);  // no final newline
      return;
    }
    const char *s = buffer_view(buffer_stdin);
    uint32_t end = find(s, n, '\n');
    if (end < (uint32_t)n) ++end;
    if (!cat(&line, s, end)) die_nomem();
    if (s[end - 1] == '\n') {
      compile_line(line.bytes, line.length, kind);
      line.length = 0;
    }
    buffer_skip(buffer_stdin, end);
  }
}

// True when the two names are one file (the same name, a link or a
// symbolic link to it).
bool same_file(const char *a, const char *b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Creates the temporary file afresh, write-only and non-blocking, mode 0644
// less the umask.  The directory may be writable by others: whatever they
// left at the name (a symbolic link to a file of ours, a file of theirs) is
// removed without being followed, and an entry that appears again before
// the create makes it fail (EEXIST) instead of being written through.
int open_tmp(const char *fn) {
  unlink(fn);
  return open(fn, O_WRONLY | O_NONBLOCK | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
}

}  // namespace

int rulestext_compile(int argc, char **argv, int kind, const char *fatalprefix, const char *usage) {
  if (argc < 3) strerr_diex(exit_perm, usage);
  fatal = fatalprefix;
  fn = argv[1];
  fntmp = argv[2];
  // A temporary name that is the database under any name is refused:
  // removing it could take the database from its readers before the new
  // one is complete.
  int fd = -1;
  if (same_file(fntmp, fn))
    errno = error_exist;
  else
    fd = open_tmp(fntmp);
  if (fd == -1) strerr_diesys(exit_temp, fatal, "unable to create ", fntmp, ": ");
  if (cdbout_start(&out, fd) == -1) die_write();
  compile_input(kind);
  if (cdbout_finish(&out) == -1 || fsync(fd) == -1 || close(fd) == -1) die_write();
  if (rename(fntmp, fn) == -1)
    strerr_diesys(exit_temp, fatal, "unable to move ", fntmp, " to ", fn, ": ");
  return 0;
}
