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

// Allocates `sorted` and groups every entry by table, in the order added.
static int cdbout_group(cdbout *c) {
  uint64_t most = 1;
  for (int i = 0; i < 256; ++i) c->table_count[i] = 0;
  for (cdbout_block *b = c->blocks; b; b = b->next)
    for (int i = 0; i < b->used; ++i) ++c->table_count[b->entry[i].hash & 255];
  for (int i = 0; i < 256; ++i)
    if (2 * (uint64_t)c->table_count[i] > most) most = 2 * (uint64_t)c->table_count[i];
  uint64_t pairs = most + c->entries;
  if (pairs >= cdbout_maxpairs) {
    errno = error_nomem;
    return -1;
  }
  c->sorted = (cdbout_pair *)alloc((uint32_t)(pairs * sizeof(cdbout_pair)));
  if (!c->sorted) return -1;
  c->work = c->sorted + c->entries;
  uint32_t total = 0;
  for (int i = 0; i < 256; ++i) {
    total += c->table_count[i];
    c->table_start[i] = total;
  }
  // Newest block and newest entry first, each placed just before the last
  // one of its table: the groups end up in the order of adding.
  for (cdbout_block *b = c->blocks; b; b = b->next)
    for (int i = b->used; i-- > 0;) c->sorted[--c->table_start[b->entry[i].hash & 255]] = b->entry[i];
  return 0;
}

// Lays out hash table i in `work` and writes it.
static int cdbout_table(cdbout *c, int i) {
  uint32_t n = c->table_count[i];
  uint32_t s = 2 * n;
  uint32_store(c->header + 8 * i, c->write_pos);
  uint32_store(c->header + 8 * i + 4, s);
  for (uint32_t j = 0; j < s; ++j) c->work[j] = cdbout_pair{};
  const cdbout_pair *group = c->sorted + c->table_start[i];
  for (uint32_t j = 0; j < n; ++j) {
    uint32_t slot = (group[j].hash >> 8) % s;
    while (c->work[slot].position)
      if (++slot == s) slot = 0;
    c->work[slot] = group[j];
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

int cdbout_start(cdbout *c, int fd) {
  c->blocks = nullptr;
  c->sorted = nullptr;
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
  if (!c->blocks || c->blocks->used == 1000) {
    cdbout_block *b = (cdbout_block *)alloc(sizeof(cdbout_block));
    if (!b) return -1;
    b->used = 0;
    b->next = c->blocks;
    c->blocks = b;
  }
  c->blocks->entry[c->blocks->used++] = cdbout_pair{cdb_hash(key, klen), c->write_pos};
  ++c->entries;
  c->write_pos += 8 + klen + dlen;
  return 0;
}

int cdbout_finish(cdbout *c) {
  if (cdbout_group(c) == -1) return -1;
  for (int i = 0; i < 256; ++i)
    if (cdbout_table(c, i) == -1) return -1;
  if (buffer_flush(&c->out) == -1) return -1;
  if (seek_set(c->descriptor, 0) == -1) return -1;
  return buffer_putflush(&c->out, c->header, sizeof c->header);
}
