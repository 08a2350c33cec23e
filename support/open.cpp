#include "open.hpp"

#include <fcntl.h>

int open_read(const char *fn) { return open(fn, O_RDONLY | O_NONBLOCK); }

int open_append(const char *fn) {
  return open(fn, O_WRONLY | O_NONBLOCK | O_APPEND | O_CREAT, 0600);
}

int open_truncate(const char *fn) {
  return open(fn, O_WRONLY | O_NONBLOCK | O_CREAT | O_TRUNC, 0644);
}
