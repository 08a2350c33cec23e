// The quick start of README.md, followed word for word: every command of
// the section runs in one shell, in order, and prints what the section
// shows.  Two things differ from a person's run: the installation goes
// into an overlay of /usr/local that only a private mount namespace sees
// (installing this build stands in for building it again), and the scratch
// directory /tmp/quick is one of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/testutil.hpp"

using testutil::read_file;
using testutil::source;
using testutil::TempDir;

namespace {

struct Step {
  std::string command;
  std::vector<std::string> shown;  // output lines as the README shows them
};

// The commands ("# " lines) of the Quick start section's code blocks, each
// with the output lines that follow it.
std::vector<Step> quick_start(const std::string &readme) {
  const size_t begin = readme.find("\n## Quick start\n");
  const size_t end = readme.find("\n## ", begin + 1);
  std::istringstream in(readme.substr(begin, end - begin));
  std::vector<Step> steps;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("    ")) continue;
    line = line.substr(4);
    if (line.starts_with("# ")) steps.push_back({line.substr(2), {}});
    else if (!steps.empty()) steps.back().shown.push_back(line);
  }
  return steps;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Process ids differ from run to run.
std::string without_pids(const std::string &text) {
  return std::regex_replace(text, std::regex("(: pid |: end )[0-9]+"), "$1N");
}

// True if got holds the shown lines in order, where "[...]" stands for any
// number of lines; without "[...]" the lines must match exactly.
bool matches(const std::vector<std::string> &shown, const std::vector<std::string> &got) {
  size_t at = 0;
  bool skipping = false;
  for (const auto &want : shown) {
    if (want == "[...]") {
      skipping = true;
      continue;
    }
    while (skipping && at < got.size() && got[at] != want) ++at;
    if (at >= got.size() || got[at] != want) return false;
    ++at;
    skipping = false;
  }
  return skipping || at == got.size();
}

// The program that wrote a line: the text before its first ':' ("" for
// the plain output of the commands).
std::string writer(const std::string &line) {
  size_t colon = line.find(':');
  return colon == std::string::npos ? "" : line.substr(0, colon);
}

// True if got holds exactly the shown lines, each program's lines in the
// order shown.  Lines of different processes (a server and the programs it
// starts, logging into one file) come in whatever order the processes ran.
bool same_lines(const std::vector<std::string> &shown, const std::vector<std::string> &got) {
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  if (sorted(shown) != sorted(got)) return false;
  for (const auto &line : shown) {
    std::vector<std::string> a, b;
    std::copy_if(shown.begin(), shown.end(), std::back_inserter(a),
                 [&](const std::string &l) { return writer(l) == writer(line); });
    std::copy_if(got.begin(), got.end(), std::back_inserter(b),
                 [&](const std::string &l) { return writer(l) == writer(line); });
    if (a != b) return false;
  }
  return true;
}

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const auto &line : lines) text += line + "\n";
  return text;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace

TEST(quick_start, WorksWordForWord) {
  auto steps = quick_start(read_file(source("README.md")));
  ASSERT_GE(steps.size(), 9u) << "no quick start in README.md";
  EXPECT_LE(steps.size(), 10u);  // nine to a running pair of services, one to stop
  ASSERT_EQ(steps[0].command, "make deps-check install");

  TempDir t;
  // The source tree as the commands see it: its examples, and build/ of this build.
  const std::string tree = t / "tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(symlink(source("examples").c_str(), (tree + "/examples").c_str()), 0);
  ASSERT_EQ(symlink((std::string(BIN_DIR) + "/..").c_str(), (tree + "/build").c_str()), 0);
  ASSERT_EQ(mkdir((t / "up").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((t / "work").c_str(), 0755), 0);
  const std::string quick = t / "quick";

  // One shell runs every step, marking where each begins.  As between two
  // typed commands, each step waits a moment, and after a server put in the
  // background until a new socket listens.
  std::string steps_text;
  for (size_t i = 1; i < steps.size(); ++i)
    steps_text += replace_all(steps[i].command, "/tmp/quick", quick) + "\n";
  testutil::write_file(t / "steps", steps_text);
  const std::string script =
      "mount -t overlay overlay -o lowerdir=/usr/local,upperdir=" + t / "up" + ",workdir=" +
      t / "work" + " /usr/local || exit 77\n"
      "echo '# install'\n"
      "DESTDIR= cmake --install build 2>&1 || exit 1\n"
      "test -x /usr/local/corvane/command/tollsetup || exit 77\n"
      "listening() { awk '$4 == \"00010000\" { print $8 }' /proc/net/unix | sort; }\n"
      "while IFS= read -r line <&3; do\n"
      "  sleep 0.3\n"
      "  printf '# %s\\n' \"$line\"\n"
      "  listening >\"$1.before\"\n"
      "  eval \"$line\" 2>&1\n"
      "  case $line in *'&')\n"
      "    for _ in $(seq 100); do\n"
      "      [ -n \"$(listening | comm -23 - \"$1.before\")\" ] && break\n"
      "      sleep 0.1\n"
      "    done ;;\n"
      "  esac\n"
      "done 3<\"$1\"\n"
      "kill $(jobs -p) 2>/dev/null\n"
      "exit 0\n";
  testutil::RunOptions opt;
  opt.cwd = tree;
  opt.timeout_ms = 120000;
  // A person types these at a shell, not under make: a make above this test
  // would make the make of a step print "make[1]:" instead of "make:".
  opt.unsetenv = {"MAKELEVEL", "MAKEFLAGS", "MFLAGS", "MAKEOVERRIDES"};
  auto r = testutil::run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/bash",
                          "-c", script, "bash", t / "steps"},
                         opt);
  if (r.code() == 77 || (r.code() == 1 && r.out.empty()))
    GTEST_SKIP() << "cannot install into a private overlay here: " << r.err;
  ASSERT_EQ(r.code(), 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  // Split the output at the step marks and compare step by step.
  std::vector<std::vector<std::string>> got;
  for (const auto &line : lines_of(without_pids(replace_all(r.out, quick, "/tmp/quick")))) {
    if (line.starts_with("# ")) got.emplace_back();
    else if (!got.empty()) got.back().push_back(line);
  }
  ASSERT_EQ(got.size(), steps.size()) << r.out;
  // The install: the lines shown after the build's own appear in order.
  std::vector<std::string> install_shown;
  for (const auto &line : steps[0].shown)
    if (line.starts_with("-- Installing: ") || line == "[...]") install_shown.push_back(line);
  install_shown.insert(install_shown.begin(), "[...]");
  EXPECT_TRUE(matches(install_shown, got[0])) << r.out;
  for (size_t i = 1; i < steps.size(); ++i) {
    const auto shown = lines_of(without_pids(joined(steps[i].shown)));
    const bool skips = std::find(shown.begin(), shown.end(), "[...]") != shown.end();
    EXPECT_TRUE(skips ? matches(shown, got[i]) : same_lines(shown, got[i]))
        << "# " << steps[i].command << "\nshows:\n" << joined(shown) << "gave:\n" << joined(got[i]);
  }
}
