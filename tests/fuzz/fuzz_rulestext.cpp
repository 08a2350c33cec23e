// Fuzz target: the rules-text line handling of both compilers, with a round
// trip through the database, and the warnings about lines.
//
// Input: a flags byte (bit 0: exec rules, else connection rules), then the
// rules text.  Every line is handed to rulestext_parse and to a small
// parser written here from the grammar; both must agree on whether the
// line is passed over, a rule or unparsable, and on the key and value.  The
// rules are added with rulestext_add into a database written by the
// writer; afterwards every record key is looked up with rules/rules_exec
// (and through the reader, for every record of the key) and must give
// exactly the value that the text meant.
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "fuzzutil.hpp"
#include "rulesdb/cdb.hpp"
#include "rulesdb/cdbout.hpp"
#include "rulesdb/rules.hpp"
#include "rulesdb/rulestext.hpp"
#include "rulesdb/ruleswarn.hpp"

namespace {

constexpr uint64_t range_max = 64;  // larger uid ranges are parsed but not added

// What a line means, by the grammar.
struct meaning {
  int result = 0;         // 1 rule, 0 passed over, rulestext_unparsable
  std::string shortened;  // the line without its trailing blanks
  std::string key;
  std::string value;
};

// At s[at], a quote byte q: the bytes up to the next q.  False without a
// closing q (or without a quote byte); *after is the position past it.
bool quoted(const std::string &s, size_t at, std::string *out, size_t *after) {
  if (at >= s.size()) return false;
  size_t close = s.find(s[at], at + 1);
  if (close == std::string::npos) return false;
  *out = s.substr(at + 1, close - at - 1);
  *after = close + 1;
  return true;
}

meaning ref_parse(const std::string &line, int kind) {
  meaning m;
  if (line.empty() || line[0] == '\n' || line[0] == '#') return m;
  std::string s = line;
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.pop_back();
  m.shortened = s;
  size_t colon = s.find(':');
  if (colon == std::string::npos) return m;
  m.key = s.substr(0, colon);
  std::string rest = s.substr(colon + 1);
  m.result = rulestext_unparsable;
  if (s.find('\0') != std::string::npos) return m;  // a NUL anywhere in a rule
  size_t at;
  if (rest.compare(0, 4, "deny") == 0) {
    m.value = std::string("D", 2);
    at = 4;
  } else if (rest.compare(0, 5, "allow") == 0) {
    at = 5;
    if (kind == rulestext_exec && at < rest.size() && rest[at] == '=') {
      std::string prog;
      if (!quoted(rest, at + 1, &prog, &at)) return m;
      m.value += "=" + prog + std::string(1, '\0');
    }
  } else {
    return m;
  }
  while (at < rest.size()) {
    if (rest[at] != ',') return m;
    size_t eq = rest.find('=', at);
    if (eq == std::string::npos) return m;
    std::string name = rest.substr(at + 1, eq - at - 1);
    std::string setting;
    if (!quoted(rest, eq + 1, &setting, &at)) return m;
    m.value += "+" + name + "=" + setting + std::string(1, '\0');
  }
  m.result = 1;
  return m;
}

// A range bound: digits only, empty meaning 0, at most 2^64 - 1.
bool bound(const std::string &s, uint64_t *u) {
  *u = 0;
  for (unsigned char c : s) {
    if (c < '0' || c > '9') return false;
    if (*u > (UINT64_MAX - (c - '0')) / 10) return false;
    *u = *u * 10 + (c - '0');
  }
  return true;
}

// Record keys of a rule: one, or one per uid of a range.  False for a bad
// bound; *large when the range has too many uids to add here.
bool record_keys(const std::string &key, std::vector<std::string> *out, bool *large) {
  *large = false;
  size_t comma = key.find(',');
  std::string head = key.substr(0, comma);
  std::string tail = comma == std::string::npos ? "" : key.substr(comma);
  size_t dash = head.find('-');
  if (head.find('.') != std::string::npos || dash == std::string::npos) {
    out->push_back(key);
    return true;
  }
  uint64_t low, high;
  if (!bound(head.substr(0, dash), &low) || !bound(head.substr(dash + 1), &high)) return false;
  if (low > high) return true;
  if (high - low >= range_max) {
    *large = true;
    return true;
  }
  for (uint64_t u = low;; ++u) {
    out->push_back(std::to_string(u) + tail);
    if (u == high) return true;
  }
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

int dbfd = -1;
cdbout out;
stralloc key;
stralloc value;
rules_db db;

// Looks key up as the compilers' consumers do: its value must be want.
void check_lookup(const std::string &k, int kind, const std::string &want) {
  int r;
  size_t comma = k.find(',');
  size_t dot = k.find('.', comma);
  if (kind == rulestext_exec && dot != std::string::npos) {
    // uid "," target "." program
    std::string uid = k.substr(0, comma);
    std::string target = k.substr(comma + 1, dot - comma - 1);
    r = rules_exec(&db, dbfd, uid.c_str(), nullptr, target.c_str(), k.c_str() + dot + 1);
  } else {
    r = rules(&db, dbfd, k.c_str(), nullptr);
  }
  fuzz_check(r == 1, "compiled key not found by the lookup");
  fuzz_check(std::string(db.value.bytes, db.value.length) == want,
             "lookup gives another value than the text meant");
  fuzz_check(std::string(db.key.bytes, db.key.length) == k, "lookup gives another key");
}

// Every record of key k, in the order added, through the reader.
void check_records(cdb *c, const std::string &k, const std::vector<std::string> &want) {
  cdb_findstart(c);
  for (const std::string &v : want) {
    fuzz_check(cdb_findnext(c, k.data(), (uint32_t)k.size()) == 1, "record missing");
    std::string buf(c->data_len, '\0');
    fuzz_check(cdb_read(c, buf.data(), c->data_len, c->data_pos) == 0, "cdb_read");
    fuzz_check(buf == v, "record holds another value than the text meant");
  }
  fuzz_check(cdb_findnext(c, k.data(), (uint32_t)k.size()) == 0, "record added that the text does not hold");
}

// Parses one line both ways; adds its records.  False when the compiler
// would stop here (an unparsable line).
bool handle(const std::string &raw, int kind, std::map<std::string, std::vector<std::string>> *db) {
  meaning want = ref_parse(raw, kind);
  uint32_t len = (uint32_t)raw.size();
  int r = rulestext_parse(raw.data(), &len, kind, &key, &value);
  fuzz_check(r == want.result, "rulestext_parse verdict differs from the grammar");
  if (r == 0) {
    // A line passed over is warned about unless it is empty, a comment or
    // white space.
    bool quiet = want.shortened.find_first_not_of(" \t\n\r\v\f") == std::string::npos;
    fuzz_check((ruleswarn_line(raw.data(), len) == nullptr) == quiet,
               "warning about a passed-over line");
    return true;
  }
  fuzz_check(std::string(raw.data(), len) == want.shortened, "shortened line differs");
  if (r != 1) return false;
  fuzz_check(std::string(key.bytes, key.length) == want.key, "key differs");
  fuzz_check(std::string(value.bytes, value.length) == want.value, "value differs");
  std::vector<std::string> keys;
  bool large;
  bool ok = record_keys(want.key, &keys, &large);
  if (large) return true;
  int a = rulestext_add(&out, &key, &value);
  fuzz_check(a == (ok ? 1 : rulestext_unparsable), "rulestext_add result differs");
  // A key of digits alone (no leading zero, 32 bits) is a uid key: no
  // warning about a connection rule's key.
  const char *warning = ok ? ruleswarn_rule(kind, &key, &value) : nullptr;
  bool uid = !want.key.empty() && want.key.size() <= 9 && want.key[0] != '0' &&
             want.key.find_first_not_of("0123456789") == std::string::npos;
  if (kind == rulestext_connection && uid && want.value.find("+") == std::string::npos)
    fuzz_check(warning == nullptr, "warning about a uid key");
  for (const std::string &k : keys) (*db)[k].push_back(want.value);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (dbfd == -1) dbfd = fuzz_memfd("fuzz-rules.cdb");
  fuzz_input in{data, size};
  int kind = fuzz_byte(&in) & 1 ? rulestext_exec : rulestext_connection;
  std::map<std::string, std::vector<std::string>> db;
  fuzz_cdbout_start(&out, dbfd);
  for (const std::string &line : lines_of(fuzz_rest(&in)))
    if (!handle(line, kind, &db)) break;
  fuzz_cdbout_finish(&out);

  cdb c;
  cdb_init(&c, dbfd);
  for (const auto &[k, values] : db) check_records(&c, k, values);
  cdb_free(&c);
  for (const auto &[k, values] : db)
    if (k.find('\0') == std::string::npos) check_lookup(k, kind, values[0]);
  return 0;
}
