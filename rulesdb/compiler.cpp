// The compiler run: reads the rules text line by line, writes a new
// database under a temporary name and renames it into place.  Every
// failure ends the process with its message.
#include "rulesdb/compiler.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rulesdb/ruleswarn.hpp"
#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/error.hpp"
#include "support/fmt.hpp"
#include "support/logsafe.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

static const char *fatal;
static const char *warning;
static const char *fn;
static const char *fntmp;
static cdbout out;
static stralloc line;
static stralloc key;
static stralloc value;
static stralloc shown;
static uint64_t lineno;
static bool catchall;  // a rule for the empty key was seen

[[noreturn]] static void die_nomem() { strerr_diex(exit_temp, fatal, "out of memory"); }
[[noreturn]] static void die_write() {
  strerr_diesys(exit_temp, fatal, "unable to write to ", fntmp, ": ");
}

// Shows the line as it is; a line holding a NUL, which would cut the
// message short, is shown cleaned as a log line is.
[[noreturn]] static void die_parse(const char *s, uint32_t n) {
  stralloc shown;
  int ok = byte_chr(s, n, 0) < n ? logsafe_cat(&shown, s, n) : stralloc_copyb(&shown, s, n);
  if (!ok || !stralloc_catb(&shown, "", 1)) die_nomem();
  strerr_diex(exit_perm, fatal, "unable to parse this line: ", shown.bytes);
}

// One warning line: the line number, what is wrong, the line as printable
// text (a control byte cannot end the line or move the cursor).
static void warn_line(const char *what, const char *s, uint32_t n) {
  char num[FMT_ULONG + 1];
  num[fmt_ulong(num, lineno)] = 0;
  shown.length = 0;
  if (!logsafe_catprint(&shown, s, n) || !stralloc_catb(&shown, "", 1)) die_nomem();
  strerr_warnx(warning, "line ", num, ": ", what, shown.bytes);
}

static void compile_line(const char *s, uint32_t n, int kind) {
  ++lineno;
  int r = rulestext_parse(s, &n, kind, &key, &value);
  if (r == 1) r = rulestext_add(&out, &key, &value);
  if (r == rulestext_unwritable) die_write();
  if (r == rulestext_unparsable) die_parse(s, n);
  if (r == rulestext_nomem) die_nomem();
  const char *what = r ? ruleswarn_rule(kind, &key, &value) : ruleswarn_line(s, n);
  if (what) warn_line(what, s, n);
  if (r && !key.length) catchall = true;
}

// Reads and compiles every line.  A line that lies whole in the input
// buffer is compiled where it is; one that spans refills is gathered in
// `line` first.
static void compile_input(int kind) {
  for (;;) {
    int n = buffer_load(buffer_stdin);
    if (n == -1) strerr_diesys(exit_temp, fatal, "unable to read input: ");
    if (n == 0) {
      if (line.length) compile_line(line.bytes, line.length, kind);  // no final newline
      if (kind == rulestext_exec && !catchall) strerr_warnx(warning, ruleswarn_nocatchall);
      return;
    }
    const char *s = buffer_view(buffer_stdin);
    uint32_t end = byte_chr(s, n, '\n');
    if (end < (uint32_t)n && !line.length) {
      compile_line(s, end + 1, kind);
      buffer_skip(buffer_stdin, end + 1);
      continue;
    }
    if (end < (uint32_t)n) ++end;
    // A line that cannot grow while it is being read is a failure of the
    // input, not of the handling of a line.
    if (!stralloc_appendb(&line, s, end)) strerr_diesys(exit_temp, fatal, "unable to read input: ");
    if (s[end - 1] == '\n') {
      compile_line(line.bytes, line.length, kind);
      line.length = 0;
    }
    buffer_skip(buffer_stdin, end);
  }
}

static bool same_stat(const struct stat *a, const struct stat *b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// True when the two names are one file (the same name, a link or a
// symbolic link to it).
static bool same_file(const char *a, const char *b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && same_stat(&sa, &sb);
}

// True when name is the file open on standard input.
static bool is_input(const char *name) {
  struct stat si, sn;
  return fstat(0, &si) == 0 && stat(name, &sn) == 0 && same_stat(&si, &sn);
}

// Creates the temporary file afresh, write-only and non-blocking, mode 0644
// less the umask.  The directory may be writable by others: whatever they
// left at the name (a symbolic link to a file of ours, a file of theirs) is
// removed without being followed, and an entry that appears again before
// the create makes it fail (EEXIST) instead of being written through.
// A removal that fails for another reason than absence (a directory there,
// a sticky directory) is the failure reported.
static int open_tmp(const char *fn) {
  if (unlink(fn) == -1 && errno != error_noent) return -1;
  return open(fn, O_WRONLY | O_NONBLOCK | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
}

int compiler_run(int argc, char **argv, int kind, const compiler_texts *texts) {
  if (argc < 3) strerr_diex(exit_perm, texts->usage);
  fatal = texts->fatal;
  warning = texts->warning;
  fn = argv[1];
  fntmp = argv[2];
  // Names given in the wrong order would replace the rules text with the
  // database: nothing is written over the input.
  if (is_input(fn))
    strerr_diex(exit_temp, fatal, "unable to replace ", fn, ": it is the file on standard input");
  if (is_input(fntmp))
    strerr_diex(exit_temp, fatal, "unable to create ", fntmp, ": it is the file on standard input");
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
