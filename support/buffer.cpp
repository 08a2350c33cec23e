#include "buffer.hpp"

#include <unistd.h>

#include <cerrno>

#include "byte.hpp"
#include "error.hpp"

int buffer_unixwrite(int fd, char *s, uint32_t n) { return (int)write(fd, s, n); }

int buffer_unixread(int fd, char *s, uint32_t n) { return (int)read(fd, s, n); }

static char buffer_2_space[256];
static buffer buffer_2_rec = BUFFER_INIT(buffer_unixwrite, 2, buffer_2_space, sizeof buffer_2_space);
buffer *buffer_2 = &buffer_2_rec;

void buffer_init(buffer *b, buffer_op op, int fd, char *space, uint32_t n) {
  b->space = space;
  b->pending = 0;
  b->size = n;
  b->descriptor = fd;
  b->operation = op;
}

// ---- output side ----

// Hands all n bytes to the operation, repeating on EINTR and on short writes.
// An operation that moves nothing for a non-empty write would make the loop
// spin, so it counts as an input/output error.
static int write_all(buffer *b, const char *s, uint32_t n) {
  while (n) {
    const int w = b->operation(b->descriptor, (char *)s, n);
    if (w == -1) {
      if (errno == error_intr) continue;
      return -1;
    }
    if (w <= 0) {
      errno = error_io;
      return -1;
    }
    s += w;
    n -= (uint32_t)w;
  }
  return 0;
}

int buffer_flush(buffer *b) {
  const uint32_t p = b->pending;
  if (!p) return 0;
  b->pending = 0;
  return write_all(b, b->space, p);
}

int buffer_put(buffer *b, const char *s, uint32_t n) {
  if (n > b->size - b->pending) {
    if (buffer_flush(b) == -1) return -1;
    uint32_t chunk = b->size > 8192 ? b->size : 8192;
    while (n > b->size) {
      if (n < chunk) chunk = n;
      if (write_all(b, s, chunk) == -1) return -1;
      s += chunk;
      n -= chunk;
    }
  }
  byte_copy(b->space + b->pending, n, s);
  b->pending += n;
  return 0;
}

int buffer_putalign(buffer *b, const char *s, uint32_t n) {
  uint32_t room;
  while (n > (room = b->size - b->pending)) {
    byte_copy(b->space + b->pending, room, s);
    b->pending += room;
    s += room;
    n -= room;
    if (buffer_flush(b) == -1) return -1;
  }
  byte_copy(b->space + b->pending, n, s);
  b->pending += n;
  return 0;
}

int buffer_putflush(buffer *b, const char *s, uint32_t n) {
  if (buffer_flush(b) == -1) return -1;
  return write_all(b, s, n);
}

int buffer_puts(buffer *b, const char *s) { return buffer_put(b, s, str_len(s)); }

int buffer_putsalign(buffer *b, const char *s) { return buffer_putalign(b, s, str_len(s)); }

int buffer_putsflush(buffer *b, const char *s) { return buffer_putflush(b, s, str_len(s)); }

// ---- input side ----

// One call of the operation, repeated while it is interrupted.
static int read_once(buffer *b, char *s, uint32_t n) {
  int r;
  do r = b->operation(b->descriptor, s, n);
  while (r == -1 && errno == error_intr);
  return r;
}

// Moves min(n, pending) unread bytes to s.
static int take_pending(buffer *b, char *s, uint32_t n) {
  if (n > b->pending) n = b->pending;
  byte_copy(s, n, b->space + b->size);
  buffer_skip(b, n);
  return (int)n;
}

static int take(buffer *b, char *s, uint32_t n, uint32_t direct) {
  if (b->pending) return take_pending(b, s, n);
  if (b->size <= n) return read_once(b, s, direct);
  const int r = buffer_load(b);
  if (r <= 0) return r;
  return take_pending(b, s, n);
}

int buffer_load(buffer *b) {
  if (b->pending) return (int)b->pending;
  const uint32_t capacity = b->size;
  const int r = read_once(b, b->space, capacity);
  if (r <= 0) return r;
  const uint32_t got = (uint32_t)r;
  b->pending = got;
  b->size = capacity - got;
  // Unread bytes always end at the end of the space.
  if (got < capacity) byte_copy_from_end(b->space + b->size, got, b->space);
  return r;
}

int buffer_take(buffer *b, char *s, uint32_t n) { return take(b, s, n, n); }

int buffer_take_capped(buffer *b, char *s, uint32_t n) { return take(b, s, n, b->size); }

char *buffer_view(buffer *b) { return b->space + b->size; }

void buffer_skip(buffer *b, uint32_t n) {
  b->size += n;
  b->pending -= n;
}

int buffer_transfer(buffer *out, buffer *in) {
  for (;;) {
    const int n = buffer_load(in);
    if (n < 0) return -2;
    if (n == 0) return 0;
    if (buffer_put(out, buffer_view(in), (uint32_t)n) == -1) return -3;
    buffer_skip(in, (uint32_t)n);
  }
}
