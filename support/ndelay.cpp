#include "ndelay.hpp"

#include <fcntl.h>

int ndelay_on(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

int ndelay_off(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK); }

int coe(int fd) { return fcntl(fd, F_SETFD, FD_CLOEXEC); }
