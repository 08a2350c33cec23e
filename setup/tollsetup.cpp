// tollsetup: creates the directory of a command execution service, with its
// run script, log directory, environment directory and rules directory.
//
//   tollsetup user loguser dir
//
// Exit codes: 0 when the whole directory is written, 100 for a usage error,
// 111 for every other failure.  The directory is built in a fixed order and
// never removed again, so a failure leaves the part built so far.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "support/buffer.hpp"
#include "support/byte.hpp"
#include "support/strerr.hpp"

#ifndef INSTALL_HOME
#error "INSTALL_HOME must name the installation directory"
#endif

static constexpr const char *fatal = "tollsetup: fatal: ";
static constexpr const char *usage_line = "tollsetup: usage: tollsetup user loguser dir";
static constexpr const char *install_home = INSTALL_HOME;
// The service's PATH: ipc/ first, where the program-running server is
// installed under the name the run script calls it by, then the programs
// and a normal PATH.
static constexpr const char *service_path = INSTALL_HOME
    "/ipc:" INSTALL_HOME "/command:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

static const char *dir;   // the service directory, as typed
static const char *path;  // the path inside dir worked on last, for messages

static char file_space[1024];
static buffer file_buffer;

[[noreturn]] static void usage() { strerr_diex(exit_perm, usage_line); }

[[noreturn]] static void fail() {
  strerr_diesys(exit_temp, fatal, "unable to create ", dir, "/", path, ": ");
}

// A byte that the scripts can carry unquoted, both in the outer shell and
// inside the single-quoted sh -c text: letters, digits, a few harmless
// punctuation marks, and bytes beyond ASCII (names in UTF-8).
static bool script_safe(unsigned char c) {
  if (c >= 0x80) return true;
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  switch (c) {
    case '%': case '+': case ',': case '-': case '.':
    case '/': case ':': case '=': case '@': case '_':
      return true;
    default:
      return false;
  }
}

// Refuses a name that would change the meaning of the script it is written
// into: a blank would split it, a quote would end the sh -c text, and a
// newline or a shell metacharacter would run something else.
static void check_script_safe(const char *name) {
  for (const char *s = name; *s; ++s)
    if (!script_safe((unsigned char)*s))
      strerr_diex(exit_perm, fatal, "unsafe character for a script in ", name);
}

static const passwd *account(const char *name) {
  const passwd *pw = getpwnam(name);
  if (!pw) strerr_diex(exit_temp, fatal, "unknown account ", name);
  return pw;
}

// Every step after the creation of dir works on descriptors: dir is opened
// once, right after it is made, and everything inside it is made relative
// to that descriptor (or to a subdirectory's), never through a path name.
// When the parent of dir is writable by another user, dir can be swapped
// for a symbolic link or for that user's own directory between two steps;
// the checks on the opened directory keep every write out of one that was
// not made here, and descriptors, O_NOFOLLOW and O_EXCL keep every write
// inside the directory that was opened and every mode and owner on what
// was made here.

// True when the directory open at fd has no entry but . and ..; -1 with
// errno when it cannot be read.
static int dir_empty(int fd) {
  int copy = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy == -1) return -1;
  DIR *list = fdopendir(copy);
  if (!list) {
    close(copy);
    return -1;
  }
  int empty = 1;
  errno = 0;
  while (const dirent *e = readdir(list))
    if (str_diff(e->d_name, ".") && str_diff(e->d_name, "..")) empty = 0;
  if (errno != 0) empty = -1;
  closedir(list);
  return empty;
}

// True when the directory open at fd is the one this run has just made:
// owned by the effective uid, mode 0700 (a setgid bit inherited from the
// parent aside) and empty.  Another user who can write the parent may put
// a directory of their own at dir between the mkdir and the open: nothing
// may be written into that one.
static bool dir_made_here(int fd, const char *d, const char *prefix) {
  struct stat st;
  if (fstat(fd, &st) == -1) strerr_diesys(exit_temp, prefix, "unable to switch to ", d, ": ");
  if (st.st_uid != geteuid() || (st.st_mode & 0777) != 0700) return false;
  int empty = dir_empty(fd);
  if (empty == -1) strerr_diesys(exit_temp, prefix, "unable to switch to ", d, ": ");
  return empty == 1;
}

// Makes dir and opens it; its descriptor.  Dies, having written nothing,
// when what it opened is not the directory it made.
static int dir_create(const char *d, const char *prefix) {
  umask(022);
  if (mkdir(d, 0700) == -1)
    strerr_diesys(exit_temp, prefix, "unable to create ", d, ": ");
  int fd = open(d, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1) strerr_diesys(exit_temp, prefix, "unable to switch to ", d, ": ");
  if (!dir_made_here(fd, d, prefix))
    strerr_diex(exit_temp, prefix, "unable to switch to ", d, ": not the directory just made");
  if (fchmod(fd, 03755) == -1)
    strerr_diesys(exit_temp, prefix, "unable to set mode of ", d, ": ");
  return fd;
}

static int current = -1;  // descriptor of the path worked on last

// Makes the subdirectory name of the directory at parent, mode 0700, and
// opens it; p is its path inside dir, for messages.  Its descriptor.
static int path_mkdir(int parent, const char *name, const char *p) {
  path = p;
  if (mkdirat(parent, name, 0700) == -1) fail();
  current = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (current == -1) fail();
  return current;
}

static void path_chmod(mode_t mode) {
  if (fchmod(current, mode) == -1) fail();
}

static void path_chown(uid_t uid, gid_t gid) {
  if (fchown(current, uid, gid) == -1) fail();
}

// Creates the file name in the directory at parent, mode 0644; nothing may
// be there yet, not even a symbolic link.  p is its path inside dir.
static void file_create(int parent, const char *name, const char *p) {
  path = p;
  current = openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (current == -1) fail();
  buffer_init(&file_buffer, buffer_unixwrite, current, file_space, sizeof file_space);
}

static void file_puts(const char *s) {
  if (buffer_puts(&file_buffer, s) == -1) fail();
}

// The file is on disk before its mode is set; then it is closed.
static void file_close(mode_t mode) {
  if (buffer_flush(&file_buffer) == -1) fail();
  if (fsync(current) == -1) fail();
  path_chmod(mode);
  close(current);
}

// A file holding the one text s, with mode.
static void file_make(int parent, const char *name, const char *p, const char *s, mode_t mode) {
  file_create(parent, name, p);
  file_puts(s);
  file_close(mode);
}

static void logdir_create(int dirfd, const char *loguser, uid_t uid, gid_t gid) {
  int log = path_mkdir(dirfd, "log", "log");
  path_chmod(02755);

  path_mkdir(log, "main", "log/main");
  path_chown(uid, gid);
  path_chmod(02755);

  file_create(log, "status", "log/status");
  path_chown(uid, gid);
  file_close(0644);

  file_create(log, "run", "log/run");
  file_puts("#!/bin/sh\n");
  file_puts("exec");
  file_puts(" setuidgid ");
  file_puts(loguser);
  file_puts(" multilog t ./main\n");
  file_close(0755);
}

static void run_create(int dirfd, const char *user) {
  file_create(dirfd, "run", "run");
  file_puts("#!/bin/sh\n");
  file_puts("exec 2>&1\n");
  file_puts("exec envdir ");
  file_puts(dir);
  file_puts("/env sh -c '\n");
  file_puts("exec envuidgid ");
  file_puts(user);
  file_puts(" corvane -v ");
  file_puts(dir);
  file_puts("/s \\\n");
  file_puts(install_home);
  file_puts("/command/tollgant \\\n");
  file_puts(dir);
  file_puts("/rules/data.cdb\n");
  file_puts("'\n");
  file_close(0755);
}

static void envdir_create(int dirfd) {
  int env = path_mkdir(dirfd, "env", "env");
  path_chmod(02755);
  file_make(env, "IPCERROUT", "env/IPCERROUT", "1", 0644);
  file_make(env, "PATH", "env/PATH", service_path, 0644);
}

static void rulesdir_create(int dirfd) {
  int rules = path_mkdir(dirfd, "rules", "rules");
  path_chmod(02755);
  file_make(rules, "data", "rules/data", ":deny\n", 0644);

  file_create(rules, "Makefile", "rules/Makefile");
  file_puts("data.cdb: data\n");
  file_puts("\ttollmark data.cdb data.tmp <data\n");
  file_close(0644);
}

int main(int argc, char **argv) {
  umask(022);
  if (argc < 4) usage();
  const char *user = argv[1];
  const char *loguser = argv[2];
  dir = argv[3];
  if (dir[0] != '/') usage();
  check_script_safe(user);
  check_script_safe(loguser);
  check_script_safe(dir);

  const passwd *pw = account(loguser);
  uid_t loguid = pw->pw_uid;
  gid_t loggid = pw->pw_gid;

  int dirfd = dir_create(dir, fatal);
  logdir_create(dirfd, loguser, loguid, loggid);
  account(user);  // must exist; its ids are looked up again when the service runs
  run_create(dirfd, user);
  envdir_create(dirfd);
  rulesdir_create(dirfd);
  return 0;
}
