#pragma once
#include <cstdint>

// Decimal numbers and 32-bit byte order.

/// Largest digit count of a 64-bit value.
constexpr uint32_t FMT_ULONG = 20;

/// Number of decimal digits of u; writes them to s (no terminator) unless s is null.
uint32_t fmt_ulong(char *s, uint64_t u);
/// Number of leading digits of s; stores their value (mod 2^64) in *u, 0 when none.
uint32_t scan_ulong(const char *s, uint64_t *u);
/// 1 when s is wholly decimal digits, at least one, of a value at most max, stored in *u; else 0.
int scan_decimal(const char *s, uint64_t max, uint64_t *u);
/// scan_ulong storing the low 32 bits; returns the digit count.
uint32_t scan_unsigned(const char *s, uint32_t *u);
/// Reads 4 bytes little-endian.
void uint32_unpack(const char s[4], uint32_t *u);
/// Reads 4 bytes big-endian.
void uint32_unpack_big(const char s[4], uint32_t *u);
/// Writes u little-endian.
void uint32_store(char s[4], uint32_t u);
/// Writes u big-endian.
void uint32_store_big(char s[4], uint32_t u);
