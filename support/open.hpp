#pragma once

// Every descriptor opened here is non-blocking.

/// open O_RDONLY|O_NONBLOCK; descriptor or -1.
int open_read(const char *fn);
/// open O_WRONLY|O_NONBLOCK|O_APPEND|O_CREAT, mode 0600; descriptor or -1.
int open_append(const char *fn);
/// open O_WRONLY|O_NONBLOCK|O_CREAT|O_TRUNC, mode 0644; descriptor or -1.
int open_truncate(const char *fn);
