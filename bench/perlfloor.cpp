// perlfloor path children script sub: the least an embedded-Perl pre-forked
// server can do per connection, as the yardstick for corvane.  Binds path,
// forks `children` processes; each creates one interpreter for `script`
// (with the settings corvane uses) and then, in a loop, accepts, puts the
// connection on descriptors 0 and 1, calls subroutine `sub` through
// call_argv, flushes the interpreter's output and closes.  No rules, no
// environment.  Runs until SIGTERM, which it passes on to the children.
#define PERL_NO_GET_CONTEXT
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>

#include <unistd.h>

#include <cstdlib>

#include "bench/prefork.hpp"

namespace {

char *emptyenv[1] = {nullptr};
char perlarg0[1] = "";
char *perlargs[3];

EXTERN_C void boot_DynaLoader(pTHX_ CV *cv);
void xs_init(pTHX) { newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, __FILE__); }

PerlInterpreter *interpreter(char *script) {
  static int sysargc = 0;
  static char **sysargv = emptyenv;
  static char **sysenv = emptyenv;
  PERL_SYS_INIT3(&sysargc, &sysargv, &sysenv);
  PL_use_safe_putenv = FALSE;
  PerlInterpreter *my_perl = perl_alloc();
  if (!my_perl) _exit(111);
  perl_construct(my_perl);
  perlargs[0] = perlarg0;
  perlargs[1] = script;
  perlargs[2] = nullptr;
  if (perl_parse(my_perl, xs_init, 2, perlargs, emptyenv) || perl_run(my_perl)) _exit(111);
  return my_perl;
}

[[noreturn]] void child(int s, char *script, char *sub) {
  signal(SIGTERM, SIG_DFL);
  PerlInterpreter *my_perl = interpreter(script);
  char *none[1] = {nullptr};
  for (;;) {
    int fd = accept(s, nullptr, nullptr);
    if (fd == -1) continue;
    if (fd != 0) {
      dup2(fd, 0);
      close(fd);
    }
    dup2(0, 1);
    call_argv(sub, G_VOID | G_DISCARD, none);
    PerlIO_flush(nullptr);
    close(0);
    close(1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::fputs("usage: perlfloor path children script sub\n", stderr);
    return 100;
  }
  int s = bench_listen(argv[1], "perlfloor");
  int children = std::atoi(argv[2]);
  for (int i = 0; i < children; ++i)
    if (fork() == 0) {
      // Descriptors 0 and 1 are the connection's, as in corvane's children.
      close(0);
      close(1);
      child(s, argv[3], argv[4]);
    }
  return bench_wait_stop();
}
