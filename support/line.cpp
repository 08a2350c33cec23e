#include "line.hpp"

#include "byte.hpp"

int line_fetch_split(buffer *b, stralloc *sa, const char **tail, uint32_t *taillen, int sep) {
  if (!stralloc_ready(sa, 0)) return -1;
  sa->length = 0;
  int r = buffer_load(b);
  for (;;) {
    if (r < 0) return -1;
    if (r == 0) {
      *taillen = 0;
      return 0;
    }
    const uint32_t n = (uint32_t)r;
    const char *x = buffer_view(b);
    const uint32_t i = byte_chr(x, n, sep);
    if (i < n) {
      *tail = x;
      *taillen = i + 1;
      buffer_skip(b, i + 1);
      return 0;
    }
    // No separator yet: gather what is there and read on.
    if (!stralloc_readyplus(sa, n)) return -1;
    buffer_take(b, sa->bytes + sa->length, n);
    sa->length += n;
    r = buffer_load(b);
  }
}

int line_fetch(buffer *b, stralloc *sa, int *match, int sep) {
  const char *tail = nullptr;
  uint32_t taillen = 0;
  if (line_fetch_split(b, sa, &tail, &taillen, sep) == -1) return -1;
  if (!taillen) {
    *match = 0;
    return 0;
  }
  if (!stralloc_catb(sa, tail, taillen)) return -1;
  *match = 1;
  return 0;
}
