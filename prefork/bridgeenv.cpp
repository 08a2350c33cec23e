// The connection's %ENV in the child's interpreter: a subroutine compiled
// once assigns it, or, when the last assignment's result is verifiably
// untouched, only the values that changed are set.
//
// The invariant: after bridgeenv_assign, %ENV, $@ and the eval sequence
// number are exactly what the full assignment (%ENV = the connection's
// list, run as a string eval) would have left, and the process environment
// is the connection's entries, NAME=value in their order (a later entry of
// a name in the place of the first): what that assignment leaves through
// %ENV's magic, and so also when the script has replaced the glob.
// The in-place way rests on Perl's internals (hash flags, magic chains,
// the eval counter), so every check below errs towards the full way; built
// with BRIDGEENV_ALWAYS_FULL defined, the full way is always taken, and the
// tests run against both builds.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>

#include <cstring>

#include "prefork/bridge-internal.hpp"
#include "prefork/state.hpp"
#include "support/byte.hpp"
#include "support/fmt.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

extern char **environ;

#ifdef BRIDGEENV_ALWAYS_FULL
static constexpr bool bridgeenv_alwaysfull = true;
#else
static constexpr bool bridgeenv_alwaysfull = false;
#endif

[[noreturn]] static void fail(const char *text) {
  strerr_diex(exit_temp, self, fatal, text);
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

static void bridgeenv_files(pTHX) {
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

static void bridgeenv_name(pTHX) {
  char name[sizeof envfilemax];
  uint32_t len = 0;
  for (const char *t = "(eval "; *t;) name[len++] = *t++;
  len += fmt_ulong(name + len, PL_evalseq);
  name[len++] = ')';
  name[len] = 0;
  for (char *f : envfile)
    if (f) byte_copy(f, len + 1, name);
}

void bridgeenv_compile(pTHX) {
  // The compilation takes no number from the string evals' sequence: the
  // script's own evals keep the names (eval N) they had.
  U32 seq = PL_evalseq;
  ENTER;
  SAVETMPS;
  SV *sub = eval_pv("my $name = 'main::ENV'; sub { %$name = @_; 1 }", TRUE);
  PL_evalseq = seq;
  if (!SvROK(sub) || SvTYPE(SvRV(sub)) != SVt_PVCV) fail("perl_parse failed");
  envassign = (CV *)SvREFCNT_inc_simple_NN(SvRV(sub));
  bridgeenv_files(aTHX);
  FREETMPS;
  LEAVE;
}

// Pushes the name and the value of entry e (split at its first '='; no
// '=': all name, empty value) as two new temporaries.
static SV **bridgeenv_push(pTHX_ SV **sp, const char *e) {
  uint32_t n = str_chr(e, '=');
  const char *v = e + n + (e[n] ? 1 : 0);
  PUSHs(sv_2mortal(newSVpvn(e, n)));
  PUSHs(sv_2mortal(newSVpvn(v, str_len(v))));
  return sp;
}

// %ENV = (NAME, value, ...) from the connection's environment e, through
// the subroutine.  The call is made the way a string eval with the
// raise-on-error flag runs its code: $@ is emptied before and after, an
// error is raised again outside the eval, and the statement's file is the
// eval's name.  The subroutine returns true; a call that died leaves undef.
static void bridgeenv_call(pTHX_ char **e, uint64_t n) {
  dSP;
  ENTER;
  SAVETMPS;
  bridgeenv_name(aTHX);
  PUSHMARK(SP);
  EXTEND(SP, (SSize_t)(2 * n));
  for (; *e; ++e) SP = bridgeenv_push(aTHX_ SP, *e);
  PUTBACK;
  call_sv((SV *)envassign, G_SCALAR | G_EVAL);
  SPAGAIN;
  SV *done = POPs;
  PUTBACK;
  if (!SvTRUE(done)) croak_sv(ERRSV);
  FREETMPS;
  LEAVE;
}

// What the last assignment left, so that the next one can tell whether
// %ENV and the C environment are still exactly that: then it only has to
// set the values that differ, which gives the same %ENV and environment as
// assigning the whole list again.  Anything else takes the full way.
struct bridgeenv_elem {
  SV *sv;
  U32 flags;
  MAGIC *mg;
  uint32_t name, namelen, value, valuelen;  // in envtext
};
static stralloc envtext;   // the names and values, each followed by a NUL
static stralloc envelems;  // bridgeenv_elem records
static uint64_t envcount;
static int envknown;  // 1 when the records describe what the last call left
static GV *envgv;
static HV *envhv;
static U32 envhvflags;
static MAGIC *envhvmg;

static bridgeenv_elem *bridgeenv_elems() {
  return (bridgeenv_elem *)(void *)envelems.bytes;
}

// The hash that the subroutine's %{'main::ENV'} names now, found without
// creating anything; null when main:: or its ENV entry is not the plain
// glob kind this check understands.
static HV *bridgeenv_hash(pTHX_ GV **gv) {
  SV **p = hv_fetchs(PL_defstash, "main::", 0);
  if (!p || !isGV_with_GP(*p) || GvHV((GV *)*p) != PL_defstash) return nullptr;
  p = hv_fetchs(PL_defstash, "ENV", 0);
  if (!p || !isGV_with_GP(*p)) return nullptr;
  *gv = (GV *)*p;
  return GvHV(*gv);
}

// 1 when sv is a plain string holding value with %ENV's element magic
// alone, referenced by the hash alone.
static int bridgeenv_plain(SV *sv, const char *value, uint32_t len) {
  if (SvREFCNT(sv) != 1 || SvTYPE(sv) != SVt_PVMG || SvOBJECT(sv) || SvREADONLY(sv)) return 0;
  if (!SvPOK(sv) || SvUTF8(sv) || SvIOKp(sv) || SvNOKp(sv) || SvROK(sv)) return 0;
  MAGIC *mg = SvMAGIC(sv);
  if (!mg || mg->mg_type != PERL_MAGIC_envelem || mg->mg_moremagic) return 0;
  return SvCUR(sv) == len && !std::memcmp(SvPVX(sv), value, len);
}

// 1 when the process environment is exactly NAME=value of the records, in
// their order (what the assignment gives for distinct names).
static int bridgeenv_cmatch() {
  bridgeenv_elem *r = bridgeenv_elems();
  uint64_t i = 0;
  for (; i < envcount; ++i) {
    const char *c = environ[i];
    if (!c) return 0;
    if (std::memcmp(c, envtext.bytes + r[i].name, r[i].namelen) || c[r[i].namelen] != '=') return 0;
    if (std::strcmp(c + r[i].namelen + 1, envtext.bytes + r[i].value)) return 0;
  }
  return !environ[i];
}

// 1 when %ENV (same glob, hash, hash flags and magic, no iteration under
// way) holds exactly the recorded elements, each untouched.
static int bridgeenv_hmatch(pTHX) {
  GV *gv = nullptr;
  HV *hv = bridgeenv_hash(aTHX_ &gv);
  if (!hv || gv != envgv || hv != envhv || SvFLAGS(hv) != envhvflags) return 0;
  MAGIC *mg = SvMAGIC(hv);
  if (mg != envhvmg || !mg || mg->mg_type != PERL_MAGIC_env || mg->mg_moremagic) return 0;
  if ((uint64_t)HvUSEDKEYS(hv) != envcount || HvRITER_get(hv) != -1 || HvEITER_get(hv)) return 0;
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < envcount; ++i) {
    SV **svp = hv_fetch(hv, envtext.bytes + r[i].name, (I32)r[i].namelen, 0);
    if (!svp || *svp != r[i].sv || SvFLAGS(*svp) != r[i].flags || SvMAGIC(*svp) != r[i].mg)
      return 0;
    if (!bridgeenv_plain(*svp, envtext.bytes + r[i].value, r[i].valuelen)) return 0;
  }
  return 1;
}

// Records entries e (n of them) as what %ENV and the environment now hold,
// if they verifiably do; envknown says whether they did.
static void bridgeenv_record(pTHX_ char **e, uint64_t n) {
  envknown = 0;
  if (PL_perldb || n > 4096) return;
  envtext.length = 0;
  if (!stralloc_ready(&envelems, (uint32_t)(n * sizeof(bridgeenv_elem)))) fail("out of memory");
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t k = str_chr(e[i], '=');
    const char *v = e[i] + k + (e[i][k] ? 1 : 0);
    r[i].name = envtext.length;
    r[i].namelen = k;
    if (!stralloc_catb(&envtext, e[i], k) || !stralloc_append(&envtext, "")) fail("out of memory");
    r[i].value = envtext.length;
    r[i].valuelen = str_len(v);
    if (!stralloc_cats(&envtext, v) || !stralloc_append(&envtext, "")) fail("out of memory");
    for (uint64_t j = 0; j < i; ++j)
      if (r[j].namelen == k && !std::memcmp(envtext.bytes + r[j].name, e[i], k)) return;
  }
  envcount = n;
  envhv = bridgeenv_hash(aTHX_ &envgv);
  if (!envhv) return;
  envhvflags = SvFLAGS(envhv);
  MAGIC *mg = envhvmg = SvMAGIC(envhv);
  if (!mg || mg->mg_type != PERL_MAGIC_env || mg->mg_moremagic) return;
  if ((uint64_t)HvUSEDKEYS(envhv) != n || HvRITER_get(envhv) != -1 || HvEITER_get(envhv)) return;
  for (uint64_t i = 0; i < n; ++i) {
    SV **svp = hv_fetch(envhv, envtext.bytes + r[i].name, (I32)r[i].namelen, 0);
    if (!svp || !bridgeenv_plain(*svp, envtext.bytes + r[i].value, r[i].valuelen)) return;
    r[i].sv = *svp;
    r[i].flags = SvFLAGS(*svp);
    r[i].mg = SvMAGIC(*svp);
  }
  envknown = bridgeenv_cmatch();
}

// 1 when entries e have the recorded names in the recorded order.
static int bridgeenv_samenames(char **e, uint64_t n) {
  if (!envknown || n != envcount) return 0;
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < n; ++i)
    if (str_chr(e[i], '=') != r[i].namelen ||
        std::memcmp(e[i], envtext.bytes + r[i].name, r[i].namelen))
      return 0;
  return 1;
}

// Sets, through the element's magic as the assignment does, the values of
// e that differ from the recorded ones.
static void bridgeenv_update(pTHX_ char **e, uint64_t n) {
  bridgeenv_elem *r = bridgeenv_elems();
  ENTER;
  SAVETMPS;
  for (uint64_t i = 0; i < n; ++i) {
    const char *v = e[i] + r[i].namelen + (e[i][r[i].namelen] ? 1 : 0);
    uint32_t len = str_len(v);
    if (len == r[i].valuelen && !std::memcmp(v, envtext.bytes + r[i].value, len)) continue;
    sv_setpvn(r[i].sv, v, len);
    SvSETMAGIC(r[i].sv);
  }
  FREETMPS;
  LEAVE;
}

// 1 when the process environment is entries e, in their order, each as
// NAME=value.
static int bridgeenv_cis(char **e) {
  char **c = environ;
  for (; *e; ++e, ++c) {
    if (!*c) return 0;
    uint32_t k = str_chr(*e, '=');
    if (std::strncmp(*c, *e, k) || (*c)[k] != '=') return 0;
    if (std::strcmp(*c + k + 1, *e + k + ((*e)[k] ? 1 : 0))) return 0;
  }
  return !*c;
}

// Makes the process environment entries e through the interpreter's own
// calls, as an assignment through %ENV's magic does: emptied, then each
// entry set in order, a later entry of a name replacing the value of the
// earlier one in its place.
static void bridgeenv_cset(pTHX_ char **e) {
  static stralloc name;
  Perl_my_clearenv(aTHX);
  for (; *e; ++e) {
    uint32_t k = str_chr(*e, '=');
    if (!stralloc_copyb(&name, *e, k) || !stralloc_append(&name, "")) fail("out of memory");
    my_setenv(name.bytes, *e + k + ((*e)[k] ? 1 : 0));
  }
}

// The connection's %ENV: in place when the last assignment's result is
// verifiably untouched and the names are the same, else in full.  Either
// way the call takes the next number of the eval sequence and leaves $@
// empty, as the string eval did.
void bridgeenv_assign(pTHX_ char **e) {
  uint64_t n = 0;
  while (e[n]) ++n;
  if (n > (uint64_t)(SSize_t_MAX / 2 - 1)) fail("out of memory");
  ++PL_evalseq;
  // Under the debugger's hooks the call itself is seen: always make it.
  if (!bridgeenv_alwaysfull && !PL_perldb && bridgeenv_samenames(e, n) && bridgeenv_hmatch(aTHX) &&
      bridgeenv_cmatch()) {
    CLEAR_ERRSV();
    bridgeenv_update(aTHX_ e, n);
    CLEAR_ERRSV();
  } else {
    bridgeenv_call(aTHX_ e, n);
  }
  bridgeenv_record(aTHX_ e, n);
  // The assignment sets the process environment only through the magic of
  // the interpreter's environment hash.  A script that replaced the glob
  // (*ENV = {...}, *ENV = *OTHER, undef *ENV) has it fill a plain hash,
  // and the programs it starts would get what an earlier connection left.
  if (!envknown && !bridgeenv_cis(e)) bridgeenv_cset(aTHX_ e);
}
