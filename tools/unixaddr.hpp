#pragma once
#include <sys/un.h>

/// Fills a zeroed local-socket address with path; 0, or -1 with errno = EPROTO when it does not fit.
int unixaddr_make(struct sockaddr_un *sa, const char *path);
