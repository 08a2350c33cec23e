#pragma once
#include <cstdint>
#include "support/buffer.hpp"
#include "support/stralloc.hpp"

// The exec request: three netstrings in a row, "uid", "count" and the
// argument block (each argument followed by one NUL).  The client writes
// it; the executor reads it and nothing more, so whatever follows the final
// ',' stays on the connection for the program.

/// Most digits a length, a uid or a count may have, leading zeros included.
constexpr uint32_t REQUEST_DIGITS = 10;
/// Seconds the executor waits for a whole request to arrive.
constexpr uint32_t REQUEST_TIMEOUT = 60;

/// Writes the request for uid and the n arguments args to b and flushes it; results are not looked at.
void request_write(buffer *b, uint64_t uid, uint32_t n, char *const *args);
/// Starts reading a new request; with secs not 0, a read still waiting secs seconds
/// from now fails (ETIMEDOUT, which the readers report as EPROTO).
void request_start(uint32_t secs);
/// Reads one length field up to its ':'; the length, or -1 with errno = EPROTO on a bad field.
int64_t request_len(buffer *b);
/// Reads one numeric netstring; its number mod 2^32, or -1 with errno = EPROTO.
int64_t request_num(buffer *b);
/// Reads the argument block of n strings onto the end of sa and sets *argv to a
/// fresh (n+1)-entry vector pointing into sa; 0, or -1 with errno = EPROTO or ENOMEM.
int request_block(buffer *b, stralloc *sa, int32_t n, char ***argv);
