#pragma once
#include <cstdint>
#include "support/stralloc.hpp"

// Rules lookup.  A value is a sequence of NUL-terminated instructions:
// "D" deny, "=" program, "+" NAME "=" value.

/// Receives a private writable copy of the value found; valid during the call only.
using rules_callback = void (*)(char *value, uint32_t len);

/// Key of the rule last tried (after a hit: the rule found), without NUL.
extern stralloc rules_name;

/// Tries uid.gid, uid, .gid and the empty key (null parts leave keys out);
/// 1 when found (f called once), 0 when none, -1 on failure with errno.
int rules(rules_callback f, int fd, const char *uid, const char *gid);
/// As rules, on a database that the caller has mapped at map (size bytes)
/// and keeps mapped.
int rules_mapped(rules_callback f, const char *map, uint32_t size, const char *uid,
                 const char *gid);
/// Tries uid.gid,cmd  uid,cmd  .gid,cmd  ,cmd  and the empty key; results as rules.
int rules_exec(rules_callback f, int fd, const char *uid, const char *gid, const char *cmd);
/// Looks up rules_name in the file set up by the last rules/rules_exec and hands
/// its value to f: 1, 0 when absent, -1 with errno (ENOMEM, EPROTO for damage).
int rules_try(rules_callback f);
