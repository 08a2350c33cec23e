// tollsetup: creates the directory of a command execution service, with its
// run script, log directory, environment directory and rules directory.
//
//   tollsetup user loguser dir
//
// Exit codes: 0 when the whole directory is written, 100 for a usage error,
// 111 for every other failure.  The directory is built in a fixed order and
// never removed again, so a failure leaves the part built so far.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "support/buffer.hpp"
#include "support/open.hpp"
#include "support/strerr.hpp"

#ifndef INSTALL_HOME
#error "INSTALL_HOME must name the installation directory"
#endif

namespace {

constexpr const char *fatal = "tollsetup: fatal: ";
constexpr const char *usage_line = "tollsetup: usage: tollsetup user loguser dir";
constexpr const char *install_home = INSTALL_HOME;
// The service's PATH: ipc/ first, where the program-running server is
// installed under the name the run script calls it by, then the programs
// and a normal PATH.
constexpr const char *service_path = INSTALL_HOME "/ipc:" INSTALL_HOME
    "/command:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

const char *dir;   // the service directory, as typed
const char *path;  // the path inside dir worked on last, for messages

char file_space[1024];
buffer file_buffer;

[[noreturn]] void usage() { strerr_diex(exit_perm, usage_line); }

[[noreturn]] void fail() {
  strerr_diesys(exit_temp, fatal, "unable to create ", dir, "/", path, ": ");
}

// A byte that the scripts can carry unquoted, both in the outer shell and
// inside the single-quoted sh -c text: letters, digits, a few harmless
// punctuation marks, and bytes beyond ASCII (names in UTF-8).
bool script_safe(unsigned char c) {
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
void check_script_safe(const char *name) {
  for (const char *s = name; *s; ++s)
    if (!script_safe(static_cast<unsigned char>(*s)))
      strerr_diex(exit_perm, fatal, "unsafe character for a script in ", name);
}

const passwd *account(const char *name) {
  const passwd *pw = getpwnam(name);
  if (!pw) strerr_diex(exit_temp, fatal, "unknown account ", name);
  return pw;
}

void dir_create(const char *d, const char *prefix) {
  umask(022);
  if (mkdir(d, 0700) == -1)
    strerr_diesys(exit_temp, prefix, "unable to create ", d, ": ");
  if (chmod(d, 03755) == -1)
    strerr_diesys(exit_temp, prefix, "unable to set mode of ", d, ": ");
  if (chdir(d) == -1)
    strerr_diesys(exit_temp, prefix, "unable to switch to ", d, ": ");
}

void path_mkdir(const char *p) {
  path = p;
  if (mkdir(path, 0700) == -1) fail();
}

void path_chmod(mode_t mode) {
  if (chmod(path, mode) == -1) fail();
}

void path_chown(uid_t uid, gid_t gid) {
  if (chown(path, uid, gid) == -1) fail();
}

void file_create(const char *p) {
  path = p;
  int fd = open_truncate(path);
  if (fd == -1) fail();
  buffer_init(&file_buffer, buffer_unixwrite, fd, file_space, sizeof file_space);
}

void file_puts(const char *s) {
  if (buffer_puts(&file_buffer, s) == -1) fail();
}

// The file is on disk before it is closed; only then is its mode set.
void file_close() {
  if (buffer_flush(&file_buffer) == -1) fail();
  if (fsync(file_buffer.descriptor) == -1) fail();
  close(file_buffer.descriptor);
}

void logdir_create(const char *loguser, uid_t uid, gid_t gid) {
  path_mkdir("log");
  path_chmod(02755);

  path_mkdir("log/main");
  path_chown(uid, gid);
  path_chmod(02755);

  file_create("log/status");
  file_close();
  path_chown(uid, gid);
  path_chmod(0644);

  file_create("log/run");
  file_puts("#!/bin/sh\n");
  file_puts("exec");
  file_puts(" setuidgid ");
  file_puts(loguser);
  file_puts(" multilog t ./main\n");
  file_close();
  path_chmod(0755);
}

void run_create(const char *user) {
  file_create("run");
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
  file_close();
  path_chmod(0755);
}

void envdir_create() {
  path_mkdir("env");
  path_chmod(02755);
  file_create("env/IPCERROUT");
  file_puts("1");
  file_close();
  path_chmod(0644);
  file_create("env/PATH");
  file_puts(service_path);
  file_close();
  path_chmod(0644);
}

void rulesdir_create() {
  path_mkdir("rules");
  path_chmod(02755);

  file_create("rules/data");
  file_puts(":deny\n");
  file_close();
  path_chmod(0644);

  file_create("rules/Makefile");
  file_puts("data.cdb: data\n");
  file_puts("\ttollmark data.cdb data.tmp <data\n");
  file_close();
  path_chmod(0644);
}

}  // namespace

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

  dir_create(dir, fatal);
  logdir_create(loguser, loguid, loggid);
  account(user);  // must exist; its ids are looked up again when the service runs
  run_create(user);
  envdir_create();
  rulesdir_create();
  return 0;
}
