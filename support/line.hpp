#pragma once
#include "buffer.hpp"
#include "stralloc.hpp"

/// Reads one line (separator included) into sa; *match 1 if it ended with sep,
/// 0 at end of input; 0, or -1 on a read or allocation failure.
int line_fetch(buffer *b, stralloc *sa, int *match, int sep);
/// Gathers the bytes before the line's last piece into sa; the last piece,
/// separator included, stays in the buffer at *tail (*taillen bytes, 0 at end of input).
int line_fetch_split(buffer *b, stralloc *sa, const char **tail, uint32_t *taillen, int sep);
