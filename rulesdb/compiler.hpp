// Ends the process on failure: exit 100 (usage, unparsable line) or 111.
#pragma once
#include "rulesdb/rulestext.hpp"

// The run shared by the two rules compilers: rules text on standard input
// (buffer_stdin), a new database written under the temporary name and
// renamed over the database.  Diagnostics carry the program's fatal prefix.

/// Compiles the rules of kind (rulestext_connection, rulestext_exec) for argv
/// (rules.cdb rules.tmp): 0 when the new database is in place; dies otherwise.
int compiler_run(int argc, char **argv, int kind, const char *fatal, const char *usage);
