#pragma once
#include <cstdint>

#include "support/stralloc.hpp"

// Log lines show texts that peers choose (socket paths, ids, program
// names).  So that such a text cannot forge or split a line, it goes in
// cleaned: every byte outside '!'..'~', and ':' and '%', shown as '?', and
// cut after logsafe_max bytes with "..." added.
constexpr uint32_t logsafe_max = 100;

/// Appends the n bytes at s, cleaned and cut; 1, or 0 (ENOMEM).
int logsafe_cat(stralloc *sa, const char *s, uint32_t n);
/// As logsafe_cat, for a text shown to a person rather than parsed: spaces,
/// ':' and '%' stay, every other byte outside ' '..'~' is shown as '?'.
int logsafe_catprint(stralloc *sa, const char *s, uint32_t n);
