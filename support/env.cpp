#include "env.hpp"

#include <unistd.h>

#include "byte.hpp"

extern char **environ;

const char *env_get(const char *name) {
  if (!name) return nullptr;
  const uint32_t len = str_len(name);
  for (char **e = environ; e && *e; ++e)
    if (str_start(*e, name) && (*e)[len] == '=') return *e + len + 1;
  return nullptr;
}
