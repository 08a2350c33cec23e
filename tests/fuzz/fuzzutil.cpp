// Helpers shared by the fuzz targets, and the program globals that the
// library modules expect a program to define.
#include "fuzzutil.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "rulesdb/cdb.hpp"
#include "support/buffer.hpp"

BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

void fuzz_fail(const char *what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

int fuzz_memfd(const char *name) {
  int fd = memfd_create(name, 0);
  fuzz_check(fd != -1, "memfd_create");
  return fd;
}

void fuzz_fill(int fd, const char *s, uint32_t n) {
  fuzz_check(ftruncate(fd, 0) == 0, "ftruncate");
  uint32_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(fd, s + done, n - done, done);
    fuzz_check(w > 0, "pwrite");
    done += (uint32_t)w;
  }
}

std::string fuzz_contents(int fd) {
  std::string s;
  char buf[4096];
  for (off_t pos = 0;;) {
    ssize_t r = pread(fd, buf, sizeof buf, pos);
    fuzz_check(r >= 0, "pread");
    if (r == 0) return s;
    s.append(buf, (size_t)r);
    pos += r;
  }
}

void fuzz_cdbout_start(cdbout *c, int fd) {
  fuzz_check(ftruncate(fd, 0) == 0, "ftruncate");
  fuzz_check(cdbout_start(c, fd) == 0, "cdbout_start");
}

void fuzz_cdbout_finish(cdbout *c) {
  fuzz_check(cdbout_finish(c) == 0, "cdbout_finish");
  // A compiler writes one database per process and never frees the
  // writer's memory; a fuzz target writes one per input.
  cdbout_free(c);
}

uint8_t fuzz_byte(fuzz_input *in) {
  if (in->pos >= in->size) return 0;
  return in->data[in->pos++];
}

std::string fuzz_bytes(fuzz_input *in, size_t n) {
  size_t left = in->size - in->pos;
  if (n > left) n = left;
  std::string s((const char *)in->data + in->pos, n);
  in->pos += n;
  return s;
}

std::string fuzz_rest(fuzz_input *in) { return fuzz_bytes(in, in->size - in->pos); }
