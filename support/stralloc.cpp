#include "stralloc.hpp"

#include <cerrno>

#include "alloc.hpp"
#include "byte.hpp"
#include "error.hpp"

static int nomem() {
  errno = error_nomem;
  return 0;
}

// Makes sure capacity >= w (w computed without wrapping by the caller).
static int ready_for(stralloc *sa, uint64_t w) {
  if (w > UINT32_MAX) return nomem();
  if (w <= sa->capacity) return 1;
  const uint64_t grown = w + w / 8 + 30;
  if (grown > UINT32_MAX) return nomem();
  void *x = sa->bytes;
  if (!alloc_re(&x, sa->capacity, (uint32_t)grown)) return 0;
  sa->bytes = (char *)x;
  sa->capacity = (uint32_t)grown;
  return 1;
}

// First allocation: exactly n bytes, no slack.
static int first(stralloc *sa, uint64_t n) {
  if (n > UINT32_MAX) return nomem();
  sa->bytes = (char *)alloc((uint32_t)n);
  if (!sa->bytes) return 0;
  sa->length = 0;
  sa->capacity = (uint32_t)n;
  return 1;
}

static int ready64(stralloc *sa, uint64_t n) {
  if (!sa->bytes) return first(sa, n);
  return ready_for(sa, n);
}

static int readyplus64(stralloc *sa, uint64_t n) {
  if (!sa->bytes) return first(sa, n);
  return ready_for(sa, uint64_t{sa->length} + n);
}

int stralloc_ready(stralloc *sa, uint32_t n) { return ready64(sa, n); }

int stralloc_readyplus(stralloc *sa, uint32_t n) { return readyplus64(sa, n); }

int stralloc_copyb(stralloc *sa, const char *s, uint32_t n) {
  if (!ready64(sa, uint64_t{n} + 1)) return 0;
  byte_copy(sa->bytes, n, s);
  sa->length = n;
  sa->bytes[n] = 'Z';
  return 1;
}

int stralloc_copys(stralloc *sa, const char *s) { return stralloc_copyb(sa, s, str_len(s)); }

int stralloc_catb(stralloc *sa, const char *s, uint32_t n) {
  if (!sa->bytes) return stralloc_copyb(sa, s, n);
  if (!readyplus64(sa, uint64_t{n} + 1)) return 0;
  byte_copy(sa->bytes + sa->length, n, s);
  sa->length += n;
  sa->bytes[sa->length] = 'Z';
  return 1;
}

int stralloc_cats(stralloc *sa, const char *s) { return stralloc_catb(sa, s, str_len(s)); }

int stralloc_cat(stralloc *sa, const stralloc *from) {
  return stralloc_catb(sa, from->bytes, from->length);
}

int stralloc_append(stralloc *sa, const char *c) {
  if (!stralloc_readyplus(sa, 1)) return 0;
  sa->bytes[sa->length++] = *c;
  return 1;
}
