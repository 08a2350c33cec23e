// Warnings about rules lines: each check returns the text of the warning
// (ending in ": ", to be followed by the line) or null.
#include "rulesdb/ruleswarn.hpp"

#include "rulesdb/rules.hpp"
#include "rulesdb/rulestext.hpp"
#include "support/byte.hpp"

static const char *const nocolon = "no ':' in this line, passed over: ";
static const char *const nomatch = "key never matches: ";
static const char *const nobound = "range with a bound missing: ";
static const char *const norange = "empty range, adds nothing: ";
static const char *const badname = "setting name empty or with white space: ";

static bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Number of decimal digits at the start of the n bytes at s.
static uint32_t digits(const char *s, uint32_t n) {
  uint32_t i = 0;
  while (i < n && (unsigned char)(s[i] - '0') <= 9) ++i;
  return i;
}

// True when the n digits at s are an id as the lookups write it: no
// leading zero, within 32 bits.
static bool ruleswarn_id(const char *s, uint32_t n) {
  if (!n || n > 10 || (s[0] == '0' && n > 1)) return false;
  return n < 10 || byte_diff(s, 10, "4294967295") <= 0;
}

// A range bound that rulestext_add has accepted: digits, within 64 bits.
static uint64_t ruleswarn_bound(const char *s, uint32_t n) {
  uint64_t u = 0;
  for (uint32_t i = 0; i < n; ++i) u = u * 10 + (uint64_t)(s[i] - '0');
  return u;
}

// The range low "-" high of the n bytes at k, split at dash.
static const char *ruleswarn_range(const char *k, uint32_t dash, uint32_t n) {
  if (!dash || dash == n - 1) return nobound;
  return ruleswarn_bound(k, dash) > ruleswarn_bound(k + dash + 1, n - dash - 1) ? norange : nullptr;
}

// A key, in one pass: its head is a range low "-" high, or uid, uid "."
// gid, "." gid, or nothing; connection keys end there, exec keys but the
// empty one go on with "," and the command, target uid "." program.
static const char *ruleswarn_key(int kind, const char *k, uint32_t n) {
  uint32_t uid = digits(k, n);
  uint32_t end = uid;
  bool range = end < n && k[end] == '-';
  if (range) {
    end += 1 + digits(k + end + 1, n - end - 1);
  } else {
    if (uid && !ruleswarn_id(k, uid)) return nomatch;
    if (end < n && k[end] == '.') {
      uint32_t gid = digits(k + end + 1, n - end - 1);
      if (!ruleswarn_id(k + end + 1, gid)) return nomatch;
      end += 1 + gid;
    }
  }
  if (kind == rulestext_connection) {
    if (end < n) return nomatch;
  } else if (n) {
    if (end == n || k[end] != ',') return nomatch;
    const char *cmd = k + end + 1;
    uint32_t target = digits(cmd, n - end - 1);
    if (target == n - end - 1 || cmd[target] != '.' || !ruleswarn_id(cmd, target)) return nomatch;
  }
  return range ? ruleswarn_range(k, uid, end) : nullptr;
}

// Each "+" NAME "=" VALUE NUL of a value: the name must not be empty nor
// hold white space.
static const char *ruleswarn_settings(const char *v, uint32_t n) {
  for (uint32_t i = 0; i < n; i += byte_chr(v + i, n - i, 0) + 1) {
    if (v[i] != rules_setting) continue;
    uint32_t j = i + 1;
    for (; j < n && v[j] != '='; ++j)
      if (blank(v[j])) return badname;
    if (j == i + 1) return badname;
  }
  return nullptr;
}

const char *ruleswarn_line(const char *line, uint32_t n) {
  if (!n || line[0] == '\n' || line[0] == '#') return nullptr;
  for (uint32_t i = 0; i < n; ++i)
    if (!blank(line[i])) return nocolon;
  return nullptr;
}

const char *ruleswarn_rule(int kind, const stralloc *key, const stralloc *value) {
  const char *w = ruleswarn_key(kind, key->bytes, key->length);
  return w ? w : ruleswarn_settings(value->bytes, value->length);
}
