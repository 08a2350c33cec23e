// gateprobe rules.cdb: shows what a connection-rules database says about the
// peer in IPCREMOTEEUID and IPCREMOTEEGID, and IPCREMOTEGROUPS when set.
#include "rulesdb/rulesreport.hpp"
#include "support/buffer.hpp"
#include "support/env.hpp"
#include "support/strerr.hpp"

BUFFER_STDOUT_DEFINE;

static constexpr const char *fatal = "gateprobe: fatal: ";

int main(int argc, char **argv) {
  if (argc < 2) strerr_diex(exit_perm, "gateprobe: usage: gateprobe rules.cdb");
  int r = rulesreport_write(buffer_stdout, argv[1], env_get("IPCREMOTEEUID"),
                            env_get("IPCREMOTEEGID"), env_get("IPCREMOTEGROUPS"), nullptr, nullptr);
  if (r == rulesreport_unreadable)
    strerr_diesys(exit_temp, fatal, "unable to read ", argv[1], ": ");
  if (r == rulesreport_unwritable) strerr_diesys(exit_temp, fatal, "unable to write output: ");
  return 0;
}
