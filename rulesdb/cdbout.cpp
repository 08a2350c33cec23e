// Writer of constant databases: records first, then 256 hash tables of
// twice as many slots as records, then the header at position 0.
#include "rulesdb/cdbout.hpp"

#include <cerrno>
#include <cstring>

#include "rulesdb/cdb.hpp"
#include "support/alloc.hpp"
#include "support/byte.hpp"
#include "support/error.hpp"
#include "support/fmt.hpp"

static constexpr uint64_t cdbout_limit = 0xFFFFFFFFull;
static constexpr uint64_t cdbout_maxpairs = 0x20000000ull;

// Advances write_pos by n; -1 (ENOMEM) when the file would pass 4 GiB.
static int cdbout_advance(cdbout *c, uint64_t n) {
  uint64_t pos = c->write_pos + n;
  if (pos > cdbout_limit) {
    errno = error_nomem;
    return -1;
  }
  c->write_pos = (uint32_t)pos;
  return 0;
}

// buffer_putalign, with the common case of bytes that fit into the free
// space copied straight in: the writer puts several small pieces per record.
static int cdbout_put(cdbout *c, const char *s, uint32_t n) {
  if (c->out.size - c->out.pending < n) return buffer_putalign(&c->out, s, n);
  if (!n) return 0;
  std::memcpy(c->out.space + c->out.pending, s, n);
  c->out.pending += n;
  return 0;
}

// Writes one (a, b) pair little-endian through the output buffer.
static int cdbout_putpair(cdbout *c, uint32_t a, uint32_t b) {
  char buf[8];
  uint32_store(buf, a);
  uint32_store(buf + 4, b);
  return cdbout_put(c, buf, 8);
}

// Allocates `work`, room for the slots of the largest table.
static int cdbout_work(cdbout *c) {
  uint64_t most = 1;
  for (int i = 0; i < 256; ++i)
    if (2 * (uint64_t)c->table_count[i] > most) most = 2 * (uint64_t)c->table_count[i];
  if (most >= cdbout_maxpairs) {
    errno = error_nomem;
    return -1;
  }
  c->work = (cdbout_pair *)alloc((uint32_t)(most * sizeof(cdbout_pair)));
  return c->work ? 0 : -1;
}

// Lays out hash table i in `work`, its records in the order added, and
// writes it.
static int cdbout_table(cdbout *c, int i) {
  uint32_t s = 2 * c->table_count[i];
  uint32_store(c->header + 8 * i, c->write_pos);
  uint32_store(c->header + 8 * i + 4, s);
  for (uint32_t j = 0; j < s; ++j) c->work[j] = cdbout_pair{};
  for (const cdbout_block *b = c->first[i]; b; b = b->next)
    for (uint32_t j = 0; j < b->used; ++j) {
      uint32_t slot = (b->entry[j].hash >> 8) % s;
      while (c->work[slot].position)
        if (++slot == s) slot = 0;
      c->work[slot] = b->entry[j];
    }
  if (cdbout_advance(c, 8 * (uint64_t)s) == -1) return -1;
  // The table goes out in one piece: each pair is turned into its file
  // form (two little-endian numbers) in place.
  for (uint32_t j = 0; j < s; ++j) {
    cdbout_pair p = c->work[j];
    uint32_store((char *)&c->work[j], p.hash);
    uint32_store((char *)&c->work[j] + 4, p.position);
  }
  return buffer_putalign(&c->out, (const char *)c->work, 8 * s);
}

// Appends an entry to the newest block of its table, starting a block
// when that one is full.
static int cdbout_keep(cdbout *c, uint32_t h, uint32_t position) {
  int t = h & 255;
  cdbout_block *b = c->last[t];
  if (!b || b->used == cdbout_block_entries) {
    cdbout_block *n = (cdbout_block *)alloc(sizeof(cdbout_block));
    if (!n) return -1;
    n->next = nullptr;
    n->used = 0;
    if (b)
      b->next = n;
    else
      c->first[t] = n;
    c->last[t] = b = n;
  }
  b->entry[b->used++] = cdbout_pair{h, position};
  ++c->table_count[t];
  ++c->entries;
  return 0;
}

int cdbout_start(cdbout *c, int fd) {
  for (int i = 0; i < 256; ++i) {
    c->table_count[i] = 0;
    c->first[i] = c->last[i] = nullptr;
  }
  c->work = nullptr;
  c->entries = 0;
  c->write_pos = 2048;
  c->descriptor = fd;
  buffer_init(&c->out, buffer_unixwrite, fd, c->out_space, sizeof c->out_space);
  return seek_set(fd, 2048);
}

int cdbout_add(cdbout *c, const char *key, uint32_t klen, const char *data, uint32_t dlen) {
  if ((uint64_t)c->write_pos + 8 + klen + dlen > cdbout_limit) {
    errno = error_nomem;
    return -1;
  }
  if (cdbout_putpair(c, klen, dlen) == -1) return -1;
  if (cdbout_put(c, key, klen) == -1) return -1;
  if (cdbout_put(c, data, dlen) == -1) return -1;
  if (cdbout_keep(c, cdb_hash(key, klen), c->write_pos) == -1) return -1;
  c->write_pos += 8 + klen + dlen;
  return 0;
}

int cdbout_finish(cdbout *c) {
  if (cdbout_work(c) == -1) return -1;
  for (int i = 0; i < 256; ++i)
    if (cdbout_table(c, i) == -1) return -1;
  if (buffer_flush(&c->out) == -1) return -1;
  if (seek_set(c->descriptor, 0) == -1) return -1;
  return buffer_putflush(&c->out, c->header, sizeof c->header);
}

void cdbout_free(cdbout *c) {
  for (int i = 0; i < 256; ++i) {
    for (cdbout_block *b = c->first[i], *next; b; b = next) {
      next = b->next;
      alloc_free(b);
    }
    c->first[i] = c->last[i] = nullptr;
  }
  alloc_free(c->work);
  c->work = nullptr;
}
