#include "lock.hpp"

#include <sys/file.h>

int lock_ex(int fd) { return flock(fd, LOCK_EX); }

int lock_un(int fd) { return flock(fd, LOCK_UN); }
