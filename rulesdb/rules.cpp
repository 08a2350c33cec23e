// Rules lookup: builds the keys of a peer from the most specific to the
// least specific and hands the value of the first one present to the
// caller's callback.  Also the reading of values, for every consumer.
#include "rulesdb/rules.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "rulesdb/cdb.hpp"
#include "support/byte.hpp"
#include "support/error.hpp"

stralloc rules_name;

static cdb c;
static stralloc rules_data;
static stralloc command;  // of the exec keys, NUL-terminated

// 1 when the data of the record just found lies inside the file.  Checked
// before the data is allocated, so that a damaged length cannot ask for
// gigabytes of memory.
static int rules_datafits() {
  uint64_t end = (uint64_t)c.data_pos + c.data_len;
  if (c.mapping) return end <= c.file_size;
  struct stat st;
  if (fstat(c.descriptor, &st) == -1) return 1;  // the read will tell
  return end <= (uint64_t)st.st_size;
}

// Builds rules_name from up to three pieces (null ones are left out) and tries it.
static int rules_trykey(rules_callback f, const char *a, const char *b, const char *cmd) {
  if (!stralloc_copys(&rules_name, "")) return -1;
  if (a && !stralloc_cats(&rules_name, a)) return -1;
  if (b && (!stralloc_cats(&rules_name, ".") || !stralloc_cats(&rules_name, b))) return -1;
  if (cmd && (!stralloc_cats(&rules_name, ",") || !stralloc_cats(&rules_name, cmd))) return -1;
  return rules_try(f);
}

// Tries the keys of one peer in order on the database set up in c; cmd
// null gives the connection keys.
static int rules_keys(rules_callback f, const char *uid, const char *gid, const char *cmd) {
  int r = 0;
  if (uid && gid) r = rules_trykey(f, uid, gid, cmd);
  if (!r && uid) r = rules_trykey(f, uid, nullptr, cmd);
  if (!r && gid) r = rules_trykey(f, "", gid, cmd);
  if (!r && cmd) r = rules_trykey(f, "", nullptr, cmd);
  if (!r) r = rules_trykey(f, nullptr, nullptr, nullptr);
  return r;
}

static int rules_sequence(rules_callback f, int fd, const char *uid, const char *gid,
                          const char *cmd) {
  cdb_init(&c, fd);
  int r = rules_keys(f, uid, gid, cmd);
  int e = errno;
  cdb_free(&c);
  errno = e;
  return r;
}

int rules_try(rules_callback f) {
  int r = cdb_find(&c, rules_name.bytes, rules_name.length);
  if (r <= 0) return r;
  if (!rules_datafits()) {
    errno = error_proto;
    return -1;
  }
  // The copy handed to f lives in one buffer that grows and is reused.
  if (!stralloc_ready(&rules_data, c.data_len ? c.data_len : 1)) return -1;
  if (cdb_read(&c, rules_data.bytes, c.data_len, c.data_pos) == -1) return -1;
  f(rules_data.bytes, c.data_len);
  return 1;
}

int rules(rules_callback f, int fd, const char *uid, const char *gid) {
  return rules_sequence(f, fd, uid, gid, nullptr);
}

int rules_mapped(rules_callback f, const char *map, uint32_t size, const char *uid,
                 const char *gid) {
  cdb_free(&c);
  cdb_findstart(&c);
  c.descriptor = -1;
  c.mapping = map;
  c.file_size = size;
  int r = rules_keys(f, uid, gid, nullptr);
  c.mapping = nullptr;
  return r;
}

int rules_exec(rules_callback f, int fd, const char *uid, const char *gid, const char *target,
               const char *program) {
  if (!rules_command(&command, target, program) || !stralloc_append(&command, "")) return -1;
  return rules_sequence(f, fd, uid, gid, command.bytes);
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
