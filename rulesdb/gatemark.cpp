// gatemark rules.cdb rules.tmp: compiles connection rules from standard input.
#include "rulesdb/compiler.hpp"
#include "support/buffer.hpp"

BUFFER_STDOUT_DEFINE;
BUFFER_STDIN_DEFINE;

static constexpr const char *fatal = "gatemark: fatal: ";
static constexpr compiler_texts texts = {
    fatal, "gatemark: warning: ", "gatemark: usage: gatemark rules.cdb rules.tmp"};

int main(int argc, char **argv) { return compiler_run(argc, argv, rulestext_connection, &texts); }
