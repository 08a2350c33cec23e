#pragma once
#include <cstdint>

// A buffered descriptor over a caller-supplied space.
// Output side: the first `pending` bytes of `space` wait to be written;
// `size` is the capacity.
// Input side: the `pending` unread bytes lie at offsets `size` to
// `size` + `pending` - 1, always ending at the end of the space.
using buffer_op = int (*)(int fd, char *s, uint32_t n);

struct buffer {
  char *space = nullptr;
  uint32_t pending = 0;
  uint32_t size = 0;
  int descriptor = -1;
  buffer_op operation = nullptr;
};

#define BUFFER_INIT(op, fd, space, size) {(space), 0, (size), (fd), (op)}

/// write(fd, s, n) exactly.
int buffer_unixwrite(int fd, char *s, uint32_t n);
/// read(fd, s, n) exactly.
int buffer_unixread(int fd, char *s, uint32_t n);

/// Diagnostics: descriptor 2, 256 bytes; every program has it.
extern buffer *buffer_2;
/// Standard output (descriptor 1, 8192 bytes); only programs that define it.
extern buffer *buffer_stdout;
/// Standard input (descriptor 0, 8192 bytes, flush_then_read); only programs that define it.
extern buffer *buffer_stdin;

/// Read operation of buffer_stdin: flushes buffer_stdout (failure: -1) and reads.
int flush_then_read(int fd, char *s, uint32_t n);

/// Defines this program's buffer_stdout.
#define BUFFER_STDOUT_DEFINE                                                   \
  static char buffer_stdout_space[8192];                                       \
  static buffer buffer_stdout_rec =                                            \
      BUFFER_INIT(buffer_unixwrite, 1, buffer_stdout_space, 8192);             \
  buffer *buffer_stdout = &buffer_stdout_rec
/// Defines this program's buffer_stdin; its reads first flush buffer_stdout.
#define BUFFER_STDIN_DEFINE                                                    \
  static char buffer_stdin_space[8192];                                        \
  static buffer buffer_stdin_rec =                                             \
      BUFFER_INIT(flush_then_read, 0, buffer_stdin_space, 8192);               \
  buffer *buffer_stdin = &buffer_stdin_rec

/// Sets the five fields: pending 0, size n.
void buffer_init(buffer *b, buffer_op op, int fd, char *space, uint32_t n);

// Output side.  All return 0, or -1 with errno from the operation
// (EINTR is retried; an operation that writes nothing gives EIO).

/// Writes out the pending bytes; they are dropped even on failure.
int buffer_flush(buffer *b);
/// Buffers n bytes; data larger than the space is written directly.
int buffer_put(buffer *b, const char *s, uint32_t n);
/// Buffers n bytes, writing only whole spaces.
int buffer_putalign(buffer *b, const char *s, uint32_t n);
/// Flushes, then writes the n bytes directly.
int buffer_putflush(buffer *b, const char *s, uint32_t n);
/// buffer_put of a NUL-terminated string.
int buffer_puts(buffer *b, const char *s);
/// buffer_putalign of a NUL-terminated string.
int buffer_putsalign(buffer *b, const char *s);
/// buffer_putflush of a NUL-terminated string.
int buffer_putsflush(buffer *b, const char *s);

// Input side.

/// Unread bytes available (reading when there are none); 0 at end of input, -1 on error.
int buffer_load(buffer *b);
/// Moves up to n bytes to s; count, 0 at end of input, -1 on error.
int buffer_take(buffer *b, char *s, uint32_t n);
/// buffer_take whose direct read asks for at most the capacity.
int buffer_take_capped(buffer *b, char *s, uint32_t n);
/// Pointer to the first unread byte.
char *buffer_view(buffer *b);
/// Consumes n unread bytes (n <= pending).
void buffer_skip(buffer *b, uint32_t n);
/// Copies in to out until end of input: 0, -2 on a read failure, -3 on a write failure.
int buffer_transfer(buffer *out, buffer *in);
