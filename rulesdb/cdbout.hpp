#pragma once
#include <cstdint>
#include "support/buffer.hpp"

// Writer of constant databases.  Records are streamed to the file as they
// are added; only 8 bytes per record (hash, position) stay in memory, and the
// hash tables and the header are written by cdbout_finish.

struct cdbout_pair {
  uint32_t hash = 0;
  uint32_t position = 0;
};

/// Entries of 1000 added records, chained newest first.
struct cdbout_block {
  cdbout_pair entry[1000];
  cdbout_block *next = nullptr;
  int used = 0;
};

struct cdbout {
  char out_space[8192];
  char header[2048];
  uint32_t table_count[256];
  uint32_t table_start[256];
  cdbout_block *blocks = nullptr;   ///< newest block first
  cdbout_pair *sorted = nullptr;    ///< entries grouped by table, then the working table
  cdbout_pair *work = nullptr;
  uint32_t entries = 0;
  buffer out;
  uint32_t write_pos = 0;
  int descriptor = -1;              ///< opened and closed by the caller
};

/// Starts a database on fd (seeks to 2048); 0, or -1 with errno from lseek.
int cdbout_start(cdbout *c, int fd);
/// Appends one record; 0, or -1 (write errno, ENOMEM also when the file would reach 4 GiB).
int cdbout_add(cdbout *c, const char *key, uint32_t klen, const char *data, uint32_t dlen);
/// Writes the hash tables and the header; 0, or -1 with errno (ENOMEM when too large).
int cdbout_finish(cdbout *c);
