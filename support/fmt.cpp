#include "fmt.hpp"

#include "byte.hpp"

uint32_t fmt_ulong(char *s, uint64_t u) {
  uint32_t len = 1;
  for (uint64_t q = u; q > 9; q /= 10) ++len;
  if (s) {
    s += len;
    do {
      *--s = (char)('0' + u % 10);
      u /= 10;
    } while (u);
  }
  return len;
}

uint32_t scan_ulong(const char *s, uint64_t *u) {
  uint32_t pos = 0;
  uint64_t result = 0;
  for (;;) {
    const unsigned c = (unsigned char)s[pos] - '0';
    if (c > 9) break;
    result = result * 10 + c;
    ++pos;
  }
  *u = result;
  return pos;
}

int scan_decimal(const char *s, uint64_t max, uint64_t *u) {
  uint64_t v = 0;
  if (!*s) return 0;
  for (; *s; ++s) {
    const uint64_t d = (unsigned char)*s - (unsigned char)'0';
    if (d > 9 || v > (max - d) / 10) return 0;
    v = v * 10 + d;
  }
  *u = v;
  return 1;
}

uint32_t scan_unsigned(const char *s, uint32_t *u) {
  uint64_t v;
  const uint32_t len = scan_ulong(s, &v);
  *u = (uint32_t)v;
  return len;
}

void uint32_unpack(const char s[4], uint32_t *u) { *u = byte_uint32(s); }

void uint32_unpack_big(const char s[4], uint32_t *u) {
  const unsigned char *b = (const unsigned char *)s;
  *u = uint32_t{b[3]} | uint32_t{b[2]} << 8 | uint32_t{b[1]} << 16 | uint32_t{b[0]} << 24;
}

void uint32_store(char s[4], uint32_t u) {
  for (int i = 0; i < 4; ++i, u >>= 8) s[i] = (char)(u & 255);
}

void uint32_store_big(char s[4], uint32_t u) {
  for (int i = 3; i >= 0; --i, u >>= 8) s[i] = (char)(u & 255);
}
