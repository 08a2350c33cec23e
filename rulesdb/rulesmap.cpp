// A server looks its rules up once per connection.  Instead of opening,
// mapping, unmapping and closing the database each time, it keeps the
// mapping and checks with one stat that the path still names that file:
// the same device and inode (the mapping keeps the inode alive, so its
// number cannot pass to another file), the same size, and the same
// modification and change times.  A replaced database (renamed over the
// path) or one rewritten in place to another size is mapped afresh; a
// rewrite in place that keeps the size shows through the shared mapping,
// as it would through a fresh one.
//
// A file cut short under a mapping (truncated and written again in place,
// as cp does) raises SIGBUS at the first read past its new end.  Each
// lookup therefore runs with a SIGBUS handler that jumps back out of it
// (any other SIGBUS gets the action that was in place before): the jump
// skips no destructor (the lookup's frames hold plain data), and
// the code it leaves only reads the mapping and copies bytes, holding no
// lock.  The lookup then fails as on a damaged file, and the mapping it
// read is dropped.
#include "rulesdb/rulesmap.hpp"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/error.hpp"
#include "support/open.hpp"

static int rulesmap_same(const rulesmap *m, const struct stat *st) {
  return m->mapping && st->st_dev == m->st.st_dev && st->st_ino == m->st.st_ino &&
         st->st_size == m->st.st_size && st->st_mtim.tv_sec == m->st.st_mtim.tv_sec &&
         st->st_mtim.tv_nsec == m->st.st_mtim.tv_nsec &&
         st->st_ctim.tv_sec == m->st.st_ctim.tv_sec && st->st_ctim.tv_nsec == m->st.st_ctim.tv_nsec;
}

static void rulesmap_drop(rulesmap *m) {
  if (m->mapping) munmap((void *)m->mapping, m->size);
  m->mapping = nullptr;
}

// Maps the regular, non-empty file open on fd; 1 when it is kept, 0 when
// it is to be read through the descriptor instead.
static int rulesmap_keep(rulesmap *m, int fd) {
  struct stat st;
  if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) return 0;
  if (st.st_size <= 0 || (uint64_t)st.st_size > 0xFFFFFFFFull) return 0;
  void *x = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
  if (x == MAP_FAILED) return 0;
  m->mapping = (const char *)x;
  m->size = (uint32_t)st.st_size;
  m->st = st;
  return 1;
}

static sigjmp_buf rulesmap_jump;
static volatile sig_atomic_t rulesmap_reading;
static struct sigaction rulesmap_old;

// A SIGBUS outside a read (a fault of other code, or a signal sent by
// another process) gets the action it had before the lookup: it is put
// back and the signal raised again.
static void rulesmap_sigbus(int sig) {
  if (rulesmap_reading) siglongjmp(rulesmap_jump, 1);
  sigaction(sig, &rulesmap_old, nullptr);
  raise(sig);
}

// After a fault: the mapping that was read, the kept one or the lookup's
// own, is dropped.
static void rulesmap_fault(rulesmap *m) {
  rulesmap_reading = 0;
  if (m->db.c.mapping != m->mapping) cdb_free(&m->db.c);
  m->db.c.mapping = nullptr;
  rulesmap_drop(m);
  m->faulted = 1;
  errno = error_proto;
}

// Looks up on the kept mapping, or through fd when there is none, with
// rulesmap_sigbus in place.  The handler is installed at each lookup and
// left in place after it, one system call a lookup: what it finds there
// (unless it is itself) is the action that a SIGBUS outside a read gets.
// It runs with no signal added to the mask (SA_NODEFER, an empty
// sa_mask), so that jumping out of it leaves the mask as it was and the
// jump point need not save it.
static int rulesmap_read(rulesmap *m, int fd, const char *uid, const char *gid) {
  struct sigaction sa {};
  struct sigaction prev {};
  sa.sa_handler = rulesmap_sigbus;
  sa.sa_flags = SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGBUS, &sa, &prev) == 0 && prev.sa_handler != rulesmap_sigbus) rulesmap_old = prev;
  if (sigsetjmp(rulesmap_jump, 0)) {
    rulesmap_fault(m);
    return -1;
  }
  rulesmap_reading = 1;
  int r = m->mapping ? rules_mapped(&m->db, m->mapping, m->size, uid, gid)
                     : rules(&m->db, fd, uid, gid);
  rulesmap_reading = 0;
  return r;
}

int rulesmap_find(rulesmap *m, const char *path, const char *uid, const char *gid) {
  m->faulted = 0;
  struct stat st;
  if (stat(path, &st) == 0) {
    if (rulesmap_same(m, &st)) return rulesmap_read(m, -1, uid, gid);
  } else if (errno == error_noent) {
    rulesmap_drop(m);
    return -1;
  }
  rulesmap_drop(m);
  // Anything else takes the way of a lookup without a kept mapping, so that
  // a file that cannot be opened, mapped or read fails as it always did.
  int fd = open_read(path);
  if (fd == -1) return -1;
  rulesmap_keep(m, fd);
  int r = rulesmap_read(m, fd, uid, gid);
  int e = errno;
  close(fd);
  errno = e;
  return r;
}
