#include "alloc.hpp"

#include <cerrno>
#include <cstdlib>

#include "byte.hpp"
#include "error.hpp"

static constexpr uint32_t pool_size = 2048;
alignas(16) static unsigned char pool[pool_size];
static uint32_t pool_avail = pool_size;

static bool in_pool(const void *x) {
  const unsigned char *p = (const unsigned char *)x;
  // Compare as integers: relational operators on unrelated pointers are unspecified.
  const auto a = (uintptr_t)p;
  const auto start = (uintptr_t)pool;
  return a >= start && a < start + pool_size;
}

void *alloc(uint32_t n) {
  // Every request grows by 1 to 16 bytes; near 2^32 that would wrap.
  const uint64_t want = (uint64_t{n} & ~uint64_t{15}) + 16;
  if (want > UINT32_MAX) {
    errno = error_nomem;
    return nullptr;
  }
  if (want <= pool_avail) {
    pool_avail -= (uint32_t)want;
    return pool + pool_avail;
  }
  void *x = std::malloc(want);
  if (!x) errno = error_nomem;
  return x;
}

void alloc_free(void *x) {
  if (in_pool(x)) return;
  std::free(x);
}

int alloc_re(void **x, uint32_t m, uint32_t n) {
  void *y = alloc(n);
  if (!y) return 0;
  byte_copy(y, m, *x);
  alloc_free(*x);
  *x = y;
  return 1;
}

uint32_t alloc_pool_free() { return pool_avail; }
