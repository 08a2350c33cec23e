#pragma once
// The library never releases a stralloc; a test's local strings do, so that
// the leak checker of the sanitizer build sees only real leaks.
#include "support/alloc.hpp"
#include "support/stralloc.hpp"

namespace supporttest {

/// A stralloc whose area is released when the test is done with it.
struct owned_stralloc : stralloc {
  ~owned_stralloc() { alloc_free(bytes); }
};

}  // namespace supporttest
