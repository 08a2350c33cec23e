// tollmark rules.cdb rules.tmp: compiles exec rules from standard input.
#include "rulesdb/compiler.hpp"
#include "support/buffer.hpp"

BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

static constexpr const char *fatal = "tollmark: fatal: ";

int main(int argc, char **argv) {
  return compiler_run(argc, argv, rulestext_exec, fatal,
                      "tollmark: usage: tollmark rules.cdb rules.tmp");
}
