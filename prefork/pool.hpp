#pragma once

// The pool of children: the supervisor keeps it full, each child serves
// one connection after another.

/// Keeps the pool of children alive until SIGTERM; exits 0 then.
[[noreturn]] void supervise(int s, int argc, char **argv);
/// The status line, when verbosity >= 2.
void printstatus();
/// SIGCHLD handler: reaps and logs children, exits 0 when stopping and none is left.
void sigchld(int);
/// SIGTERM handler: stops forking and signals the process group.
void sigterm(int);
/// SIGHUP handler: asks for a new generation of children.
void sighup(int);
