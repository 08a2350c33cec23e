#pragma once
// Shared by the two files of the interpreter bridge; include after the Perl
// headers.

/// Compiles, in the new interpreter, the subroutine that assigns %ENV; exits
/// the child on failure.
void bridgeenv_compile(pTHX);
/// Makes %ENV and the interpreter's environment exactly entries e (NAME=value;
/// the later of two equal names wins); an error in the assignment is Perl's.
void bridgeenv_assign(pTHX_ char **e);
