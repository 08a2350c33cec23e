#pragma once
#include <cstdint>
#include "support/buffer.hpp"

// Writer of constant databases.  Records are streamed to the file as they
// are added; only 8 bytes per record (hash, position) stay in memory, kept
// apart by hash table, and the hash tables and the header are written by
// cdbout_finish.

struct cdbout_pair {
  uint32_t hash = 0;
  uint32_t position = 0;
};

/// Entries per block: with its own allocation overheads a block fills one
/// 4096-byte page, so that a table's unfilled last block wastes little.
constexpr uint32_t cdbout_block_entries = 507;

/// Entries of records of one hash table, chained oldest first.
struct cdbout_block {
  cdbout_block *next = nullptr;
  uint32_t used = 0;
  cdbout_pair entry[cdbout_block_entries];
};

struct cdbout {
  char out_space[8192];
  char header[2048];
  uint32_t table_count[256];
  cdbout_block *first[256] = {};  ///< each table's oldest block
  cdbout_block *last[256] = {};   ///< and its newest, which takes the next entry
  cdbout_pair *work = nullptr;    ///< room for the largest table, made by cdbout_finish
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
/// Gives the writer's memory back (a program that writes one database and
/// ends need not); the writer can then start again.
void cdbout_free(cdbout *c);
