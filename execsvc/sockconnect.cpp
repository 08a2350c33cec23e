// sockconnect: connects to a UNIX-domain socket and runs a program with the
// connection on descriptors 6 (read) and 7 (write).
//   sockconnect path program [args...]
#include <unistd.h>

#include "support/ipc.hpp"
#include "support/fd.hpp"
#include "support/ndelay.hpp"
#include "support/pathrun.hpp"
#include "support/strerr.hpp"

static constexpr const char *fatal = "sockconnect: fatal: ";

// A blocking connection: a server at its limit makes connect wait for room
// in the queue instead of failing, and the program gets blocking descriptors.
static int connect_to(const char *path) {
  int s = ipc_stream();
  if (s == -1) return -1;
  if (ndelay_off(s) == -1 || ipc_connect(s, path) == -1) return -1;
  return s;
}

int main(int argc, char **argv) {
  if (argc < 3) strerr_diex(exit_perm, "sockconnect: usage: sockconnect path program [args...]");
  int s = connect_to(argv[1]);
  if (s == -1) strerr_diesys(exit_temp, fatal, "unable to connect to ", argv[1], ": ");
  if (fd_copy(6, s) == -1 || fd_copy(7, s) == -1)
    strerr_diesys(exit_temp, fatal, "unable to set up descriptors: ");
  if (s != 6 && s != 7) close(s);
  pathrun(argv + 2);
  strerr_diesys(exit_temp, fatal, "unable to run ", argv[2], ": ");
}
