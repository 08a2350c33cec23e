#include "error.hpp"

#include <cerrno>

int error_intr = EINTR;
int error_nomem = ENOMEM;
int error_noent = ENOENT;
int error_txtbsy = ETXTBSY;
int error_io = EIO;
int error_exist = EEXIST;
int error_timeout = ETIMEDOUT;
int error_inprogress = EINPROGRESS;
int error_wouldblock = EWOULDBLOCK;
int error_again = EAGAIN;
int error_pipe = EPIPE;
int error_perm = EPERM;
int error_acces = EACCES;
int error_nodevice = ENXIO;
int error_proto = EPROTO;
int error_isdir = EISDIR;
int error_connrefused = ECONNREFUSED;
int error_notdir = ENOTDIR;
int error_rofs = EROFS;

struct error_text {
  int number;
  const char *text;
};

// Rows not covered by the error_* variables, by symbol.  A linear table, not
// a switch: some symbols share a number (EDEADLK and EDEADLOCK on Linux), and
// the first row wins.  Symbols this platform lacks have no row.
static const error_text table[] = {
    {ESRCH, "no such process"},
    {E2BIG, "argument list too long"},
    {ENOEXEC, "exec format error"},
    {EBADF, "file descriptor not open"},
    {ECHILD, "no child processes"},
    {EDEADLK, "operation would cause deadlock"},
    {EFAULT, "bad address"},
    {ENOTBLK, "not a block device"},
    {EBUSY, "device busy"},
    {EXDEV, "cross-device link"},
    {ENODEV, "device does not support operation"},
    {EINVAL, "invalid argument"},
    {ENFILE, "system cannot open more files"},
    {EMFILE, "process cannot open more files"},
    {ENOTTY, "not a tty"},
    {EFBIG, "file too big"},
    {ENOSPC, "out of disk space"},
    {ESPIPE, "unseekable descriptor"},
    {EMLINK, "too many links"},
    {EDOM, "input out of range"},
    {ERANGE, "output out of range"},
    {EALREADY, "operation already in progress"},
    {ENOTSOCK, "not a socket"},
    {EDESTADDRREQ, "destination address required"},
    {EMSGSIZE, "message too long"},
    {EPROTOTYPE, "incorrect protocol type"},
    {ENOPROTOOPT, "protocol not available"},
    {EPROTONOSUPPORT, "protocol not supported"},
    {ESOCKTNOSUPPORT, "socket type not supported"},
    {EOPNOTSUPP, "operation not supported"},
    {EPFNOSUPPORT, "protocol family not supported"},
    {EAFNOSUPPORT, "address family not supported"},
    {EADDRINUSE, "address already used"},
    {EADDRNOTAVAIL, "address not available"},
    {ENETDOWN, "network down"},
    {ENETUNREACH, "network unreachable"},
    {ENETRESET, "network reset"},
    {ECONNABORTED, "connection aborted"},
    {ECONNRESET, "connection reset"},
    {ENOBUFS, "out of buffer space"},
    {EISCONN, "already connected"},
    {ENOTCONN, "not connected"},
    {ESHUTDOWN, "socket shut down"},
    {ETOOMANYREFS, "too many references"},
    {ELOOP, "symbolic link loop"},
    {ENAMETOOLONG, "file name too long"},
    {EHOSTDOWN, "host down"},
    {EHOSTUNREACH, "host unreachable"},
    {ENOTEMPTY, "directory not empty"},
#ifdef EPROCLIM
    {EPROCLIM, "too many processes"},
#endif
    {EUSERS, "too many users"},
    {EDQUOT, "disk quota exceeded"},
    {ESTALE, "stale NFS file handle"},
    {EREMOTE, "too many levels of remote in path"},
#ifdef EBADRPC
    {EBADRPC, "RPC structure is bad"},
#endif
#ifdef ERPCMISMATCH
    {ERPCMISMATCH, "RPC version mismatch"},
#endif
#ifdef EPROGUNAVAIL
    {EPROGUNAVAIL, "RPC program unavailable"},
#endif
#ifdef EPROGMISMATCH
    {EPROGMISMATCH, "program version mismatch"},
#endif
#ifdef EPROCUNAVAIL
    {EPROCUNAVAIL, "bad procedure for program"},
#endif
    {ENOLCK, "no locks available"},
    {ENOSYS, "system call not available"},
#ifdef EFTYPE
    {EFTYPE, "bad file type"},
#endif
#ifdef EAUTH
    {EAUTH, "authentication error"},
#endif
#ifdef ENEEDAUTH
    {ENEEDAUTH, "not authenticated"},
#endif
    {EIDRM, "identifier removed"},
    {ENOMSG, "no message of desired type"},
    {EBADMSG, "bad message type"},
    {EMULTIHOP, "multihop attempted"},
    {ENOLINK, "link severed"},
};

const char *error_str(int e) {
  if (e == 0) return "no error";
  if (e == error_intr) return "interrupted system call";
  if (e == error_nomem) return "out of memory";
  if (e == error_noent) return "file does not exist";
  if (e == error_txtbsy) return "text busy";
  if (e == error_io) return "input/output error";
  if (e == error_exist) return "file already exists";
  if (e == error_timeout) return "timed out";
  if (e == error_inprogress) return "operation in progress";
  if (e == error_again) return "temporary failure";
  if (e == error_wouldblock) return "temporary failure";
  if (e == error_pipe) return "broken pipe";
  if (e == error_perm) return "permission denied";
  if (e == error_acces) return "access denied";
  if (e == error_nodevice) return "device not configured";
  if (e == error_proto) return "protocol error";
  if (e == error_isdir) return "is a directory";
  if (e == error_connrefused) return "connection refused";
  if (e == error_notdir) return "not a directory";
  if (e == error_rofs) return "read-only file system";
  for (const error_text &row : table)
    if (row.number == e) return row.text;
  return "unknown error";
}
