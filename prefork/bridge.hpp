#pragma once

/// Serves the connection on descriptors 0 and 1 by calling subroutine argv[1]
/// of script argv[0] with the words after it, with env (the connection's
/// environment) as %ENV; the child's interpreter is made at its first call.
/// The process environment is the child's own again when it returns.  Exits
/// the child on failure (100 without the two words).
void server(int argc, char **argv, char **env);
