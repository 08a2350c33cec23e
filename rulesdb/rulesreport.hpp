#pragma once

// Reports of the two rules checkers on buffer_stdout: the rule found, its
// settings (and, for exec rules, its program) and the verdict.

/// Looks up the peer in fn (exec keys when cmd is not null), prints the
/// report and exits 0; dies with 111 when fn cannot be read or the report
/// cannot be written.  fatal is the program's fatal prefix.
[[noreturn]] void rulesreport_lookup(const char *fatal, const char *fn, const char *uid,
                                     const char *gid, const char *cmd);
