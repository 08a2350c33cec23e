// lookup_bench [benchmark flags] database: lookups in a database of the
// uids 0 to 999999 (as gatemark writes it from `rulesgen lines text`), with
// our reader and with the system cdb library: random hits, random misses,
// and one key over and over (its pages stay in the caches); and whole rules
// calls, which map and unmap the file each time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "rulesdb/cdb.hpp"
#include "rulesdb/rules.hpp"
#include "syscdb.hpp"

namespace {

const char *dbpath;
std::vector<std::string> hits;
std::vector<std::string> misses;
std::vector<std::string> hot;

void make_keys() {
  std::mt19937 rng(3);
  for (int i = 0; i < 65536; ++i) {
    hits.push_back(std::to_string(rng() % 1000000));
    misses.push_back(std::to_string(1000000 + rng() % 1000000));
    hot.push_back("123456");
  }
}

void ours(benchmark::State &state, const std::vector<std::string> *keys, int want) {
  int fd = open(dbpath, O_RDONLY);
  cdb c;
  cdb_init(&c, fd);
  if (!c.mapping) state.SkipWithError("database not mapped");
  size_t i = 0;
  for (auto _ : state) {
    const std::string &k = (*keys)[i++ & 65535];
    if (cdb_find(&c, k.data(), k.size()) != want) state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(c.data_len);
  }
  cdb_free(&c);
  close(fd);
}

void theirs(benchmark::State &state, const std::vector<std::string> *keys, int want) {
  void *h = syscdb_open(dbpath);
  if (!h) state.SkipWithError("cannot open the database");
  size_t i = 0;
  for (auto _ : state) {
    const std::string &k = (*keys)[i++ & 65535];
    if (syscdb_find(h, k.data(), k.size()) != want) state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(syscdb_datalen(h));
  }
  if (h) syscdb_close(h);
}

// uid.gid misses, then uid hits: two tries, one mapping.
void rules_call(benchmark::State &state) {
  int fd = open(dbpath, O_RDONLY);
  rules_db db{};
  size_t i = 0;
  for (auto _ : state) {
    const std::string &k = hits[i++ & 65535];
    if (rules(&db, fd, k.c_str(), "100") != 1) state.SkipWithError("rule not found");
    benchmark::DoNotOptimize(db.value.bytes);
  }
  close(fd);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    std::fputs("usage: lookup_bench [benchmark flags] database\n", stderr);
    return 100;
  }
  dbpath = argv[1];
  make_keys();
  benchmark::RegisterBenchmark("find_hit/ours", ours, &hits, 1);
  benchmark::RegisterBenchmark("find_hit/libcdb", theirs, &hits, 1);
  benchmark::RegisterBenchmark("find_miss/ours", ours, &misses, 0);
  benchmark::RegisterBenchmark("find_miss/libcdb", theirs, &misses, 0);
  benchmark::RegisterBenchmark("find_hot/ours", ours, &hot, 1);
  benchmark::RegisterBenchmark("find_hot/libcdb", theirs, &hot, 1);
  benchmark::RegisterBenchmark("rules_call/ours", rules_call);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
