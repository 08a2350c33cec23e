// The child's embedded Perl interpreter: created at the first admitted
// connection, then one call of the %ENV assignment and one of the served
// subroutine per connection.  The Perl headers stay in this file; they define many macros.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>
#include <perliol.h>

#include "prefork/bridge.hpp"
#include "prefork/corvane.hpp"
#include "support/byte.hpp"
#include "support/fmt.hpp"
#include "support/strerr.hpp"

extern char **environ;

static PerlInterpreter *perlinterp;
static char *emptyenv[1] = {nullptr};
static char **perlenv = emptyenv;
static char **serverenv;

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

// The subroutine that replaces %ENV with its argument list, compiled once
// per interpreter.  It finds %ENV by name at each call, as the text of a
// string eval compiled at that moment would: a script that replaced the
// glob or the symbol-table entry is followed.
static CV *envassign;

// The file names of the subroutine's statements, renamed at each call to
// the (eval N) the assignment's own string eval would have had, so that a
// message raised in it reads as before.  Threaded builds keep the name of
// each statement in a string of its own, which is rewritten in place.
static char *envfile[4];
static const char envfilemax[] = "(eval 4294967295)";

static void env_files(pTHX) {
#ifdef USE_ITHREADS
  uint32_t n = 0;
  for (OP *o = CvSTART(envassign); o && n < 4; o = o->op_next) {
    if (o->op_type != OP_NEXTSTATE && o->op_type != OP_DBSTATE) continue;
    COP *cop = (COP *)o;
    CopFILE_free(cop);
    CopFILE_setn(cop, envfilemax, sizeof envfilemax - 1);
    envfile[n++] = CopFILE(cop);
  }
#endif
}

static void env_name(pTHX) {
  char name[sizeof envfilemax];
  uint32_t len = 0;
  for (const char *t = "(eval "; *t;) name[len++] = *t++;
  len += fmt_ulong(name + len, PL_evalseq);
  name[len++] = ')';
  name[len] = 0;
  for (char *f : envfile)
    if (f) byte_copy(f, len + 1, name);
}

static void env_compile(pTHX) {
  // The compilation takes no number from the string evals' sequence: the
  // script's own evals keep the names (eval N) they had.
  U32 seq = PL_evalseq;
  ENTER;
  SAVETMPS;
  SV *sub = eval_pv("my $name = 'main::ENV'; sub { %$name = @_; 1 }", TRUE);
  PL_evalseq = seq;
  if (!SvROK(sub) || SvTYPE(SvRV(sub)) != SVt_PVCV) fail("perl_parse failed");
  envassign = (CV *)SvREFCNT_inc_simple_NN(SvRV(sub));
  env_files(aTHX);
  FREETMPS;
  LEAVE;
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
  env_compile(perlinterp);
}

// Pushes the name and the value of entry e (split at its first '='; no
// '=': all name, empty value) as two new temporaries.
static SV **env_push(pTHX_ SV **sp, const char *e) {
  uint32_t n = str_chr(e, '=');
  const char *v = e + n + (e[n] ? 1 : 0);
  PUSHs(sv_2mortal(newSVpvn(e, n)));
  PUSHs(sv_2mortal(newSVpvn(v, str_len(v))));
  return sp;
}

// %ENV = (NAME, value, ...) from the connection's environment e.  The call
// is made the way a string eval with the raise-on-error flag runs its
// code: $@ is emptied before and after, an error is raised again outside
// the eval, and each call takes the next number of the eval sequence.
// The subroutine returns true; a call that died leaves undef instead.
static void env_assign(pTHX_ char **e) {
  uint64_t n = 0;
  while (e[n]) ++n;
  if (n > (uint64_t)(SSize_t_MAX / 2 - 1)) fail("out of memory");
  dSP;
  ENTER;
  SAVETMPS;
  ++PL_evalseq;
  env_name(aTHX);
  PUSHMARK(SP);
  EXTEND(SP, (SSize_t)(2 * n));
  for (; *e; ++e) SP = env_push(aTHX_ SP, *e);
  PUTBACK;
  call_sv((SV *)envassign, G_SCALAR | G_EVAL);
  SPAGAIN;
  SV *done = POPs;
  PUTBACK;
  if (!SvTRUE(done)) croak_sv(ERRSV);
  FREETMPS;
  LEAVE;
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
  env_assign(aTHX_ serverenv);

  io_open(aTHX);
  if (call_argv(argv[1], G_VOID | G_DISCARD, argv + 2)) fail("interpreter failed");
  io_clean(aTHX);

  perlenv = environ;
  environ = serverenv;
}
