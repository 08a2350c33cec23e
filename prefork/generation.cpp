// Generations of the pool: the supervisor's table of the current children,
// the load reports of -L, and the way an old child leaves after a reload.
#include "prefork/generation.hpp"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "prefork/state.hpp"
#include "support/alloc.hpp"
#include "support/ndelay.hpp"
#include "support/sig.hpp"

namespace {
struct member {
  pid_t pid;
  int loaded;
};
}  // namespace

// No more processes can exist at once on Linux (PID_MAX_LIMIT): a larger
// limit cannot be reached, and the table stops there.
static constexpr uint64_t pidmax = 4194304;
// Children of the current generation that died in a row before loading
// the script, with none loading it in between, after which the supervisor
// gives up (fewer when the pool is smaller).
static constexpr uint32_t failmax = 3;

static member *members;
static uint64_t room;
static uint64_t nummembers;
static uint32_t failures;
// Set for good by the first report of a current child; sigchld may read
// the reports too.
static volatile sig_atomic_t anyloaded;
// Each child of -L writes its pid once the script is loaded.
static int loadpipe[2] = {-1, -1};

int generation_init(uint64_t limit) {
  room = limit < pidmax ? limit : pidmax;
  members = (member *)alloc((uint32_t)(room * sizeof(member)));
  if (!members) return -1;
  if (!flagloadstart) return 0;
  if (pipe(loadpipe) == -1) return -1;
  coe(loadpipe[0]);
  coe(loadpipe[1]);
  // A report that finds the pipe full is lost rather than stall the child;
  // the supervisor drains the pipe whenever it waits.
  ndelay_on(loadpipe[0]);
  ndelay_on(loadpipe[1]);
  return 0;
}

int generation_full() { return nummembers >= room; }

void generation_add(pid_t pid) {
  if (nummembers < room) members[nummembers++] = {pid, 0};
}

static member *generation_find(pid_t pid) {
  for (uint64_t i = 0; i < nummembers; ++i)
    if (members[i].pid == pid) return members + i;
  return nullptr;
}

int generation_loadfd() { return loadpipe[0]; }

int generation_anyloaded() { return anyloaded; }

void generation_readloads() {
  if (loadpipe[0] == -1) return;
  pid_t pids[64];
  ssize_t r;
  // Writes of one pid are atomic, so a read never splits one.
  while ((r = read(loadpipe[0], pids, sizeof pids)) > 0) {
    for (ssize_t i = 0; i < r / (ssize_t)sizeof(pid_t); ++i) {
      member *m = generation_find(pids[i]);
      if (!m) continue;
      m->loaded = 1;
      anyloaded = 1;
      failures = 0;
    }
  }
}

int generation_reaped(pid_t pid) {
  // A child writes its report before it can die, so the reports are read
  // first: a child not marked loaded now never loaded.
  generation_readloads();
  member *m = generation_find(pid);
  if (!m) return 0;
  int loaded = m->loaded;
  *m = members[--nummembers];
  if (!flagloadstart || loaded) return 0;
  ++failures;
  return failures >= failmax || failures >= room;
}

void generation_renew() {
  for (uint64_t i = 0; i < nummembers; ++i) kill(members[i].pid, sig_hangup);
  nummembers = 0;
  failures = 0;
}

static volatile sig_atomic_t flagleave = 0;
static int listener = -1;

// SIGHUP in a child, which lets it in only while it waits for a
// connection.  Besides the flag that the child loop looks at before each
// accept, the child's descriptor of the listening socket is closed at
// once: an accept already waiting is interrupted, and one that was about
// to begin fails, so the child accepts nothing from the moment the signal
// lands.  A connection the accept returned just before is served out.
static void generation_leave(int) {
  if (flagleave) return;
  int e = errno;
  flagleave = 1;
  close(listener);
  errno = e;
}

void generation_child(int s) {
  listener = s;
  sig_catch(sig_hangup, generation_leave);
}

int generation_leaving() { return flagleave; }

void generation_loaded() {
  pid_t pid = getpid();
  if (write(loadpipe[1], &pid, sizeof pid) == -1) return;
}
