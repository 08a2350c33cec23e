#pragma once
#include <cstdint>
#include "rulesdb/cdb.hpp"
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

/// One lookup's state, owned by its caller, so that two lookups in one
/// process never disturb each other: the reader and, after a hit, the key
/// found and a private writable copy of its value.  Zero-initialised is valid.
struct rules_db {
  cdb c;
  stralloc key;      ///< the key tried last; after a hit, the key found (no NUL)
  stralloc value;    ///< after a hit: the value found, value.length bytes
  stralloc command;  ///< scratch: the command of the exec keys
  /// The peer's supplementary groups, decimal, comma-separated, in the order
  /// their keys are tried; null: no group keys.  Set by the caller.
  const char *groups = nullptr;
  /// When set, every key tried is appended to it, each ended by a NUL.
  stralloc *tried = nullptr;
};

/// Tries uid.gid, uid, .gid, then .g for each group g of db->groups (one
/// equal to gid is left out), and the empty key (null parts leave keys out)
/// in the database open on fd: 1 when found (db->key, db->value), 0 when
/// none, -1 on failure with errno (ENOMEM, EPROTO for damage).
int rules(rules_db *db, int fd, const char *uid, const char *gid);
/// As rules, on a database that the caller has mapped at map (size bytes)
/// and keeps mapped.
int rules_mapped(rules_db *db, const char *map, uint32_t size, const char *uid, const char *gid);
/// Tries uid.gid,cmd  uid,cmd  .gid,cmd  .g,cmd (each group of db->groups)
/// ,cmd  and the empty key, where cmd is the command of the request,
/// target "." program; results as rules.
int rules_exec(rules_db *db, int fd, const char *uid, const char *gid, const char *target,
               const char *program);
/// Sets sa to the command of exec keys, target "." program (no NUL); 1, or 0 (ENOMEM).
int rules_command(stralloc *sa, const char *target, const char *program);

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
