#pragma once

// Option scanner: options are single letters after '-', several may share
// one word, and a letter followed by ':' in the option string takes an
// argument (the rest of the word, or else the next word).  "--" ends the
// options and is consumed; a lone "-" ends them and stays as an operand.

/// Index in argv of the word being scanned; afterwards the first operand.
extern int subgetoptind;
/// Position of the next letter within that word; 0 at a word boundary.
extern int subgetoptpos;
/// Argument of the option just returned, or null.
extern const char *subgetoptarg;
/// The option character that caused the last '?' result.
extern int subgetoptproblem;
/// Value returned when the options are over (-1).
extern int subgetoptdone;
/// Nonzero: sgetoptmine writes a line to buffer_2 for each problem.
extern int sgetopterr;
/// Name used in sgetoptmine's lines; set from argv[0] on the first call.
extern const char *sgetoptprogname;

/// Next option letter, '?' on a bad letter or missing argument, or subgetoptdone.
int subgetopt(int argc, char *const *argv, const char *opts);
/// subgetopt, writing "name: illegal option -- c" style lines on problems.
int sgetoptmine(int argc, char *const *argv, const char *opts);
