#pragma once
#include "support/ipc.hpp"

// Admission of one accepted connection and its environment.

/// The peer's path from accept, NUL-terminated ("" for an unbound peer).
extern char remotepath[IPC_PATHMAX + 1];

/// Banner, variables, rules and admission line for connection fd: 1 serve, 0 refuse.
int doit(int fd);
/// Ends a connection, served or refused: puts the child's own environment back, empties the queue.
void admit_reset();
/// The end-of-connection line, when verbosity >= 2.
void done();
