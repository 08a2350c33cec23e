#pragma once
#include <sys/types.h>

/// waitpid(-1, WNOHANG): child's pid, 0 when none changed state, -1 on error.
pid_t wait_nohang(int *wstat);
/// waitpid(pid, 0) repeated on EINTR; pid or -1.
pid_t wait_child(int *wstat, pid_t pid);
