#include "support/logsafe.hpp"

// Appends the first logsafe_max of the n bytes at s, each byte outside
// low..'~' (and, when strict, ':' and '%') shown as '?', then the mark.
static int logsafe_append(stralloc *sa, const char *s, uint32_t n, unsigned char low, bool strict) {
  uint32_t k = n < logsafe_max ? n : logsafe_max;
  if (!stralloc_readyplus(sa, k)) return 0;
  for (uint32_t i = 0; i < k; ++i) {
    unsigned char c = (unsigned char)s[i];
    if (c < low || c > '~' || (strict && (c == ':' || c == '%'))) c = '?';
    sa->bytes[sa->length++] = (char)c;
  }
  // The mark follows a text of exactly logsafe_max bytes as well.
  if (n >= logsafe_max) return stralloc_cats(sa, "...");
  return 1;
}

int logsafe_cat(stralloc *sa, const char *s, uint32_t n) { return logsafe_append(sa, s, n, '!', true); }

int logsafe_catprint(stralloc *sa, const char *s, uint32_t n) {
  return logsafe_append(sa, s, n, ' ', false);
}
