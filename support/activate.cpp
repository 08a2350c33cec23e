// Socket activation: the service manager binds and listens, and hands the
// socket over on descriptor 3, naming the receiving process in LISTEN_PID so
// that a program it starts in turn does not take the socket for its own.
#include "activate.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "byte.hpp"
#include "env.hpp"
#include "fmt.hpp"

static constexpr int activate_fd = 3;
static char activate_text[80];

// 1 when s is a whole decimal number equal to n.
static int activate_is(const char *s, uint64_t n) {
  uint64_t u;
  uint32_t len = scan_ulong(s, &u);
  return len && len <= 19 && !s[len] && u == n;
}

static int activate_option(int level, int name) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(activate_fd, level, name, &value, &len) == -1) return -1;
  return value;
}

// Null when descriptor 3 is a listening UNIX-domain stream socket, else what it is not.
static const char *activate_check() {
  struct stat st;
  if (fstat(activate_fd, &st) == -1) return "descriptor 3 is not open";
  if (!S_ISSOCK(st.st_mode)) return "descriptor 3 is not a socket";
  if (activate_option(SOL_SOCKET, SO_DOMAIN) != AF_UNIX)
    return "descriptor 3 is not a UNIX-domain socket";
  if (activate_option(SOL_SOCKET, SO_TYPE) != SOCK_STREAM) return "descriptor 3 is not a stream socket";
  if (activate_option(SOL_SOCKET, SO_ACCEPTCONN) != 1) return "descriptor 3 is not listening";
  return nullptr;
}

// Appends s to activate_text at *at, cut to leave room for keep more bytes and the NUL.
static void activate_cat(uint32_t *at, const char *s, uint32_t keep) {
  uint32_t n = str_len(s);
  uint32_t room = sizeof activate_text - 1 - keep - *at;
  if (n > room) n = room;
  byte_copy(activate_text + *at, n, s);
  *at += n;
  activate_text[*at] = 0;
}

// "LISTEN_FDS is VALUE, not 1", the value cut to fit.
static const char *activate_count(const char *fds) {
  static constexpr const char *tail = ", not 1";
  uint32_t at = 0;
  activate_cat(&at, "LISTEN_FDS is ", 0);
  activate_cat(&at, fds, str_len(tail));
  activate_cat(&at, tail, 0);
  return activate_text;
}

int activate_socket(const char **what) {
  const char *pid = env_get("LISTEN_PID");
  if (!pid || !activate_is(pid, (uint64_t)getpid())) return activate_none;
  const char *fds = env_get("LISTEN_FDS");
  if (!fds) {
    *what = "LISTEN_FDS is not set";
    return activate_bad;
  }
  if (!activate_is(fds, 1)) {
    *what = activate_count(fds);
    return activate_bad;
  }
  *what = activate_check();
  if (*what) return activate_bad;
  env_unset("LISTEN_PID");
  env_unset("LISTEN_FDS");
  env_unset("LISTEN_FDNAMES");
  return activate_fd;
}
