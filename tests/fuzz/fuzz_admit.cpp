// Fuzz target: the server's admission of a connection with arbitrary rule
// values and inherited environments (found, env, env_set, admit_reset).
//
// Input: a flags byte (bit 0: peer ids from the kernel, bit 1: a forced
// local path, bit 2: log lines), a length byte and that many bytes of
// remote path, a length byte and that many bytes of inherited environment
// (entries separated by NUL), a length byte and that many bytes of forced
// local path, then the rule value.  The value is compiled into a database
// under the empty key and doit() admits a connection on a socket pair with
// it.  The environment that doit() hands back must hold, name by name,
// exactly what the queued entries (connection variables, then the rule's
// settings) make of the inherited one; the inherited environment must stay
// installed and untouched throughout.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzzutil.hpp"
#include "prefork/admit.hpp"
#include "prefork/state.hpp"
#include "support/buffer.hpp"

extern char **environ;

namespace {

int dbfd = -1;
int conn[2] = {-1, -1};
std::string dbpath;
cdbout out;

void setup() {
  dbfd = fuzz_memfd("fuzz-admit.cdb");
  dbpath = "/proc/self/fd/" + std::to_string(dbfd);
  fuzz_check(socketpair(AF_UNIX, SOCK_STREAM, 0, conn) == 0, "socketpair");
  // Log lines go nowhere.
  buffer_2->descriptor = open("/dev/null", O_WRONLY);
  fuzz_check(buffer_2->descriptor != -1, "open /dev/null");
  fnrules = dbpath.c_str();
  verbosity = 0;
}

std::string name_of(const std::string &e) { return e.substr(0, e.find('=')); }
bool has_eq(const std::string &e) { return e.find('=') != std::string::npos; }

// The queue of one connection: each entry sets NAME=value or removes NAME.
std::vector<std::string> expected_queue(const std::string &remote, const char *local, bool peer,
                                        const std::string &value, bool *deny) {
  std::vector<std::string> q = {"PROTO=IPC"};
  q.push_back(local ? std::string("IPCLOCALPATH=") + local : "IPCLOCALPATH");
  q.push_back("IPCREMOTEPATH=" + remote);
  std::string uid = std::to_string(geteuid());
  std::string gid = std::to_string(getegid());
  q.push_back(peer ? "IPCREMOTEEUID=" + uid : "IPCREMOTEEUID");
  q.push_back(peer ? "IPCREMOTEEGID=" + gid : "IPCREMOTEEGID");
  *deny = false;
  // Instructions end in NUL; bytes after the last NUL are not one.
  for (size_t start = 0;;) {
    size_t nul = value.find('\0', start);
    if (nul == std::string::npos) break;
    std::string ins = value.substr(start, nul - start);
    start = nul + 1;
    if (!ins.empty() && ins[0] == 'D') *deny = true;
    if (!ins.empty() && ins[0] == '+' && has_eq(ins)) q.push_back(ins.substr(1));
  }
  return q;
}

// Checks the connection's environment against the inherited one and the queue.
// For a name that the inherited environment holds at most once the result
// is exact: the last queued entry decides.  For a name inherited several
// times each queued entry removes one of them (which one is not fixed) and
// a setting adds itself, so the count is exact and the last setting present.
void check_env(char **conn_env, const std::vector<std::string> &base,
               const std::vector<std::string> &q) {
  std::map<std::string, std::vector<std::string>> got, want;
  std::map<std::string, size_t> count;
  std::vector<std::string> plain;  // inherited entries without '='
  for (char **e = conn_env; *e; ++e) {
    std::string s = *e;
    if (has_eq(s)) got[name_of(s)].push_back(s);
    else plain.push_back(s);
  }
  std::vector<std::string> baseplain;
  for (const std::string &s : base) {
    if (!has_eq(s)) {
      baseplain.push_back(s);
      continue;
    }
    want[name_of(s)].push_back(s);
    ++count[name_of(s)];
  }
  std::sort(plain.begin(), plain.end());
  std::sort(baseplain.begin(), baseplain.end());
  fuzz_check(plain == baseplain, "inherited entries without '=' changed");
  std::map<std::string, std::string> last;  // last queued entry per name
  for (const std::string &e : q) {
    std::string n = name_of(e);
    if (count[n]) --count[n];
    if (has_eq(e)) ++count[n];
    last[n] = e;
  }
  for (const auto &[n, e] : last) {
    std::vector<std::string> &g = got[n];
    fuzz_check(g.size() == count[n], "number of entries of a queued name differs");
    if (want[n].size() <= 1) {
      fuzz_check(g.size() == has_eq(e), "queued name not set or removed as queued");
      if (has_eq(e)) fuzz_check(g[0] == e, "queued setting lost");
    } else if (has_eq(e)) {
      fuzz_check(std::find(g.begin(), g.end(), e) != g.end(), "last queued setting lost");
    }
  }
  for (auto &[n, g] : got) {
    if (last.count(n)) continue;
    std::sort(g.begin(), g.end());
    std::vector<std::string> &w = want[n];
    std::sort(w.begin(), w.end());
    fuzz_check(g == w, "entry of a name not queued changed");
  }
  for (const auto &[n, w] : want)
    fuzz_check(last.count(n) || got.count(n), "entry of a name not queued lost");
}

std::vector<std::string> split_env(const std::string &area) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < area.size()) {
    size_t nul = area.find('\0', start);
    if (nul == std::string::npos) nul = area.size();
    out.push_back(area.substr(start, nul - start));
    start = nul + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (dbfd == -1) setup();
  fuzz_input in{data, size};
  uint8_t flags = fuzz_byte(&in);
  std::string remote = fuzz_bytes(&in, fuzz_byte(&in) % (IPC_PATHMAX + 1));
  std::vector<std::string> base = split_env(fuzz_bytes(&in, fuzz_byte(&in)));
  std::string local = fuzz_bytes(&in, fuzz_byte(&in) % (IPC_PATHMAX + 1));
  std::string value = fuzz_rest(&in);
  remote = remote.c_str();
  local = local.c_str();

  fuzz_cdbout_start(&out, dbfd);
  fuzz_check(cdbout_add(&out, "", 0, value.data(), (uint32_t)value.size()) == 0, "cdbout_add");
  fuzz_cdbout_finish(&out);

  std::memcpy(remotepath, remote.c_str(), remote.size() + 1);
  flagpeereid = flags & 1;
  forcelocal = flags & 2 ? local.c_str() : nullptr;
  verbosity = flags & 4 ? 2 : 0;

  // The inherited environment: the fuzzed entries, in their own storage.
  std::vector<std::string> basecopy = base;
  std::vector<char *> env;
  for (std::string &s : basecopy) env.push_back(s.data());
  env.push_back(nullptr);
  char **saved = environ;
  environ = env.data();

  bool deny;
  // A socket pair has no path of its own: the local path reads back empty.
  std::vector<std::string> q = expected_queue(remote, forcelocal ? forcelocal : "",
                                              flagpeereid, value, &deny);
  char **conn_env = doit(conn[0]);
  fuzz_check(!conn_env == deny, "admission differs from the rule's deny instruction");
  fuzz_check(environ == env.data(), "process environment changed");
  if (conn_env) check_env(conn_env, base, q);
  // As the child loop does after every connection: a queue left behind
  // shows in the next admitted run's environment.
  admit_reset();
  fuzz_check(environ == env.data(), "process environment changed");
  for (size_t i = 0; i < base.size(); ++i)
    fuzz_check(env[i] == basecopy[i].data() && base[i] == env[i], "inherited entry changed");
  fuzz_check(!env[base.size()], "inherited environment end moved");
  environ = saved;
  return 0;
}
