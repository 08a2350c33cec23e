#include "pathrun.hpp"

#include <unistd.h>

#include <cerrno>

#include "alloc.hpp"
#include "byte.hpp"
#include "env.hpp"
#include "error.hpp"

extern char **environ;

static stralloc plus;       // queued changes: NUL-terminated "name=value" or "name"
static stralloc candidate;  // one candidate path being built

int pathrun_env(const char *name, const char *value) { return env_queue(&plus, name, value); }

void pathrun(char *const *argv) {
  char **env = env_merge(environ, &plus);
  if (!env) return;
  pathrun_search(argv[0], argv, env);
  alloc_free(env);
}

void pathrun_search(const char *file, char *const *argv, char *const *envp) {
  if (pathrun_paths(&candidate, file)) pathrun_try(&candidate, argv, envp);
}

int pathrun_paths(stralloc *sa, const char *file) {
  sa->length = 0;
  if (file[str_chr(file, '/')]) return stralloc_cats(sa, file) && stralloc_append(sa, "");
  const char *path = env_get("PATH");
  if (!path) path = "/bin:/usr/bin";
  for (;;) {
    const uint32_t split = str_chr(path, ':');
    if (!(split ? stralloc_catb(sa, path, split) : stralloc_cats(sa, "."))) return 0;
    if (!stralloc_cats(sa, "/") || !stralloc_cats(sa, file) || !stralloc_append(sa, "")) return 0;
    if (!path[split]) return 1;
    path += split + 1;
  }
}

// A candidate that is missing, or that this user may not run, or a
// directory, passes the search on to the next one; any other failure ends
// it.  The failure reported is the last one that was not "missing".
void pathrun_try(const stralloc *paths, char *const *argv, char *const *envp) {
  int saved = 0;
  for (uint32_t i = 0; i < paths->length; i += str_len(paths->bytes + i) + 1) {
    execve(paths->bytes + i, argv, envp);
    if (errno != error_noent) {
      saved = errno;
      if (errno != error_acces && errno != error_perm && errno != error_isdir) return;
    }
  }
  if (saved) errno = saved;
}
