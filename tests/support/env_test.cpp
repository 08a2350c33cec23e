#include "support/env.hpp"

#include <gtest/gtest.h>

extern char **environ;

namespace {
// Points environ at a fixed array for the life of the object.
struct FakeEnviron {
  char **saved;
  explicit FakeEnviron(char **e) : saved(environ) { environ = e; }
  ~FakeEnviron() { environ = saved; }
};
}  // namespace

TEST(env_get, FirstExactNameWins) {
  char a[] = "PATHX=1", b[] = "PATH", c[] = "PATH=/bin", d[] = "PATH=/usr/bin";
  char *e[] = {a, b, c, d, nullptr};
  FakeEnviron f(e);
  ASSERT_NE(env_get("PATH"), nullptr);
  EXPECT_STREQ(env_get("PATH"), "/bin");
  EXPECT_STREQ(env_get("PATHX"), "1");
  EXPECT_EQ(env_get("PAT"), nullptr);
  EXPECT_EQ(env_get("PATHXY"), nullptr);
}

TEST(env_get, NullNameAndEmptyValues) {
  char a[] = "EMPTY=", b[] = "=odd", c[] = "X=a=b";
  char *e[] = {a, b, c, nullptr};
  FakeEnviron f(e);
  EXPECT_EQ(env_get(nullptr), nullptr);
  EXPECT_STREQ(env_get("EMPTY"), "");
  EXPECT_STREQ(env_get(""), "odd");
  EXPECT_STREQ(env_get("X"), "a=b");
  EXPECT_EQ(env_get("MISSING"), nullptr);
}

TEST(env_get, EmptyEnvironment) {
  char *e[] = {nullptr};
  FakeEnviron f(e);
  EXPECT_EQ(env_get("PATH"), nullptr);
}
