#pragma once
// Helpers shared by the rules database tests: running the compilers and
// checkers, and the independent cdb tool used as a second opinion.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "rulesdb/cdbout.hpp"
#include "tests/common/testutil.hpp"

namespace rulesdb_test {

using testutil::Records;

/// Path of the independent cdb tool; records a test failure when it is missing.
inline std::string cdbtool() {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string p = dir + "/cdb";
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  ADD_FAILURE() << "the cdb tool (Debian package tinycdb) is not on PATH: install it";
  return "/nonexistent/cdb";
}

/// Runs prog (gatemark or tollmark) on dir/db.cdb dir/db.tmp with text as input.
inline testutil::RunResult compile(const std::string &prog, const testutil::TempDir &dir,
                            const std::string &text) {
  return testutil::compile(prog, dir / "db.cdb", text, dir / "db.tmp");
}

/// The tool's dump of a database ("+klen,dlen:key->data\n" per record, then "\n").
inline std::string dump(const std::string &db) {
  auto r = testutil::run({cdbtool(), "-d", db});
  EXPECT_EQ(r.code(), 0) << r.err;
  return r.out;
}

/// The dump of these records.
inline std::string dumped(const Records &records) { return testutil::cdb_text(records); }

/// Builds db from the records with the tool; true when it succeeded.
inline bool tool_make(const std::string &db, const Records &records) {
  const bool ok = testutil::make_cdb(db, records);
  EXPECT_TRUE(ok);
  return ok;
}

/// Runs a checker on db with these NAME=VALUE settings; all of the
/// variables the checkers read are unset first.
inline testutil::RunResult probe(const std::string &prog, const std::string &db,
                          const std::vector<std::string> &setenv) {
  testutil::RunOptions opt;
  opt.unsetenv = {"IPCREMOTEEUID", "IPCREMOTEEGID", "IPCREMOTEGROUPS", "IPCUID", "TOLLCALL"};
  opt.setenv = setenv;
  return testutil::run({testutil::bin(prog), db}, opt);
}

/// Writes the records with our writer; true when every call succeeded.
inline bool write_db(const std::string &path, const Records &records) {
  static cdbout out;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0 && cdbout_start(&out, fd) == 0;
  for (const auto &[k, v] : records) ok = ok && cdbout_add(&out, k.data(), k.size(), v.data(), v.size()) == 0;
  ok = ok && cdbout_finish(&out) == 0;
  if (fd >= 0) close(fd);
  // A program writes one database and ends; the tests write many, so they
  // give the writer's memory back themselves.
  cdbout_free(&out);
  return ok;
}

}  // namespace rulesdb_test
