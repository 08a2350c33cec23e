#pragma once
#include "support/buffer.hpp"

// The relay of the clients: two processes, one per direction.
// In each process relay_in reads through relay_read, which first pushes
// out whatever relay_out holds, so nothing relayed waits while the
// process sleeps in a read.

/// Size of each relay buffer: a pipe's whole default capacity in one read.
constexpr uint32_t RELAY_BUFSIZE = 65536;

/// This process's relay input and output buffers (set up by relay_init).
extern buffer relay_in;
extern buffer relay_out;

/// Sets up relay_in on fdin (read with relay_read) and relay_out on fdout (RELAY_BUFSIZE each).
void relay_init(int fdin, int fdout);
/// Flushes relay_out (outcome ignored), then read(fd, s, n).
int relay_read(int fd, char *s, uint32_t n);
/// Copies in to out, each block read whole, until end of input or a read error.
void relay(buffer *in, buffer *out);
/// Forks; the child relays descriptor 0 to 7 (after start(&relay_out) when start is
/// not null), the parent 6 to 1, then TERMs and reaps the child and _exits 0.
/// Returns only when fork fails (-1, errno set).
int relay_pair(void (*start)(buffer *out));
