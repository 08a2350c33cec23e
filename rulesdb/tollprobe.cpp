// tollprobe rules.cdb: shows what an exec-rules database says about running
// TOLLCALL as IPCUID for the peer in IPCREMOTEEUID, IPCREMOTEEGID and,
// when set, IPCREMOTEGROUPS.
#include "rulesdb/rulesreport.hpp"
#include "support/buffer.hpp"
#include "support/env.hpp"
#include "support/strerr.hpp"

BUFFER_STDOUT_DEFINE;

static constexpr const char *fatal = "tollprobe: fatal: ";

int main(int argc, char **argv) {
  if (argc < 2) strerr_diex(exit_perm, "tollprobe: usage: tollprobe rules.cdb");
  const char *uid = env_get("IPCREMOTEEUID");
  const char *gid = env_get("IPCREMOTEEGID");
  const char *target = env_get("IPCUID");
  const char *program = env_get("TOLLCALL");
  if (!program) strerr_diex(exit_temp, fatal, "TOLLCALL not set");
  const char *groups = env_get("IPCREMOTEGROUPS");
  int r = rulesreport_write(buffer_stdout, argv[1], uid, gid, groups, target ? target : "0", program);
  if (r == rulesreport_unreadable)
    strerr_diesys(exit_temp, fatal, "unable to read ", argv[1], ": ");
  if (r == rulesreport_unwritable) strerr_diesys(exit_temp, fatal, "unable to write output: ");
  return 0;
}
