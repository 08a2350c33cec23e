#pragma once
#include <cstdint>

// Process state of the server, set by main before the first fork and only
// read afterwards (each child has its own copy).

extern const char *self;          ///< argv[0] as given
extern int verbosity;             ///< 0 silent, 1 warnings, 2 log lines
extern const char *banner;        ///< written to each connection first; "" for none
extern int flagdelete;            ///< 1: remove a file at the socket path before binding
extern int flagpeereid;           ///< 1: take the peer's ids from the kernel
extern int flagallownorules;      ///< 1: a missing rules database admits everyone
extern uint64_t limit;            ///< children in the pool
extern uint64_t backlog;          ///< listen queue length
extern const char *lockfile;      ///< held around each accept, or null
extern const char *fnrules;       ///< connection-rules database, or null
extern const char *forcelocal;    ///< IPCLOCALPATH instead of the socket's path, or null
extern uint64_t uid;              ///< user id to switch to; 0: none
extern uint64_t gid;              ///< group id to switch to; 0: none
extern int fdlock;                ///< descriptor of lockfile
extern int selfpipe[2];           ///< read end, write end
extern int lop;                   ///< truncation flag of the address reads; not consulted

/// Keeps the pool of children alive until SIGTERM; exits 0 then.
[[noreturn]] void supervise(int s, int argc, char **argv);
/// The status line, when verbosity >= 2.
void printstatus();
/// SIGCHLD handler: reaps and logs children, exits 0 when stopping and none is left.
void sigchld(int);
/// SIGTERM handler: stops forking and signals the process group.
void sigterm(int);
