#include "execsvc/relay.hpp"

#include <signal.h>
#include <unistd.h>

#include "support/sig.hpp"
#include "support/wait.hpp"

buffer relay_in;
buffer relay_out;
static char in_space[RELAY_BUFSIZE];
static char out_space[RELAY_BUFSIZE];

int relay_read(int fd, char *s, uint32_t n) {
  buffer_flush(&relay_out);
  return buffer_unixread(fd, s, n);
}

void relay_init(int fdin, int fdout) {
  buffer_init(&relay_in, relay_read, fdin, in_space, sizeof in_space);
  buffer_init(&relay_out, buffer_unixwrite, fdout, out_space, sizeof out_space);
}

// Each block goes out whole: it fits the empty output buffer, which the
// next read flushes.  Write failures are not looked at: the relay goes on
// until its input ends.
void relay(buffer *in, buffer *out) {
  int n;
  while ((n = buffer_load(in)) > 0) {
    buffer_put(out, buffer_view(in), (uint32_t)n);
    buffer_skip(in, (uint32_t)n);
  }
}

int relay_pair(void (*start)(buffer *out)) {
  // A closed connection or output makes writes fail instead of killing us.
  sig_catch(sig_pipe, sig_ignorehandler);
  pid_t pid = fork();
  if (pid == -1) return -1;
  if (pid == 0) {
    relay_init(0, 7);
    if (start) start(&relay_out);
    relay(&relay_in, &relay_out);
    _exit(0);
  }
  relay_init(6, 1);
  relay(&relay_in, &relay_out);
  // The server has closed: the child may still be waiting for our input.
  int wstat;
  kill(pid, sig_term);
  wait_child(&wstat, pid);
  _exit(0);
}
