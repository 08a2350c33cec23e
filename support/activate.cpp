// Socket activation: the service manager binds and listens, and hands the
// socket over on descriptor 3, naming the receiving process in LISTEN_PID so
// that a program it starts in turn does not take the socket for its own.
#include "activate.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "byte.hpp"
#include "env.hpp"
#include "error.hpp"
#include "fmt.hpp"
#include "ndelay.hpp"

static constexpr int activate_fd = 3;
static char activate_text[160];

// 1 when s is a whole decimal number equal to n.
static int activate_is(const char *s, uint64_t n) {
  uint64_t u;
  return scan_decimal(s, UINT64_MAX, &u) && u == n;
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

// activate_bad, with *what the message: the fixed head, a, and b (cut to fit) and c.
static int activate_fail(const char **what, const char *a, const char *b = "", const char *c = "") {
  uint32_t at = 0;
  activate_cat(&at, "unable to take the socket from the service manager: ", 0);
  activate_cat(&at, a, 0);
  activate_cat(&at, b, str_len(c));
  activate_cat(&at, c, 0);
  *what = activate_text;
  return activate_bad;
}

// Descriptor 3 close-on-exec, so that no program the service starts can
// accept on it, and in the blocking mode asked for; 0 or -1.
static int activate_modes(int flagblocking) {
  if (coe(activate_fd) == -1) return -1;
  return flagblocking ? ndelay_off(activate_fd) : ndelay_on(activate_fd);
}

int activate_socket(const char **what, int flagblocking) {
  const char *pid = env_get("LISTEN_PID");
  if (!pid || !activate_is(pid, (uint64_t)getpid())) return activate_none;
  const char *fds = env_get("LISTEN_FDS");
  if (!fds) return activate_fail(what, "LISTEN_FDS is not set");
  if (!activate_is(fds, 1)) return activate_fail(what, "LISTEN_FDS is ", fds, ", not 1");
  const char *not_one = activate_check();
  if (not_one) return activate_fail(what, not_one);
  if (activate_modes(flagblocking) == -1)
    return activate_fail(what, "descriptor 3 cannot be set up: ", error_str(errno));
  env_unset("LISTEN_PID");
  env_unset("LISTEN_FDS");
  env_unset("LISTEN_FDNAMES");
  return activate_fd;
}
