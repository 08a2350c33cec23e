#include "prefork/state.hpp"

const char *self = "corvane";
int verbosity = 1;
const char *banner = "";
int flagdelete = 1;
int flagpeereid = 1;
int flagallownorules = 0;
int flagloadstart = 0;
int flaggroups = 0;
uint64_t limit = 40;
uint64_t peruid = 0;
uint64_t timelimit = 0;
uint64_t backlog = 20;
const char *lockfile = nullptr;
const char *fnrules = nullptr;
const char *forcelocal = nullptr;
uint64_t uid = 0;
uint64_t gid = 0;
int fdnotify = -1;
int fdlock = -1;
int selfpipe[2] = {-1, -1};
