#pragma once
#include "rulesdb/rules.hpp"

// A connection rules database kept mapped from one lookup to the next for
// as long as the file at its path is the file that was mapped, unchanged.

/// Looks up the keys of rules() in the database at path: 1, 0, or -1 with
/// errno (that of opening path when it cannot be opened: ENOENT when it is
/// missing).  Maps the file afresh when a stat of path shows another device,
/// inode, size, modification or change time; keeps no descriptor open.
int rulesmap_find(rules_callback f, const char *path, const char *uid, const char *gid);
