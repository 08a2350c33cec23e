#pragma once
#include <cstdint>
#include <cstring>

// Growable byte string.  A zero record is a valid empty string; strings
// grow in place and are never freed.  After copyb/catb the byte just past
// the end is set to 'Z', not to 0.
struct stralloc {
  char *bytes = nullptr;
  uint32_t length = 0;
  uint32_t capacity = 0;
};

/// Ensures capacity >= n; 1, or 0 (ENOMEM) with the string unchanged.
int stralloc_ready(stralloc *sa, uint32_t n);
/// Ensures capacity >= length + n; 1, or 0 (ENOMEM).
int stralloc_readyplus(stralloc *sa, uint32_t n);
/// Contents become the n bytes at s, then the 'Z' marker; 1 or 0.
int stralloc_copyb(stralloc *sa, const char *s, uint32_t n);
/// stralloc_copyb with the length of the NUL-terminated s; 1 or 0.
int stralloc_copys(stralloc *sa, const char *s);
/// Appends the n bytes at s, then the 'Z' marker; 1 or 0.
int stralloc_catb(stralloc *sa, const char *s, uint32_t n);
/// stralloc_catb with the length of the NUL-terminated s; 1 or 0.
int stralloc_cats(stralloc *sa, const char *s);
/// Appends the contents of from; 1 or 0.
int stralloc_cat(stralloc *sa, const stralloc *from);
/// Appends the one byte at c (no 'Z' marker); 1 or 0.
int stralloc_append(stralloc *sa, const char *c);
/// Appends the n bytes at s (no 'Z' marker); 1 or 0; inline, for loops that
/// go over every byte of their input.
inline int stralloc_appendb(stralloc *sa, const char *s, uint32_t n) {
  if (sa->capacity - sa->length < n && !stralloc_readyplus(sa, n)) return 0;
  if (n) std::memcpy(sa->bytes + sa->length, s, n);
  sa->length += n;
  return 1;
}
