#include "iopause.hpp"

int iopause_timeout(const taia *deadline, const taia *stamp) {
  if (taia_less(deadline, stamp)) return 0;
  taia t;
  taia_sub(&t, deadline, stamp);
  double d = taia_approx(&t);
  if (d > 1000.0) d = 1000.0;
  return (int)(d * 1000.0 + 20.0);
}

void iopause(iopause_fd *x, unsigned int n, const taia *deadline, const taia *stamp) {
  const int millisecs = iopause_timeout(deadline, stamp);
  for (unsigned int i = 0; i < n; ++i) x[i].revents = 0;
  // Errors, timeouts and interruptions all simply return; the caller looks at
  // the returned events and its own state.
  poll(x, n, millisecs);
}
