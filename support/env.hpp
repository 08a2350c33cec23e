#pragma once
#include "stralloc.hpp"

// The process environment and queued changes to it.  A queue holds
// NUL-terminated entries: NAME=VALUE sets NAME, a bare NAME removes it.

/// Value of the first environment entry "name=..."; null when absent or name is null.
const char *env_get(const char *name);
/// Removes every entry "name=..." from the process environment, keeping the order of the rest.
void env_unset(const char *name);
/// Queues name=value on q (value null: removal of name); null name queues nothing; 1, or 0 (ENOMEM) with q unchanged.
int env_queue(stralloc *q, const char *name, const char *value);
/// New array: base with q's entries applied in order (each removes the first entry of its name, moving the last into its place, then a setting is appended); its strings point into base and q; null on ENOMEM.
char **env_merge(char *const *base, const stralloc *q);
