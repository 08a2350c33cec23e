#pragma once
#include "stralloc.hpp"

// Starting a program by PATH search with queued environment changes.
// The process environment itself is never changed.

/// Queues name=value (value null: removal of name); null name queues nothing; 1, or 0 on ENOMEM.
int pathrun_env(const char *name, const char *value);
/// Executes argv[0] with the environment plus the queued changes; returns only on failure, errno set.
void pathrun(char *const *argv);
/// Executes file, searching the process's PATH (default "/bin:/usr/bin") unless it holds '/'; returns only on failure.
void pathrun_search(const char *file, char *const *argv, char *const *envp);
/// Puts the paths pathrun_search tries for file on sa, each NUL-terminated; 1, or 0 on ENOMEM.
int pathrun_paths(stralloc *sa, const char *file);
/// Executes the paths of pathrun_paths in turn, as pathrun_search does; allocates nothing; returns only on failure, errno set.
void pathrun_try(const stralloc *paths, char *const *argv, char *const *envp);
