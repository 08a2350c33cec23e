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
extern int flagloadstart;         ///< 1: each child loads the script before it accepts
extern int flaggroups;            ///< 1: take the peer's supplementary groups from the kernel
extern uint64_t limit;            ///< children in the pool
extern uint64_t peruid;           ///< connections served at once from one uid; 0: no limit
extern uint64_t timelimit;        ///< seconds one connection may be served; 0: no limit
extern uint64_t backlog;          ///< listen queue length
extern const char *lockfile;      ///< held around each accept, or null
extern const char *fnrules;       ///< connection-rules database, or null
extern const char *forcelocal;    ///< IPCLOCALPATH instead of the socket's path, or null
extern uint64_t uid;              ///< user id to switch to; 0: none
extern uint64_t gid;              ///< group id to switch to; 0: none
extern int fdnotify;              ///< told of readiness by one newline, then closed; -1: none
extern int fdlock;                ///< descriptor of lockfile
extern int selfpipe[2];           ///< read end, write end

/// What follows the program's name in a message that ends it.
inline constexpr const char *fatal = ": fatal: ";
/// What follows the program's name when one connection is given up.
inline constexpr const char *dropping = ": warning: dropping connection, ";
