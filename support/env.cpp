#include "env.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "alloc.hpp"
#include "byte.hpp"
#include "error.hpp"

extern char **environ;

const char *env_get(const char *name) {
  if (!name) return nullptr;
  const uint32_t len = str_len(name);
  for (char **e = environ; e && *e; ++e)
    if (str_start(*e, name) && (*e)[len] == '=') return *e + len + 1;
  return nullptr;
}

void env_unset(const char *name) {
  const uint32_t len = str_len(name);
  char **to = environ;
  for (char **e = environ; e && *e; ++e)
    if (!str_start(*e, name) || (*e)[len] != '=') *to++ = *e;
  if (to) *to = nullptr;
}

// The string functions here are the C library's: the connection's
// environment is built with them once per connection.
int env_queue(stralloc *q, const char *name, const char *value) {
  if (!name) return 1;
  const uint64_t n = std::strlen(name);
  const uint64_t v = value ? std::strlen(value) : 0;
  const uint64_t need = n + (value ? 1 + v : 0) + 1;
  if (need > UINT32_MAX) {
    errno = error_nomem;
    return 0;
  }
  if (!stralloc_readyplus(q, (uint32_t)need)) return 0;
  char *s = q->bytes + q->length;
  std::memcpy(s, name, n);
  s += n;
  if (value) {
    *s++ = '=';
    std::memcpy(s, value, v);
    s += v;
  }
  *s = 0;
  q->length += (uint32_t)need;
  return 1;
}

// A 256-bit filter of the names of the live entries: a name whose bit is
// clear names no live entry, so that most queued entries need no scan.
// The bit comes from the name's length, its first two and last three bytes.
static uint32_t env_bit(const char *s, uint32_t k) {
  uint32_t h = k * 0x9e3779b1u;
  if (k) h ^= (unsigned char)s[0] * 0x85ebca6bu ^ (unsigned char)s[k - 1] * 0xc2b2ae35u;
  if (k > 1) h ^= (unsigned char)s[1] * 0x27d4eb2fu ^ (unsigned char)s[k - 2] * 0x165667b1u;
  if (k > 2) h ^= (unsigned char)s[k - 3] * 0x9e3779b9u;
  return h >> 24;
}

static int env_has(const uint64_t *f, uint32_t b) { return (int)(f[b >> 6] >> (b & 63) & 1); }
static void env_add(uint64_t *f, uint32_t b) { f[b >> 6] |= uint64_t{1} << (b & 63); }

// Length of the name of entry s: up to its first '=' or its end.
static uint32_t env_namelen(const char *s) { return (uint32_t)(strchrnul(s, '=') - s); }

// Applies the queued entry c, whose name is k bytes long, to the first
// *live entries of e: the first entry of its name goes, the last live one
// takes its place, and a setting is appended.
static void env_apply(char **e, uint32_t *live, char *c, uint32_t k, uint64_t *f) {
  const uint32_t b = env_bit(c, k);
  if (env_has(f, b))
    for (uint32_t j = 0; j < *live; ++j) {
      const char *x = e[j];
      // x[1] is there when x[0] is a byte of c's name.
      if (k && (x[0] != c[0] || (k > 1 && x[1] != c[1]))) continue;
      if (std::strncmp(x, c, k) || x[k] != '=') continue;
      e[j] = e[--*live];
      break;
    }
  if (c[k] != '=') return;
  e[(*live)++] = c;
  env_add(f, b);
}

char **env_merge(char *const *base, const stralloc *q) {
  uint32_t n = 0, k = 0;
  while (base && base[n]) ++n;
  const char *end = q->bytes + q->length;
  for (const char *p = q->bytes; p < end; ++k)
    p = (const char *)std::memchr(p, 0, (size_t)(end - p)) + 1;
  const uint64_t bytes = ((uint64_t)n + k + 1) * sizeof(char *);
  if (bytes > UINT32_MAX) {
    errno = error_nomem;
    return nullptr;
  }
  char **e = (char **)alloc((uint32_t)bytes);
  if (!e) return nullptr;
  uint64_t f[4] = {0, 0, 0, 0};
  for (uint32_t i = 0; i < n; ++i) {
    e[i] = base[i];
    const uint32_t m = env_namelen(base[i]);
    if (base[i][m] == '=') env_add(f, env_bit(base[i], m));
  }
  for (char *c = q->bytes; c < end;) {
    const uint32_t m = env_namelen(c);
    env_apply(e, &n, c, m, f);
    c += m + std::strlen(c + m) + 1;
  }
  e[n] = nullptr;
  return e;
}
