#include "ipc.hpp"

#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "byte.hpp"
#include "error.hpp"
#include "fmt.hpp"
#include "ndelay.hpp"

static_assert(sizeof(((struct sockaddr_un *)nullptr)->sun_path) == IPC_PATHMAX);

int ipc_stream() {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (s == -1) return -1;
  if (ndelay_on(s) == -1) {
    close(s);
    return -1;
  }
  return s;
}

// Fills a zeroed address with path; 0, or -1 (error_proto) when it does not fit.
static int ipc_address(struct sockaddr_un *sa, const char *path) {
  uint32_t len = str_len(path);
  if (len > (uint32_t)IPC_PATHMAX) {
    errno = error_proto;
    return -1;
  }
  byte_zero(sa, sizeof *sa);
  sa->sun_family = AF_UNIX;
  byte_copy(sa->sun_path, len, path);
  return 0;
}

int ipc_bind(int s, const char *path) {
  struct sockaddr_un sa;
  if (ipc_address(&sa, path) == -1) return -1;
  return bind(s, (struct sockaddr *)&sa, sizeof sa);
}

int ipc_bind_reuse(int s, const char *path) {
  struct sockaddr_un sa;
  if (ipc_address(&sa, path) == -1) return -1;
  // Only an old socket goes: any other file stays, and the bind fails.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path);
  return bind(s, (struct sockaddr *)&sa, sizeof sa);
}

int ipc_listen(int s, int backlog) { return listen(s, backlog); }

// Copies the path of an address that the system returned with length len.
static void ipc_path(const struct sockaddr_un *sa, socklen_t len, char *buf, int n,
                     int *trunc) {
  uint32_t field = 0;
  uint32_t offset = offsetof(struct sockaddr_un, sun_path);
  if (len > offset) field = len - offset;
  if (field > (uint32_t)IPC_PATHMAX) field = IPC_PATHMAX;
  uint32_t plen = byte_chr(sa->sun_path, field, 0);
  *trunc = 1;
  if (n <= 0) return;
  if (plen < (uint32_t)n) {
    byte_copy(buf, plen, sa->sun_path);
    buf[plen] = 0;
    *trunc = 0;
    return;
  }
  byte_copy(buf, (uint32_t)n - 1, sa->sun_path);
  buf[n - 1] = 0;
}

int ipc_local(int s, char *buf, int n, int *trunc) {
  struct sockaddr_un sa;
  socklen_t len = sizeof sa;
  byte_zero(&sa, sizeof sa);
  if (getsockname(s, (struct sockaddr *)&sa, &len) == -1) return -1;
  ipc_path(&sa, len, buf, n, trunc);
  return 0;
}

int ipc_accept(int s, char *buf, int n, int *trunc) {
  struct sockaddr_un sa;
  socklen_t len = sizeof sa;
  byte_zero(&sa, sizeof sa);
  int fd = accept(s, (struct sockaddr *)&sa, &len);
  if (fd == -1) return -1;
  ipc_path(&sa, len, buf, n, trunc);
  return fd;
}

int ipc_eid(int s, uint32_t *uid, uint32_t *gid) {
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &len) == -1) return -1;
  *uid = cred.uid;
  *gid = cred.gid;
  return 0;
}

// The peer's group list as the kernel gives it, grown to the size it asks
// for and kept from one call to the next.
static stralloc ipc_gidspace;

int ipc_groups(int s, stralloc *sa) {
  socklen_t len = ipc_gidspace.capacity;
  while (getsockopt(s, SOL_SOCKET, SO_PEERGROUPS, ipc_gidspace.bytes, &len) == -1) {
    if (errno != ERANGE || len <= ipc_gidspace.capacity) return -1;
    if (!stralloc_ready(&ipc_gidspace, len)) return -1;
    len = ipc_gidspace.capacity;
  }
  gid_t *g = (gid_t *)ipc_gidspace.bytes;
  uint32_t n = len / sizeof(gid_t);
  if (n) std::sort(g, g + n);
  sa->length = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (i && g[i] == g[i - 1]) continue;
    char num[FMT_ULONG];
    if (sa->length && !stralloc_append(sa, ",")) return -1;
    if (!stralloc_catb(sa, num, fmt_ulong(num, g[i]))) return -1;
  }
  if (!stralloc_append(sa, "")) return -1;
  --sa->length;
  return 0;
}

int ipc_connect(int s, const char *path) {
  struct sockaddr_un sa;
  if (ipc_address(&sa, path) == -1) return -1;
  return connect(s, (struct sockaddr *)&sa, sizeof sa);
}
