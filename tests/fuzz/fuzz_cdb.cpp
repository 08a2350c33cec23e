// Fuzz target: the cdb reader and the rules lookup on arbitrary file bytes
// and keys.
//
// Input: a flags byte, a length byte L, L bytes of keys (separated by
// newlines), then the file.  Each key, and the key of every record that
// the file seems to hold, is searched for twice: once with the file
// "mapped" into an exact-size heap copy (so that ASan reports a read even
// one byte past the end) and once with the mapping refused (every read goes
// through the descriptor).  Both runs are compared with a reference search
// written here from the file format: wherever the reader does not report
// damage (-1), it must give exactly the reference's records and data.  The
// same holds for rules and rules_exec with texts taken from the keys.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzzutil.hpp"
#include "rulesdb/cdb.hpp"
#include "rulesdb/rules.hpp"

namespace {

int dbfd = -1;

// How the wrapped mmap treats the database descriptor.
enum map_mode { map_heap, map_refuse };
map_mode mode = map_heap;
std::map<const void *, size_t> heapmaps;

}  // namespace

extern "C" void *__real_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);
extern "C" int __real_munmap(void *addr, size_t len);

extern "C" void *__wrap_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  if (dbfd == -1 || fd != dbfd) return __real_mmap(addr, len, prot, flags, fd, off);
  if (mode == map_refuse) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  fuzz_check(off == 0 && len > 0, "mapping of part of the database");
  char *p = (char *)std::malloc(len);
  fuzz_check(p, "malloc");
  fuzz_check(pread(fd, p, len, 0) == (ssize_t)len, "pread of the mapping");
  heapmaps[p] = len;
  return p;
}

extern "C" int __wrap_munmap(void *addr, size_t len) {
  auto it = heapmaps.find(addr);
  if (it == heapmaps.end()) return __real_munmap(addr, len);
  fuzz_check(it->second == len, "unmapping with another length than mapped");
  std::free(addr);
  heapmaps.erase(it);
  return 0;
}

namespace {

constexpr uint32_t data_max = 1 << 20;  // data read back only up to this length
constexpr size_t hits_max = 1 << 16;    // more results for one key: a loop

// One result of a search step, with the data read back when found.
struct hit {
  int result = 0;
  uint32_t pos = 0;
  uint32_t len = 0;
  int read = 2;  // 0 read, -1 read failed, 2 not tried
  std::string data;
  bool operator==(const hit &) const = default;
};

uint32_t hash(const std::string &key) {
  uint32_t h = 5381;
  for (unsigned char c : key) h = (h * 33) ^ c;
  return h;
}

bool inside(const std::string &f, uint64_t pos, uint64_t n) { return pos + n <= f.size(); }

uint32_t le32(const std::string &f, uint64_t pos) {
  const unsigned char *p = (const unsigned char *)f.data() + pos;
  return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void ref_data(const std::string &f, hit *h) {
  if (h->len > data_max) return;
  if (!inside(f, h->pos, h->len)) {
    h->read = -1;
    return;
  }
  h->read = 0;
  h->data = f.substr(h->pos, h->len);
}

// 1 when the klen bytes at pos equal key, 0 when not, -1 when the bytes
// compared (32 at a time) run out of the file first.
int ref_keymatch(const std::string &f, uint64_t pos, const std::string &key) {
  for (uint64_t off = 0; off < key.size(); off += 32) {
    uint64_t n = key.size() - off < 32 ? key.size() - off : 32;
    if (!inside(f, pos + off, n)) return -1;
    if (f.compare(pos + off, n, key, off, n)) return 0;
  }
  return 1;
}

// Every result that repeated searches for key give, by the file format.
std::vector<hit> ref_search(const std::string &f, const std::string &key) {
  std::vector<hit> out;
  uint32_t h = hash(key);
  uint64_t entry = (uint64_t)(h & 255) * 8;
  if (!inside(f, entry, 8)) return {hit{-1}};
  uint64_t tpos = le32(f, entry);
  uint64_t slots = le32(f, entry + 4);
  if (!slots) return {hit{0}};
  uint64_t next = tpos + ((h >> 8) % slots) * 8;
  for (uint64_t probes = 0; probes < slots;) {
    if (!inside(f, next, 8)) {
      out.push_back(hit{-1});
      return out;
    }
    uint32_t sh = le32(f, next);
    uint64_t rpos = le32(f, next + 4);
    if (!rpos) {
      out.push_back(hit{0});
      return out;
    }
    ++probes;
    next += 8;
    if (next == tpos + slots * 8) next = tpos;
    if (sh != h) continue;
    if (!inside(f, rpos, 8)) {
      out.push_back(hit{-1});
      return out;
    }
    if (le32(f, rpos) != key.size()) continue;
    int m = ref_keymatch(f, rpos + 8, key);
    if (m == -1) {
      out.push_back(hit{-1});
      return out;
    }
    if (!m) continue;
    hit x{1, (uint32_t)(rpos + 8 + key.size()), le32(f, rpos + 4)};
    ref_data(f, &x);
    out.push_back(x);
  }
  out.push_back(hit{0});
  return out;
}

std::vector<hit> cdb_search(cdb *c, const std::string &key) {
  std::vector<hit> out;
  cdb_findstart(c);
  for (;;) {
    fuzz_check(out.size() < hits_max, "cdb_findnext does not end");
    hit x{cdb_findnext(c, key.data(), (uint32_t)key.size())};
    if (x.result == -1) fuzz_check(errno == EPROTO, "cdb_findnext failed with another error than EPROTO");
    if (x.result == 1) {
      x.pos = c->data_pos;
      x.len = c->data_len;
      if (x.len <= data_max) {
        std::string buf(x.len, '\0');
        x.read = cdb_read(c, buf.data(), x.len, x.pos);
        if (x.read == 0) x.data = buf;
        else fuzz_check(errno == EPROTO, "cdb_read failed with another error than EPROTO");
      }
    }
    out.push_back(x);
    if (x.result != 1) return out;
  }
}

// The reader may report damage (-1) earlier than the reference, never later,
// and until then it gives the same results.
void compare(const std::vector<hit> &got, const std::vector<hit> &want) {
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i].result == -1) return;
    fuzz_check(i < want.size() && got[i] == want[i], "search differs from the file format");
  }
  fuzz_check(got.size() == want.size(), "search ended early");
}

// ---- rules ----

rules_db db;

struct lookup {
  int result = 0;
  std::string key;
  std::string value;
};

// The rules lookup by the key order, with the reference search.
// Exec keys when target is not null.
lookup ref_rules(const std::string &f, const char *uid, const char *gid, const char *target,
                 const char *program) {
  std::vector<std::string> keys;
  std::string tail = target ? std::string(",") + target + "." + program : "";
  if (uid && gid) keys.push_back(std::string(uid) + "." + gid + tail);
  if (uid) keys.push_back(uid + tail);
  if (gid) keys.push_back(std::string(".") + gid + tail);
  if (target) keys.push_back(tail);
  keys.push_back("");
  for (const std::string &k : keys) {
    hit x = ref_search(f, k)[0];
    if (x.result == 0) continue;
    if (x.result == -1 || !inside(f, x.pos, x.len)) return {-1};
    return {1, k, f.substr(x.pos, x.len)};
  }
  return {0};
}

void check_rules(const std::string &f, const char *uid, const char *gid, const char *target,
                 const char *program) {
  int r = target ? rules_exec(&db, dbfd, uid, gid, target, program) : rules(&db, dbfd, uid, gid);
  if (r == -1) {
    fuzz_check(errno == EPROTO, "rules lookup failed with another error than EPROTO");
    return;
  }
  lookup want = ref_rules(f, uid, gid, target, program);
  fuzz_check(r == want.result, "rules lookup result differs");
  if (r != 1) return;
  fuzz_check(std::string(db.value.bytes, db.value.length) == want.value,
             "rules lookup value differs");
  fuzz_check(std::string(db.key.bytes, db.key.length) == want.key, "rules lookup key differs");
}

// Keys of the records that the file seems to hold, from position 2048 on.
std::vector<std::string> record_keys(const std::string &f) {
  std::vector<std::string> keys;
  uint64_t pos = 2048;
  while (keys.size() < 32 && inside(f, pos, 8)) {
    uint64_t klen = le32(f, pos);
    uint64_t dlen = le32(f, pos + 4);
    if (!inside(f, pos + 8, klen)) break;
    keys.push_back(f.substr(pos + 8, klen));
    pos += 8 + klen + dlen;
  }
  return keys;
}

std::vector<std::string> split(const std::string &s, char sep, size_t max) {
  std::vector<std::string> out;
  size_t start = 0;
  while (out.size() < max) {
    size_t end = s.find(sep, start);
    out.push_back(s.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

void run(map_mode m, const std::string &f, const std::vector<std::string> &keys,
         const std::vector<std::string> &texts, uint8_t flags) {
  mode = m;
  cdb c;
  cdb_init(&c, dbfd);
  fuzz_check((c.mapping != nullptr) == (m == map_heap && !f.empty()), "mapping not as offered");
  for (const std::string &k : keys) compare(cdb_search(&c, k), ref_search(f, k));
  cdb_free(&c);
  fuzz_check(!c.mapping, "cdb_free left a mapping");

  const char *uid = flags & 1 ? texts[0].c_str() : nullptr;
  const char *gid = flags & 2 ? texts[1].c_str() : nullptr;
  check_rules(f, uid, gid, nullptr, nullptr);
  // The third text is the command: target "." program.
  size_t dot = texts[2].find('.');
  std::string target = texts[2].substr(0, dot);
  std::string program = dot == std::string::npos ? "" : texts[2].substr(dot + 1);
  check_rules(f, uid, gid, target.c_str(), program.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (dbfd == -1) dbfd = fuzz_memfd("fuzz.cdb");
  fuzz_input in{data, size};
  uint8_t flags = fuzz_byte(&in);
  std::string keyarea = fuzz_bytes(&in, fuzz_byte(&in));
  std::string file = fuzz_rest(&in);
  fuzz_fill(dbfd, file.data(), (uint32_t)file.size());

  std::vector<std::string> keys = split(keyarea, '\n', 8);
  std::vector<std::string> texts = keys;
  texts.resize(3);
  for (const std::string &k : record_keys(file)) keys.push_back(k);

  run(map_heap, file, keys, texts, flags);
  run(map_refuse, file, keys, texts, flags);
  return 0;
}
