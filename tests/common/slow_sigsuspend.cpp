// Preloaded into a program under test: each sigsuspend first sleeps 300 ms,
// which widens the moment between a program's last look at its state and
// its suspension, so that a signal can be sent into it on purpose.
#include <dlfcn.h>
#include <signal.h>
#include <time.h>

extern "C" int sigsuspend(const sigset_t *mask) {
  using real_t = int (*)(const sigset_t *);
  static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "sigsuspend"));
  struct timespec pause = {0, 300 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  return real(mask);
}
