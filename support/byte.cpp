#include "byte.hpp"

void byte_zero(void *s, uint32_t n) {
  char *x = (char *)s;
  while (n--) *x++ = 0;
}

// Both copies are the C library's memmove, which is right for either
// direction of overlap and moves whole words: the relays and the buffers
// copy every byte they pass on.  An empty copy may come with null pointers,
// which memmove must not be given.
void byte_copy(void *to, uint32_t n, const void *from) {
  if (n) std::memmove(to, from, n);
}

void byte_copy_from_end(void *to, uint32_t n, const void *from) {
  if (n) std::memmove(to, from, n);
}

int byte_diff(const void *s, uint32_t n, const void *t) {
  const unsigned char *x = (const unsigned char *)s;
  const unsigned char *y = (const unsigned char *)t;
  for (uint32_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return int{x[i]} - int{y[i]};
  return 0;
}

uint32_t str_len(const char *s) {
  uint32_t i = 0;
  while (s[i]) ++i;
  return i;
}

uint32_t str_chr(const char *s, int c) {
  const char ch = (char)c;
  uint32_t i = 0;
  while (s[i] && s[i] != ch) ++i;
  return i;
}

int str_diff(const char *s, const char *t) {
  const unsigned char *x = (const unsigned char *)s;
  const unsigned char *y = (const unsigned char *)t;
  while (*x && *x == *y) ++x, ++y;
  return int{*x} - int{*y};
}

int str_start(const char *s, const char *t) {
  while (*t)
    if (*s++ != *t++) return 0;
  return 1;
}
