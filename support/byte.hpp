#pragma once
#include <cstdint>
#include <cstring>

// Byte ranges and NUL-terminated strings; plain byte loops, the copies
// through the C library's memmove, and inline helpers for the lookup loops.

/// Sets n bytes at s to 0.
void byte_zero(void *s, uint32_t n);
/// Copies n bytes from from to to; the ranges may overlap, to below from.
void byte_copy(void *to, uint32_t n, const void *from);
/// Copies n bytes from from to to; the ranges may overlap, to above from.
void byte_copy_from_end(void *to, uint32_t n, const void *from);
/// 0 if equal, else s's byte minus t's byte (unsigned) at the first difference.
int byte_diff(const void *s, uint32_t n, const void *t);
/// Number of bytes before the NUL.
uint32_t str_len(const char *s);
/// Index of the first byte equal to c, or the string's length.
uint32_t str_chr(const char *s, int c);
/// 0 if equal, else s's byte minus t's byte (unsigned) where they first differ.
int str_diff(const char *s, const char *t);
/// 1 if t begins s (an empty t begins every string), else 0.
int str_start(const char *s, const char *t);
/// 1 if the n bytes at s and t are equal, else 0; inline, with the C library's fast compare.
inline int byte_equal(const void *s, uint32_t n, const void *t) { return !n || !std::memcmp(s, t, n); }
/// Index of the first byte equal to c (low 8 bits), or n; inline, with the C
/// library's fast scan, since the compilers and lookups go over every byte.
inline uint32_t byte_chr(const char *s, uint32_t n, int c) {
  const void *p = n ? std::memchr(s, (unsigned char)c, n) : nullptr;
  return p ? (uint32_t)((const char *)p - s) : n;
}
/// The 4 bytes at s read little-endian; inline.
inline uint32_t byte_uint32(const char *s) {
  const unsigned char *u = (const unsigned char *)s;
  return u[0] | (uint32_t)u[1] << 8 | (uint32_t)u[2] << 16 | (uint32_t)u[3] << 24;
}
