#pragma once
#include <cstdint>
#include "support/stralloc.hpp"

// Rules lookup, and the format of the values it finds.  A value is a
// sequence of instructions, each ended by a NUL and named by its first
// byte, its letter: deny "D", program "=" PROGRAM (exec rules), setting
// "+" NAME "=" VALUE.

/// Letter of the deny instruction.
constexpr char rules_deny = 'D';
/// Letter of the program instruction: the program to run instead (exec rules).
constexpr char rules_program = '=';
/// Letter of a setting: NAME "=" VALUE for the environment.
constexpr char rules_setting = '+';

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
/// Tries uid.gid,cmd  uid,cmd  .gid,cmd  ,cmd  and the empty key, where cmd
/// is the command of the request, target "." program; results as rules.
int rules_exec(rules_callback f, int fd, const char *uid, const char *gid, const char *target,
               const char *program);
/// Sets sa to the command of exec keys, target "." program (no NUL); 1, or 0 (ENOMEM).
int rules_command(stralloc *sa, const char *target, const char *program);
/// Looks up rules_name in the file set up by the last rules/rules_exec and hands
/// its value to f: 1, 0 when absent, -1 with errno (ENOMEM, EPROTO for damage).
int rules_try(rules_callback f);

/// Position in a value while its instructions are taken: {value, len}, pos 0.
struct rules_walk {
  char *value = nullptr;
  uint32_t len = 0;
  uint32_t pos = 0;
};

/// Takes the next instruction of w: its letter, with *body at the bytes after
/// the letter and *n their count (body[*n] is the NUL); 0 when none is left.
/// Bytes after the last NUL are no instruction; an empty one (a NUL alone)
/// has no letter and is passed over.
char rules_next(rules_walk *w, char **body, uint32_t *n);
/// Ends NAME at the first "=" of a setting's body (a NUL goes there) and
/// points at VALUE; null when the body has no "=".
char *rules_setting_value(char *body);
