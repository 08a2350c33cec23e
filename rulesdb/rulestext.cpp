// Rules texts: parsing one line into a key and a value of instructions,
// and expanding uid ranges into records.
#include "rulesdb/rulestext.hpp"

#include <cstring>

#include "rulesdb/rules.hpp"
#include "support/byte.hpp"
#include "support/fmt.hpp"
#include "support/stralloc.hpp"

// Appends the letter that starts an instruction.
static int letter(stralloc *value, char c) { return stralloc_appendb(value, &c, 1); }

// Unparsed remainder of a line.
struct rest {
  const char *s;
  uint32_t n;
};

static void rest_skip(rest *r, uint32_t k) {
  r->s += k;
  r->n -= k;
}

// At a quote byte q: appends the bytes up to the next q and a NUL to value,
// and skips past the closing q.
static int rulestext_quoted(rest *r, stralloc *value) {
  if (!r->n) return rulestext_unparsable;
  uint32_t close = 1 + byte_chr(r->s + 1, r->n - 1, r->s[0]);
  if (close == r->n) return rulestext_unparsable;
  if (!stralloc_appendb(value, r->s + 1, close - 1)) return rulestext_nomem;
  if (!stralloc_appendb(value, "", 1)) return rulestext_nomem;
  rest_skip(r, close + 1);
  return 0;
}

// "deny" or "allow" (with an optional program for exec rules).
static int rulestext_verdict(rest *r, int kind, stralloc *value) {
  if (r->n >= 4 && !std::memcmp(r->s, "deny", 4)) {
    rest_skip(r, 4);
    return letter(value, rules_deny) && stralloc_appendb(value, "", 1) ? 0 : rulestext_nomem;
  }
  if (r->n < 5 || std::memcmp(r->s, "allow", 5)) return rulestext_unparsable;
  rest_skip(r, 5);
  if (kind != rulestext_exec || !r->n || r->s[0] != '=') return 0;
  if (!letter(value, rules_program)) return rulestext_nomem;
  rest_skip(r, 1);
  return rulestext_quoted(r, value);
}

// Zero or more "," NAME "=" q VALUE q, each becoming "+" NAME "=" VALUE NUL.
static int rulestext_settings(rest *r, stralloc *value) {
  while (r->n) {
    if (r->s[0] != ',') return rulestext_unparsable;
    uint32_t eq = byte_chr(r->s, r->n, '=');
    if (eq == r->n) return rulestext_unparsable;
    if (!letter(value, rules_setting)) return rulestext_nomem;
    if (!stralloc_appendb(value, r->s + 1, eq)) return rulestext_nomem;
    rest_skip(r, eq + 1);
    int e = rulestext_quoted(r, value);
    if (e) return e;
  }
  return 0;
}

// A range bound: decimal digits only, empty meaning 0.  A bound too large
// for 64 bits is refused rather than wrapped around.
static int rulestext_bound(const char *s, uint32_t n, uint64_t *u) {
  *u = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t d = (unsigned char)s[i] - (unsigned char)'0';
    if (d > 9) return 0;
    if (*u > (UINT64_MAX - d) / 10) return 0;
    *u = *u * 10 + d;
  }
  return 1;
}

static stralloc rangekey;

// Adds one record per uid from low to high; the key's tail (from its first
// "," on) follows each number.
static int rulestext_range(cdbout *c, uint64_t low, uint64_t high, const char *tail,
                           uint32_t taillen, const stralloc *value) {
  if (low > high) return 1;
  for (uint64_t u = low;; ++u) {
    char num[FMT_ULONG];
    rangekey.length = 0;
    if (!stralloc_appendb(&rangekey, num, fmt_ulong(num, u))) return rulestext_nomem;
    if (!stralloc_appendb(&rangekey, tail, taillen)) return rulestext_nomem;
    if (cdbout_add(c, rangekey.bytes, rangekey.length, value->bytes, value->length) == -1)
      return rulestext_unwritable;
    if (u == high) return 1;
  }
}

int rulestext_parse(const char *line, uint32_t *len, int kind, stralloc *key, stralloc *value) {
  if (!*len || line[0] == '\n' || line[0] == '#') return 0;
  while (*len) {
    char ch = line[*len - 1];
    if (ch != ' ' && ch != '\t' && ch != '\n') break;
    --*len;
  }
  uint32_t colon = byte_chr(line, *len, ':');
  if (colon == *len) return 0;
  // A NUL would end an instruction early and start another: in a value it
  // could smuggle a deny, a program or a setting into the record.
  if (byte_chr(line, *len, 0) < *len) return rulestext_unparsable;
  key->length = 0;
  value->length = 0;
  if (!stralloc_appendb(key, line, colon)) return rulestext_nomem;
  rest r = {line + colon + 1, *len - colon - 1};
  int e = rulestext_verdict(&r, kind, value);
  if (!e) e = rulestext_settings(&r, value);
  return e ? e : 1;
}

int rulestext_add(cdbout *c, const stralloc *key, const stralloc *value) {
  uint32_t head = byte_chr(key->bytes, key->length, ',');
  uint32_t dash = byte_chr(key->bytes, head, '-');
  if (dash == head || byte_chr(key->bytes, head, '.') < head) {
    if (cdbout_add(c, key->bytes, key->length, value->bytes, value->length) == -1)
      return rulestext_unwritable;
    return 1;
  }
  uint64_t low;
  uint64_t high;
  if (!rulestext_bound(key->bytes, dash, &low)) return rulestext_unparsable;
  if (!rulestext_bound(key->bytes + dash + 1, head - dash - 1, &high)) return rulestext_unparsable;
  return rulestext_range(c, low, high, key->bytes + head, key->length - head, value);
}
