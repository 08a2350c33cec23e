#include "unixaddr.hpp"

#include <sys/socket.h>
#include <cerrno>

#include "support/byte.hpp"
#include "support/error.hpp"

int unixaddr_make(struct sockaddr_un *sa, const char *path) {
  byte_zero(sa, sizeof *sa);
  uint32_t len = str_len(path);
  if (len > sizeof sa->sun_path) {
    errno = error_proto;
    return -1;
  }
  sa->sun_family = AF_UNIX;
  byte_copy(sa->sun_path, len, path);
  return 0;
}
