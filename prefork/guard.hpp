#pragma once
#include <sys/types.h>

#include <cstdint>

// Limits that keep one peer from holding the pool: at most peruid
// connections served at once from one uid across all the children (-C),
// and at most timelimit seconds for one connection (-t).

/// Maps the table the children share, one slot per child; called before
/// the first fork.  0, or -1 with errno.
int guard_init(uint64_t children);
/// Frees the slot of the reaped child pid; safe in a signal handler.
void guard_reaped(pid_t pid);
/// Counts this child's connection against uid: 1, or 0 (nothing counted)
/// when uid already has peruid connections or no slot is free.
int guard_claim(uint32_t uid);
/// Starts the clock of -t: once timelimit seconds have passed without
/// guard_release, line (n bytes, none when n is 0) goes to descriptor 2 and
/// the child exits 111.  0, or -1 with errno.
int guard_start(const char *line, uint32_t n);
/// Gives back what guard_claim counted and stops the clock.
void guard_release();
