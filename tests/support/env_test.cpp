#include "support/env.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/alloc.hpp"

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

// Every entry of the name goes, however many there are; the rest keep
// their order.
TEST(env_unset, RemovesEveryEntryOfTheName) {
  char a[] = "A=1", b[] = "AB=2", c[] = "A=3", d[] = "A", e2[] = "C=4";
  char *e[] = {a, b, c, d, e2, nullptr};
  FakeEnviron f(e);
  env_unset("A");
  EXPECT_EQ(env_get("A"), nullptr);
  std::vector<std::string> left;
  for (char **x = environ; *x; ++x) left.push_back(*x);
  EXPECT_EQ(left, (std::vector<std::string>{"AB=2", "A", "C=4"}));
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

// env_merge applies the queue in order to a copy of the base: each entry
// removes the first entry of its name (the last one moves into its place)
// and a setting is appended.  The order is what programs see.
TEST(env_merge, QueueAppliedInOrder) {
  struct Change {
    const char *name;
    const char *value;  // null: removal
  };
  struct Row {
    const char *what;
    std::vector<std::string> base;
    std::vector<Change> queue;
    std::vector<std::string> want;
  } rows[] = {
      {"removal moves the last entry into the gap", {"A=1", "B=2", "C=3"}, {{"A", nullptr}},
       {"C=3", "B=2"}},
      {"only the first entry of a name goes", {"A=1", "A=2", "B=3"}, {{"A", nullptr}},
       {"B=3", "A=2"}},
      {"a name matches only up to its '='", {"AB=1", "A=2"}, {{"A", "3"}}, {"AB=1", "A=3"}},
      {"an entry without '=' has no name", {"A", "A=1"}, {{"A", nullptr}}, {"A"}},
      {"a later setting replaces an earlier one", {"X=0", "Y=1"}, {{"X", "1"}, {"X", "2"}},
       {"Y=1", "X=2"}},
      {"a removal cancels a queued setting", {}, {{"X", "1"}, {"X", nullptr}}, {}},
      {"empty values and values with '='", {}, {{"V", "a=b"}, {"E", ""}}, {"V=a=b", "E="}},
      {"a null name queues nothing", {"A=1"}, {{nullptr, "x"}, {nullptr, nullptr}}, {"A=1"}},
      {"removing an absent name changes nothing", {"A=1", "B=2"}, {{"Z", nullptr}},
       {"A=1", "B=2"}},
      {"names alike but for one byte", {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0", "IPCREMOTEEGIE=0"},
       {{"IPCREMOTEEGID", "1"}, {"IPCREMOTEEUID", nullptr}},
       {"IPCREMOTEEGID=1", "IPCREMOTEEGIE=0"}},
      {"the empty name and one-byte names", {"=x", "A=1", "AB=2"}, {{"", "y"}, {"A", "3"}},
       {"AB=2", "=y", "A=3"}},
  };
  for (Row &r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<char *> base;
    for (std::string &s : r.base) base.push_back(s.data());
    base.push_back(nullptr);
    stralloc q = {};
    for (const Change &c : r.queue) ASSERT_EQ(env_queue(&q, c.name, c.value), 1);
    char **e = env_merge(base.data(), &q);
    ASSERT_NE(e, nullptr);
    std::vector<std::string> got;
    for (char **p = e; *p; ++p) got.push_back(*p);
    EXPECT_EQ(got, r.want);
    alloc_free(e);
    alloc_free(q.bytes);
  }
}
