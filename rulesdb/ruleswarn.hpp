#pragma once
#include <cstdint>
#include "support/stralloc.hpp"

// Lines of a rules text that compile but cannot do what they look like: a
// line passed over for want of a ':', a key that no lookup makes, a range
// with a bound missing or none of its uids, a setting name that no program
// can read back.  The compilers show the warning and go on.

/// Warning for exec texts that have no rule for the empty key.
constexpr const char *ruleswarn_nocatchall =
    "no catch-all rule (empty key): unmatched requests are allowed";

/// Warning for a line that rulestext_parse passed over (its n bytes after
/// trimming), or null: null for empty lines, comments and white space.
const char *ruleswarn_line(const char *line, uint32_t n);
/// Warning for a compiled rule of kind with this key and value, or null.
const char *ruleswarn_rule(int kind, const stralloc *key, const stralloc *value);
