#include "pathrun.hpp"

#include <unistd.h>

#include <cerrno>

#include "alloc.hpp"
#include "byte.hpp"
#include "env.hpp"
#include "error.hpp"
#include "stralloc.hpp"

extern char **environ;

namespace {

stralloc plus;      // queued changes: NUL-terminated "name=value" or "name"
stralloc entry;     // one change being built
stralloc candidate; // one candidate path being built

// 1 if s begins with the k bytes at name, followed by '='.
bool names_entry(const char *s, const char *name, uint32_t k) {
  for (uint32_t i = 0; i < k; ++i)
    if (s[i] != name[i]) return false;
  return s[k] == '=';
}

// Applies the queued change at c to the first live entries of env.
void apply_change(char **env, uint32_t *live, char *c) {
  const uint32_t k = str_chr(c, '=');
  for (uint32_t j = 0; j < *live; ++j) {
    if (names_entry(env[j], c, k)) {
      env[j] = env[--*live];
      break;
    }
  }
  if (c[k] == '=') env[(*live)++] = c;
}

}  // namespace

int pathrun_env(const char *name, const char *value) {
  if (!name) return 1;
  if (!stralloc_copys(&entry, name)) return 0;
  if (value) {
    if (!stralloc_cats(&entry, "=")) return 0;
    if (!stralloc_cats(&entry, value)) return 0;
  }
  if (!stralloc_append(&entry, "")) return 0;
  return stralloc_cat(&plus, &entry);
}

void pathrun(char *const *argv) {
  if (!stralloc_cats(&plus, "")) return;

  uint32_t e = 0;
  while (environ[e]) ++e;
  uint32_t p = 0;
  for (uint32_t i = 0; i < plus.length; ++i)
    if (!plus.bytes[i]) ++p;

  const uint64_t bytes = (uint64_t{e} + p + 1) * sizeof(char *);
  if (bytes > UINT32_MAX) {
    errno = error_nomem;
    return;
  }
  char **env = static_cast<char **>(alloc(static_cast<uint32_t>(bytes)));
  if (!env) return;

  for (uint32_t i = 0; i < e; ++i) env[i] = environ[i];
  uint32_t live = e;
  for (uint32_t i = 0; i < plus.length; i += str_len(plus.bytes + i) + 1)
    apply_change(env, &live, plus.bytes + i);
  env[live] = nullptr;

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
