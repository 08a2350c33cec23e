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
  const char *v = strchrnul(e, '=');
  PUSHs(sv_2mortal(newSVpvn(e, (STRLEN)(v - e))));
  if (*v) ++v;
  PUSHs(sv_2mortal(newSVpvn(v, std::strlen(v))));
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
// assigning the whole list again.  Anything else takes the full way.  The
// check finds each element's entry in its bucket of the hash, instead of
// looking its name up, and compares each entry with one string compare.
struct bridgeenv_elem {
  // NAME=value and a NUL at envtext + text.
  uint32_t text, namelen, valuelen;
  // 1 when the connection's value differs from the recorded one.
  char changed;
  // The element's entry in the hash, in bucket `bucket`, its key, value,
  // the value's flags and magic.
  HE *he;
  STRLEN bucket;
  HEK *hek;
  SV *sv;
  U32 flags;
  MAGIC *mg;
};
static stralloc envtext;
static stralloc envelems;  // bridgeenv_elem records
static uint64_t envcount;
static int envknown;  // 1 when the records describe what the last call left
static GV *envgv;
static HV *envhv;
static U32 envhvflags;
static STRLEN envhvmax;
static MAGIC *envhvmg;

static bridgeenv_elem *bridgeenv_elems() {
  return (bridgeenv_elem *)(void *)envelems.bytes;
}

// Copies entries e (n of them) into the records as the process environment
// holds them: NAME=value (an entry without '=' has the empty value).
static void bridgeenv_text(char **e, uint64_t n) {
  bridgeenv_elem *r = bridgeenv_elems();
  envtext.length = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const char *v = strchrnul(e[i], '=');
    const uint64_t k = (uint64_t)(v - e[i]);
    if (*v) ++v;
    const uint64_t len = std::strlen(v);
    if (k + len + 2 > UINT32_MAX - envtext.length ||
        !stralloc_readyplus(&envtext, (uint32_t)(k + len + 2)))
      fail("out of memory");
    char *t = envtext.bytes + envtext.length;
    std::memcpy(t, e[i], k);
    t[k] = '=';
    std::memcpy(t + k + 1, v, len + 1);
    r[i].text = envtext.length;
    r[i].namelen = (uint32_t)k;
    r[i].valuelen = (uint32_t)len;
    envtext.length += (uint32_t)(k + len + 2);
  }
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

// 1 when %ENV's magic is the environment's alone, as the assignment left it.
static int bridgeenv_envmagic(MAGIC *mg) {
  return mg && mg->mg_type == PERL_MAGIC_env && !mg->mg_moremagic;
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

// 1 when the process environment is exactly the records' entries, in
// their order (what the assignment gives for distinct names).
static int bridgeenv_cmatch() {
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < envcount; ++i)
    if (!environ[i] || std::strcmp(environ[i], envtext.bytes + r[i].text)) return 0;
  return !environ[envcount];
}

// 1 when record r's entry is still in its bucket of hv, with the same key
// and value, the value untouched.
static int bridgeenv_helem(HV *hv, const bridgeenv_elem *r) {
  HE *he = HvARRAY(hv)[r->bucket];
  while (he && he != r->he) he = HeNEXT(he);
  if (!he) return 0;
  HEK *k = HeKEY_hek(he);
  const char *t = envtext.bytes + r->text;
  if (k != r->hek || HEK_LEN(k) != (I32)r->namelen || HEK_FLAGS(k) ||
      std::memcmp(HEK_KEY(k), t, r->namelen))
    return 0;
  SV *sv = HeVAL(he);
  if (sv != r->sv || SvFLAGS(sv) != r->flags || SvMAGIC(sv) != r->mg) return 0;
  return bridgeenv_plain(sv, t + r->namelen + 1, r->valuelen);
}

// 1 when %ENV (same glob, hash, hash flags, size and magic, no iteration
// under way) holds exactly the recorded elements, each untouched.
static int bridgeenv_hmatch(pTHX) {
  GV *gv = nullptr;
  HV *hv = bridgeenv_hash(aTHX_ &gv);
  if (!hv || gv != envgv || hv != envhv || SvFLAGS(hv) != envhvflags) return 0;
  if (SvMAGIC(hv) != envhvmg || !bridgeenv_envmagic(SvMAGIC(hv))) return 0;
  if ((uint64_t)HvTOTALKEYS(hv) != envcount || HvMAX(hv) != envhvmax) return 0;
  if (HvRITER_get(hv) != -1 || HvEITER_get(hv) || (envcount && !HvARRAY(hv))) return 0;
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < envcount; ++i)
    if (!bridgeenv_helem(hv, r + i)) return 0;
  return 1;
}

// Records entries e (n of them) as what %ENV and the environment now hold;
// envknown says whether they verifiably do.  As many keys as entries means
// that the names were distinct.
static void bridgeenv_record(pTHX_ char **e, uint64_t n) {
  envknown = 0;
  if (n * sizeof(bridgeenv_elem) > UINT32_MAX ||
      !stralloc_ready(&envelems, (uint32_t)(n * sizeof(bridgeenv_elem))))
    fail("out of memory");
  bridgeenv_text(e, n);
  envcount = n;
  envhv = bridgeenv_hash(aTHX_ &envgv);
  if (PL_perldb || !envhv) return;
  envhvflags = SvFLAGS(envhv);
  envhvmax = HvMAX(envhv);
  envhvmg = SvMAGIC(envhv);
  if (!bridgeenv_envmagic(envhvmg) || (uint64_t)HvTOTALKEYS(envhv) != n) return;
  if (HvRITER_get(envhv) != -1 || HvEITER_get(envhv)) return;
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < n; ++i) {
    const char *t = envtext.bytes + r[i].text;
    HE *he = (HE *)hv_common_key_len(envhv, t, (I32)r[i].namelen, 0, nullptr, 0);
    if (!he || HEK_FLAGS(HeKEY_hek(he))) return;
    if (!bridgeenv_plain(HeVAL(he), t + r[i].namelen + 1, r[i].valuelen)) return;
    r[i].he = he;
    r[i].bucket = HeHASH(he) & HvMAX(envhv);
    r[i].hek = HeKEY_hek(he);
    r[i].sv = HeVAL(he);
    r[i].flags = SvFLAGS(r[i].sv);
    r[i].mg = SvMAGIC(r[i].sv);
  }
  envknown = bridgeenv_cmatch();
}

// 1 when entries e have the recorded names in the recorded order; marks
// the records whose values differ and counts them in *changed.
static int bridgeenv_samenames(char **e, uint64_t n, uint64_t *changed) {
  if (!envknown || n != envcount) return 0;
  bridgeenv_elem *r = bridgeenv_elems();
  for (uint64_t i = 0; i < n; ++i) {
    const char *t = envtext.bytes + r[i].text;
    r[i].changed = 0;
    if (!std::strcmp(e[i], t)) continue;
    const uint32_t k = r[i].namelen;
    if (std::strncmp(e[i], t, k) || (e[i][k] && e[i][k] != '=')) return 0;
    r[i].changed = e[i][k] || r[i].valuelen;
    *changed += (uint64_t)r[i].changed;
  }
  return 1;
}

// Sets, through the element's magic as the assignment does, the values of
// e that differ from the recorded ones, and records them; envknown stays 1
// only if those elements are still plain and the process environment
// holds their new values.
static void bridgeenv_update(pTHX_ char **e, uint64_t n) {
  bridgeenv_elem *r = bridgeenv_elems();
  ENTER;
  SAVETMPS;
  for (uint64_t i = 0; i < n; ++i) {
    if (!r[i].changed) continue;
    const char *v = e[i] + r[i].namelen + (e[i][r[i].namelen] ? 1 : 0);
    sv_setpvn(r[i].sv, v, std::strlen(v));
    SvSETMAGIC(r[i].sv);
  }
  FREETMPS;
  LEAVE;
  bridgeenv_text(e, n);
  for (uint64_t i = 0; i < n; ++i) {
    if (!r[i].changed) continue;
    const char *t = envtext.bytes + r[i].text;
    r[i].flags = SvFLAGS(r[i].sv);
    r[i].mg = SvMAGIC(r[i].sv);
    if (!bridgeenv_plain(r[i].sv, t + r[i].namelen + 1, r[i].valuelen) ||
        !environ[i] || std::strcmp(environ[i], t)) {
      envknown = 0;
      break;
    }
  }
}

// Makes the process environment entries e through the interpreter's own
// calls, as an assignment through %ENV's magic does: emptied, then each
// entry set in order, a later entry of a name replacing the value of the
// earlier one in its place.
static void bridgeenv_cset(pTHX_ char **e) {
  static stralloc name;
  Perl_my_clearenv(aTHX);
  for (; *e; ++e) {
    const uint32_t k = (uint32_t)(strchrnul(*e, '=') - *e);
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
  uint64_t changed = 0;
  // Under the debugger's hooks the call itself is seen: always make it.
  if (!bridgeenv_alwaysfull && !PL_perldb && bridgeenv_samenames(e, n, &changed) &&
      bridgeenv_hmatch(aTHX) && bridgeenv_cmatch()) {
    CLEAR_ERRSV();
    if (changed) bridgeenv_update(aTHX_ e, n);
    CLEAR_ERRSV();
  } else {
    bridgeenv_call(aTHX_ e, n);
    bridgeenv_record(aTHX_ e, n);
  }
  // The assignment sets the process environment only through the magic of
  // the interpreter's environment hash.  A script that replaced the glob
  // (*ENV = {...}, *ENV = *OTHER, undef *ENV) has it fill a plain hash,
  // and the programs it starts would get what an earlier connection left.
  if (!envknown && !bridgeenv_cmatch()) bridgeenv_cset(aTHX_ e);
}
