#include "env.hpp"

#include <unistd.h>

#include <cerrno>

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

int env_queue(stralloc *q, const char *name, const char *value) {
  if (!name) return 1;
  const uint32_t keep = q->length;
  if (stralloc_cats(q, name) && (!value || (stralloc_cats(q, "=") && stralloc_cats(q, value))) &&
      stralloc_catb(q, "", 1))
    return 1;
  q->length = keep;
  return 0;
}

// Applies the queued entry c to the first *live entries of e: the first
// entry of its name (up to c's '=') goes, the last live one takes its
// place, and a setting is appended.
static void env_apply(char **e, uint32_t *live, char *c) {
  const uint32_t k = str_chr(c, '=');
  for (uint32_t j = 0; j < *live; ++j)
    if (!byte_diff(e[j], k, c) && e[j][k] == '=') {
      e[j] = e[--*live];
      break;
    }
  if (c[k] == '=') e[(*live)++] = c;
}

char **env_merge(char *const *base, const stralloc *q) {
  uint32_t n = 0, k = 0;
  while (base && base[n]) ++n;
  for (uint32_t i = 0; i < q->length; ++i)
    if (!q->bytes[i]) ++k;
  const uint64_t bytes = ((uint64_t)n + k + 1) * sizeof(char *);
  if (bytes > UINT32_MAX) {
    errno = error_nomem;
    return nullptr;
  }
  char **e = (char **)alloc((uint32_t)bytes);
  if (!e) return nullptr;
  for (uint32_t i = 0; i < n; ++i) e[i] = base[i];
  for (uint32_t i = 0; i < q->length; i += str_len(q->bytes + i) + 1) env_apply(e, &n, q->bytes + i);
  e[n] = nullptr;
  return e;
}
