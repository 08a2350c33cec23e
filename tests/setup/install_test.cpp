// make install and make uninstall into a DESTDIR: the programs in
// INSTALL_HOME/command, the program-running server alone in INSTALL_HOME/ipc
// under the name a service's run script calls, links in PREFIX/bin, and
// nothing left behind by the uninstall; directories 0755 whatever the
// umask, and the suite's version in the pages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "tests/common/testutil.hpp"

using testutil::read_file;
using testutil::cache_value;
using testutil::tree;
using testutil::TempDir;

namespace {

// Keeps the build's own install records as they were.
struct SavedFile {
  std::string path;
  bool had;
  std::string data;
  explicit SavedFile(const std::string &p)
      : path(p), had(testutil::exists(p)), data(read_file(p)) {}
  ~SavedFile() {
    if (had) testutil::write_file(path, data);
    else unlink(path.c_str());
  }
};

const std::string build = std::string(BIN_DIR) + "/..";

// Installs the build into DESTDIR dest with the file-creation mask mask.
testutil::RunResult install_into(const std::string &dest, mode_t mask = 022) {
  testutil::RunOptions opt;
  opt.setenv = {"DESTDIR=" + dest};
  mode_t old = umask(mask);
  auto r = testutil::run({"/usr/bin/cmake", "--install", build}, opt);
  umask(old);
  return r;
}

}  // namespace

TEST(install, LinksProgramsAndUninstallLeavesNothing) {
  const std::string prefix = cache_value("CMAKE_INSTALL_PREFIX");
  const std::string home = cache_value("INSTALL_HOME");
  ASSERT_FALSE(prefix.empty() || home.empty());
  SavedFile manifest(build + "/install_manifest.txt"), dirs(build + "/install_dirs.txt");
  unlink(dirs.path.c_str());
  TempDir t;
  const std::string dest = t / "dest";
  auto r = install_into(dest);
  ASSERT_EQ(r.code(), 0) << r.err;

  // ipc/ holds only the program-running server, as corvane.
  EXPECT_EQ(tree(dest + home + "/ipc"), std::set<std::string>{"corvane"});
  EXPECT_EQ(std::filesystem::read_symlink(dest + home + "/ipc/corvane").string(), "../command/sockserve");
  for (const char *program : {"corvane", "gatemark", "tollmark", "gateprobe", "tollprobe", "tollgant",
                              "tollcall", "pipewright", "tollsetup", "sockconnect"}) {
    // Each link resolves, inside DESTDIR, to the installed program.
    const std::string link = dest + prefix + "/bin/" + program;
    ASSERT_TRUE(std::filesystem::is_symlink(link)) << link;
    EXPECT_EQ(std::filesystem::canonical(link),
              std::filesystem::canonical(dest + home + "/command/" + program));
  }
  EXPECT_FALSE(testutil::exists(dest + prefix + "/bin/sockserve"));
  EXPECT_TRUE(testutil::exists(dest + prefix + "/share/man/man8/sockserve.8"));

  // A directory of someone else's inside one the install made stays.
  ASSERT_EQ(mkdir((dest + prefix + "/bin/mine").c_str(), 0755), 0);
  r = testutil::run({"/usr/bin/make", "-s", "-C", SOURCE_DIR, "uninstall", "BUILD=" + build,
                     "DESTDIR=" + dest});
  EXPECT_EQ(r.code(), 0) << r.out << r.err;
  std::set<std::string> left;
  for (std::string p = prefix + "/bin/mine"; p != "/"; p = std::filesystem::path(p).parent_path())
    left.insert(p.substr(1));
  EXPECT_EQ(tree(dest), left);
}

// Root runs programs from the installed tree: no directory the install
// makes may be writable by a group or closed to others, whatever the
// installer's file-creation mask.
TEST(install, DirectoriesAre0755WhateverTheUmask) {
  SavedFile manifest(build + "/install_manifest.txt"), dirs(build + "/install_dirs.txt");
  for (mode_t mask : {002, 077}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    TempDir t;
    const std::string dest = t / "dest";
    auto r = install_into(dest, mask);
    ASSERT_EQ(r.code(), 0) << r.err;
    size_t directories = 0;
    for (const std::string &p : tree(dest)) {
      struct stat st;
      ASSERT_EQ(lstat((dest + "/" + p).c_str(), &st), 0) << p;
      if (!S_ISDIR(st.st_mode)) continue;
      EXPECT_EQ(st.st_mode & 07777, 0755u) << p;
      ++directories;
    }
    EXPECT_GE(directories, 5u);
  }
}

// One version for the suite: every installed page's footer names it, and
// the Debian package's version (the top of debian/changelog) is it.
TEST(install, PagesAndPackageCarryTheSuiteVersion) {
  SavedFile manifest(build + "/install_manifest.txt"), dirs(build + "/install_dirs.txt");
  TempDir t;
  auto r = install_into(t / "dest");
  ASSERT_EQ(r.code(), 0) << r.err;
  const std::string man = t / "dest" + cache_value("CMAKE_INSTALL_PREFIX") + "/share/man/";
  const std::regex title("\\.TH [A-Z]+ [18] [-0-9]+ \"corvane " SUITE_VERSION "\" \"[A-Za-z ]+\"");
  size_t pages = 0;
  for (const std::string &p : tree(man)) {
    if (!p.ends_with(".1") && !p.ends_with(".8")) continue;
    std::string page = read_file(man + p);
    EXPECT_TRUE(std::regex_match(page.substr(0, page.find('\n')), title)) << p;
    ++pages;
  }
  EXPECT_EQ(pages, 11u);
  std::string changelog = read_file(testutil::source("debian/changelog"));
  EXPECT_TRUE(changelog.starts_with("corvane (" SUITE_VERSION ") "))
      << changelog.substr(0, changelog.find('\n'));
}
