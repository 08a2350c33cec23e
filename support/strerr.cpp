#include "strerr.hpp"

#include <unistd.h>

#include <cerrno>

#include "buffer.hpp"
#include "error.hpp"

strerr_record strerr_sys;

void strerr_sysinit() {
  strerr_sys.next = nullptr;
  strerr_sys.part1 = error_str(errno);
  strerr_sys.part2 = "";
  strerr_sys.part3 = "";
}

static void put(const char *s) {
  if (s) buffer_puts(buffer_2, s);
}

void strerr_warn(const char *x1, const char *x2, const char *x3, const char *x4,
                 const char *x5, const char *x6, const strerr_record *se) {
  // Capture errno before any output can change it.
  strerr_sysinit();
  put(x1);
  put(x2);
  put(x3);
  put(x4);
  put(x5);
  put(x6);
  for (; se; se = se->next) {
    put(se->part1);
    put(se->part2);
    put(se->part3);
  }
  buffer_puts(buffer_2, "\n");
  buffer_flush(buffer_2);
}

void strerr_die(int e, const char *x1, const char *x2, const char *x3, const char *x4,
                const char *x5, const char *x6, const strerr_record *se) {
  strerr_warn(x1, x2, x3, x4, x5, x6, se);
  _exit(e);
}
