// sockconnect: connects to a UNIX-domain socket and runs a program with the
// connection on descriptors 6 (read) and 7 (write).
//   sockconnect path program [args...]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>

#include "support/fd.hpp"
#include "support/pathrun.hpp"
#include "support/strerr.hpp"
#include "tools/unixaddr.hpp"

#define FATAL "sockconnect: fatal: "

static int connect_to(const char *path) {
  struct sockaddr_un sa;
  if (unixaddr_make(&sa, path) == -1) return -1;
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (s == -1) return -1;
  if (connect(s, (struct sockaddr *)&sa, sizeof sa) == -1) {
    int e = errno;
    close(s);
    errno = e;
    return -1;
  }
  return s;
}

int main(int argc, char **argv) {
  if (argc < 3) strerr_diex(exit_perm, "sockconnect: usage: sockconnect path program [args...]");
  int s = connect_to(argv[1]);
  if (s == -1) strerr_diesys(exit_temp, FATAL, "unable to connect to ", argv[1], ": ");
  if (fd_copy(6, s) == -1 || fd_copy(7, s) == -1)
    strerr_diesys(exit_temp, FATAL, "unable to set up descriptors: ");
  if (s != 6 && s != 7) close(s);
  pathrun(argv + 2);
  strerr_diesys(exit_temp, FATAL, "unable to run ", argv[2], ": ");
}
