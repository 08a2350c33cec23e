// rulesgen lines|range text|records: writes a benchmark workload to
// standard output, either as a rules text for gatemark or as the same
// records in the input format of the cdb tool ("+klen,dlen:key->data").
//   lines: 1000000 lines "uid:allow,A='xuid'"
//   range: one line "0-999999:allow,A='x'"
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int count = 1000000;

void record(const std::string &key, const std::string &value) {
  std::printf("+%zu,%zu:%s->", key.size(), value.size() + 1, key.c_str());
  std::fwrite(value.data(), 1, value.size(), stdout);
  std::fputc(0, stdout);
  std::fputc('\n', stdout);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fputs("usage: rulesgen lines|range text|records\n", stderr);
    return 100;
  }
  bool lines = !std::strcmp(argv[1], "lines");
  bool text = !std::strcmp(argv[2], "text");
  if (text && !lines) {
    std::printf("0-%d:allow,A='x'\n", count - 1);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    std::string uid = std::to_string(i);
    if (text)
      std::printf("%s:allow,A='x%s'\n", uid.c_str(), uid.c_str());
    else
      record(uid, lines ? "+A=x" + uid : "+A=x");
  }
  if (!text) std::putchar('\n');
  return std::ferror(stdout) ? 111 : 0;
}
