#pragma once

// Signal numbers of this platform, and handler values.
extern int sig_alarm;
extern int sig_child;
extern int sig_cont;
extern int sig_hangup;
extern int sig_int;
extern int sig_pipe;
extern int sig_term;

using sig_handler = void (*)(int);
extern sig_handler sig_ignorehandler;
extern sig_handler sig_defaulthandler;

/// Installs f for sig with an empty mask and no flags (no SA_RESTART).
void sig_catch(int sig, sig_handler f);
/// Adds sig to the process mask.
void sig_block(int sig);
/// Removes sig from the process mask.
void sig_unblock(int sig);
/// Empties the process mask.
void sig_blocknone();
/// Sleeps with an empty mask until a handler has run.
void sig_pause();
