#pragma once
#include <sys/stat.h>

#include "rulesdb/rules.hpp"

// A connection rules database kept mapped from one lookup to the next for
// as long as the file at its path is the file that was mapped, unchanged.

/// The kept mapping and the lookup's state; zero-initialised is valid.
struct rulesmap {
  const char *mapping = nullptr;
  uint32_t size = 0;
  struct stat st {};
  rules_db db;      ///< after a hit: the key found and its value
  int faulted = 0;  ///< 1: the last lookup failed on a fault reading the file
};

/// Looks up the keys of rules() in the database at path: 1 (m->db holds the
/// hit), 0, or -1 with errno (that of opening path when it cannot be opened:
/// ENOENT when it is missing).  Maps the file afresh when a stat of path
/// shows another device, inode, size, modification or change time; keeps no
/// descriptor open.  A fault while the file is read (SIGBUS: it was cut
/// short under the mapping) fails with EPROTO and sets m->faulted; the
/// mapping is dropped, so the next lookup maps the file afresh.
int rulesmap_find(rulesmap *m, const char *path, const char *uid, const char *gid);
