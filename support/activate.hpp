#pragma once

// A listening socket handed over by a service manager: LISTEN_PID names the
// process it is meant for and LISTEN_FDS counts the descriptors passed from
// descriptor 3 on.

/// Result of activate_socket: no socket was handed to this process.
constexpr int activate_none = -1;
/// Result of activate_socket: what was handed over is not one listening
/// UNIX-domain stream socket.
constexpr int activate_bad = -2;

/// Descriptor 3 when LISTEN_PID is this process's id, LISTEN_FDS is 1 and
/// descriptor 3 is a listening UNIX-domain stream socket, made close-on-exec
/// and blocking (flagblocking 1) or not; LISTEN_PID, LISTEN_FDS and
/// LISTEN_FDNAMES are then removed from the environment.  activate_none when
/// LISTEN_PID is absent or names another process; activate_bad otherwise,
/// with *what pointing at the message, which says what was found.
int activate_socket(const char **what, int flagblocking);
