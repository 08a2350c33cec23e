// The child's embedded Perl interpreter: created at the first admitted
// connection, then one %ENV assignment and one subroutine call per
// connection.  The Perl headers stay in this file; they define many macros.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>
#include <perliol.h>

#include "prefork/bridge.hpp"
#include "prefork/corvane.hpp"
#include "support/byte.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

extern char **environ;

static PerlInterpreter *perlinterp;
static char *emptyenv[1] = {nullptr};
static char **perlenv = emptyenv;
static char **serverenv;
static stralloc envassign;

// The interpreter keeps pointers to its argument words for the life of
// the child, so they live in static storage.
static char perlarg0[1] = "";
static char *perlargs[3];

[[noreturn]] static void fail(const char *text) {
  strerr_diex(exit_temp, self, ": fatal: ", text);
}

EXTERN_C void boot_DynaLoader(pTHX_ CV *cv);

// Registers the dynamic loader, so that scripts can load compiled modules.
static void xs_init(pTHX) {
  newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, __FILE__);
}

static void perl_start(const char *file) {
  static int sysargc = 0;
  static char **sysargv = emptyenv;
  static char **sysenv = emptyenv;
  PERL_SYS_INIT3(&sysargc, &sysargv, &sysenv);
  // Let the interpreter own the strings of its environment array, so that
  // assigning %ENV frees the entries it replaces.  Otherwise every
  // assignment hands new strings to putenv, which never frees them, and
  // the child grows with every connection.
  PL_use_safe_putenv = FALSE;
  perlinterp = perl_alloc();
  if (!perlinterp) fail("out of memory");
  perl_construct(perlinterp);
  perlargs[0] = perlarg0;
  perlargs[1] = (char *)file;
  perlargs[2] = nullptr;
  if (perl_parse(perlinterp, xs_init, 2, perlargs, emptyenv)) fail("perl_parse failed");
  if (perl_run(perlinterp)) fail("perl_run failed");
}

// Makes room for the assignment text of environment e, so that it can be
// written without a test per byte: each byte may be escaped, and each
// entry adds two pairs of quotes and two commas.
static void env_ready(char **e) {
  uint64_t n = 8;
  for (; *e; ++e) n += 2 * (uint64_t)str_len(*e) + 6;
  if (n > UINT32_MAX || !stralloc_ready(&envassign, (uint32_t)n)) fail("out of memory");
}

// Copies *s up to its end or to byte stop to out, with a backslash before
// each backslash and quote; leaves *s at the stop, returns the new end.
static char *env_quote(char *out, const char **s, char stop) {
  const char *p = *s;
  for (; *p && *p != stop; ++p) {
    if (*p == '\\' || *p == '\'') *out++ = '\\';
    *out++ = *p;
  }
  *s = p;
  return out;
}

static char *env_copy(char *out, const char *text) {
  while (*text) *out++ = *text++;
  return out;
}

// %ENV=('NAME','value',...) from the connection's environment.
static void env_build(char **e) {
  env_ready(e);
  char *out = env_copy(envassign.bytes, "%ENV=(");
  for (; *e; ++e) {
    const char *s = *e;
    *out++ = '\'';
    out = env_quote(out, &s, '=');
    out = env_copy(out, "','");
    if (*s) {
      ++s;
      out = env_quote(out, &s, 0);
    }
    out = env_copy(out, "',");
  }
  out = env_copy(out, ")");
  *out++ = 0;
  envassign.length = (uint32_t)(out - envassign.bytes);
}

// Opens STDIN and STDOUT on the connection again if an earlier call
// closed them.
static void io_open(pTHX) {
  IO *in = GvIO(PL_stdingv);
  IO *out = GvIO(gv_fetchpvs("STDOUT", GV_ADD, SVt_PVIO));
  if (in && IoIFP(in) && out && IoOFP(out)) return;
  ENTER;
  SAVETMPS;
  if (!in || !IoIFP(in)) eval_pv("open(STDIN, '<&=', 0);", FALSE);
  if (!out || !IoOFP(out)) eval_pv("open(STDOUT, '>&=', 1);", FALSE);
  FREETMPS;
  LEAVE;
}

// Leaves nothing of this connection in the interpreter's handles: what the
// script printed is written now, and unread input and the end-of-input
// state of STDIN are discarded.
static void io_clean(pTHX) {
  PerlIO_flush(nullptr);
  IO *in = GvIO(PL_stdingv);
  if (!in || !IoIFP(in)) return;
  PerlIO *f = IoIFP(in);
  for (PerlIO *l = f; PerlIOValid(l); l = PerlIONext(l)) {
    if (!PerlIO_has_cntptr(l)) continue;
    SSize_t cnt = PerlIO_get_cnt(l);
    if (cnt > 0) PerlIO_set_ptrcnt(l, PerlIO_get_ptr(l) + cnt, 0);
  }
  PerlIO_clearerr(f);
  IoLINES(in) = 0;
}

void server(int, char **argv) {
  if (!argv[0] || !argv[1])
    strerr_diex(exit_perm, self, ": usage: ", self, " icpargs file sub args");
  serverenv = environ;
  environ = perlenv;
  if (!perlinterp) perl_start(argv[0]);
  PerlInterpreter *my_perl = perlinterp;
  env_build(serverenv);

  ENTER;
  SAVETMPS;
  eval_pv(envassign.bytes, TRUE);
  FREETMPS;
  LEAVE;

  io_open(aTHX);
  if (call_argv(argv[1], G_VOID | G_DISCARD, argv + 2)) fail("interpreter failed");
  io_clean(aTHX);

  perlenv = environ;
  environ = serverenv;
}
