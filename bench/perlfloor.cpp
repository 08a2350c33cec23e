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

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile sig_atomic_t stopping = 0;
char *emptyenv[1] = {nullptr};
char perlarg0[1] = "";
char *perlargs[3];

void stop(int) { stopping = 1; }

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
  struct sockaddr_un sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof sa.sun_path) return 100;
  std::strcpy(sa.sun_path, argv[1]);
  int children = std::atoi(argv[2]);
  signal(SIGPIPE, SIG_IGN);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  unlink(argv[1]);
  if (s == -1 || bind(s, (struct sockaddr *)&sa, sizeof sa) == -1 || listen(s, 128) == -1) {
    std::perror("perlfloor");
    return 111;
  }
  struct sigaction sact;
  std::memset(&sact, 0, sizeof sact);
  sact.sa_handler = stop;
  sigaction(SIGTERM, &sact, nullptr);
  for (int i = 0; i < children; ++i)
    if (fork() == 0) {
      // Descriptors 0 and 1 are the connection's, as in corvane's children.
      close(0);
      close(1);
      child(s, argv[3], argv[4]);
    }
  while (!stopping) pause();
  signal(SIGTERM, SIG_IGN);
  kill(0, SIGTERM);
  while (wait(nullptr) > 0) {
  }
  return 0;
}
