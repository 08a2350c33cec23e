#pragma once

/// Exclusive flock on fd, waiting until granted; 0 or -1.
int lock_ex(int fd);
/// Releases the flock on fd; 0 or -1.
int lock_un(int fd);
