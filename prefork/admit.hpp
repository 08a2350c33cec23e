#pragma once
#include "prefork/ipc.hpp"
#include "support/stralloc.hpp"

// Admission of one accepted connection and its environment.

/// The peer's path from accept, NUL-terminated ("" for an unbound peer).
extern char remotepath[IPC_PATHMAX + 1];
/// Queued environment entries of this connection: NAME=VALUE sets, NAME removes.
extern stralloc envplus;

/// Banner, variables, rules and admission line for connection fd: 1 serve, 0 refuse.
int doit(int fd);
/// Puts the child's own environment back after a served connection.
void env_reset();
/// The end-of-connection line, when verbosity >= 2.
void done();
