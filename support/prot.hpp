#pragma once
#include <cstdint>

/// setgroups to {g} then setgid(g); -1 if setgroups fails, else setgid's result.
int prot_gid(uint32_t g);
/// setuid(u); 0 or -1.
int prot_uid(uint32_t u);
