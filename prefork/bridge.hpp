#pragma once

/// Serves the connection on descriptors 0 and 1 by calling subroutine argv[1]
/// of script argv[0] with the words after it, with env (the connection's
/// environment) as %ENV; the child's interpreter is made at its first call.
/// The process environment is the child's own again when it returns.  Exits
/// the child on failure (100 without the two words).
void server(int argc, char **argv, char **env);
/// Exits 100 with the usage line unless argv names a script and a subroutine.
void server_words(char **argv);
/// Creates the interpreter, runs script argv[0] and checks that subroutine
/// argv[1] is defined; exits the child 111 after a line saying why when
/// one fails.
void server_load(char **argv);
