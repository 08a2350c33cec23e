#pragma once
#include <cstdint>

// Byte ranges and NUL-terminated strings; plain byte loops.

/// Sets n bytes at s to 0.
void byte_zero(void *s, uint32_t n);
/// Copies n bytes from from to to, first byte first.
void byte_copy(void *to, uint32_t n, const void *from);
/// Copies n bytes from from to to, last byte first.
void byte_copy_from_end(void *to, uint32_t n, const void *from);
/// Index of the first byte equal to c (low 8 bits), or n.
uint32_t byte_chr(const char *s, uint32_t n, int c);
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
