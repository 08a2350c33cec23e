// gateprobe rules.cdb: shows what a connection-rules database says about the
// peer in IPCREMOTEEUID and IPCREMOTEEGID.
#include "rulesdb/rulesreport.hpp"
#include "support/buffer.hpp"
#include "support/env.hpp"
#include "support/strerr.hpp"

BUFFER_STDOUT_DEFINE;

int main(int argc, char **argv) {
  if (argc < 2) strerr_diex(exit_perm, "gateprobe: usage: gateprobe rules.cdb");
  rulesreport_lookup("gateprobe: fatal: ", argv[1], env_get("IPCREMOTEEUID"),
                     env_get("IPCREMOTEEGID"), nullptr);
}
