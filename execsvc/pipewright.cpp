// pipewright: joins standard input and output to the connection on
// descriptors 6 and 7 until the server closes it.
#include "execsvc/relay.hpp"
#include "support/strerr.hpp"

static constexpr const char *fatal = "pipewright: fatal: ";

int main() {
  relay_pair(nullptr);
  strerr_diesys(exit_temp, fatal, "unable to fork: ");
}
