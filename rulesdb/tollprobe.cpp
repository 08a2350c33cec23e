// tollprobe rules.cdb: shows what an exec-rules database says about running
// TOLLCALL as IPCUID for the peer in IPCREMOTEEUID and IPCREMOTEEGID.
#include "rulesdb/rulesreport.hpp"
#include "support/buffer.hpp"
#include "support/env.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

BUFFER_STDOUT_DEFINE;

namespace {

const char fatal[] = "tollprobe: fatal: ";
stralloc command;

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) strerr_diex(exit_perm, "tollprobe: usage: tollprobe rules.cdb");
  const char *uid = env_get("IPCREMOTEEUID");
  const char *gid = env_get("IPCREMOTEEGID");
  const char *target = env_get("IPCUID");
  const char *program = env_get("TOLLCALL");
  if (!program) strerr_diex(exit_temp, fatal, "TOLLCALL not set");
  if (!stralloc_copys(&command, target ? target : "0") || !stralloc_cats(&command, ".") ||
      !stralloc_cats(&command, program) || !stralloc_catb(&command, "", 1))
    strerr_diex(exit_temp, fatal, "out of memory");
  rulesreport_lookup(fatal, argv[1], uid, gid, command.bytes);
}
