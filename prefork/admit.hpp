#pragma once
#include "support/ipc.hpp"

// Admission of one accepted connection and its environment.

/// The peer's path from accept, NUL-terminated ("" for an unbound peer).
extern char remotepath[IPC_PATHMAX + 1];

/// Banner, variables, rules and admission line for connection fd: the
/// connection's environment (valid until admit_reset) to serve it, or null
/// to refuse it.  The process environment is left as it is.
char **doit(int fd);
/// Ends a connection, served or refused: frees its environment, empties the queue.
void admit_reset();
/// The end-of-connection line, when verbosity >= 2.
void done();
