// tollmark rules.cdb rules.tmp: compiles exec rules from standard input.
#include "rulesdb/compiler.hpp"
#include "support/buffer.hpp"

BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

static constexpr const char *fatal = "tollmark: fatal: ";
static constexpr compiler_texts texts = {
    fatal, "tollmark: warning: ", "tollmark: usage: tollmark rules.cdb rules.tmp"};

int main(int argc, char **argv) { return compiler_run(argc, argv, rulestext_exec, &texts); }
