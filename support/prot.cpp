#include "prot.hpp"

#include <grp.h>
#include <unistd.h>

int prot_gid(uint32_t g) {
  const gid_t list[1] = {(gid_t)g};
  if (setgroups(1, list) == -1) return -1;
  return setgid((gid_t)g);
}

int prot_uid(uint32_t u) { return setuid((uid_t)u); }
