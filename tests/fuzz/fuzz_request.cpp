// Fuzz target: the executor's reading of the exec request, on arbitrary
// byte streams delivered in arbitrary pieces.
//
// Input: a byte P, then (P mod 8) + 1 piece sizes, then the stream.  The
// buffer's read operation hands the stream out in pieces of those sizes, in
// turn (a size of 0 makes one read fail with EINTR), never more than the
// reader asks for.  The request is read as the executor does (uid, count,
// block) and compared with a reader written here from the protocol: same
// verdict, same uid and arguments, and for a good request the reader must
// have taken exactly the request's bytes from the stream (nothing after its
// final ',').  A bad request may be read past the byte that made it bad.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "execsvc/request.hpp"
#include "fuzzutil.hpp"
#include "support/alloc.hpp"
#include "support/buffer.hpp"
#include "support/stralloc.hpp"

namespace {

// ---- the stream ----

std::string stream;
size_t delivered;
std::vector<uint8_t> pieces;
size_t piece;
bool interrupted;

int stream_read(int, char *s, uint32_t n) {
  fuzz_check(n > 0, "read of 0 bytes asked for");
  if (delivered == stream.size()) return 0;
  uint8_t want = pieces[piece++ % pieces.size()];
  if (!want && !interrupted) {
    interrupted = true;
    errno = EINTR;
    return -1;
  }
  interrupted = false;
  size_t k = want ? want : 1;
  if (k > n) k = n;
  if (k > stream.size() - delivered) k = stream.size() - delivered;
  stream.copy(s, k, delivered);
  delivered += k;
  return (int)k;
}

// ---- the protocol, read here ----

struct request {
  bool ok = false;
  size_t end = 0;  // bytes of the whole request
  uint32_t uid = 0;
  std::vector<std::string> args;
};

struct reader {
  const std::string &s;
  size_t pos = 0;
  bool take(char *c) {
    if (pos >= s.size()) return false;
    *c = s[pos++];
    return true;
  }
};

bool digit(char c) { return c >= '0' && c <= '9'; }

bool ref_len(reader *r, uint32_t *len) {
  uint64_t v = 0;
  int digits = 0;
  char c;
  if (!r->take(&c)) return false;
  while (c != ':') {
    if (!digit(c) || ++digits > 10) return false;
    v = v * 10 + (uint64_t)(c - '0');
    if (!r->take(&c)) return false;
  }
  *len = (uint32_t)v;
  return true;
}

bool ref_num(reader *r, uint32_t *num) {
  uint32_t len;
  if (!ref_len(r, &len) || len > 10) return false;
  uint64_t v = 0;
  char c;
  for (uint32_t i = 0; i < len; ++i) {
    if (!r->take(&c) || !digit(c)) return false;
    v = v * 10 + (uint64_t)(c - '0');
  }
  *num = (uint32_t)v;
  return r->take(&c) && c == ',';
}

bool ref_block(reader *r, int32_t n, std::vector<std::string> *args) {
  uint32_t len;
  if (!ref_len(r, &len) || len == 0) return false;
  if (r->s.size() - r->pos < len) {
    r->pos = r->s.size();
    return false;
  }
  std::string block = r->s.substr(r->pos, len);
  r->pos += len;
  char c;
  if (block.back() != '\0' || !r->take(&c) || c != ',') return false;
  for (size_t start = 0; start < block.size();) {
    size_t nul = block.find('\0', start);
    args->push_back(block.substr(start, nul - start));
    start = nul + 1;
  }
  return n > 0 && args->size() == (size_t)n;
}

request ref_request(const std::string &s) {
  request q;
  reader r{s};
  uint32_t n;
  q.ok = ref_num(&r, &q.uid) && ref_num(&r, &n) && ref_block(&r, (int32_t)n, &q.args);
  q.end = r.pos;
  return q;
}

char space[8192];
stralloc cmd;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_input in{data, size};
  pieces.clear();
  for (int k = fuzz_byte(&in) % 8 + 1; k > 0; --k) pieces.push_back(fuzz_byte(&in));
  stream = fuzz_rest(&in);
  delivered = 0;
  piece = 0;
  interrupted = false;

  buffer b;
  buffer_init(&b, stream_read, 0, space, sizeof space);
  request want = ref_request(stream);
  char **argv = nullptr;
  request_start(0);
  int64_t uid = request_num(&b);
  int64_t n = uid == -1 ? -1 : request_num(&b);
  int ok = 0;
  if (n != -1) {
    fuzz_check(stralloc_copys(&cmd, "0."), "stralloc");
    ok = request_block(&b, &cmd, (int32_t)(uint32_t)n, &argv) == 0;
  }
  if (!ok) fuzz_check(errno == EPROTO, "bad request reported with another error than EPROTO");
  fuzz_check(ok == want.ok, "request verdict differs from the protocol");
  if (!ok) return 0;

  fuzz_check(delivered == want.end && b.pending == 0, "request not read to its end");
  fuzz_check((uint32_t)uid == want.uid, "uid differs");
  size_t i = 0;
  for (; argv[i]; ++i) {
    fuzz_check(i < want.args.size() && want.args[i] == argv[i], "argument differs");
    fuzz_check(argv[i] >= cmd.bytes + 2 && argv[i] < cmd.bytes + cmd.length,
               "argument not inside the command text");
  }
  fuzz_check(i == want.args.size(), "argument count differs");
  alloc_free(argv);
  return 0;
}
