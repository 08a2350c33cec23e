#include "sig.hpp"

#include <csignal>

int sig_alarm = SIGALRM;
int sig_child = SIGCHLD;
int sig_cont = SIGCONT;
int sig_hangup = SIGHUP;
int sig_int = SIGINT;
int sig_pipe = SIGPIPE;
int sig_term = SIGTERM;

sig_handler sig_ignorehandler = SIG_IGN;
sig_handler sig_defaulthandler = SIG_DFL;

void sig_catch(int sig, sig_handler f) {
  struct sigaction sa {};
  sa.sa_handler = f;
  sa.sa_flags = 0;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

static void mask_one(int how, int sig) {
  sigset_t ss;
  sigemptyset(&ss);
  sigaddset(&ss, sig);
  sigprocmask(how, &ss, nullptr);
}

void sig_block(int sig) { mask_one(SIG_BLOCK, sig); }

void sig_unblock(int sig) { mask_one(SIG_UNBLOCK, sig); }

void sig_blocknone() {
  sigset_t ss;
  sigemptyset(&ss);
  sigprocmask(SIG_SETMASK, &ss, nullptr);
}

void sig_pause() {
  sigset_t ss;
  sigemptyset(&ss);
  sigsuspend(&ss);
}
