// Rules lookup: builds the keys of a peer from the most specific to the
// least specific and hands the first one present, with a copy of its value,
// back to the caller.  Also the reading of values, for every consumer.
#include "rulesdb/rules.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "rulesdb/cdb.hpp"
#include "support/byte.hpp"
#include "support/error.hpp"

// 1 when the data of the record just found lies inside the file.  Checked
// before the data is allocated, so that a damaged length cannot ask for
// gigabytes of memory.
static int rules_datafits(const cdb *c) {
  uint64_t end = (uint64_t)c->data_pos + c->data_len;
  if (c->mapping) return end <= c->file_size;
  struct stat st;
  if (fstat(c->descriptor, &st) == -1) return 1;  // the read will tell
  return end <= (uint64_t)st.st_size;
}

// Looks up db->key: 1 with its value copied into db->value, 0 when absent,
// -1 with errno (ENOMEM, EPROTO for damage).
static int rules_try(rules_db *db) {
  cdb *c = &db->c;
  int r = cdb_find(c, db->key.bytes, db->key.length);
  if (r <= 0) return r;
  if (!rules_datafits(c)) {
    errno = error_proto;
    return -1;
  }
  // The copy lives in one buffer that grows and is reused.
  if (!stralloc_ready(&db->value, c->data_len ? c->data_len : 1)) return -1;
  if (cdb_read(c, db->value.bytes, c->data_len, c->data_pos) == -1) return -1;
  db->value.length = c->data_len;
  return 1;
}

// Builds db->key from up to three pieces (null ones are left out; b is blen
// bytes) and tries it.
static int rules_trykey(rules_db *db, const char *a, const char *b, uint32_t blen,
                        const char *cmd) {
  stralloc *k = &db->key;
  k->length = 0;
  if (!stralloc_ready(k, 1)) return -1;
  if (a && !stralloc_cats(k, a)) return -1;
  if (b && (!stralloc_cats(k, ".") || !stralloc_catb(k, b, blen))) return -1;
  if (cmd && (!stralloc_cats(k, ",") || !stralloc_cats(k, cmd))) return -1;
  if (db->tried && !stralloc_catb(db->tried, k->bytes, k->length)) return -1;
  if (db->tried && !stralloc_append(db->tried, "")) return -1;
  return rules_try(db);
}

static int rules_trys(rules_db *db, const char *a, const char *b, const char *cmd) {
  return rules_trykey(db, a, b, b ? str_len(b) : 0, cmd);
}

// Tries .g for each group of db->groups in its order.  Empty fields are
// passed over, and so is the effective gid, whose key came just before.
static int rules_groups(rules_db *db, const char *gid, const char *cmd) {
  const char *g = db->groups;
  while (g && *g) {
    uint32_t n = str_chr(g, ',');
    int same = gid && str_len(gid) == n && byte_equal(g, n, gid);
    if (n && !same) {
      int r = rules_trykey(db, "", g, n, cmd);
      if (r) return r;
    }
    g += n;
    if (*g) ++g;
  }
  return 0;
}

// Tries the keys of one peer in order on the database set up in db->c; cmd
// null gives the connection keys.
static int rules_keys(rules_db *db, const char *uid, const char *gid, const char *cmd) {
  int r = 0;
  if (uid && gid) r = rules_trys(db, uid, gid, cmd);
  if (!r && uid) r = rules_trys(db, uid, nullptr, cmd);
  if (!r && gid) r = rules_trys(db, "", gid, cmd);
  if (!r) r = rules_groups(db, gid, cmd);
  if (!r && cmd) r = rules_trys(db, "", nullptr, cmd);
  if (!r) r = rules_trys(db, nullptr, nullptr, nullptr);
  return r;
}

static int rules_sequence(rules_db *db, int fd, const char *uid, const char *gid,
                          const char *cmd) {
  cdb_init(&db->c, fd);
  int r = rules_keys(db, uid, gid, cmd);
  int e = errno;
  cdb_free(&db->c);
  errno = e;
  return r;
}

int rules(rules_db *db, int fd, const char *uid, const char *gid) {
  return rules_sequence(db, fd, uid, gid, nullptr);
}

int rules_mapped(rules_db *db, const char *map, uint32_t size, const char *uid, const char *gid) {
  cdb *c = &db->c;
  cdb_free(c);
  cdb_findstart(c);
  c->descriptor = -1;
  c->mapping = map;
  c->file_size = size;
  int r = rules_keys(db, uid, gid, nullptr);
  c->mapping = nullptr;
  return r;
}

int rules_exec(rules_db *db, int fd, const char *uid, const char *gid, const char *target,
               const char *program) {
  stralloc *cmd = &db->command;
  if (!rules_command(cmd, target, program) || !stralloc_append(cmd, "")) return -1;
  return rules_sequence(db, fd, uid, gid, cmd->bytes);
}

int rules_command(stralloc *sa, const char *target, const char *program) {
  return stralloc_copys(sa, target) && stralloc_cats(sa, ".") && stralloc_cats(sa, program);
}

char rules_next(rules_walk *w, char **body, uint32_t *n) {
  while (w->pos < w->len) {
    char *ins = w->value + w->pos;
    uint32_t k = byte_chr(ins, w->len - w->pos, 0);
    if (k == w->len - w->pos) return 0;  // bytes after the last NUL
    w->pos += k + 1;
    if (!k) continue;  // a NUL alone
    *body = ins + 1;
    *n = k - 1;
    return ins[0];
  }
  return 0;
}

char *rules_setting_value(char *body) {
  uint32_t eq = str_chr(body, '=');
  if (!body[eq]) return nullptr;
  body[eq] = 0;
  return body + eq + 1;
}
