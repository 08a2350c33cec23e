// tollcall: asks the server on descriptors 6 and 7 to run a program as a
// user, then joins standard input and output to the connection.
#include "execsvc/relay.hpp"
#include "execsvc/request.hpp"
#include "support/fmt.hpp"
#include "support/strerr.hpp"

static constexpr const char *fatal = "tollcall: fatal: ";

static uint64_t uid;
static uint32_t argn;
static char **args;

static void send_request(buffer *out) { request_write(out, uid, argn, args); }

int main(int argc, char **argv) {
  if (argc < 3) strerr_diex(exit_perm, "tollcall: usage: tollcall uid program");
  scan_ulong(argv[1], &uid);
  argn = (uint32_t)(argc - 2);
  args = argv + 2;
  relay_pair(send_request);
  strerr_diesys(exit_temp, fatal, "unable to fork: ");
}
