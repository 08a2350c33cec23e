#pragma once
#include <cstdint>
#include "rulesdb/cdbout.hpp"
#include "support/stralloc.hpp"

// The grammar of rules texts, shared by the two compilers.  A line is
//   key ":" ("deny" | "allow") ("," NAME "=" q VALUE q)*
// and exec rules also take "allow=" q PROGRAM q.  A key whose part before
// the first "," is a range low "-" high (no ".") stands for every uid in it.

/// Kinds of rules text.
constexpr int rulestext_connection = 0;
constexpr int rulestext_exec = 1;

/// Failure results of rulestext_parse and rulestext_add; they succeed with 0 or 1.
constexpr int rulestext_unwritable = -1;  // the writer failed, errno says why
constexpr int rulestext_unparsable = -2;
constexpr int rulestext_nomem = -3;

/// Trims trailing blanks off the *len bytes of line (lowering *len) and turns
/// it into key and value: 1 rule, 0 line passed over, or a failure.
int rulestext_parse(const char *line, uint32_t *len, int kind, stralloc *key, stralloc *value);
/// Adds the rule's records, one per uid of a range: 1, or a failure
/// (rulestext_unparsable for a bad bound).
int rulestext_add(cdbout *c, const stralloc *key, const stralloc *value);
