#include "support/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

TEST(error, ConstantsHoldPlatformNumbers) {
  EXPECT_EQ(error_intr, EINTR);
  EXPECT_EQ(error_nomem, ENOMEM);
  EXPECT_EQ(error_noent, ENOENT);
  EXPECT_EQ(error_txtbsy, ETXTBSY);
  EXPECT_EQ(error_io, EIO);
  EXPECT_EQ(error_exist, EEXIST);
  EXPECT_EQ(error_timeout, ETIMEDOUT);
  EXPECT_EQ(error_inprogress, EINPROGRESS);
  EXPECT_EQ(error_wouldblock, EWOULDBLOCK);
  EXPECT_EQ(error_again, EAGAIN);
  EXPECT_EQ(error_pipe, EPIPE);
  EXPECT_EQ(error_perm, EPERM);
  EXPECT_EQ(error_acces, EACCES);
  EXPECT_EQ(error_nodevice, ENXIO);
  EXPECT_EQ(error_proto, EPROTO);
  EXPECT_EQ(error_isdir, EISDIR);
  EXPECT_EQ(error_connrefused, ECONNREFUSED);
  EXPECT_EQ(error_notdir, ENOTDIR);
  EXPECT_EQ(error_rofs, EROFS);
}

TEST(error_str, NoErrorAndUnknown) {
  EXPECT_STREQ(error_str(0), "no error");
  EXPECT_STREQ(error_str(-1), "unknown error");
  EXPECT_STREQ(error_str(-EPERM), "unknown error");
  EXPECT_STREQ(error_str(100000), "unknown error");
}

TEST(error_str, TemporaryFailureForAgainAndWouldblock) {
  EXPECT_STREQ(error_str(EAGAIN), "temporary failure");
  EXPECT_STREQ(error_str(EWOULDBLOCK), "temporary failure");
}

TEST(error_str, TextsOfTheConstants) {
  EXPECT_STREQ(error_str(EINTR), "interrupted system call");
  EXPECT_STREQ(error_str(ENOMEM), "out of memory");
  EXPECT_STREQ(error_str(ENOENT), "file does not exist");
  EXPECT_STREQ(error_str(ETXTBSY), "text busy");
  EXPECT_STREQ(error_str(EIO), "input/output error");
  EXPECT_STREQ(error_str(EEXIST), "file already exists");
  EXPECT_STREQ(error_str(ETIMEDOUT), "timed out");
  EXPECT_STREQ(error_str(EINPROGRESS), "operation in progress");
  EXPECT_STREQ(error_str(EPIPE), "broken pipe");
  EXPECT_STREQ(error_str(EPERM), "permission denied");
  EXPECT_STREQ(error_str(EACCES), "access denied");
  EXPECT_STREQ(error_str(ENXIO), "device not configured");
  EXPECT_STREQ(error_str(EPROTO), "protocol error");
  EXPECT_STREQ(error_str(EISDIR), "is a directory");
  EXPECT_STREQ(error_str(ECONNREFUSED), "connection refused");
  EXPECT_STREQ(error_str(ENOTDIR), "not a directory");
  EXPECT_STREQ(error_str(EROFS), "read-only file system");
}

TEST(error_str, TextsOfTheTableBySymbol) {
  const struct {
    int e;
    const char *text;
  } rows[] = {
      {ESRCH, "no such process"},
      {E2BIG, "argument list too long"},
      {ENOEXEC, "exec format error"},
      {EBADF, "file descriptor not open"},
      {ECHILD, "no child processes"},
      {EDEADLK, "operation would cause deadlock"},
      {EDEADLOCK, "operation would cause deadlock"},
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
      {EUSERS, "too many users"},
      {EDQUOT, "disk quota exceeded"},
      {ESTALE, "stale NFS file handle"},
      {EREMOTE, "too many levels of remote in path"},
      {ENOLCK, "no locks available"},
      {ENOSYS, "system call not available"},
      {EIDRM, "identifier removed"},
      {ENOMSG, "no message of desired type"},
      {EBADMSG, "bad message type"},
      {EMULTIHOP, "multihop attempted"},
      {ENOLINK, "link severed"},
  };
  for (const auto &row : rows) EXPECT_STREQ(error_str(row.e), row.text) << row.e;
}

#ifdef __linux__
// Numbers that have a text on other systems but whose symbols Linux lacks
// or numbers differently: only rows by symbol count.
TEST(error_str, LinuxNumbersWithoutRow) {
  EXPECT_STREQ(error_str(EILSEQ), "unknown error");
  EXPECT_STREQ(error_str(ECANCELED), "unknown error");
  EXPECT_STREQ(error_str(EOVERFLOW), "unknown error");
  // On Linux 35 is EDEADLK, not EAGAIN, and 11 is EAGAIN.
  EXPECT_STREQ(error_str(35), "operation would cause deadlock");
  EXPECT_STREQ(error_str(11), "temporary failure");
}
#endif
