#pragma once
#include <cstdint>

// Reader of constant databases: 2048-byte header of 256 (position, slots)
// pairs, records (key length, data length, key, data), then 256 hash tables
// of (hash, record position) slots.  All numbers little-endian 32-bit.
struct cdb {
  const char *mapping = nullptr;  ///< whole file mapped read-only, or null
  int descriptor = -1;            ///< owned by the caller
  uint32_t file_size = 0;         ///< size of the mapping
  uint32_t probes = 0;            ///< slots examined in this search; 0: none under way
  uint32_t key_hash = 0;
  uint32_t next_slot = 0;
  uint32_t table_pos = 0;
  uint32_t table_slots = 0;
  uint32_t data_pos = 0;          ///< data of the record last found
  uint32_t data_len = 0;
};

/// One step of the key hash: (h * 33) ^ c.
uint32_t cdb_hashadd(uint32_t h, unsigned char c);
/// Hash of a key (5381 for the empty key).
uint32_t cdb_hash(const char *key, uint32_t len);

/// Releases an earlier mapping, stores fd and maps the file when it can.
void cdb_init(cdb *c, int fd);
/// Unmaps the file; the descriptor stays open.
void cdb_free(cdb *c);
/// Makes the next cdb_findnext start a new search.
void cdb_findstart(cdb *c);
/// Next record with this key: 1 (data_pos, data_len set), 0 when none, -1 on a read failure (EPROTO for damage).
int cdb_findnext(cdb *c, const char *key, uint32_t len);
/// First record with this key: 1, 0 or -1 as cdb_findnext.
int cdb_find(cdb *c, const char *key, uint32_t len);
/// Copies len bytes at pos into buf; 0, or -1 (EPROTO when outside the file).
int cdb_read(cdb *c, char *buf, uint32_t len, uint32_t pos);
/// lseek to the absolute position pos; 0 or -1.
int seek_set(int fd, uint64_t pos);
