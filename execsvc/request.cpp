#include "execsvc/request.hpp"

#include <unistd.h>
#include <cerrno>

#include "support/alloc.hpp"
#include "support/byte.hpp"
#include "support/error.hpp"
#include "support/fmt.hpp"
#include "support/iopause.hpp"
#include "support/taia.hpp"

// ---- writing ----

static void put_number(buffer *b, uint64_t u) {
  char num[FMT_ULONG];
  buffer_put(b, num, fmt_ulong(num, u));
}

void request_write(buffer *b, uint64_t uid, uint32_t n, char *const *args) {
  uint32_t len = n;
  for (uint32_t i = 0; i < n; ++i) len += str_len(args[i]);

  put_number(b, fmt_ulong(nullptr, uid));
  buffer_puts(b, ":");
  put_number(b, uid);
  buffer_puts(b, ",");
  put_number(b, fmt_ulong(nullptr, n));
  buffer_puts(b, ":");
  put_number(b, n);
  buffer_puts(b, ",");
  put_number(b, len);
  buffer_puts(b, ":");
  for (uint32_t i = 0; i < n; ++i) {
    buffer_puts(b, args[i]);
    buffer_put(b, "", 1);
  }
  buffer_putsflush(b, ",");
}

// ---- reading ----

// Each read asks for the least number of bytes that the rest of a valid
// request must still hold, never more: the buffer never takes in a byte
// beyond the final ',', and a request costs a few reads, not one per byte.
// `need` is that number; it drops with every byte taken and grows as the
// lengths become known.  A bad request may be read past the byte that makes
// it bad: it is refused anyway.
static uint64_t need;
static uint32_t numbers;  // numeric netstrings (uid, count) read so far
static int flagdeadline;
static taia deadline;
static buffer_op read_op;  // the buffer's own operation, during a take

// Least size of what follows the uid, the count and the block of a valid
// request: a count is at least "1:1," and a block at least "1:\0,".
static uint64_t rest() { return numbers == 0 ? 8 : numbers == 1 ? 4 : 0; }

static void need_least(uint64_t n) {
  if (need < n) need = n;
}

void request_start(uint32_t secs) {
  need = 0;
  numbers = 0;
  flagdeadline = secs > 0;
  if (!flagdeadline) return;
  taia now;
  taia span;
  taia_now(&now);
  taia_uint(&span, secs);
  taia_add(&deadline, &now, &span);
}

/// Waits until fd is readable; 0, or -1 (ETIMEDOUT) once the deadline has passed.
static int wait_readable(int fd) {
  for (;;) {
    taia now;
    taia_now(&now);
    if (!taia_less(&now, &deadline)) {
      errno = error_timeout;
      return -1;
    }
    iopause_fd x = {fd, POLLIN, 0};
    iopause(&x, 1, &deadline, &now);
    if (x.revents) return 0;
  }
}

static int read_needed(int fd, char *s, uint32_t n) {
  if (n > need) n = need ? (uint32_t)need : 1;
  if (flagdeadline && wait_readable(fd) == -1) return -1;
  return read_op(fd, s, n);
}

/// buffer_take of up to n bytes through read_needed; count, 0 or -1.
static int take(buffer *b, char *s, uint32_t n) {
  read_op = b->operation;
  b->operation = read_needed;
  int r = buffer_take(b, s, n);
  b->operation = read_op;
  if (r > 0) need = need > (uint64_t)r ? need - (uint64_t)r : 0;
  return r;
}

static int64_t bad() {
  errno = error_proto;
  return -1;
}

/// One byte of the request into *c; 0, or -1 (EPROTO) at end of input or on error.
static int take_byte(buffer *b, char *c) {
  if (take(b, c, 1) != 1) return (int)bad();
  return 0;
}

int64_t request_len(buffer *b) {
  uint64_t len = 0;
  uint32_t digits = 0;
  char c;
  for (;;) {
    // This byte or a ':' yet to come, then the ',' at least.
    need_least(2 + rest());
    if (take_byte(b, &c) == -1) return -1;
    if (c == ':') break;
    if (c < '0' || c > '9') return bad();
    if (++digits > REQUEST_DIGITS) return bad();
    len = len * 10 + (uint64_t)(c - '0');
  }
  len = (uint32_t)len;
  need_least(len + 1 + rest());
  return (int64_t)len;
}

int64_t request_num(buffer *b) {
  int64_t len = request_len(b);
  uint64_t num = 0;
  char c;
  if (len == -1) return -1;
  if (len > REQUEST_DIGITS) return bad();
  for (int64_t i = 0; i < len; ++i) {
    if (take_byte(b, &c) == -1) return -1;
    if (c < '0' || c > '9') return bad();
    num = num * 10 + (uint64_t)(c - '0');
  }
  if (take_byte(b, &c) == -1) return -1;
  if (c != ',') return bad();
  ++numbers;
  return (uint32_t)num;
}

/// Largest argument block accepted: what the system could pass to a program.
static uint64_t block_max() {
  long m = sysconf(_SC_ARG_MAX);
  if (m <= 0) return 131072;
  return (uint64_t)m;
}

/// Reads exactly len bytes to s, however many pieces they come in; 0 or -1 (EPROTO).
static int take_all(buffer *b, char *s, uint32_t len) {
  while (len > 0) {
    int r = take(b, s, len);
    if (r <= 0) return (int)bad();
    s += r;
    len -= (uint32_t)r;
  }
  return 0;
}

/// Points argv[0..n-1] at the n NUL-terminated strings of block; 0 or -1 (EPROTO).
static int block_split(char *block, uint32_t len, int32_t n, char **argv) {
  for (int32_t i = 0; i < n; ++i) {
    if (len == 0) return (int)bad();
    uint32_t k = byte_chr(block, len, 0);
    if (k == len) return (int)bad();
    argv[i] = block;
    block += k + 1;
    len -= k + 1;
  }
  if (len != 0) return (int)bad();
  argv[n] = nullptr;
  return 0;
}

int request_block(buffer *b, stralloc *sa, int32_t n, char ***argv) {
  char c;
  // The block holds n strings: at least a digit, ':', n NULs and ','.
  if (n > 0) need_least((uint64_t)n + 3);
  int64_t len = request_len(b);
  if (len == -1) return -1;
  if (len == 0 || n <= 0) return (int)bad();
  // Refused before anything is reserved: no program could take it anyway.
  if ((uint64_t)len > block_max()) return (int)bad();
  if (!stralloc_readyplus(sa, (uint32_t)len)) return -1;
  uint32_t start = sa->length;
  if (take_all(b, sa->bytes + start, (uint32_t)len) == -1) return -1;
  sa->length += (uint32_t)len;
  if (sa->bytes[sa->length - 1] != 0) return (int)bad();
  if (take_byte(b, &c) == -1) return -1;
  if (c != ',') return (int)bad();
  // Each string takes at least its NUL, so n <= len and the size fits.
  if ((uint64_t)n > (uint64_t)len) return (int)bad();
  uint64_t size = ((uint64_t)n + 1) * sizeof(char *);
  if (size > UINT32_MAX) {
    errno = error_nomem;
    return -1;
  }
  char **v = (char **)alloc((uint32_t)size);
  if (!v) return -1;
  if (block_split(sa->bytes + start, (uint32_t)len, n, v) == -1) {
    alloc_free(v);
    return -1;
  }
  *argv = v;
  return 0;
}
