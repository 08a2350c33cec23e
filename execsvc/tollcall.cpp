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
  // A uid that is not a number (a name, a typo, an empty variable) is a
  // usage error, never a request for uid 0.
  if (argc < 3 || !scan_decimal(argv[1], UINT64_MAX, &uid))
    strerr_diex(exit_perm, "tollcall: usage: tollcall uid program");
  argn = (uint32_t)(argc - 2);
  args = argv + 2;
  relay_pair(send_request);
  strerr_diesys(exit_temp, fatal, "unable to fork: ");
}
