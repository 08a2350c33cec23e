#pragma once
#include <cstdint>
#include <cstring>

#include "support/stralloc.hpp"

// Byte scan and append with the C library's fast routines, for the rules
// compilers, which go over every byte of their input.

/// Index of the first c in the n bytes at s, or n.
inline uint32_t fastbyte_chr(const char *s, uint32_t n, char c) {
  const void *p = n ? std::memchr(s, (unsigned char)c, n) : nullptr;
  return p ? (uint32_t)((const char *)p - s) : n;
}

/// stralloc_catb without the end marker: appends the n bytes at s; 1, or 0 (ENOMEM).
inline int fastbyte_catb(stralloc *sa, const char *s, uint32_t n) {
  if (sa->capacity - sa->length < n && !stralloc_readyplus(sa, n)) return 0;
  if (n) std::memcpy(sa->bytes + sa->length, s, n);
  sa->length += n;
  return 1;
}
