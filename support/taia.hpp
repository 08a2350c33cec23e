#pragma once
#include <cstdint>

// A time stamp (TAI64 label plus fraction) or a duration.
struct taia {
  uint64_t seconds = 0;
  uint64_t nanoseconds = 0;
  uint64_t attoseconds = 0;
};

/// The current time.
void taia_now(taia *t);
/// A duration of s whole seconds.
void taia_uint(taia *t, uint32_t s);
/// t = u + v (t may alias u or v).
void taia_add(taia *t, const taia *u, const taia *v);
/// t = u - v (t may alias u or v); wraps below zero.
void taia_sub(taia *t, const taia *u, const taia *v);
/// 1 if t is earlier than u, else 0.
int taia_less(const taia *t, const taia *u);
/// Fraction of t in seconds.
double taia_frac(const taia *t);
/// t in seconds.
double taia_approx(const taia *t);
