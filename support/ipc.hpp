#pragma once
#include <cstdint>

#include "stralloc.hpp"

// Local (UNIX-domain) stream sockets.  A path may fill the whole 108-byte
// path field of the address; a longer one fails with error_proto before
// any system call.  Buffers that receive a path back hold IPC_PATHMAX + 1.

/// Size of the address's path field.
constexpr int IPC_PATHMAX = 108;

/// New non-blocking UNIX-domain stream socket, or -1 with errno.
int ipc_stream();
/// Binds s to path; 0, or -1 with errno (error_proto for a path over IPC_PATHMAX).
int ipc_bind(int s, const char *path);
/// ipc_bind after removing an old socket at path (no other file); 0 or -1 with errno.
int ipc_bind_reuse(int s, const char *path);
/// listen(s, backlog); 0 or -1 with errno.
int ipc_listen(int s, int backlog);
/// Copies s's own path into buf (n bytes with the NUL; none when n is 0),
/// *trunc 1 when cut; 0, or -1 with errno and nothing touched.
int ipc_local(int s, char *buf, int n, int *trunc);
/// Accepts on s, copying the peer's path like ipc_local; descriptor or -1 with errno.
int ipc_accept(int s, char *buf, int n, int *trunc);
/// Kernel-verified effective ids of the peer on s; 0, or -1 with errno.
int ipc_eid(int s, uint32_t *uid, uint32_t *gid);
/// The supplementary groups that the peer on s had when it connected, into
/// sa: decimal, ascending, each once, comma-separated, NUL-terminated (the
/// NUL not counted); 0, or -1 with errno.
int ipc_groups(int s, stralloc *sa);
/// Connects s to the socket at path; 0, or -1 with errno (error_proto for a path over IPC_PATHMAX).
int ipc_connect(int s, const char *path);
