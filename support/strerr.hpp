#pragma once

// One-line diagnostics on buffer_2.

/// Exit code of usage errors, bad input and refusals.
constexpr int exit_perm = 100;
/// Exit code of system and resource failures.
constexpr int exit_temp = 111;

struct strerr_record {
  const strerr_record *next = nullptr;
  const char *part1 = nullptr;
  const char *part2 = nullptr;
  const char *part3 = nullptr;
};

/// The text of errno as of the last strerr_warn.
extern strerr_record strerr_sys;

/// Fills strerr_sys from the current errno.
void strerr_sysinit();
/// Writes the non-null texts, then the record chain, then a newline, and flushes buffer_2.
void strerr_warn(const char *x1, const char *x2, const char *x3, const char *x4,
                 const char *x5, const char *x6, const strerr_record *se);
/// strerr_warn, then _exit(e).
[[noreturn]] void strerr_die(int e, const char *x1, const char *x2, const char *x3,
                             const char *x4, const char *x5, const char *x6,
                             const strerr_record *se);

/// strerr_warn of up to six texts, no error text.
inline void strerr_warnx(const char *a, const char *b = nullptr, const char *c = nullptr,
                         const char *d = nullptr, const char *e = nullptr,
                         const char *f = nullptr) {
  strerr_warn(a, b, c, d, e, f, nullptr);
}
/// strerr_warn of up to six texts followed by the text of errno.
inline void strerr_warnsys(const char *a, const char *b = nullptr, const char *c = nullptr,
                           const char *d = nullptr, const char *e = nullptr,
                           const char *f = nullptr) {
  strerr_warn(a, b, c, d, e, f, &strerr_sys);
}
/// strerr_die of up to six texts, no error text.
[[noreturn]] inline void strerr_diex(int code, const char *a, const char *b = nullptr,
                                     const char *c = nullptr, const char *d = nullptr,
                                     const char *e = nullptr, const char *f = nullptr) {
  strerr_die(code, a, b, c, d, e, f, nullptr);
}
/// strerr_die of up to six texts followed by the text of errno.
[[noreturn]] inline void strerr_diesys(int code, const char *a, const char *b = nullptr,
                                       const char *c = nullptr, const char *d = nullptr,
                                       const char *e = nullptr, const char *f = nullptr) {
  strerr_die(code, a, b, c, d, e, f, &strerr_sys);
}
