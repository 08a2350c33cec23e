// Wrapper of the system cdb library; must not include our rulesdb headers.
#include "syscdb.hpp"

#include <cdb.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct handle {
  struct cdb c;
  int fd;
};

}  // namespace

void *syscdb_open(const char *path) {
  int fd = open(path, O_RDONLY);
  if (fd == -1) return nullptr;
  handle *h = new handle;
  h->fd = fd;
  if (cdb_init(&h->c, fd) != 0) {
    close(fd);
    delete h;
    return nullptr;
  }
  return h;
}

int syscdb_find(void *h, const char *key, unsigned len) { return cdb_find(&static_cast<handle *>(h)->c, key, len); }

unsigned syscdb_datalen(void *h) { return cdb_datalen(&static_cast<handle *>(h)->c); }

void syscdb_close(void *h) {
  handle *x = static_cast<handle *>(h);
  cdb_free(&x->c);
  close(x->fd);
  delete x;
}
