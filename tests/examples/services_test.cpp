// The example services of examples/, each served by the real corvane with
// its own rules text compiled by gatemark, and answered as root, as nobody
// and as other accounts where the rules treat them differently.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/common/testutil.hpp"
#include "tests/prefork/corvane_fixture.hpp"

using corvane_test::Server;
using testutil::ClientOptions;
using testutil::source;
using testutil::TempDir;
using testutil::User;

namespace {

// Compiles examples/<name>.rules into dir and returns the database path.
std::string example_rules(const TempDir &dir, const std::string &name) {
  return corvane_test::rules(dir, testutil::read_file(source("examples/" + name + ".rules")),
                             name + ".cdb");
}

// What a client running as user receives after sending text.
std::string as(const Server &server, User user, const std::string &text) {
  ClientOptions opt;
  opt.user = user;
  return server.client(text, opt);
}

const User nobody = testutil::nobody();
const User daemon_account{1, 1};

}  // namespace

TEST(echo_example, EchoesWithThePrefixOfTheRuleAndRefusesNobody) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  TempDir t;
  Server server(t, {"-v", "-c", "2", "-x", example_rules(t, "echo")},
                {source("examples/echo.pl"), "echo"});

  EXPECT_EQ(server.client("one\ntwo\n"), "root: one\nroot: two\n");
  // An empty line ends the session like the end of input.
  EXPECT_EQ(server.client("a\n\nnot echoed\n"), "root: a\n");
  // A last line without newline is echoed as it came.
  EXPECT_EQ(server.client("x\ny"), "root: x\nroot: y");
  // The group rule .100 and the default rule.
  EXPECT_EQ(as(server, User{1, 100}, "hi\n"), "users: hi\n");
  EXPECT_EQ(as(server, daemon_account, "hi\n"), "hi\n");
  // nobody is refused: the connection closes without an answer.
  EXPECT_EQ(server.client_as_nobody("hi\n"), "");
  EXPECT_TRUE(server.wait_err(" :65534,65534\n")) << server.err();
  EXPECT_NE(server.err().find("corvane: deny "), std::string::npos) << server.err();
}

TEST(lookup_example, AnswersByTheScopeTheRulesGive) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  TempDir t;
  Server server(t, {"-c", "2", "-x", example_rules(t, "lookup")},
                {source("examples/lookup.pl"), "lookup", source("examples/lookup.data")});

  // root sees every key, the private ones included.
  EXPECT_EQ(server.client("colour\n"), "colour=blue\n");
  EXPECT_EQ(server.client("motto\n"), "motto=Keep it simple\n");
  EXPECT_EQ(server.client("private.token\n"), "private.token=7f3a-91c2\n");
  EXPECT_EQ(server.client("no.such.key\n"), "no.such.key: not found\n");
  // A key sent with a carriage return or without a newline is the same key.
  EXPECT_EQ(server.client("answer\r\n"), "answer=42\n");
  EXPECT_EQ(server.client("answer"), "answer=42\n");
  // Comment lines are no keys.
  EXPECT_EQ(server.client("#\n"), "#: not found\n");

  // nobody sees the public keys only; a private one looks absent.
  EXPECT_EQ(server.client_as_nobody("colour\n"), "colour=blue\n");
  EXPECT_EQ(server.client_as_nobody("private.token\n"), "private.token: not found\n");

  // Everyone else is refused.
  EXPECT_EQ(as(server, daemon_account, "colour\n"), "");
}

TEST(lookup_example, ReadsTheTableAgainWhenItChanges) {
  TempDir t;
  const std::string table = t / "table";
  testutil::write_file(table, "colour blue\n");
  // One child, so both lookups are answered by the same interpreter.
  Server server(t, {"-c", "1", "-x", example_rules(t, "lookup")},
                {source("examples/lookup.pl"), "lookup", table});
  EXPECT_EQ(server.client("colour\n"), "colour=blue\n");

  // Replaced by a new file of the same size, likely in the same second.
  testutil::write_file(table + ".new", "colour red!\n");
  ASSERT_EQ(rename((table + ".new").c_str(), table.c_str()), 0);
  EXPECT_EQ(server.client("colour\n"), "colour=red!\n");
  // Rewritten in place with more lines.
  testutil::write_file(table, "colour red!\nshape round\n");
  EXPECT_EQ(server.client("shape\n"), "shape=round\n");

  // A table that cannot be read: the client is told, the log says why,
  // and the child goes on serving.
  ASSERT_EQ(unlink(table.c_str()), 0);
  EXPECT_EQ(server.client("colour\n"), "error: table not available\n");
  EXPECT_TRUE(server.wait_err("lookup: unable to read the table " + table +
                              ": No such file or directory\n"))
      << server.err();
  testutil::write_file(table, "colour green\n");
  EXPECT_EQ(server.client("colour\n"), "colour=green\n");
}

TEST(whoami_example, GreetsByAccountNameAndTurnsSystemAccountsAway) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  TempDir t;
  Server server(t, {"-c", "2", "-x", example_rules(t, "whoami")},
                {source("examples/whoami.pl"), "greet"});

  EXPECT_EQ(server.client(), "welcome back, root\n");
  EXPECT_EQ(server.client_as_nobody(), "hello, nobody\n");
  // Accounts 1 to 999 are refused, the bounds included.
  EXPECT_EQ(as(server, daemon_account, ""), "");
  EXPECT_EQ(as(server, User{999, 999}, ""), "");
  // A uid with no account is greeted by its number.
  EXPECT_EQ(as(server, User{54321, 54321}, ""), "hello, user 54321\n");
}

TEST(whoami_example, WithoutPeerIdsGreetsAStranger) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  TempDir t;
  // -P: no peer ids in the environment; the rules see the server's own (root).
  Server server(t, {"-P", "-c", "1"}, {source("examples/whoami.pl"), "greet"});
  EXPECT_EQ(server.client_as_nobody(), "hello, stranger\n");
}

TEST(greeter_example, DemoServesRootAndRefusesNobody) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to connect as another account";
  // tools/demo.sh runs examples/greeter.pl with examples/rules.txt.
  const std::string build = std::string(BIN_DIR) + "/..";
  auto r = testutil::run({"/bin/bash", source("tools/demo.sh"), build});
  ASSERT_EQ(r.code(), 0) << r.out << r.err;
  EXPECT_NE(r.out.find("good morning, root from demo: uid 0 gid 0 said 'hi from root'"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("== client as nobody\n(nothing: the server closed the connection)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("corvane exited with code 0\n"), std::string::npos) << r.out;
}
