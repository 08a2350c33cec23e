#include "lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

int lock_ex(int fd) { return flock(fd, LOCK_EX); }

int lock_un(int fd) { return flock(fd, LOCK_UN); }

// A record lock belongs to the process, not to the open file: children that
// share one open file still exclude each other.
static int lock_record(int fd, short type, int cmd) {
  struct flock fl;
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  fl.l_pid = 0;
  return fcntl(fd, cmd, &fl);
}

int lock_exrecord(int fd) { return lock_record(fd, F_WRLCK, F_SETLKW); }

int lock_unrecord(int fd) { return lock_record(fd, F_UNLCK, F_SETLK); }
