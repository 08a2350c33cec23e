#pragma once

// Telling a service manager that the service is ready: a datagram to the
// socket named in NOTIFY_SOCKET, or a newline on a descriptor that the
// supervisor reads (the notification-descriptor convention).

/// Connects to the socket named in NOTIFY_SOCKET (a path, or "@" and an
/// abstract name) and removes every NOTIFY_SOCKET from the environment: 1
/// when connected, 0 when the variable is absent, -1 with errno (then
/// notify_send sends nothing).
int notify_open();
/// Sends the datagram s to the socket of notify_open: 0 (also when there is
/// none), or -1 with errno.  Safe in a signal handler.
int notify_send(const char *s);
/// Closes the socket of notify_open, in a process that must not speak for the service.
void notify_close();
/// Writes one newline to fd and closes it: 0, or -1 with errno (fd closed).
int notify_fd(int fd);

// What corvane and sockserve do with these, their messages starting with self:
/// At start: notify_open, with a warning when it fails, and fd (unless -1)
/// made close-on-exec, fatal (111) when that fails.
void notify_setup(const char *self, int fd);
/// Once the socket s is known: fatal (111) when fd is s, which telling
/// readiness would close under the server.
void notify_notsocket(const char *self, int fd, int s);
/// READY=1 to the service manager, and the newline on fd (unless -1, then
/// closed); a warning for each that fails.
void notify_ready(const char *self, int fd);
