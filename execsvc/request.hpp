#pragma once
#include <cstdint>
#include "support/buffer.hpp"
#include "support/stralloc.hpp"

// The exec request: three netstrings in a row, "uid", "count" and the
// argument block (each argument followed by one NUL).  The client writes
// it; the executor reads it and nothing more, so whatever follows the final
// ',' stays on the connection for the program.

/// Size of the client's request and relay buffers.
constexpr uint32_t REQUEST_BUFSIZE = 512;
/// Largest value a length field may hold before another digit is added.
constexpr uint32_t REQUEST_LENMAX = 999999999;

/// Writes the request for uid and the n arguments args to b and flushes it; results are not looked at.
void request_write(buffer *b, uint64_t uid, uint32_t n, char *const *args);
/// Reads one length field up to its ':'; the length, or -1 with errno = EPROTO on a bad field.
int64_t request_len(buffer *b);
/// Reads one numeric netstring; its number mod 2^32, or -1 with errno = EPROTO.
int64_t request_num(buffer *b);
/// Reads the argument block of n strings onto the end of sa and sets *argv to a
/// fresh (n+1)-entry vector pointing into sa; 0, or -1 with errno = EPROTO or ENOMEM.
int request_block(buffer *b, stralloc *sa, int32_t n, char ***argv);
