#pragma once

/// Makes descriptor to a copy of from (from checked before to is closed); 0 or -1.
int fd_copy(int to, int from);
/// fd_copy, then closes from; 0 or -1.
int fd_move(int to, int from);
