// Readiness notification.  The datagram socket is connected once, at
// start-up, while NOTIFY_SOCKET is still in the environment; the variable
// then goes, so that no program the service starts speaks for it.
#include "notify.hpp"

#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "byte.hpp"
#include "env.hpp"
#include "error.hpp"
#include "ndelay.hpp"
#include "strerr.hpp"

static int notify_socket = -1;

// Connects s to name: a path, or an abstract name after "@".
static int notify_connect(int s, const char *name) {
  struct sockaddr_un sa;
  uint32_t len = str_len(name);
  if (!len || len > sizeof sa.sun_path) {
    errno = error_proto;
    return -1;
  }
  byte_zero(&sa, sizeof sa);
  sa.sun_family = AF_UNIX;
  byte_copy(sa.sun_path, len, name);
  if (name[0] == '@') sa.sun_path[0] = 0;
  socklen_t salen = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + len);
  return connect(s, (struct sockaddr *)&sa, salen);
}

int notify_open() {
  const char *name = env_get("NOTIFY_SOCKET");
  if (!name) return 0;
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int r = s == -1 ? -1 : notify_connect(s, name);
  int e = errno;
  env_unset("NOTIFY_SOCKET");
  if (r == -1) {
    if (s != -1) close(s);
    errno = e;
    return -1;
  }
  notify_socket = s;
  return 1;
}

int notify_send(const char *s) {
  if (notify_socket == -1) return 0;
  if (send(notify_socket, s, str_len(s), MSG_NOSIGNAL) == -1) return -1;
  return 0;
}

void notify_close() {
  if (notify_socket != -1) close(notify_socket);
  notify_socket = -1;
}

int notify_fd(int fd) {
  ssize_t w;
  do w = write(fd, "\n", 1);
  while (w == -1 && errno == error_intr);
  int e = errno;
  close(fd);
  errno = e;
  return w == 1 ? 0 : -1;
}

void notify_setup(const char *self, int fd) {
  if (notify_open() == -1)
    strerr_warnsys(self, ": warning: unable to notify the service manager: ");
  if (fd != -1 && coe(fd) == -1)
    strerr_diesys(exit_temp, self, ": fatal: unable to use the notification descriptor: ");
}

void notify_notsocket(const char *self, int fd, int s) {
  if (fd == s)
    strerr_diex(exit_temp, self, ": fatal: unable to use the notification descriptor: ",
                "it is the listening socket");
}

void notify_ready(const char *self, int fd) {
  if (notify_send("READY=1") == -1)
    strerr_warnsys(self, ": warning: unable to notify the service manager: ");
  if (fd != -1 && notify_fd(fd) == -1)
    strerr_warnsys(self, ": warning: unable to write to the notification descriptor: ");
}
