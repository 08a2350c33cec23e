#include "sgetopt.hpp"

#include "buffer.hpp"

int subgetoptind = 1;
int subgetoptpos = 0;
const char *subgetoptarg = nullptr;
int subgetoptproblem = 0;
int subgetoptdone = -1;
int sgetopterr = 1;
const char *sgetoptprogname = nullptr;

// Finds letter c in the option string; returns its position or null.
// A ':' is never a letter.
static const char *subgetopt_find(const char *opts, char c) {
  if (c == ':') return nullptr;
  for (const char *p = opts; *p; ++p)
    if (*p == c) return p;
  return nullptr;
}

// Picks the argument of the option just read: the rest of the word, or the
// next word.  Returns the letter, or '?' when no word is left.
static int subgetopt_argument(int argc, char *const *argv, char c) {
  const char *rest = argv[subgetoptind] + subgetoptpos;
  ++subgetoptind;
  subgetoptpos = 0;
  if (*rest) {
    subgetoptarg = rest;
    return c;
  }
  if (subgetoptind >= argc || !argv[subgetoptind]) {
    subgetoptproblem = c;
    return '?';
  }
  subgetoptarg = argv[subgetoptind++];
  return c;
}

int subgetopt(int argc, char *const *argv, const char *opts) {
  subgetoptarg = nullptr;
  if (!argv || subgetoptind >= argc || !argv[subgetoptind]) return subgetoptdone;
  if (subgetoptpos && !argv[subgetoptind][subgetoptpos]) {
    ++subgetoptind;
    subgetoptpos = 0;
    if (subgetoptind >= argc || !argv[subgetoptind]) return subgetoptdone;
  }
  const char *word = argv[subgetoptind];
  char c;
  if (!subgetoptpos) {
    if (word[0] != '-') return subgetoptdone;
    if (!word[1]) {
      subgetoptpos = 0;
      return subgetoptdone;
    }
    if (word[1] == '-') {
      ++subgetoptind;
      subgetoptpos = 0;
      return subgetoptdone;
    }
    c = word[1];
    subgetoptpos = 2;
  } else {
    c = word[subgetoptpos++];
  }
  const char *p = subgetopt_find(opts, c);
  if (!p) {
    subgetoptproblem = c;
    return '?';
  }
  if (p[1] != ':') return c;
  return subgetopt_argument(argc, argv, c);
}

// The part of argv[0] after its last '/'.
static const char *sgetopt_basename(char *const *argv) {
  if (!argv || !argv[0]) return "";
  const char *name = argv[0];
  for (const char *p = argv[0]; *p; ++p)
    if (*p == '/') name = p + 1;
  return name;
}

int sgetoptmine(int argc, char *const *argv, const char *opts) {
  if (!sgetoptprogname) sgetoptprogname = sgetopt_basename(argv);
  int c = subgetopt(argc, argv, opts);
  if (c == '?' && sgetopterr) {
    char problem = (char)subgetoptproblem;
    buffer_puts(buffer_2, sgetoptprogname);
    if (subgetoptind < argc && argv[subgetoptind])
      buffer_puts(buffer_2, ": illegal option -- ");
    else
      buffer_puts(buffer_2, ": option requires an argument -- ");
    buffer_put(buffer_2, &problem, 1);
    buffer_puts(buffer_2, "\n");
    buffer_flush(buffer_2);
  }
  return c;
}
