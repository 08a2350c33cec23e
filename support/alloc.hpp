#pragma once
#include <cstdint>

// Memory pool: small requests are carved from a 2048-byte static area that
// is never reused; everything else comes from malloc.

/// Returns at least n bytes (n rounded down to 16 and enlarged by 16), or null with errno = ENOMEM.
void *alloc(uint32_t n);
/// Frees x unless it is a pool block (then nothing happens).
void alloc_free(void *x);
/// Replaces *x by a new block of n bytes holding the first m old bytes; 1, or 0 (ENOMEM) with *x untouched.
int alloc_re(void **x, uint32_t m, uint32_t n);
/// Bytes still free in the pool (2048 at start, never rises).
uint32_t alloc_pool_free();
