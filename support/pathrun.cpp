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
  if (file[str_chr(file, '/')]) {
    execve(file, argv, envp);
    return;
  }

  const char *path = env_get("PATH");
  if (!path) path = "/bin:/usr/bin";

  int saved = 0;
  for (;;) {
    const uint32_t split = str_chr(path, ':');
    if (!(split ? stralloc_copyb(&candidate, path, split) : stralloc_copys(&candidate, ".")))
      return;
    if (!stralloc_cats(&candidate, "/")) return;
    if (!stralloc_cats(&candidate, file)) return;
    if (!stralloc_append(&candidate, "")) return;

    execve(candidate.bytes, argv, envp);
    if (errno != error_noent) {
      saved = errno;
      if (errno != error_acces && errno != error_perm && errno != error_isdir) return;
    }

    if (!path[split]) {
      if (saved) errno = saved;
      return;
    }
    path += split + 1;
  }
}
