#pragma once

// The system cdb library behind names of our own.

/// Opens and maps the database at path; a handle, or null.
void *syscdb_open(const char *path);
/// The library's cdb_find: 1 found, 0 absent, -1 error.
int syscdb_find(void *handle, const char *key, unsigned len);
/// Length of the data found last.
unsigned syscdb_datalen(void *handle);
/// Unmaps and closes.
void syscdb_close(void *handle);
