#pragma once

/// Adds O_NONBLOCK to fd's flags; result of the F_SETFL call.
int ndelay_on(int fd);
/// Removes O_NONBLOCK from fd's flags; result of the F_SETFL call.
int ndelay_off(int fd);
/// Sets close-on-exec on fd; result of fcntl.
int coe(int fd);
