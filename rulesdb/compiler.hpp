// Ends the process on failure: exit 100 (usage, unparsable line) or 111.
#pragma once
#include "rulesdb/rulestext.hpp"

// The run shared by the two rules compilers: rules text on standard input
// (buffer_stdin), a new database written under the temporary name and
// renamed over the database.  Diagnostics carry the program's fatal prefix.

/// The program's own prefixes and usage line.
struct compiler_texts {
  const char *fatal;
  const char *warning;
  const char *usage;
};

/// Compiles the rules of kind (rulestext_connection, rulestext_exec) for argv
/// (rules.cdb rules.tmp): 0 when the new database is in place; dies otherwise.
/// Lines that compile but cannot work as they look get a warning each.
int compiler_run(int argc, char **argv, int kind, const compiler_texts *texts);
