#pragma once
#include "support/buffer.hpp"

// The report of the two rules checkers: the rule found, its settings (and,
// for exec rules, its program) and the verdict.

/// Failures of rulesreport_write, with errno: the database could not be
/// read, or the report could not be written.
constexpr int rulesreport_unreadable = -1;
constexpr int rulesreport_unwritable = -2;

/// Looks the peer up in the database fn (exec keys, with target and program,
/// when program is not null; group keys when groups is not null) and writes
/// the report to b, flushed: with groups, first a line "try KEY" for each key
/// tried.  0, or a failure; nothing is written after a failed write.
int rulesreport_write(buffer *b, const char *fn, const char *uid, const char *gid,
                      const char *groups, const char *target, const char *program);
