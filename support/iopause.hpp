#pragma once
#include <poll.h>
#include "taia.hpp"

using iopause_fd = struct pollfd;

/// Milliseconds iopause waits for deadline seen at stamp: 0 when past, else
/// min(deadline - stamp, 1000 s) + 20 ms.
int iopause_timeout(const taia *deadline, const taia *stamp);
/// Clears revents of the n records and polls them until ready, a signal, or the deadline.
void iopause(iopause_fd *x, unsigned int n, const taia *deadline, const taia *stamp);
