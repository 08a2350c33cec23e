// A catalogue of bad input, one row per case, for all nine programs: the
// malformed arguments, environment values, rules texts, databases and
// requests that each program meets, with the exact bytes it must write to
// standard error (and standard output) and its exit code.  The compilers
// must leave the existing database as it was.
//
// In a row, "@D" stands for the row's own scratch directory, "@B" for the
// directory of the programs, and "@LONG" for a socket path one byte longer
// than a local socket address can hold.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tests/common/testutil.hpp"
#include "support/fmt.hpp"

using testutil::ns;
using testutil::request;
using testutil::bin;

namespace {

enum : unsigned {
  AS_NOBODY = 1,     ///< run as nobody
  DB_UNTOUCHED = 2,  ///< @D/rules.cdb must keep its bytes
  STDIN_DIR = 4,     ///< standard input is a directory (reads fail)
  NO_SVC = 8,        ///< @D/svc must not exist afterwards
  FSIZE_1 = 16,      ///< files written are limited to one block (writes fail with EFBIG)
  STDIN_ZERO = 32,   ///< standard input is /dev/zero, memory limited to 64 MiB
  STDIN_TEXT = 64,   ///< standard input is @D/rules, which must keep its bytes; no @D/rules.tmp
};

struct Row {
  std::string program;
  std::vector<std::string> args;
  std::vector<std::string> env;  ///< NAME=VALUE, beside PATH
  std::string input;
  std::string err;
  int code;
  std::string out = "";
  unsigned flags = 0;
};

const std::string usage_corvane =
    "@B/corvane: usage: @B/corvane [ -UXhHoOdDqQvpPLG ] [ -c limit ] [ -C peruid ] [ -t seconds ] "
    "[ -x rules.cdb ] [ -B banner ] [ -g gid ] [ -u uid ] [ -b backlog ] [ -l localname ] "
    "[ -f lockfile ] [ -N fd ] path\n";

// The rules text of @D/rules.cdb, also at @D/rules.
const std::string rules_text = "0:deny\n:allow,A='1'\n";

std::string nobody_uid() { return std::to_string(testutil::nobody().uid); }

std::vector<Row> corvane_rows() {
  const std::string fatal = "@B/corvane: fatal: ";
  const std::string served_usage = "@B/corvane: usage: @B/corvane icpargs file sub args\n";
  const std::string giveup = fatal + "children keep failing to load ";
  return {
      {"corvane", {"-h"}, {}, "", "corvane: illegal option -- h\n" + usage_corvane, 100},
      {"corvane", {"-O", "@D/s"}, {}, "", "corvane: illegal option -- O\n" + usage_corvane, 100},
      {"corvane", {"-c"}, {}, "", "corvane: option requires an argument -- c\n" + usage_corvane, 100},
      {"corvane", {"-vx"}, {}, "", "corvane: option requires an argument -- x\n" + usage_corvane, 100},
      {"corvane", {}, {}, "", usage_corvane, 100},
      {"corvane", {""}, {}, "", usage_corvane, 100},
      {"corvane", {"-v", "--"}, {}, "", usage_corvane, 100},
      {"corvane", {"-q", ""}, {}, "", "", 100},
      // The scanner's line and the usage line come before -q takes effect.
      {"corvane", {"-q", "-h"}, {}, "", "corvane: illegal option -- h\n" + usage_corvane, 100},
      {"corvane", {"@LONG"}, {}, "", fatal + "unable to bind: protocol error\n", 111},
      {"corvane", {"-D", "@D/exists"}, {}, "", fatal + "unable to bind: address already used\n", 111},
      {"corvane", {"@D/nodir/s"}, {}, "", fatal + "unable to bind: file does not exist\n", 111},
      {"corvane", {"-f", "@D/nodir/lock", "@D/s"}, {}, "",
       fatal + "unable to open @D/nodir/lock: file does not exist\n", 111},
      // The lock file is never reached through a link, and is a regular file.
      {"corvane", {"-f", "@D/symlink", "@D/s"}, {}, "",
       fatal + "unable to open @D/symlink: symbolic link loop\n", 111},
      {"corvane", {"-f", "/dev/null", "@D/s"}, {}, "",
       fatal + "unable to open /dev/null: invalid argument\n", 111},
      // A new user first gets the current group as its only group.
      {"corvane", {"-u", "1", "@D/s"}, {}, "", fatal + "unable to set gid: permission denied\n", 111,
       "", AS_NOBODY},
      {"corvane", {"-g", "1", "@D/s"}, {}, "", fatal + "unable to set gid: permission denied\n", 111,
       "", AS_NOBODY},
      {"corvane", {"-U", "@D/s"}, {"UID=1"}, "", fatal + "unable to set gid: permission denied\n",
       111, "", AS_NOBODY},
      // An id that is not wholly a 32-bit decimal number never means "stay root".
      {"corvane", {"-u", "nobody", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-u", "4294967296", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-u", "1x", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-g", "-1", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-g", " 1", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-U", "-c", "0", "@D/s"}, {"UID=1x"}, "", usage_corvane, 100},
      {"corvane", {"-U", "-c", "0", "@D/s"}, {"GID=nobody"}, "", usage_corvane, 100},
      // Nor does an empty one, given or from a variable that is set; an
      // absent variable leaves the id alone, and the start goes on.
      {"corvane", {"-u", "", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-g", "", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-U", "-c", "0", "@D/s"}, {"UID=", "GID=0"}, "", usage_corvane, 100},
      {"corvane", {"-U", "-c", "0", "@D/s"}, {"GID="}, "", usage_corvane, 100},
      {"corvane", {"-U", "@D/nodir/s"}, {}, "", fatal + "unable to bind: file does not exist\n", 111},
      // The limits are numbers as strict as the ids.
      {"corvane", {"-C", "", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-C", "two", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-t", "5s", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-C", "1", "-t", "5", "@D/nodir/s"}, {}, "",
       fatal + "unable to bind: file does not exist\n", 111},
      // -N: a descriptor above 2 (0 and 1 are closed at start, 2 is the
      // log), open at start; a notification socket that cannot be reached
      // is only warned about.
      {"corvane", {"-N", "2", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-N", "", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-N", "fd3", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-N", "9", "@D/s"}, {}, "",
       fatal + "unable to use the notification descriptor: file descriptor not open\n", 111},
      {"corvane", {"@D/nodir/s"}, {"NOTIFY_SOCKET=/nonexistent/notify"}, "",
       "@B/corvane: warning: unable to notify the service manager: file does not exist\n" + fatal +
           "unable to bind: file does not exist\n",
       111},
      // A count is wholly decimal digits within its type: a word that is no
      // number never starts a pool of no child.
      {"corvane", {"-c", "ten", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-c", "", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-c", "4 ", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-c", "18446744073709551616", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-b", "ten", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-b", "-1", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-b", "2147483648", "-c", "0", "@D/s"}, {}, "", usage_corvane, 100},
      {"corvane", {"-c", "18446744073709551615", "-b", "2147483647", "@D/nodir/s"}, {}, "",
       fatal + "unable to bind: file does not exist\n", 111},
      // -L: the words are needed at start; a script that cannot serve ends
      // the server after its children's lines (one child here).
      {"corvane", {"-L", "@D/s"}, {}, "", served_usage, 100},
      {"corvane", {"-L", "@D/s", "@D/svc.pl"}, {}, "", served_usage, 100},
      {"corvane", {"-L", "-c", "1", "@D/s", "@D/none.pl", "serve"}, {}, "",
       "Can't open perl script \"@D/none.pl\": No such file or directory\n" + fatal +
           "perl_parse failed\n" + giveup + "@D/none.pl\n",
       111},
      {"corvane", {"-L", "-c", "1", "@D/s", "@D/dies.pl", "serve"}, {}, "",
       "no database\n" + fatal + "perl_run failed\n" + giveup + "@D/dies.pl\n", 111},
      {"corvane", {"-L", "-c", "1", "@D/s", "@D/svc.pl", "serv"}, {}, "",
       fatal + "undefined subroutine serv in @D/svc.pl\n" + giveup + "@D/svc.pl\n", 111},
      {"corvane", {"-L", "-c", "1", "@D/s", "@D/declared.pl", "serve"}, {}, "",
       fatal + "undefined subroutine serve in @D/declared.pl\n" + giveup + "@D/declared.pl\n", 111},
  };
}

// Rows for a rules compiler: the same failures for gatemark and tollmark.
// The first line of their texts is a rule without a warning in either.
std::vector<Row> compiler_rows(const std::string &p) {
  const std::string fatal = p + ": fatal: ";
  const std::string rule = p == "tollmark" ? ":allow\n" : "0:allow\n";
  const std::string parse = fatal + "unable to parse this line: ";
  const std::vector<std::string> args = {"@D/rules.cdb", "@D/rules.tmp"};
  std::vector<Row> rows = {
      {p, {}, {}, "", p + ": usage: " + p + " rules.cdb rules.tmp\n", 100},
      {p, {"@D/rules.cdb"}, {}, rule, p + ": usage: " + p + " rules.cdb rules.tmp\n", 100},
      {p, {"@D/rules.cdb", "@D/nodir/rules.tmp"}, {}, rule,
       fatal + "unable to create @D/nodir/rules.tmp: file does not exist\n", 111},
      {p, {"@D/rules.cdb", "@D/ro/rules.tmp"}, {}, rule,
       fatal + "unable to create @D/ro/rules.tmp: access denied\n", 111, "", AS_NOBODY},
      // The temporary name must not be the database under any name.
      {p, {"@D/rules.cdb", "@D/rules.cdb"}, {}, rule,
       fatal + "unable to create @D/rules.cdb: file already exists\n", 111},
      {p, {"@D/rules.cdb", "@D/hardlink"}, {}, rule,
       fatal + "unable to create @D/hardlink: file already exists\n", 111},
      {p, {"@D/rules.cdb", "@D/symlink"}, {}, rule,
       fatal + "unable to create @D/symlink: file already exists\n", 111},
      {p, args, {}, rule, fatal + "unable to write to @D/rules.tmp: file too big\n", 111, "",
       FSIZE_1},
      // What is at the temporary name is removed, not written through; a
      // directory there stays, and the removal's failure is the message.
      {p, {"@D/rules.cdb", "@D/dir"}, {}, rule,
       fatal + "unable to create @D/dir: is a directory\n", 111},
      // Names in the wrong order: the rules text on standard input is
      // neither the database nor the temporary file, under any name.
      {p, {"@D/rules", "@D/rules.cdb"}, {}, "",
       fatal + "unable to replace @D/rules: it is the file on standard input\n", 111, "", STDIN_TEXT},
      {p, {"@D/rules.cdb", "@D/rules"}, {}, "",
       fatal + "unable to create @D/rules: it is the file on standard input\n", 111, "", STDIN_TEXT},
      {p, {"@D/textlink", "@D/rules.tmp"}, {}, "",
       fatal + "unable to replace @D/textlink: it is the file on standard input\n", 111, "",
       STDIN_TEXT},
      {p, args, {}, "", fatal + "unable to read input: is a directory\n", 111, "", STDIN_DIR},
      // A line without end: the input fails when the line cannot grow.
      {p, args, {}, "", fatal + "unable to read input: out of memory\n", 111, "", STDIN_ZERO},
      {p, {"@D/dir", "@D/rules.tmp"}, {}, rule,
       fatal + "unable to move @D/rules.tmp to @D/dir: is a directory\n", 111},
  };
  for (std::string line : {"1000:allowed", "1000:deny all", "1000: allow", "1000:Allow", "1000:",
                           ":", "1000:allow\r", "1000:allow,A=", "1000:allow,A='x", "1000:allow,A",
                           "1000:allow A='x'", "1000:allow,A='x'B", "1000:deny,='", "10a-12:deny",
                           "1-2x:deny", "-x:allow", "1000:allow,A='x',"})
    rows.push_back({p, args, {}, rule + line + "\n", parse + line + "\n", 100});
  // Trailing blanks are trimmed from the line shown; comments and lines
  // without ':' before it are passed over, the latter with a warning; the
  // last line needs no newline.
  rows.push_back({p, args, {}, "# c\n\nhello\n" + rule + "1000:bad \t \n",
                  p + ": warning: line 3: no ':' in this line, passed over: hello\n" + parse +
                      "1000:bad\n",
                  100});
  rows.push_back({p, args, {}, rule + "1000:deny,A=|x", parse + "1000:deny,A=|x\n", 100});
  // A NUL byte would split a value into further instructions: the line is
  // refused and shown cleaned as a log line is, not cut at the NUL.
  const std::string nul(1, '\0');
  for (auto [line, shown] : std::vector<std::pair<std::string, std::string>>{
           {":allow,A='x" + nul + "D'", "?allow,A='x?D'"},
           {"1000:allow,A='x" + nul + "+LD_PRELOAD=/tmp/x.so'", "1000?allow,A='x?+LD_PRELOAD=/tmp/x.so'"},
           {"10" + nul + "0:allow", "10?0?allow"},
           {"1000:allow" + nul, "1000?allow?"}})
    rows.push_back({p, args, {}, rule + line + "\n", parse + shown + "\n", 100});
  for (auto &r : rows) r.flags |= DB_UNTOUCHED;
  return rows;
}

std::vector<Row> tollmark_rows() {
  std::vector<Row> rows = compiler_rows("tollmark");
  const std::string parse = "tollmark: fatal: unable to parse this line: ";
  for (std::string line : {"1000,0.x:allow=", "1000,0.x:allow='abc", "1000,0.x:allow=x",
                           "1000,0.x:deny='abc'", "1000,0.x:allow='/bin/x'junk",
                           "1000,0.x:allow'/bin/x'"})
    rows.push_back({"tollmark", {"@D/rules.cdb", "@D/rules.tmp"}, {}, line + "\n",
                    parse + line + "\n", 100, "", DB_UNTOUCHED});
  rows.push_back({"tollmark", {"@D/rules.cdb", "@D/rules.tmp"}, {},
                  ",0.x:allow,A='" + std::string(1, '\0') + "=/bin/sh'\n",
                  parse + ",0.x?allow,A='?=/bin/sh'\n", 100, "", DB_UNTOUCHED});
  return rows;
}

std::vector<Row> checker_rows() {
  const std::string gp = "gateprobe: fatal: unable to read ";
  const std::string tp = "tollprobe: fatal: unable to read ";
  const std::vector<std::string> ids = {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0"};
  const std::vector<std::string> call = {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0", "TOLLCALL=echo"};
  return {
      {"gateprobe", {}, ids, "", "gateprobe: usage: gateprobe rules.cdb\n", 100},
      {"gateprobe", {"@D/none.cdb"}, ids, "", gp + "@D/none.cdb: file does not exist\n", 111},
      {"gateprobe", {"@D/empty.cdb"}, ids, "", gp + "@D/empty.cdb: protocol error\n", 111},
      {"gateprobe", {"@D/damaged.cdb"}, ids, "", gp + "@D/damaged.cdb: protocol error\n", 111},
      {"gateprobe", {"@D/short.cdb"}, ids, "", gp + "@D/short.cdb: protocol error\n", 111},
      {"gateprobe", {"@D/secret.cdb"}, ids, "", gp + "@D/secret.cdb: access denied\n", 111, "",
       AS_NOBODY},
      // Ids are used as given: "0x" is no number and misses the rule for 0.
      {"gateprobe", {"@D/rules.cdb"}, {"IPCREMOTEEUID=0x", "IPCREMOTEEGID=0"}, "", "", 0,
       "rule :\nset environment variable A=1\nallow connection\n"},
      {"tollprobe", {}, call, "", "tollprobe: usage: tollprobe rules.cdb\n", 100},
      {"tollprobe", {"@D/none.cdb"}, ids, "", "tollprobe: fatal: TOLLCALL not set\n", 111},
      {"tollprobe", {"@D/none.cdb"}, call, "", tp + "@D/none.cdb: file does not exist\n", 111},
      {"tollprobe", {"@D/empty.cdb"}, call, "", tp + "@D/empty.cdb: protocol error\n", 111},
      {"tollprobe", {"@D/damaged.cdb"}, call, "", tp + "@D/damaged.cdb: protocol error\n", 111},
      {"tollprobe", {"@D/secret.cdb"}, call, "", tp + "@D/secret.cdb: access denied\n", 111, "",
       AS_NOBODY},
      // IPCUID is not checked: "abc.secret" is no rule, the empty key is.
      {"tollprobe", {"@D/exec.cdb"}, {"IPCUID=abc", "TOLLCALL=secret"}, "", "", 0,
       "rule :\ndeny connection\n"},
  };
}

std::vector<Row> tollgant_rows() {
  const std::string bad = "corvane: fatal: bad ipc request: protocol error\n";
  const std::vector<std::string> ids = {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0"};
  const std::vector<std::string> db = {"@D/exec.cdb"};
  std::string nul(1, '\0');
  std::vector<Row> rows = {
      {"tollgant", {}, ids, request("0", {"echo", "hi"}), "corvane: usage: tollgant rules.cdb \n", 100},
      {"tollgant", db, ids, request("4242424", {"echo", "hi"}), "corvane: fatal: unknown uid 4242424\n",
       111},
      // 2^32 + 4242424 is read modulo 2^32.
      {"tollgant", db, ids, request("4299209720", {"echo"}), "corvane: fatal: unknown uid 4242424\n", 111},
      {"tollgant", {"@D/none.cdb"}, ids, request("0", {"echo", "hi"}),
       "corvane: fatal: unable to read @D/none.cdb: file does not exist\n", 111},
      {"tollgant", {"@D/damaged.cdb"}, ids, request("0", {"echo", "hi"}),
       "corvane: fatal: unable to read @D/damaged.cdb: protocol error\n", 111},
      {"tollgant", db, ids, request("0", {"secret"}), "tollgant: deny 0.0,0.secret\n", 100},
      {"tollgant", db, {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0", "IPCERROUT=0"},
       request("0", {"nosuchprog"}),
       "tollgant: ok 0.0,0.nosuchprog\ncorvane: fatal: unable to run nosuchprog: file does not exist\n",
       111},
      // With the error output joined to the connection, the client sees it.
      {"tollgant", db, ids, request("0", {"nosuchprog"}), "tollgant: ok 0.0,0.nosuchprog\n", 111,
       "corvane: fatal: unable to run nosuchprog: file does not exist\n"},
      {"tollgant", db, ids, request("4294967296", {"echo", "hi"}), "tollgant: ok 0.0,0.echo\n", 0,
       "hi\n"},
      // Peer ids from the environment are logged log-safe.
      {"tollgant", db, {"IPCREMOTEEUID=a:b%c d", "IPCREMOTEEGID=" + std::string(101, 'g')},
       request("0", {"echo", "hi"}),
       "tollgant: ok a?b?c?d." + std::string(100, 'g') + "...,0.echo\n", 0, "hi\n"},
      // IPCERROUT from the environment is read as leading digits: "abc"
      // keeps the error output apart.  An IPCUID or IPCGID that is not a
      // number refuses the request.
      {"tollgant", db, {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0", "IPCERROUT=abc"},
       request("0", {"nosuchprog"}),
       "tollgant: ok 0.0,0.nosuchprog\ncorvane: fatal: unable to run nosuchprog: file does not exist\n",
       111},
      {"tollgant", db, {"IPCREMOTEEUID=0", "IPCREMOTEEGID=0", "IPCUID=abc", "IPCGID=x1"},
       request(nobody_uid(), {"echo", "hi"}),
       "tollgant: ok 0.0," + nobody_uid() + ".echo\ncorvane: fatal: bad IPCUID: abc\n", 100, "", AS_NOBODY},
      {"tollgant", db, ids, request(nobody_uid(), {"echo", "hi"}),
       "tollgant: ok 0.0," + nobody_uid() + ".echo\ncorvane: fatal: unable to set gid: permission denied\n",
       111, "", AS_NOBODY},
  };
  for (std::string in :
       {std::string(""), std::string("4:1000"), std::string("x:"), std::string("1:a,"),
        std::string("10000000000:"), std::string("1:0;"), std::string("1:0,1:0,0:,"),
        ns("0") + ns("0") + ns(""), ns("0") + ns("1") + ns("p" + nul + nul),
        ns("0") + ns("2") + ns("p" + nul), ns("0") + ns("1") + ns("p"),
        ns("0") + ns("1") + "6:echo" + nul + ",", ns("0") + ns("1") + ns("echo" + nul).substr(0, 7),
        ns("0") + ns("4294967295") + ns("echo" + nul), ns("0") + ns("1") + "5:echo" + nul + ";"})
    rows.push_back({"tollgant", db, ids, in, bad, 111});
  return rows;
}

std::vector<Row> client_and_setup_rows() {
  const std::string usage = "tollsetup: usage: tollsetup user loguser dir\n";
  return {
      {"tollcall", {}, {}, "", "tollcall: usage: tollcall uid program\n", 100},
      {"tollcall", {"1000"}, {}, "", "tollcall: usage: tollcall uid program\n", 100},
      // A uid that is not wholly digits is never read as uid 0 (root).
      {"tollcall", {"nobody", "echo"}, {}, "", "tollcall: usage: tollcall uid program\n", 100},
      {"tollcall", {"", "echo"}, {}, "", "tollcall: usage: tollcall uid program\n", 100},
      {"tollcall", {"12x", "echo"}, {}, "", "tollcall: usage: tollcall uid program\n", 100},
      {"tollcall", {"18446744073709551616", "echo"}, {}, "", "tollcall: usage: tollcall uid program\n", 100},
      // Without descriptors 6 and 7 the relay ends at once: nothing to report.
      {"tollcall", {"0", "echo"}, {}, "data\n", "", 0},
      {"pipewright", {}, {}, "data\n", "", 0},
      {"pipewright", {"-x", "junk"}, {}, "", "", 0},
      {"tollsetup", {}, {}, "", usage, 100, "", NO_SVC},
      {"tollsetup", {"root", "nobody"}, {}, "", usage, 100, "", NO_SVC},
      {"tollsetup", {"root", "nobody", "svc"}, {}, "", usage, 100, "", NO_SVC},
      {"tollsetup", {"root", "nosuchacct", "@D/svc"}, {}, "",
       "tollsetup: fatal: unknown account nosuchacct\n", 111, "", NO_SVC},
      {"tollsetup", {"nosuchacct", "nobody", "@D/svc2"}, {}, "",
       "tollsetup: fatal: unknown account nosuchacct\n", 111},
      {"tollsetup", {"root", "nobody", "@D/exists"}, {}, "",
       "tollsetup: fatal: unable to create @D/exists: file already exists\n", 111},
      {"tollsetup", {"root", "nobody", "@D/nodir/svc"}, {}, "",
       "tollsetup: fatal: unable to create @D/nodir/svc: file does not exist\n", 111},
      {"tollsetup", {"root", "nobody", "@D/ro/svc"}, {}, "",
       "tollsetup: fatal: unable to create @D/ro/svc: access denied\n", 111, "", AS_NOBODY},
  };
}

std::vector<Row> catalogue() {
  std::vector<Row> all;
  for (auto part : {corvane_rows(), compiler_rows("gatemark"), tollmark_rows(), checker_rows(),
                    tollgant_rows(), client_and_setup_rows()})
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string expand(std::string s, const std::string &dir) {
  const std::string long_path = dir + "/" + std::string(108 - dir.size(), 'L');
  for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"@LONG", long_path}, {"@D", dir}, {"@B", testutil::bin_dir()}})
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
      s.replace(at, from.size(), to);
  return s;
}

// The scratch directory every row starts from.
void populate(const testutil::TempDir &d) {
  chmod(d.path.c_str(), 0777);
  const std::string exec =
      ",0.secret:deny\n,0.echo:allow\n,0.nosuchprog:allow\n," + nobody_uid() + ".echo:allow\n:deny\n";
  testutil::write_file(d / "rules", rules_text);
  symlink("rules", (d / "textlink").c_str());
  for (auto [prog, name, text] : {std::tuple{"gatemark", "rules.cdb", rules_text},
                                  {"tollmark", "exec.cdb", exec}, {"gatemark", "secret.cdb", ":deny\n"}}) {
    auto r = testutil::compile(prog, d / name, text);
    EXPECT_EQ(r.code(), 0) << r.err;
  }
  chmod((d / "secret.cdb").c_str(), 0600);
  testutil::write_file(d / "empty.cdb", "");
  std::string header(2048, '\0');  // every table at 4096, past the end
  for (int t = 0; t < 256; ++t) {
    uint32_store(header.data() + 8 * t, 4096);
    uint32_store(header.data() + 8 * t + 4, 2);
  }
  testutil::write_file(d / "damaged.cdb", header);
  testutil::write_file(d / "short.cdb", testutil::read_file(d / "rules.cdb").substr(0, 2050));
  mkdir((d / "dir").c_str(), 0755);
  testutil::write_file(d / "dir/file", "x");
  mkdir((d / "exists").c_str(), 0755);
  mkdir((d / "ro").c_str(), 0755);
  link((d / "rules.cdb").c_str(), (d / "hardlink").c_str());
  symlink("rules.cdb", (d / "symlink").c_str());
  testutil::write_file(d / "svc.pl", "sub serve { syswrite(STDOUT, \"hi\\n\") }\n1;\n");
  testutil::write_file(d / "broken.pl", "sub serve { syswrite(STDOUT, \n1;\n");
  testutil::write_file(d / "dies.pl", "die \"no database\\n\";\nsub serve { }\n");
  testutil::write_file(d / "declared.pl", "sub serve;\n1;\n");
}

std::string describe(const Row &r) {
  std::string s = r.program;
  for (const auto &a : r.args) s += " [" + a + "]";
  for (const auto &e : r.env) s += " {" + e + "}";
  return s;
}

// Runs the rows that run as nobody, or the others.
void check_rows(bool as_nobody) {
  int index = 0;
  for (const Row &row : catalogue()) {
    if (((row.flags & AS_NOBODY) != 0) != as_nobody) {
      ++index;
      continue;
    }
    SCOPED_TRACE("row " + std::to_string(index++) + ": " + describe(row));
    testutil::TempDir d;
    populate(d);
    std::string before = testutil::read_file(d / "rules.cdb");
    std::vector<std::string> argv = {bin(row.program)};
    if (row.flags & FSIZE_1)
      argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -f 1; trap '' XFSZ; exec \"$@\"", "sh"});
    for (const auto &a : row.args) argv.push_back(expand(a, d.path));
    testutil::RunOptions opt;
    opt.env = std::vector<std::string>{"PATH=/usr/bin:/bin"};
    for (const auto &e : row.env) opt.env->push_back(e);
    opt.input = row.input;
    opt.timeout_ms = 5000;
    if (row.flags & AS_NOBODY) opt.user = testutil::nobody();
    // Descriptors 6 and 7 are closed: the relays find no connection.
    opt.extra_fds = {{6, -1}, {7, -1}};
    int dirfd = -1;
    if (row.flags & STDIN_DIR) {
      dirfd = open(d.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      opt.extra_fds.push_back({0, dirfd});
    }
    if (row.flags & STDIN_TEXT) {
      dirfd = open((d / "rules").c_str(), O_RDONLY | O_CLOEXEC);
      opt.extra_fds.push_back({0, dirfd});
    }
    if (row.flags & STDIN_ZERO) {
      dirfd = open("/dev/zero", O_RDONLY | O_CLOEXEC);
      // Filling memory takes a while on a loaded machine.
      opt.timeout_ms = 20000;
      opt.extra_fds.push_back({0, dirfd});
      // The address sanitizer reserves far more address space than any
      // limit would allow; its allocator has a limit of its own.
#if defined(__SANITIZE_ADDRESS__)
      opt.env->push_back("ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=16");
#else
      argv.insert(argv.begin(), {"/usr/bin/prlimit", "--as=67108864"});
#endif
    }
    testutil::RunResult r = testutil::run(argv, opt);
    if (dirfd >= 0) close(dirfd);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator announces each allocation it refuses.
    if (row.flags & STDIN_ZERO)
      r.err = std::regex_replace(r.err, std::regex("==[0-9]+==WARNING: AddressSanitizer failed to allocate "
                                                   "0x[0-9a-f]+ bytes\n"),
                                 "");
#endif
    EXPECT_EQ(r.err, expand(row.err, d.path));
    EXPECT_EQ(r.out, expand(row.out, d.path));
    EXPECT_EQ(r.code(), row.code) << "status " << r.status;
    if (row.flags & DB_UNTOUCHED) {
      EXPECT_EQ(testutil::read_file(d / "rules.cdb"), before);
    }
    if (row.flags & STDIN_TEXT) {
      EXPECT_EQ(testutil::read_file(d / "rules"), rules_text);
      EXPECT_FALSE(testutil::exists(d / "rules.tmp"));
    }
    if (row.flags & NO_SVC) {
      EXPECT_FALSE(testutil::exists(d / "svc"));
    }
  }
}

}  // namespace

TEST(catalogue, EveryBadInputGetsItsMessageAndExitCode) { check_rows(false); }

TEST(catalogue, BadInputOfAnotherAccount) {
  if (!testutil::is_root()) GTEST_SKIP() << "needs root to run the programs as nobody";
  check_rows(true);
}

namespace {

// Bad input that corvane meets only when a connection arrives: a rules
// database that is missing or damaged, a script that does not compile, a
// missing subroutine name.  Each ends the child that took the connection.
struct ServedRow {
  std::vector<std::string> options;
  std::vector<std::string> words;  ///< after the socket path
  std::string line;                ///< the child's last line in the log
  int code;                        ///< the child's exit code
};

std::vector<ServedRow> served_rows() {
  const std::string drop = "@B/corvane: warning: dropping connection, ";
  const std::vector<std::string> svc = {"@D/svc.pl", "serve"};
  return {
      {{"-x", "@D/none.cdb"}, svc, drop + "unable to read @D/none.cdb: file does not exist\n", 111},
      {{"-x", "@D/empty.cdb"}, svc, drop + "unable to read @D/empty.cdb: protocol error\n", 111},
      {{"-x", "@D/damaged.cdb"}, svc, drop + "unable to read @D/damaged.cdb: protocol error\n", 111},
      // -X admits without a database only when the file does not exist.
      {{"-X", "-x", "@D/empty.cdb"}, svc, drop + "unable to read @D/empty.cdb: protocol error\n", 111},
      {{}, {"@D/broken.pl", "serve"}, "perl_parse failed\n", 111},
      {{}, {"@D/svc.pl"}, "@B/corvane: usage: @B/corvane icpargs file sub args\n", 100},
      {{}, {}, "@B/corvane: usage: @B/corvane icpargs file sub args\n", 100},
  };
}

}  // namespace

TEST(catalogue, BadInputMetAtConnectionTimeEndsTheChild) {
  for (const ServedRow &row : served_rows()) {
    testutil::TempDir d;
    populate(d);
    std::vector<std::string> argv = {bin("corvane"), "-v", "-c", "1"};
    for (const auto &o : row.options) argv.push_back(expand(o, d.path));
    argv.push_back(d / "s");
    for (const auto &w : row.words) argv.push_back(expand(w, d.path));
    SCOPED_TRACE(argv.size() > 5 ? argv[4] + " " + argv.back() : "");
    testutil::Process server(argv);
    ASSERT_TRUE(testutil::wait_path(d / "s"));
    std::optional<std::string> got;
    for (int tries = 0; tries < 100 && !got; ++tries) {
      got = testutil::unix_client(d / "s");
      if (!got) usleep(20000);
    }
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, "");
    std::string end = " status " + std::to_string(row.code * 256) + "\n";
    EXPECT_TRUE(server.wait_err(end)) << server.err();
    std::string log = server.err();
    std::string want = expand(row.line, d.path);
    size_t at = log.find(want);
    ASSERT_NE(at, std::string::npos) << log;
    // The child's line is whole, and the next line is the end of that child.
    EXPECT_TRUE(at == 0 || log[at - 1] == '\n' || row.line == "perl_parse failed\n") << log;
    EXPECT_EQ(log.compare(at + want.size(), bin("corvane").size() + 5, bin("corvane") + ": end"), 0) << log;
  }
}
