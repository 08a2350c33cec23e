#include "support/logsafe.hpp"

int logsafe_cat(stralloc *sa, const char *s, uint32_t n) {
  uint32_t k = n < logsafe_max ? n : logsafe_max;
  if (!stralloc_readyplus(sa, k)) return 0;
  for (uint32_t i = 0; i < k; ++i) {
    unsigned char c = (unsigned char)s[i];
    if (c < '!' || c > '~' || c == ':' || c == '%') c = '?';
    sa->bytes[sa->length++] = (char)c;
  }
  // The mark follows a text of exactly logsafe_max bytes as well.
  if (n >= logsafe_max) return stralloc_cats(sa, "...");
  return 1;
}
