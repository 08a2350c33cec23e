#pragma once
#include <cstdint>
#include <string>

#include "rulesdb/cdbout.hpp"

// Helpers shared by the fuzz targets.

/// Prints what went wrong and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fuzz_fail(const char *what);
/// fuzz_fail(what) unless ok.
inline void fuzz_check(bool ok, const char *what) {
  if (!ok) fuzz_fail(what);
}

/// New anonymous in-memory file; aborts on failure.
int fuzz_memfd(const char *name);
/// Makes fd's contents exactly the n bytes at s; aborts on failure.
void fuzz_fill(int fd, const char *s, uint32_t n);
/// Whole contents of fd.
std::string fuzz_contents(int fd);
/// Empties fd and starts a database on it.
void fuzz_cdbout_start(cdbout *c, int fd);
/// Finishes the database and releases the writer's memory.
void fuzz_cdbout_finish(cdbout *c);

/// Reads an input front to back; past the end every byte is 0.
struct fuzz_input {
  const uint8_t *data;
  size_t size;
  size_t pos = 0;
};
/// Next byte, 0 when the input is used up.
uint8_t fuzz_byte(fuzz_input *in);
/// The next n bytes (fewer at the end).
std::string fuzz_bytes(fuzz_input *in, size_t n);
/// Everything not yet read.
std::string fuzz_rest(fuzz_input *in);
