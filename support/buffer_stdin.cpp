// The read operation of buffer_stdin.  Kept out of buffer.cpp: it names
// buffer_stdout, which only the programs that read standard input define.
#include "buffer.hpp"

int flush_then_read(int fd, char *s, uint32_t n) {
  if (buffer_flush(buffer_stdout) == -1) return -1;
  return buffer_unixread(fd, s, n);
}
