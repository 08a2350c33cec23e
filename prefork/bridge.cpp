// The child's embedded Perl interpreter: created at the first admitted
// connection, then one %ENV assignment (bridgeenv.cpp) and one call of the
// served subroutine per connection.  The Perl headers stay in the bridge's
// files; they define many macros.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>
#include <perliol.h>

#include "prefork/bridge-internal.hpp"
#include "prefork/bridge.hpp"
#include "prefork/state.hpp"
#include "support/strerr.hpp"

extern char **environ;

static PerlInterpreter *perlinterp;
static char *emptyenv[1] = {nullptr};
// The process environment that the interpreter works on, kept between
// calls; the child's own is current outside them.
static char **perlenv = emptyenv;

// The interpreter keeps pointers to its argument words for the life of
// the child, so they live in static storage.
static char perlarg0[1] = "";
static char *perlargs[3];

[[noreturn]] static void fail(const char *text) {
  strerr_diex(exit_temp, self, fatal, text);
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
  bridgeenv_compile(perlinterp);
}

// Opens STDIN and STDOUT on the connection again if an earlier call
// closed them.  STDOUT is looked up in main:: directly, which costs a
// fraction of a lookup of the name; the open makes it if it is missing.
static void io_open(pTHX) {
  IO *in = GvIO(PL_stdingv);
  SV **p = hv_fetchs(PL_defstash, "STDOUT", 0);
  IO *out = p && isGV_with_GP(*p) ? GvIO((GV *)*p) : nullptr;
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

void server_words(char **argv) {
  if (!argv[0] || !argv[1])
    strerr_diex(exit_perm, self, ": usage: ", self, " icpargs file sub args");
}

// Defined as defined &name sees it: a declaration alone is not enough.
static int sub_defined(pTHX_ const char *name) {
  CV *cv = get_cv(name, 0);
  return cv && (CvROOT(cv) || CvXSUB(cv));
}

void server_load(char **argv) {
  char **childenv = environ;
  environ = perlenv;
  perl_start(argv[0]);
  PerlInterpreter *my_perl = perlinterp;
  if (!sub_defined(aTHX_ argv[1]))
    strerr_diex(exit_temp, self, fatal, "undefined subroutine ", argv[1], " in ", argv[0]);
  // What the main body printed goes where its output went, not to the
  // first connection; what it left of its input is gone.
  io_clean(aTHX);
  perlenv = environ;
  environ = childenv;
}

void server(int, char **argv, char **env) {
  server_words(argv);
  char **childenv = environ;
  environ = perlenv;
  if (!perlinterp) perl_start(argv[0]);
  PerlInterpreter *my_perl = perlinterp;
  bridgeenv_assign(aTHX_ env);

  io_open(aTHX);
  if (call_argv(argv[1], G_VOID | G_DISCARD, argv + 2)) fail("interpreter failed");
  io_clean(aTHX);

  perlenv = environ;
  environ = childenv;
}
