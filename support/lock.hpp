#pragma once

/// Exclusive flock on fd, waiting until granted; 0 or -1.
int lock_ex(int fd);
/// Releases the flock on fd; 0 or -1.
int lock_un(int fd);
/// Write record lock on the whole of fd (open for writing), held by the process, waiting until granted; 0 or -1.
int lock_exrecord(int fd);
/// Releases the record lock on fd; 0 or -1.
int lock_unrecord(int fd);
