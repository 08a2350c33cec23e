#pragma once
#include <sys/types.h>

#include <cstdint>

// Generations of the pool.  The supervisor knows the children of the
// current generation by pid and, with -L, which of them have reported the
// script loaded.  A reload makes them an old generation: each is sent
// SIGHUP, serves out the connection it holds and exits, while a new
// generation is forked.  Old children are only counted by the pool.

/// Room for a generation of limit children and, with -L, the pipe of load
/// reports; 0, or -1 with errno.
int generation_init(uint64_t limit);
/// 1 when the current generation has all its children.
int generation_full();
/// Notes pid, just forked, as a child of the current generation.
void generation_add(pid_t pid);
/// Forgets reaped child pid; 1 when, with -L, the children of the current
/// generation keep dying before they report the script loaded.
int generation_reaped(pid_t pid);
/// Reads the load reports waiting in the pipe.
void generation_readloads();
/// 1 once a child of a current generation has reported the script loaded.
int generation_anyloaded();
/// Descriptor of the load reports' read end, or -1 without -L.
int generation_loadfd();
/// Sends SIGHUP to each child of the current generation; they are old from now on.
void generation_renew();

/// In a new child, listening on s: SIGHUP, which the child unblocks only
/// while it waits for a connection, makes it stop accepting at once and leave.
void generation_child(int s);
/// In a child: 1 once SIGHUP has told it to leave.
int generation_leaving();
/// In a child: reports to the supervisor that the script is loaded.
void generation_loaded();
