// The compilers against a hostile local user: root compiling in a directory
// that another account can write must not be steered by what that account
// leaves at the temporary name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "rulesdb_fixture.hpp"

using testutil::TempDir;

namespace {

// What nobody leaves at the temporary name before root compiles: a
// symbolic link to a root-only file, or a file of its own open to all.
const char *const plants[] = {"ln -s \"$1\" \"$2\"", "umask 0; echo mine >\"$2\""};

}  // namespace

TEST(compiler_security, TemporaryNamePlantedByAnotherUserIsReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant files as nobody";
  for (std::string prog : {"gatemark", "tollmark"}) {
    for (const char *plant : plants) {
      SCOPED_TRACE(prog + ": " + plant);
      TempDir d;
      std::string victim = d / "victim";
      testutil::write_file(victim, "root only\n", 0600);
      std::string shared = d / "shared";
      ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
      ASSERT_EQ(chown(shared.c_str(), testutil::nobody().uid, testutil::nobody().gid), 0);
      std::string db = shared + "/rules.cdb";
      std::string tmp = shared + "/rules.tmp";

      testutil::RunOptions as_nobody;
      as_nobody.user = testutil::nobody();
      auto planted = testutil::run({"/bin/sh", "-c", plant, "sh", victim, tmp}, as_nobody);
      ASSERT_EQ(planted.code(), 0) << planted.err;

      testutil::RunOptions opt;
      opt.input = ":deny\n";
      auto r = testutil::run({testutil::bin(prog), db, tmp}, opt);
      EXPECT_EQ(r.code(), 0) << r.err;
      EXPECT_TRUE(testutil::read_file(victim) == "root only\n") << "written through the link";
      struct stat st;
      ASSERT_EQ(lstat(db.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_uid, 0u);
      mode_t mask = umask(0);
      umask(mask);
      EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
      EXPECT_EQ(rulesdb_test::dump(db), rulesdb_test::dumped({{"", std::string("D", 2)}}));
    }
  }
}
