#include "taia.hpp"

#include <sys/time.h>

static constexpr uint64_t billion = 1000000000;

void taia_now(taia *t) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  // TAI64 label of UTC counted as TAI - 10 s; the middle of the microsecond.
  t->seconds = (uint64_t{1} << 62) + 10 + (uint64_t)now.tv_sec;
  t->nanoseconds = 1000 * (uint64_t)now.tv_usec + 500;
  t->attoseconds = 0;
}

void taia_uint(taia *t, uint32_t s) {
  t->seconds = s;
  t->nanoseconds = 0;
  t->attoseconds = 0;
}

void taia_add(taia *t, const taia *u, const taia *v) {
  uint64_t s = u->seconds + v->seconds;
  uint64_t ns = u->nanoseconds + v->nanoseconds;
  uint64_t as = u->attoseconds + v->attoseconds;
  if (as >= billion) {
    as -= billion;
    ++ns;
  }
  if (ns >= billion) {
    ns -= billion;
    ++s;
  }
  t->seconds = s;
  t->nanoseconds = ns;
  t->attoseconds = as;
}

void taia_sub(taia *t, const taia *u, const taia *v) {
  const uint64_t unano = u->nanoseconds;
  const uint64_t uatto = u->attoseconds;
  uint64_t s = u->seconds - v->seconds;
  uint64_t ns = unano - v->nanoseconds;
  uint64_t as = uatto - v->attoseconds;
  if (as > uatto) {
    as += billion;
    --ns;
  }
  if (ns > unano) {
    ns += billion;
    --s;
  }
  t->seconds = s;
  t->nanoseconds = ns;
  t->attoseconds = as;
}

int taia_less(const taia *t, const taia *u) {
  if (t->seconds != u->seconds) return t->seconds < u->seconds;
  if (t->nanoseconds != u->nanoseconds) return t->nanoseconds < u->nanoseconds;
  return t->attoseconds < u->attoseconds;
}

double taia_frac(const taia *t) {
  return ((double)t->attoseconds * 0.000000001 + (double)t->nanoseconds) * 0.000000001;
}

double taia_approx(const taia *t) { return (double)t->seconds + taia_frac(t); }
