// Reader of constant databases.  The whole file is mapped when possible;
// every read, mapped or not, is checked against the end of the file so that
// a damaged database gives EPROTO instead of a read outside it.
#include "rulesdb/cdb.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/byte.hpp"
#include "support/error.hpp"

static constexpr uint64_t cdb_limit = 0xFFFFFFFFull;

// Pointer to len bytes at pos: inside the mapping, or read into buf (which
// must hold len bytes); null with errno on failure.
static const char *cdb_bytes(cdb *c, char *buf, uint32_t len, uint32_t pos) {
  if (c->mapping) {
    if (pos > c->file_size || c->file_size - pos < len) {
      errno = error_proto;
      return nullptr;
    }
    return c->mapping + pos;
  }
  if (cdb_read(c, buf, len, pos) == -1) return nullptr;
  return buf;
}

// 1 if the len bytes stored at pos equal key, 0 if not, -1 on a read failure.
// Without a mapping the stored key is read 32 bytes at a time.
static int cdb_match(cdb *c, const char *key, uint32_t len, uint32_t pos) {
  char buf[32];
  if (c->mapping) {
    const char *s = cdb_bytes(c, buf, len, pos);
    if (!s) return -1;
    return byte_equal(s, len, key);
  }
  while (len > 0) {
    uint32_t n = len < sizeof buf ? len : sizeof buf;
    if (cdb_read(c, buf, n, pos) == -1) return -1;
    if (byte_diff(buf, n, key)) return 0;
    pos += n;
    key += n;
    len -= n;
  }
  return 1;
}

// Starts a search: reads the header entry of the key's table.  0 when the
// table is empty, 1 when slots are to be probed, -1 on failure.  A table
// that would reach past the end of the file (or of 32-bit positions) is
// damage: rejecting it here also keeps the slot walk from wrapping around.
static int cdb_searchstart(cdb *c, const char *key, uint32_t len) {
  char buf[8];
  uint32_t h = cdb_hash(key, len);
  const char *entry = cdb_bytes(c, buf, 8, (h & 255) << 3);
  if (!entry) return -1;
  uint32_t pos = byte_uint32(entry);
  uint32_t slots = byte_uint32(entry + 4);
  if (!slots) return 0;
  uint64_t end = (uint64_t)pos + ((uint64_t)slots << 3);
  if (end > cdb_limit || (c->mapping && end > c->file_size)) {
    errno = error_proto;
    return -1;
  }
  c->key_hash = h;
  c->table_pos = pos;
  c->table_slots = slots;
  c->next_slot = pos + (((h >> 8) % slots) << 3);
  return 1;
}

uint32_t cdb_hashadd(uint32_t h, unsigned char c) { return ((h << 5) + h) ^ c; }

uint32_t cdb_hash(const char *key, uint32_t len) {
  uint32_t h = 5381;
  for (uint32_t i = 0; i < len; ++i) h = cdb_hashadd(h, (unsigned char)key[i]);
  return h;
}

void cdb_free(cdb *c) {
  if (c->mapping) {
    munmap((void *)c->mapping, c->file_size);
    c->mapping = nullptr;
  }
}

void cdb_findstart(cdb *c) { c->probes = 0; }

void cdb_init(cdb *c, int fd) {
  cdb_free(c);
  cdb_findstart(c);
  c->descriptor = fd;
  struct stat st;
  if (fstat(fd, &st) == -1) return;
  if (st.st_size <= 0 || (uint64_t)st.st_size > cdb_limit) return;
  void *x = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
  if (x == MAP_FAILED) return;
  c->mapping = (const char *)x;
  c->file_size = (uint32_t)st.st_size;
}

int seek_set(int fd, uint64_t pos) {
  if (lseek(fd, (off_t)pos, SEEK_SET) == -1) return -1;
  return 0;
}

int cdb_read(cdb *c, char *buf, uint32_t len, uint32_t pos) {
  if (c->mapping) {
    if (pos > c->file_size || c->file_size - pos < len) {
      errno = error_proto;
      return -1;
    }
    byte_copy(buf, len, c->mapping + pos);
    return 0;
  }
  if (seek_set(c->descriptor, pos) == -1) return -1;
  while (len > 0) {
    ssize_t r = read(c->descriptor, buf, len);
    if (r == -1) {
      if (errno == error_intr) continue;
      return -1;
    }
    if (r == 0) {
      errno = error_proto;
      return -1;
    }
    buf += r;
    len -= (uint32_t)r;
  }
  return 0;
}

int cdb_findnext(cdb *c, const char *key, uint32_t len) {
  char buf[8];
  if (!c->probes) {
    int r = cdb_searchstart(c, key, len);
    if (r <= 0) return r;
  }
  while (c->probes < c->table_slots) {
    const char *slot = cdb_bytes(c, buf, 8, c->next_slot);
    if (!slot) return -1;
    uint32_t h = byte_uint32(slot);
    uint32_t pos = byte_uint32(slot + 4);
    if (!pos) return 0;
    ++c->probes;
    c->next_slot += 8;
    if (c->next_slot == c->table_pos + (c->table_slots << 3)) c->next_slot = c->table_pos;
    if (h != c->key_hash) continue;
    const char *rec = cdb_bytes(c, buf, 8, pos);
    if (!rec) return -1;
    uint32_t klen = byte_uint32(rec);
    uint32_t dlen = byte_uint32(rec + 4);
    if (klen != len) continue;
    // pos + 8 cannot wrap: the 8 bytes at pos lie inside the file.
    int m = cdb_match(c, key, len, pos + 8);
    if (m == -1) return -1;
    if (m) {
      c->data_len = dlen;
      c->data_pos = pos + 8 + len;
      return 1;
    }
  }
  return 0;
}

int cdb_find(cdb *c, const char *key, uint32_t len) {
  cdb_findstart(c);
  return cdb_findnext(c, key, len);
}
