// The limits of -C and -t.
//
// -C: each child owns one slot of a table in an anonymous shared mapping
// made before the first fork.  A child about to serve a connection counts
// the slots that hold the peer's uid (plus one: 0 is no connection) and,
// below the limit, writes it into its own slot, all under a lock shared by
// the children: the count never exceeds the limit, whatever the timing.
// Giving a connection back needs no lock: a count that still sees it only
// refuses.  The lock is a word holding the pid of its holder; a child
// takes a free slot at its first connection; the supervisor frees the slot
// (and the lock, if it held it) of each child it reaps, so a child that
// dies, even in the middle of a count, gives everything back.
//
// -t: a timer of the child's own (not alarm, which the served code may
// use) raises a real-time signal, which the served code has no reason to
// catch; its handler writes the prepared line and ends the child.
#include "prefork/guard.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "prefork/state.hpp"
#include "support/error.hpp"
#include "support/sig.hpp"
#include "support/stralloc.hpp"
#include "support/strerr.hpp"

struct guard_slot {
  std::atomic<pid_t> owner;       // the child holding the slot; 0: free
  std::atomic<uint64_t> serving;  // uid + 1 of its connection; 0: none
};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free,
              "the slots are shared between processes and read in a signal handler");

// The mapping: the lock word, then the slots.
static constexpr size_t guard_head = 64;
static std::atomic<pid_t> *lockword;
static guard_slot *slots;
static uint64_t numslots;
static guard_slot *mine;
static timer_t timer;
static int timerready;
static stralloc timeline;

int guard_init(uint64_t children) {
  uint64_t n = children ? children : 1;
  if (n > (SIZE_MAX - guard_head) / sizeof(guard_slot)) {
    errno = error_nomem;
    return -1;
  }
  void *p = mmap(nullptr, guard_head + n * sizeof(guard_slot), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return -1;
  lockword = new (p) std::atomic<pid_t>(0);
  slots = reinterpret_cast<guard_slot *>(static_cast<char *>(p) + guard_head);
  for (uint64_t i = 0; i < n; ++i) new (&slots[i]) guard_slot();
  numslots = n;
  return 0;
}

void guard_reaped(pid_t pid) {
  if (!numslots) return;
  pid_t holder = pid;
  lockword->compare_exchange_strong(holder, 0);
  for (uint64_t i = 0; i < numslots; ++i) {
    if (slots[i].owner.load() != pid) continue;
    slots[i].serving.store(0);
    slots[i].owner.store(0);
    return;
  }
}

// A free slot for this child, taken for its life; null when none is free.
static guard_slot *guard_take(pid_t me) {
  for (uint64_t i = 0; i < numslots; ++i) {
    pid_t none = 0;
    if (slots[i].owner.compare_exchange_strong(none, me)) return &slots[i];
  }
  return nullptr;
}

// Held for a count and a store, a few hundred instructions: waiting yields.
static void guard_lock(pid_t me) {
  for (pid_t none = 0; !lockword->compare_exchange_weak(none, me); none = 0) sched_yield();
}

int guard_claim(uint32_t uid) {
  if (!peruid) return 1;
  static pid_t me;
  if (!mine) mine = guard_take(me = getpid());
  if (!mine) return 0;
  uint64_t v = (uint64_t)uid + 1;
  uint64_t n = 0;
  guard_lock(me);
  for (uint64_t i = 0; i < numslots && n < peruid; ++i)
    if (slots[i].serving.load() == v) ++n;
  if (n < peruid) mine->serving.store(v);
  lockword->store(0);
  return n < peruid;
}

static void guard_timeout(int) {
  if (timeline.length) {
    ssize_t w = write(2, timeline.bytes, timeline.length);
    (void)w;
  }
  _exit(exit_temp);
}

int guard_start(const char *line, uint32_t n) {
  if (!timelimit) return 0;
  if (!stralloc_copyb(&timeline, line, n)) return -1;
  if (!timerready) {
    struct sigevent ev {};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGRTMIN;
    if (timer_create(CLOCK_MONOTONIC, &ev, &timer) == -1) return -1;
    timerready = 1;
  }
  // Again for each connection: the served code may have changed it.
  sig_catch(SIGRTMIN, guard_timeout);
  struct itimerspec when {};
  when.it_value.tv_sec = (time_t)timelimit;
  return timer_settime(timer, 0, &when, nullptr);
}

void guard_release() {
  if (mine) mine->serving.store(0);
  if (!timerready) return;
  struct itimerspec off {};
  timer_settime(timer, 0, &off, nullptr);
}
