#!/bin/bash
# Runs the sample service end to end: compiles the sample connection rules,
# serves examples/greeter.pl with corvane on a socket in a temporary
# directory, connects once as root (allowed, with a greeting set by the
# rules) and once as nobody (denied), shows what each client received and
# the server's log, and stops the server with SIGTERM.
#   usage: bash tools/demo.sh [builddir]
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$top/$build ;; esac
bin=$build/bin

dir=$(mktemp -d /tmp/corvane-demo.XXXXXX)
chmod 755 "$dir"
server=
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

echo "== rules text (examples/rules.txt), compiled with gatemark"
grep -v '^#' "$top/examples/rules.txt"
"$bin/gatemark" "$dir/rules.cdb" "$dir/rules.tmp" < "$top/examples/rules.txt"

echo "== starting corvane -v -L -c 2 -x rules.cdb socket greeter.pl greet demo"
"$bin/corvane" -v -L -c 2 -x "$dir/rules.cdb" "$dir/socket" \
  "$top/examples/greeter.pl" greet demo 2> "$dir/log" &
server=$!
for _ in $(seq 100); do
  [ -S "$dir/socket" ] && break
  sleep 0.05
done
[ -S "$dir/socket" ] || { echo "corvane did not start:"; cat "$dir/log"; exit 1; }

# One connection: sends a line, prints everything the server sends back.
client='
  use IO::Socket::UNIX;
  alarm 5;
  $SIG{PIPE} = "IGNORE";  # a refused connection may be closed before we write
  my $s = IO::Socket::UNIX->new(Peer => $ARGV[0]) or die "connect: $!\n";
  print $s "$ARGV[1]\n";
  shutdown($s, 1);
  my $got = join "", <$s>;
  print length($got) ? $got : "(nothing: the server closed the connection)\n";
'

echo "== client as root"
perl -e "$client" "$dir/socket" "hi from root"
echo "== client as nobody"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  perl -e "$client" "$dir/socket" "hi from nobody"

echo "== stopping corvane with SIGTERM"
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=
echo "corvane exited with code $status"

echo "== server log"
cat "$dir/log"
