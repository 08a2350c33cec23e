#pragma once

/// Value of the first environment entry "name=..."; null when absent or name is null.
const char *env_get(const char *name);
